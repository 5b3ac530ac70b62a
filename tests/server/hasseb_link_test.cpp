// The hasseb link on a seqpacket socket, with a fake unit that answers
// from a simulated bus's gear: a query answered as the simulated bus
// answers it, a lost completion, old firmware refused, an unplug reported
// once, and the message for a node the user may not open.
#include "server/drivers/hasseb_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "dali/dali_commands.h"
#include "support/fake_interface/hasseb_firmware.h"
#include "support/link_harness.h"

namespace kovra62386::sim::drivers {
namespace {

using namespace std::chrono_literals;
using Kind = DriverEventKind;

class HassebLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::fresh_unit_dir("kovra62386-hasseb-");
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ / "unit";
    unit_ = test::make_hasseb_unit(path_);
  }
  bool run_until(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = 3s) {
    return test::run_until(io_, done, timeout);
  }
  TransmitRequest query(uint8_t address, uint8_t opcode) {
    TransmitRequest r;
    r.frame.bit_count = 16;
    r.frame.data[0] = static_cast<uint8_t>(address << 1 | 1);
    r.frame.data[1] = opcode;
    return r;
  }

  void TearDown() override {
    unit_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::filesystem::path dir_;
  std::filesystem::path path_;
  std::unique_ptr<test::SeqpacketUnit> unit_;
  boost::asio::io_context io_;
  test::Recorder handler_;
  HassebLink link_{io_, handler_};
};

TEST_F(HassebLinkTest, AnswersAsTheSimulatedBusAndTimesOutWhenSilent) {
  std::string error;
  ASSERT_TRUE(link_.open(path_.string(), error)) << error;
  ASSERT_TRUE(run_until([&] { return link_.can_transmit(); }));
  EXPECT_EQ(link_.firmware_version(), "2.5");

  // The same gear on a simulated bus gives the expected answer.
  dali::SimulatedBus reference;
  const TransmitRequest level = query(1, dali::gear::kQueryActualLevel);
  const dali::BusResponse expected =
      reference.forward_frame(level.frame.data, 16, dali::Clock::now());
  ASSERT_EQ(expected.kind, dali::BusResponse::Kind::Answer);
  link_.transmit(level);
  ASSERT_TRUE(run_until([&] { return handler_.has(Kind::Over); }));
  const auto completion = std::find_if(
      handler_.events.begin(), handler_.events.end(),
      [](const DriverEvent& e) { return e.kind == Kind::Completion; });
  ASSERT_NE(completion, handler_.events.end());
  EXPECT_EQ(completion->completion, Completion::Answer);
  EXPECT_EQ(completion->answer, expected.answer);

  // A completion that never comes ends after the deadline, as an error.
  handler_.events.clear();
  ASSERT_TRUE(run_until([&] { return link_.can_transmit(); }));
  test::with_hasseb(*unit_, [](auto& f) { f.set_silent(true); });
  link_.transmit(level);
  ASSERT_TRUE(run_until([&] { return handler_.has(Kind::Over); }));
  EXPECT_TRUE(handler_.has(Kind::Timeout));
  EXPECT_FALSE(handler_.has(Kind::Completion));
  EXPECT_TRUE(handler_.lost.empty());
}

TEST_F(HassebLinkTest, UnplugIsReportedOnceAndTheDescriptorClosed) {
  std::string error;
  ASSERT_TRUE(link_.open(path_.string(), error)) << error;
  ASSERT_TRUE(unit_->wait_until_opened(3s));
  unit_->unplug();
  ASSERT_TRUE(run_until([&] { return !handler_.lost.empty(); }));
  EXPECT_FALSE(link_.is_open());
  // Nothing is left to wake the loop: no descriptor, no timer.
  io_.restart();
  io_.poll();
  EXPECT_TRUE(io_.stopped());
  EXPECT_EQ(handler_.lost.size(), 1u);
  // Gone from its path: opening fails with the path named.
  EXPECT_FALSE(link_.open(path_.string(), error));
  EXPECT_NE(error.find(path_.string()), std::string::npos);
}

TEST_F(HassebLinkTest, OldFirmwareIsClosedWithUpdateAdvice) {
  test::with_hasseb(*unit_, [](auto& f) { f.set_legacy(true); });
  std::string error;
  ASSERT_TRUE(link_.open(path_.string(), error)) << error;
  ASSERT_TRUE(run_until([&] { return !handler_.lost.empty(); }));
  EXPECT_NE(handler_.lost[0].find("update the hasseb"), std::string::npos);
  EXPECT_FALSE(link_.is_open());
  // The same node again: refused at once, with the same advice.
  EXPECT_FALSE(link_.open(path_.string(), error));
  EXPECT_NE(error.find("update the hasseb"), std::string::npos);
  // Replugged (updated): a new node is asked again.
  unit_.reset();
  unit_ = test::make_hasseb_unit(path_);
  ASSERT_TRUE(link_.open(path_.string(), error)) << error;
  ASSERT_TRUE(run_until([&] { return link_.can_transmit(); }));
}

// A node the user may not open (root-only until the udev rules apply):
// named, with its mode and what grants access.
TEST(HassebLinkMessages, MissingPermissionNamesTheNodeAndTheAccess) {
  const auto dir = test::fresh_unit_dir("kovra62386-hidraw-");
  const auto node = dir / "hidraw3";
  std::ofstream(node).put('\0');
  std::filesystem::permissions(node, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write);
  const std::string message = hidraw_open_error(node.string(), EACCES);
  std::filesystem::remove_all(dir);
  EXPECT_NE(message.find(node.string() + ": permission denied"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("mode 0600"), std::string::npos) << message;
  EXPECT_NE(message.find("group plugdev"), std::string::npos) << message;
}

}  // namespace
}  // namespace kovra62386::sim::drivers
