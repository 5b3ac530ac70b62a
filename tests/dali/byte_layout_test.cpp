// The address, instance and opcode-range rules that the decoders and the
// simulated gear and devices share.
#include <gtest/gtest.h>

#include <utility>

#include "dali/dali_commands.h"
#include "dali/device_commands.h"

namespace kovra62386::dali {
namespace {

TEST(ByteLayout, ScenesAndGroupsAreSixteenOpcodesFromTheFirst) {
  EXPECT_EQ(number_in(gear::kGoToScene + 15, gear::kGoToScene), 15);
  EXPECT_EQ(number_in(gear::kAddToGroup, gear::kAddToGroup), 0);
  EXPECT_FALSE(number_in(gear::kGoToScene + 16, gear::kGoToScene));
  EXPECT_FALSE(number_in(gear::kGoToScene - 1, gear::kGoToScene));
}

TEST(ByteLayout, DeviceAddressBytes) {
  using Kind = device::DeviceAddress::Kind;
  const auto decoded = [](uint8_t byte) {
    const auto a = device::decode_device_address(byte);
    return std::pair{a.kind, a.number};
  };
  EXPECT_EQ(decoded(device::short_address_byte(63)),
            std::pair(Kind::Short, uint8_t{63}));
  EXPECT_EQ(decoded(0x81 | 31 << 1), std::pair(Kind::Group, uint8_t{31}));
  EXPECT_EQ(decoded(device::kBroadcast).first, Kind::Broadcast);
  EXPECT_EQ(decoded(device::kBroadcastUnaddressed).first,
            Kind::BroadcastUnaddressed);
  // Bit 0 clear is an event; 0xC1 a special command: neither addresses.
  EXPECT_EQ(decoded(0x0A).first, Kind::Other);
  EXPECT_EQ(decoded(device::kSpecial).first, Kind::Other);
}

TEST(ByteLayout, InstanceBytes) {
  using Kind = device::InstanceSelector::Kind;
  const auto decoded = [](uint8_t byte) {
    const auto s = device::decode_instance_byte(byte);
    return std::pair{s.kind, s.number};
  };
  EXPECT_EQ(decoded(device::instance_number_byte(31)),
            std::pair(Kind::Number, uint8_t{31}));
  EXPECT_EQ(decoded(0x80 | 7), std::pair(Kind::Group, uint8_t{7}));
  EXPECT_EQ(decoded(0xC0 | 3), std::pair(Kind::Type, uint8_t{3}));
  EXPECT_EQ(decoded(device::kInstanceDevice).first, Kind::Device);
  EXPECT_EQ(decoded(device::kInstanceBroadcast).first, Kind::Every);
  EXPECT_EQ(decoded(0x20).first, Kind::Feature);
}

}  // namespace
}  // namespace kovra62386::dali
