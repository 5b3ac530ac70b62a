// A network gateway end to end: the server drives a Foxtron DALInet on a
// loopback port, whose firmware (tests/server/foxtron_fake_gateway.h)
// answers from the simulator's gear, and an application uses it through
// the library as any bus: another master's frame and bus failure and
// recovery are read, a query is
// answered, the gateway dropping its link gives DeviceClosed after the
// frames before, and when it takes connections again the interface is
// back under its name.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "client/transport/arrival_signal.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "server/foxtron_fake_gateway.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/real_interface_checks.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

namespace gear = dali::gear;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FoxtronGatewayEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint16_t port = gateway_.listen();
    sim::ServerOptions options;
    options.interfaces = {"SIM-1"};
    options.real_interfaces = {
        {"GW", "foxtron", "127.0.0.1:" + std::to_string(port)}};
    server_ = test::start_published_server(options);
    ASSERT_TRUE(server_) << "port 42000 is taken";
    ASSERT_EQ(KOVRA62386_initialize(), 0);
    // Connected once it has asked for the version and the bus power.
    ASSERT_TRUE(gateway_.wait_for(
        [](const auto& c) { return c.connections == 1 && c.messages >= 2; }));
    ASSERT_TRUE(test::listed_soon("GW"));
  }
  void TearDown() override {
    KOVRA62386_terminate();
    if (server_) server_->stop();
  }
  test::FoxtronFakeGateway gateway_;
  std::unique_ptr<sim::ServerCore> server_;
};

TEST_F(FoxtronGatewayEndToEnd, ForeignFrameQueryDropAndBack) {
  EXPECT_EQ(test::enumerate_names(), (std::vector<std::string>{"SIM-1", "GW"}));
  const uint32_t handle = KOVRA62386_open("GW");
  ASSERT_NE(handle, 0u);

  // Another master's 24-bit frame.
  gateway_.say("041803FE05");
  ReadFrameRecord record{};
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(record.bus_event.bit_count, 24);
  EXPECT_EQ(record.bus_event.data[1], 0xFE);

  // Bus failure and recovery, as a simulated bus reports them.
  gateway_.set_bus_power(false);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_STATE);
  EXPECT_EQ(record.bus_event.event_flags, KOVRA62386_BUS_FLAG_POWER_LOST);
  gateway_.set_bus_power(true);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_NE(record.bus_event.event_flags & KOVRA62386_BUS_FLAG_POWER_RETURN, 0);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.event_flags, 0);

  // A query written and left unread: its confirmation, echo and answer
  // (the gear went to their failure level meanwhile).
  const uint8_t level = gateway_.bus().gear_at(1)->state.actual_level;
  const WriteFrameRecord frame = forward_frame(0x03, gear::kQueryActualLevel);
  ASSERT_NO_FATAL_FAILURE(test::write_and_wait(handle, frame));

  // The gateway drops its link: the frames that came before, then the
  // notice.
  gateway_.drop();
  ASSERT_NO_FATAL_FAILURE(test::expect_query_then_closed(handle, "GW", level));

  // The server connects again within its back-off, and a send through a
  // transceiver is answered from the gear.
  ASSERT_TRUE(gateway_.wait_for(
      [](const auto& c) { return c.connections == 2 && c.messages >= 2; },
      3 * sim::RealInterface::kReopenInterval));
  ASSERT_NO_FATAL_FAILURE(test::expect_back_and_answering("GW", frame, level));
}

}  // namespace
}  // namespace kovra62386
