// The Foxtron gateways' protocol, replayed from traces written from their
// published documents (framing and checksum examples, the 0B/0D/0E/03/04
// layouts, events, configuration items), on a virtual clock. Checksums in
// the traces were worked out by hand, not by the code under test.
#include "server/drivers/foxtron_protocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/driver_trace.h"

namespace kovra62386::sim::drivers {
namespace {

using namespace std::chrono_literals;
using Kind = DriverEventKind;
using test::request;
using test::word;

// A message on the line: SOH, hex digits with their checksum, ETB.
std::string msg(const std::string& digits) { return "\x01" + digits + "\x17"; }

class FoxtronTrace : public ::testing::Test {
 protected:
  std::string send(const TransmitRequest& r) { return unit.transmit(r, now); }
  std::string feed(std::string_view bytes) {
    unit.consume(bytes, now);
    return events();
  }
  std::string advance(std::chrono::milliseconds by) {
    now += by;
    written = unit.on_time(now);
    return events();
  }
  std::string events() {
    std::string out;
    for (const DriverEvent& e : unit.take_events()) {
      out += (out.empty() ? "" : " ") + word(e);
    }
    return out;
  }

  FoxtronProtocol unit;
  DriverClock::time_point now{};
  std::string written;
};

TEST_F(FoxtronTrace, FramingAndConfigurationItems) {
  // The documents' example: data 01 00 10 FF 10, checksum DF, 14 bytes.
  const std::vector<uint8_t> example{0x01, 0x00, 0x10, 0xFF, 0x10};
  EXPECT_EQ(FoxtronProtocol::encode(example), msg("010010FF10DF"));
  // Opening asks for the firmware version (the documents' 0602F7) and the
  // bus power.
  EXPECT_EQ(unit.start(now), msg("0602F7") + msg("0603F6"));
  // A reply with a wrong checksum (as printed in one document) is dropped;
  // the right one gives version 4.6, in lower case too.
  EXPECT_EQ(feed(msg("07020406ED")), "");
  EXPECT_EQ(unit.dropped().checksum, 1u);
  EXPECT_EQ(feed(msg("07020406ec")), "version:4.6");
  EXPECT_EQ(unit.firmware_version(), "4.6");
  // Noise: an odd digit count, a non-hex digit, an overlong message, a
  // message cut short by the next SOH. None of it gets through.
  EXPECT_EQ(feed(msg("0500F") + msg("05G0FA") + msg(std::string(40, '0'))), "");
  EXPECT_EQ(feed("\x01"
                 "0501" +
                 msg("0500FA")),
            "");
  EXPECT_EQ(unit.dropped().garbage, 3u);
  EXPECT_EQ(unit.dropped().overlong, 1u);
}

// QUERY ACTUAL LEVEL to short address 1: 0B, priority 1, 16 bits, 03 A0,
// no flags; the live trace's answer 0D 10 03A0 08 00. Another master's
// frame comes between and is not taken for ours.
TEST_F(FoxtronTrace, QueryIsAnsweredPastForeignTraffic) {
  EXPECT_EQ(send(request({0x03, 0xA0})), msg("0B011003A00040"));
  EXPECT_TRUE(unit.busy());
  EXPECT_EQ(feed("\x01"
                 "03100190080053"),
            "");  // cut before its ETB
  EXPECT_EQ(feed("\x17"), "foreign:16:1 foreign-answer:0");
  EXPECT_EQ(feed(msg("0D1003A0")), "");  // no checksum: dropped
  EXPECT_EQ(feed(msg("0D1003A0080037")), "confirmed:0 echo answer:0 over");
  EXPECT_FALSE(unit.busy());
  // NO: 0E echoes the frame alone.
  send(request({0x19, 0x92}));
  EXPECT_EQ(feed(msg("0E10199236")), "confirmed:0 echo no-answer over");
}

TEST_F(FoxtronTrace, CollisionsAreNeverNoAnswer) {
  // An unreadable answer: answer bits 0 (the documents' 0D 10 FF92 00).
  send(request({0xFF, 0x92}));
  EXPECT_EQ(feed(msg("0D10FF920051")), "confirmed:0 echo collision over");
  // Our frame itself unreadable: 0E with length 0.
  send(request({0x19, 0x92}));
  EXPECT_EQ(feed(msg("0E00F1")), "confirmed:0 collision over");
}

// A report that never comes: the transaction ends after the bounded wait
// as a timeout; the late report of the lost frame is not credited to the
// next one.
TEST_F(FoxtronTrace, MissingReportTimesOutAndStaysStale) {
  send(request({0x03, 0xA0}));
  EXPECT_EQ(unit.next_deadline(), now + foxtron::kReportDeadline);
  EXPECT_EQ(advance(foxtron::kReportDeadline - 1ms), "");
  EXPECT_EQ(advance(1ms), "timeout over");
  EXPECT_FALSE(unit.can_transmit(now));
  EXPECT_EQ(send(request({0x05, 0x90})), "");
  EXPECT_EQ(events(), "confirmed:1 over");
  EXPECT_EQ(advance(foxtron::kQuietAfterTimeout), "ready");
  EXPECT_EQ(send(request({0x05, 0x90})), msg("0B01100590004E"));
  EXPECT_EQ(feed(msg("0D1003A0080037")), "");  // the lost one's
  EXPECT_EQ(unit.dropped().stale, 1u);
  EXPECT_EQ(feed(msg("0D10059008FE47")), "confirmed:0 echo answer:254 over");
}

// RESET twice (flag bit 0): one report stands for both copies.
TEST_F(FoxtronTrace, SendTwiceReportsBothCopies) {
  EXPECT_EQ(send(request({0xFF, 0x20}, true)), msg("0B0110FF2001C3"));
  EXPECT_EQ(feed(msg("0E10FF20C2")),
            "confirmed:0 echo no-answer confirmed:0 echo no-answer over");
  // A second report, should the unit send one, belongs to nothing.
  EXPECT_EQ(feed(msg("0E10FF20C2")), "");
  EXPECT_EQ(unit.dropped().stale, 1u);
}

TEST_F(FoxtronTrace, ForeignFramesOf16And24Bits) {
  EXPECT_EQ(feed(msg("031003A00049")), "foreign:16:3 foreign-error");
  EXPECT_EQ(feed(msg("041803FE05DD")), "foreign:24:3");
  EXPECT_EQ(feed(msg("0400FB")), "foreign-error");
  // A 24-bit frame of ours goes out whole.
  EXPECT_EQ(send(request({0x01, 0x02, 0x03})), msg("0B011801020300D5"));
}

TEST_F(FoxtronTrace, BusFailureAndRecovery) {
  EXPECT_EQ(feed(msg("0501F9")), "power-lost");
  EXPECT_FALSE(unit.bus_powered());
  EXPECT_EQ(send(request({0x03, 0xA0})), "");
  EXPECT_EQ(events(), "confirmed:2 over");
  EXPECT_EQ(feed(msg("0500FA")), "power-back");
  // The bus power item says the same.
  EXPECT_EQ(feed(msg("07030001F4")), "power-lost");
  EXPECT_EQ(feed(msg("07030000F5")), "power-back");
  // A full send buffer drops our frame: busy, not sent.
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed(msg("0504F6")), "confirmed:1 over");
}

// Network gateways: a query when the link has been quiet, and a link that
// stays silent is given up. Serial ones have no deadline while idle.
TEST_F(FoxtronTrace, KeepAliveOnlyOnNetworkLinks) {
  unit.start(now);
  EXPECT_EQ(unit.next_deadline(), std::nullopt);

  FoxtronProtocol network(true);
  const auto start = now;
  network.start(now);
  EXPECT_EQ(network.next_deadline(), start + foxtron::kKeepAliveInterval);
  EXPECT_EQ(network.on_time(start + foxtron::kKeepAliveInterval),
            msg("0603F6"));
  network.consume(msg("07030000F5"), start + 21s);
  EXPECT_FALSE(network.silent());
  EXPECT_EQ(network.on_time(start + 41s), msg("0603F6"));
  EXPECT_EQ(network.on_time(start + 61s), msg("0603F6"));
  EXPECT_FALSE(network.silent());
  EXPECT_EQ(network.on_time(start + 21s + foxtron::kSilenceLimit), "");
  EXPECT_TRUE(network.silent());
  EXPECT_FALSE(network.can_transmit(start + 72s));
}

}  // namespace
}  // namespace kovra62386::sim::drivers
