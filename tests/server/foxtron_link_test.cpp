// The Foxtron link against a fake gateway that answers from the
// simulator's gear: on a pty (DALI232) and on a loopback TCP listener
// (DALInet). Also built into the Windows unit tests, where the pty cases
// drop out.
#include "server/drivers/foxtron_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "dali/dali_commands.h"
#include "server/foxtron_fake_gateway.h"
#include "support/link_harness.h"

namespace kovra62386::sim::drivers {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kWaitLimit = 5s;

TransmitRequest query_actual_level(uint8_t short_address) {
  TransmitRequest query;
  query.frame.bit_count = 16;
  query.frame.data[0] = static_cast<uint8_t>(short_address << 1 | 1);
  query.frame.data[1] = dali::gear::kQueryActualLevel;
  return query;
}

class FoxtronLinkTest : public ::testing::Test {
 protected:
  bool run_until(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = kWaitLimit) {
    return test::run_until(io_, done, limit);
  }
  // A query to short address 1 is answered with its level, from the gear.
  void query_is_answered() {
    recorder_.events.clear();
    ASSERT_TRUE(run_until([&] { return link_.can_transmit(); }));
    link_.transmit(query_actual_level(1));
    ASSERT_TRUE(
        run_until([&] { return recorder_.has(DriverEventKind::Over); }));
    ASSERT_EQ(recorder_.events.size(), 4u);
    const DriverEvent& answer = recorder_.events[2];
    EXPECT_EQ(answer.kind, DriverEventKind::Completion);
    EXPECT_EQ(answer.completion, Completion::Answer);
    EXPECT_EQ(answer.answer, gateway_.bus().gear_at(1)->state.actual_level);
  }

  // No read, write or timer waits any more: the loop runs out of work
  // (at once, unless something is left).
  void expect_nothing_left() {
    io_.run_for(kWaitLimit);
    EXPECT_TRUE(io_.stopped());
  }

  test::FoxtronFakeGateway gateway_;
  boost::asio::io_context io_;
  test::Recorder recorder_;
  FoxtronLink link_{io_, recorder_};
};

// A dropped link is lost at once, a missing report ends its frame as a
// timeout, and a foreign frame comes through.
TEST_F(FoxtronLinkTest, NetworkGatewayAnswersTimesOutAndDrops) {
  const uint16_t port = gateway_.listen();
  std::string error;
  ASSERT_TRUE(link_.open("127.0.0.1:" + std::to_string(port), error)) << error;
  ASSERT_TRUE(run_until([&] { return link_.firmware_version() == "1.7"; }));
  query_is_answered();

  gateway_.say("041803FE05");
  ASSERT_TRUE(
      run_until([&] { return recorder_.has(DriverEventKind::ForeignFrame); }));
  EXPECT_EQ(recorder_.events.back().frame.bit_count, 24);

  gateway_.set_answering(false);
  recorder_.events.clear();
  link_.transmit(query_actual_level(1));
  ASSERT_TRUE(run_until([&] { return recorder_.has(DriverEventKind::Over); },
                        foxtron::kReportDeadline + kWaitLimit));
  EXPECT_EQ(recorder_.events.front().kind, DriverEventKind::Timeout);

  gateway_.drop();
  ASSERT_TRUE(run_until([&] { return !recorder_.lost.empty(); }));
  EXPECT_FALSE(link_.is_open());
  expect_nothing_left();  // on the dead socket
}

TEST(FoxtronLinkOpen, WhereDecidesAndFailuresNameIt) {
  EXPECT_FALSE(parse_host_port("/dev/ttyUSB0"));
  EXPECT_FALSE(parse_host_port("COM3"));
  EXPECT_FALSE(parse_host_port("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1"));
  EXPECT_FALSE(parse_host_port("gw:0"));
  EXPECT_FALSE(parse_host_port("gw:70000"));
  const auto v6 = parse_host_port("[::1]:24");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "::1");
  EXPECT_EQ(v6->port, 24);

  boost::asio::io_context io;
  test::Recorder recorder;
  FoxtronLink link(io, recorder);
  std::string error;
  // Nobody listens on a port just given back.
  uint16_t closed_port = 0;
  {
    boost::asio::ip::tcp::acceptor probe(
        io, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    closed_port = probe.local_endpoint().port();
  }
  const std::string where = "127.0.0.1:" + std::to_string(closed_port);
  EXPECT_FALSE(link.open(where, error));
  EXPECT_EQ(error.rfind(where + ": ", 0), 0u) << error;
  EXPECT_FALSE(link.open("/nonexistent/ttyS9", error));
  EXPECT_EQ(error.rfind("/nonexistent/ttyS9: ", 0), 0u) << error;
  // A gateway's address without its port is not taken for a device.
  EXPECT_FALSE(link.open("192.0.2.1", error));
  EXPECT_NE(error.find("192.0.2.1:23"), std::string::npos) << error;
}

#if !defined(_WIN32)
// A gateway slow to take the connection does not hold the I/O thread: the
// attempt carries on in the background and a later open collects it. A
// full accept queue (backlog 0, one connection waiting) drops our SYN
// until the test accepts and the retry gets through.
TEST(FoxtronConnector, SlowPeerIsCollectedLater) {
  using boost::asio::ip::tcp;
  boost::asio::io_context io;
  tcp::acceptor acceptor(io);
  const tcp::endpoint loopback(boost::asio::ip::make_address_v4("127.0.0.1"),
                               0);
  acceptor.open(loopback.protocol());
  acceptor.bind(loopback);
  acceptor.listen(0);
  tcp::socket filler(io);
  filler.connect(acceptor.local_endpoint());

  TcpConnector connector(io, 50ms, kWaitLimit);
  const HostPort at{"127.0.0.1", acceptor.local_endpoint().port()};
  std::string error;
  EXPECT_FALSE(connector.poll(at, error));
  EXPECT_NE(error.find("still connecting"), std::string::npos) << error;
  ASSERT_TRUE(connector.pending());

  tcp::socket first = acceptor.accept();
  const auto deadline = Clock::now() + kWaitLimit;
  while (connector.pending() && Clock::now() < deadline) io.run_one_for(10ms);
  EXPECT_TRUE(connector.poll(at, error)) << error;
}

// A pty keeps no parity and has no modem lines: both are noted, neither
// stops the link; closing the master is an unplug.
TEST_F(FoxtronLinkTest, SerialUnitOnAPty) {
  const std::string path = gateway_.open_pty();
  ASSERT_FALSE(path.empty());
  std::string error;
  ASSERT_TRUE(link_.open(path, error)) << error;
  ASSERT_EQ(link_.notes().size(), 2u);
  EXPECT_NE(link_.notes()[0].find("even parity"), std::string::npos);
  EXPECT_NE(link_.notes()[1].find("cannot raise DTR"), std::string::npos);
  ASSERT_TRUE(run_until([&] { return link_.firmware_version() == "1.7"; }));
  query_is_answered();

  gateway_.drop();
  ASSERT_TRUE(run_until([&] { return !recorder_.lost.empty(); }));
  EXPECT_FALSE(link_.is_open());
  expect_nothing_left();
}
#endif

}  // namespace
}  // namespace kovra62386::sim::drivers
