// A real interface end to end: the server drives a SevenLab interface
// whose firmware this test plays on a pty, and an application uses it
// through the library as any bus: a query is answered, unplugging gives
// DeviceClosed after the frames before, and replugging lists it again
// under its name; another master's frames and bus failure reach it as on a
// simulated bus.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "client/transport/arrival_signal.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "server/server_core.h"
#include "simulator/simulated_bus.h"
#include "support/fake_interface/pty_unit.h"
#include "support/fake_interface/sevenlab_firmware.h"
#include "support/library_calls.h"
#include "support/real_interface_checks.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

namespace gear = dali::gear;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The unit's firmware on a pty, answering from the simulator's default bus
// (support/fake_interface), reachable under `link`.
std::unique_ptr<test::PtyUnit> plug_in(const std::filesystem::path& link) {
  return std::make_unique<test::PtyUnit>(
      link, std::make_unique<test::SevenLabFirmware>(
                std::make_unique<dali::SimulatedBus>()));
}

// What gear 1 of that bus answers to QUERY ACTUAL LEVEL.
uint8_t level_of_gear_1() {
  return dali::SimulatedBus().gear_at(1)->state.actual_level;
}

void ignore_events(uint32_t, const TransceiverEvent*, void*) {}

class RealInterfaceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder of its own: tests in PID namespaces of their own share
    // /tmp and may share a process id.
    std::string folder =
        (std::filesystem::temp_directory_path() / "kovra62386-lab-XXXXXX")
            .string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    link_ = std::filesystem::path(folder) / "lab";
    unit_ = plug_in(link_);
    ASSERT_EQ(unit_->error(), "");
    sim::ServerOptions options;
    options.interfaces = {"SIM-1"};
    options.real_interfaces = {{"LAB", "sevenlab", link_.string()}};
    server_ = test::start_published_server(options);
    ASSERT_TRUE(server_) << "port 42000 is taken";
    ASSERT_EQ(KOVRA62386_initialize(), 0);
  }
  void TearDown() override {
    KOVRA62386_terminate();
    if (server_) server_->stop();
    unit_.reset();
    std::error_code ignored;
    if (!link_.empty())
      std::filesystem::remove_all(link_.parent_path(), ignored);
  }
  std::filesystem::path link_;
  std::unique_ptr<test::PtyUnit> unit_;
  std::unique_ptr<sim::ServerCore> server_;
};

TEST_F(RealInterfaceEndToEnd, AnsweredUnpluggedAndBackUnderItsName) {
  EXPECT_EQ(test::enumerate_names(),
            (std::vector<std::string>{"SIM-1", "LAB"}));
  // A query written and left unread: its confirmation, echo and answer.
  const uint32_t handle = KOVRA62386_open("LAB");
  ASSERT_NE(handle, 0u);
  const WriteFrameRecord frame = forward_frame(0x03, gear::kQueryActualLevel);
  ASSERT_NO_FATAL_FAILURE(test::write_and_wait(handle, frame));

  // Unplugged: the frames that came before, then the notice.
  unit_->unplug();
  ASSERT_NO_FATAL_FAILURE(
      test::expect_query_then_closed(handle, "LAB", level_of_gear_1()));

  // Replugged: the server finds it again within its back-off, and a send
  // through a transceiver is answered.
  unit_ = plug_in(link_);
  ASSERT_TRUE(
      unit_->wait_until_opened(3 * sim::RealInterface::kReopenInterval));
  ASSERT_NO_FATAL_FAILURE(
      test::expect_back_and_answering("LAB", frame, level_of_gear_1()));
}

// Another master's query with the gear's answer, a control device's
// 24-bit event, and bus power lost and back: each a record for the reader.
TEST_F(RealInterfaceEndToEnd, ForeignFramesAndBusFailureReachTheReader) {
  ASSERT_TRUE(unit_->wait_until_opened(5s));
  ASSERT_TRUE(test::listed_soon("LAB"));
  const uint32_t handle = KOVRA62386_open("LAB");
  ASSERT_NE(handle, 0u);
  unit_->inject([](test::FakeFirmware& unit) {
    // In this order: the operands of + are not sequenced.
    std::string reports =
        unit.foreign_frame({0x03, gear::kQueryActualLevel}, Clock::now());
    reports += unit.foreign_frame({0x85, 0x8B, 0x01}, Clock::now());
    reports += unit.set_bus_power(false, Clock::now());
    return reports + unit.set_bus_power(true, Clock::now());
  });
  ReadFrameRecord record{};
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(record.bus_event.bit_count, 16);
  EXPECT_EQ(record.bus_event.data[1], gear::kQueryActualLevel);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_BACKWARD);
  EXPECT_EQ(record.bus_event.data[0], level_of_gear_1());
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(record.bus_event.bit_count, 24);
  EXPECT_EQ(record.bus_event.data[0], 0x85);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_STATE);
  EXPECT_EQ(record.bus_event.event_flags & KOVRA62386_BUS_FLAG_POWER_LOST,
            KOVRA62386_BUS_FLAG_POWER_LOST);
  EXPECT_EQ(record.bus_event.event_flags & KOVRA62386_BUS_FLAG_POWER_RETURN, 0);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_STATE);
  EXPECT_NE(record.bus_event.event_flags & KOVRA62386_BUS_FLAG_POWER_RETURN, 0);
  KOVRA62386_close(handle);
}

// Answers that collide on the bus reach the sender as a framing error,
// never as "no answer"; the next query is answered again.
TEST_F(RealInterfaceEndToEnd, CollidingAnswersAreAFramingError) {
  ASSERT_TRUE(test::listed_soon("LAB"));
  const uint32_t handle = KOVRA62386_open("LAB");
  ASSERT_NE(handle, 0u);
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, ignore_events, nullptr), 1);
  unit_->inject([](test::FakeFirmware& unit) {
    unit.bus().force_collision_next_query();
    return std::string();
  });
  const WriteFrameRecord frame = forward_frame(0x03, gear::kQueryActualLevel);
  EXPECT_EQ(KOVRA62386_send(handle, &frame).status,
            KOVRA62386_SEND_FRAMING_ERROR);
  const SendResult again = KOVRA62386_send(handle, &frame);
  EXPECT_EQ(again.status, KOVRA62386_SEND_ANSWER);
  EXPECT_EQ(again.answer, level_of_gear_1());
  KOVRA62386_stop_transceiver(handle);
}

// A button pressed on the fake unit's bus: its control device's 24-bit
// event goes out on its own, as on a simulated bus.
TEST_F(RealInterfaceEndToEnd, ControlDeviceEventsGoOutOnTheirOwn) {
  ASSERT_TRUE(test::listed_soon("LAB"));
  const uint32_t handle = KOVRA62386_open("LAB");
  ASSERT_NE(handle, 0u);
  unit_->inject([](test::FakeFirmware& unit) {
    dali::DeviceSelector push_button;
    push_button.short_address = 7;
    const std::string error =
        unit.bus().act_on_device(push_button, [](dali::ControlDevice& device) {
          return device.press(0, Clock::now(), 100ms);
        });
    EXPECT_EQ(error, "");
    return std::string();
  });
  ReadFrameRecord record{};
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(record.bus_event.bit_count, 24);
  KOVRA62386_close(handle);
}

}  // namespace
}  // namespace kovra62386
