// The network driver on Windows: the server core drives a Foxtron DALInet
// fake on a loopback port through Winsock, and an application reaches it
// through the library: a query is answered from the simulator's gear, and
// the gateway dropping its link closes the handle.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "server/foxtron_fake_gateway.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/records.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

void ignore_events(uint32_t, const TransceiverEvent*, void*) {}

TEST(FoxtronGatewayOnWindows, QueryAnsweredThenDropped) {
  // Serial and network gateways only: the SevenLab link is POSIX-only.
  EXPECT_TRUE(sim::ServerCore::has_driver("foxtron"));
  EXPECT_FALSE(sim::ServerCore::has_driver("sevenlab"));

  test::FoxtronFakeGateway gateway;
  const uint16_t port = gateway.listen();
  sim::ServerOptions options;
  options.interfaces = {"SIM-1"};
  options.real_interfaces = {
      {"GW", "foxtron", "127.0.0.1:" + std::to_string(port)}};
  auto server = test::start_published_server(options);
  ASSERT_TRUE(server) << "port 42000 is taken";
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  // Connected once it has asked for the version and the bus power.
  ASSERT_TRUE(gateway.wait_for(
      [](const auto& c) { return c.connections == 1 && c.messages >= 2; },
      3 * sim::RealInterface::kReopenInterval))
      << server->interface_states().back().error;

  EXPECT_EQ(test::enumerate_names(), (std::vector<std::string>{"SIM-1", "GW"}));
  const uint32_t handle = KOVRA62386_open("GW");
  ASSERT_NE(handle, 0u);
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, ignore_events, nullptr), 1);
  const WriteFrameRecord frame =
      forward_frame(0x03, dali::gear::kQueryActualLevel);
  const SendResult answered = KOVRA62386_send(handle, &frame);
  EXPECT_EQ(answered.status, KOVRA62386_SEND_ANSWER);
  EXPECT_EQ(answered.answer, gateway.bus().gear_at(1)->state.actual_level);
  KOVRA62386_stop_transceiver(handle);

  gateway.drop();
  ReadFrameRecord record{};
  EXPECT_EQ(test::read_next(handle, record), KOVRA62386_READ_NOT_OPEN);

  KOVRA62386_terminate();
  server->stop();
}

}  // namespace
}  // namespace kovra62386
