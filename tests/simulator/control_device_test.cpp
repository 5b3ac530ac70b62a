// Simulated IEC 62386-103 control devices: their 24-bit commands, the events
// a person's hand makes them send, and their own commissioning.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "dali/commissioning.h"
#include "dali/device_commands.h"
#include "simulator/simulated_bus.h"
#include "simulator/simulated_transport.h"

namespace kovra62386::dali {
namespace {

using namespace std::chrono_literals;
namespace op = device::op;

const Clock::time_point kStart = Clock::time_point{} + 1h;

// The answer to a 24-bit frame, -1 for none, -2 for a collision.
int ask(SimulatedBus& bus, std::array<uint8_t, 3> frame, Clock::time_point at) {
  const BusResponse r = bus.forward_frame(frame.data(), 24, at);
  if (r.kind == BusResponse::Kind::Answer) return r.answer;
  return r.kind == BusResponse::Kind::Collision ? -2 : -1;
}

// Every event frame the bus sends up to `until`, as text.
std::vector<std::string> events_until(SimulatedBus& bus,
                                      Clock::time_point until) {
  std::vector<std::string> out;
  while (const auto due = bus.next_device_due()) {
    if (*due > until) break;
    if (const auto frame = bus.take_device_frame(*due)) {
      out.push_back(device::describe_device_frame(
          frame->bytes.data(), [&](uint8_t, uint8_t) { return 1; }));
    }
  }
  return out;
}

TEST(ControlDevice, AnswersQueriesAndObeysItsEventFilter) {
  SimulatedBus bus({}, SimulatedBus::default_control_devices());
  const uint8_t dev7 = device::short_address_byte(7);
  Clock::time_point t = kStart;
  EXPECT_EQ(
      ask(bus, {dev7, device::kInstanceDevice, op::kQueryNumberOfInstances}, t),
      4);
  EXPECT_EQ(ask(bus, {dev7, 2, op::kQueryInstanceType}, t), 1);
  EXPECT_EQ(
      ask(bus, {device::short_address_byte(12), 0, op::kQueryInstanceType}, t),
      3);
  // A device command needs the device's own instance byte.
  EXPECT_EQ(ask(bus, {dev7, 0, op::kQueryDeviceStatus}, t), -1);
  // Every device answers a broadcast status query: a collision.
  EXPECT_EQ(
      ask(bus,
          {device::kBroadcast, device::kInstanceDevice, op::kQueryDeviceStatus},
          t),
      -2);

  // SET EVENT FILTER (DTR2:DTR1:DTR0) counts only when sent twice: first
  // once (nothing changes), then twice; afterwards only "released" passes.
  ask(bus,
      {device::kSpecial, device::special::kDtr0,
       device::button::kFilterReleased},
      t);
  ask(bus, {device::kDtr2Dtr1, 0, 0}, t);
  const std::array<uint8_t, 3> set_filter{dev7, 2, op::kSetEventFilter};
  ask(bus, set_filter, t);
  EXPECT_EQ(ask(bus, {dev7, 2, op::kQueryEventFilter0To7}, t += 50ms), 0x53);
  ask(bus, set_filter, t += 50ms);
  ask(bus, set_filter, t += 50ms);
  EXPECT_EQ(ask(bus, {dev7, 2, op::kQueryEventFilter0To7}, t), 0x01);

  EXPECT_EQ(bus.act_on_device(
                {7, 0}, [&](ControlDevice& d) { return d.press(2, t, 100ms); }),
            "");
  EXPECT_EQ(events_until(bus, t + 1s),
            std::vector<std::string>{"button 2 of device 7: released"});

  // A disabled instance says nothing.
  const std::array<uint8_t, 3> disable{dev7, 1, op::kDisableInstance};
  ask(bus, disable, t += 1s);
  ask(bus, disable, t += 20ms);
  bus.act_on_device({7, 0},
                    [&](ControlDevice& d) { return d.press(1, t, 100ms); });
  EXPECT_TRUE(events_until(bus, t + 1s).empty());
  EXPECT_EQ(
      bus.act_on_device(
          {7, 0}, [&](ControlDevice& d) { return d.set_occupied(0, true, t); }),
      "instance 0 is of type push button, not occupancy sensor");
}

TEST(ControlDevice, AHeldButtonSendsLongPressEventsInTime) {
  SimulatedBus bus({}, SimulatedBus::default_control_devices());
  bus.act_on_device(
      {7, 0}, [&](ControlDevice& d) { return d.press(3, kStart, 1200ms); });
  EXPECT_EQ(
      events_until(bus, kStart + 2s),
      (std::vector<std::string>{"button 3 of device 7: pressed",
                                "button 3 of device 7: long press start",
                                "button 3 of device 7: released",
                                "button 3 of device 7: long press stop"}));
  // Sensors name their device and type; the device without a short
  // address names only its instance.
  bus.act_on_device({12, 0}, [&](ControlDevice& d) {
    return d.set_occupied(0, true, kStart + 3s);
  });
  bus.act_on_device({std::nullopt, 3}, [&](ControlDevice& d) {
    return d.set_illuminance(1, 480, kStart + 3s);
  });
  EXPECT_EQ(events_until(bus, kStart + 4s),
            (std::vector<std::string>{
                "occupancy sensor of device 12: occupied, movement",
                "light sensor 1 (device not named): illuminance 480"}));
  // A lost bus supply loses what was not sent yet.
  bus.act_on_device({13, 0}, [&](ControlDevice& d) {
    return d.set_illuminance(0, 100, kStart + 5s);
  });
  bus.set_power(false, kStart + 5s);
  EXPECT_FALSE(bus.next_device_due());
}

TEST(ControlDeviceCommissioning, AddressesDevicesThatDrewTheSameRandomAddress) {
  std::vector<ControlDeviceConfig> devices(4);
  devices[0].short_address = 0;
  devices[1].short_address = 2;
  for (int i = 2; i < 4; ++i) {
    devices[i].seed = static_cast<uint64_t>(0x40 + i);
    devices[i].first_random_address = 0x123456;  // both draw the same
    devices[i].instances.resize(1);
  }
  // Gear share nothing with devices: gear 0 and 1 do not count as used.
  GearConfig gear;
  gear.short_address = 1;
  SimulatedBus bus({gear}, devices);
  const CommissioningResult result =
      commission_devices(simulated_device_transport(bus, kStart));
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.already_used, (std::vector<uint8_t>{0, 2}));
  EXPECT_EQ(std::set<uint8_t>(result.assigned.begin(), result.assigned.end()),
            (std::set<uint8_t>{1, 3}));
  std::set<uint8_t> addresses;
  for (const auto& d : bus.control_devices()) {
    addresses.insert(d.state.short_address);
  }
  EXPECT_EQ(addresses, (std::set<uint8_t>{0, 1, 2, 3}));
  // The gear kept its address, untouched by the devices' search.
  EXPECT_EQ(bus.gear().front().state.short_address, 1);
}

}  // namespace
}  // namespace kovra62386::dali
