// A hasseb DALI Master end to end: the server drives it through a
// listening seqpacket socket in place of its hidraw node, where a fake
// unit answers from a simulated bus's gear, and an application uses it
// through the library as any bus: another master's frame is seen, a query
// is answered as the simulated bus answers it, unplugging gives
// DeviceClosed after the frames before, and replugging lists it again
// under its name.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "client/transport/arrival_signal.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "server/server_core.h"
#include "support/fake_interface/hasseb_firmware.h"
#include "support/library_calls.h"
#include "support/real_interface_checks.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

namespace gear = dali::gear;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class HassebEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::fresh_unit_dir("kovra62386-hasseb-e2e-");
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ / "unit";
    unit_ = test::make_hasseb_unit(path_);
    sim::ServerOptions options;
    options.interfaces = {"SIM-1"};
    options.real_interfaces = {{"H", "hasseb", path_.string()}};
    server_ = test::start_published_server(options);
    ASSERT_TRUE(server_) << "port 42000 is taken";
    ASSERT_TRUE(unit_->wait_until_opened(5s));
    ASSERT_EQ(KOVRA62386_initialize(), 0);
    ASSERT_TRUE(test::listed_soon("H"));
  }
  void TearDown() override {
    KOVRA62386_terminate();
    if (server_) server_->stop();
    unit_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::filesystem::path dir_;
  std::filesystem::path path_;
  std::unique_ptr<test::SeqpacketUnit> unit_;
  std::unique_ptr<sim::ServerCore> server_;
};

TEST_F(HassebEndToEnd, ForeignFrameQueryUnplugAndBackUnderItsName) {
  EXPECT_EQ(test::enumerate_names(), (std::vector<std::string>{"SIM-1", "H"}));
  const uint32_t handle = KOVRA62386_open("H");
  ASSERT_NE(handle, 0u);

  // Another master's frame, reported in sniff mode: QUERY STATUS to short
  // address 63, where no gear answers.
  unit_->inject([](test::FakeFirmware& firmware) {
    return firmware.foreign_frame({0x7F, gear::kQueryStatus}, Clock::now());
  });
  ReadFrameRecord record{};
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(record.bus_event.header_flag, 0);
  EXPECT_EQ(record.bus_event.bit_count, 16);
  EXPECT_EQ(record.bus_event.data[0], 0x7F);
  EXPECT_EQ(record.bus_event.data[1], gear::kQueryStatus);

  // What the same gear answers on a simulated bus.
  const WriteFrameRecord frame = forward_frame(0x03, gear::kQueryActualLevel);
  dali::SimulatedBus reference;
  const dali::BusResponse expected =
      reference.forward_frame(frame.frame.data, 16, dali::Clock::now());
  ASSERT_EQ(expected.kind, dali::BusResponse::Kind::Answer);

  // A query written and left unread: its confirmation, echo and answer.
  ASSERT_NO_FATAL_FAILURE(test::write_and_wait(handle, frame));

  // Unplugged: the frames that came before, then the notice.
  unit_->unplug();
  ASSERT_NO_FATAL_FAILURE(
      test::expect_query_then_closed(handle, "H", expected.answer));

  // Replugged: found again within the back-off, and a send through a
  // transceiver is answered.
  unit_ = test::make_hasseb_unit(path_);
  ASSERT_TRUE(
      unit_->wait_until_opened(3 * sim::RealInterface::kReopenInterval));
  ASSERT_NO_FATAL_FAILURE(
      test::expect_back_and_answering("H", frame, expected.answer));
}

}  // namespace
}  // namespace kovra62386
