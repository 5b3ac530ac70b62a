// The SevenLab USB-serial interface's protocol, replayed from traces
// written from its published documents (commands and report formats,
// statuses, the loopback sequences), on a virtual clock.
#include "server/drivers/sevenlab_protocol.h"

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

class SevenLabTrace : public ::testing::Test {
 protected:
  std::string send(const TransmitRequest& r) { return unit.transmit(r, now); }
  std::string feed(std::string_view bytes) {
    unit.consume(bytes, now);
    return test::words(unit.take_events());
  }
  std::string advance(std::chrono::milliseconds by) {
    now += by;
    unit.on_time(now);
    return test::words(unit.take_events());
  }

  SevenLabProtocol unit;
  DriverClock::time_point now{};
};

// QUERY ACTUAL LEVEL to short address 1 (03 A0): loopback, then the answer
// (the documents' `{…:08 C4}`), in the firmware's 8-digit lower case.
TEST_F(SevenLabTrace, QueryIsAnswered) {
  EXPECT_EQ(send(request({0x03, 0xA0})), "Q1 10 03A0\r");
  EXPECT_TRUE(unit.busy());
  EXPECT_EQ(feed("{0000001a>10 000003a0}\r\n"), "confirmed:0 echo");
  EXPECT_EQ(feed("{00000030:08 000000c4}\r\n"), "answer:196 over");
  EXPECT_FALSE(unit.busy());
  // The documents' own widths and case, split across reads anywhere.
  send(request({0xFF, 0x00}, false, 3));
  EXPECT_EQ(feed("{00000011>1"), "");
  EXPECT_EQ(feed("0 FF00}\r"), "confirmed:0 echo");
  EXPECT_EQ(feed("\n{00000020:08 C4"), "");
  EXPECT_EQ(feed("}\r\n"), "answer:196 over");
}

TEST_F(SevenLabTrace, QueryWithoutAnswerEndsWithTimeoutReport) {
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed("{0000001a>10 000003a0}\r\n{00000028:81 00000000}\r\n"),
            "confirmed:0 echo no-answer over");
  EXPECT_FALSE(unit.busy());
}

TEST_F(SevenLabTrace, CollisionsAreNeverNoAnswer) {
  // On our own forward frame (84-86).
  for (const char* status : {"84", "85", "86"}) {
    send(request({0x03, 0xA0}));
    EXPECT_EQ(feed(std::string("{0000001a>") + status + " 00000000}\r\n"),
              "confirmed:0 collision over")
        << status;
    // The `Q`'s late timeout report is not credited to anything.
    EXPECT_EQ(feed("{00000028:81 00000000}\r\n"), "");
  }
  // A garbled answer (bad bit timing).
  send(request({0x03, 0xA0}));
  feed("{0000001a>10 000003a0}\r\n");
  EXPECT_EQ(feed("{00000028:83 00000405}\r\n"), "collision over");
  // A loopback that differs from what we sent.
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed("{0000001a>10 000002a0}\r\n"), "confirmed:0 collision over");
  EXPECT_EQ(unit.dropped().stale, 3u);
}

// RESET sent twice: `+`, two loopbacks, each copy reported in full.
TEST_F(SevenLabTrace, SendTwiceGivesTwoLoopbacks) {
  EXPECT_EQ(send(request({0xFF, 0x20}, true)), "S1 10+FF20\r");
  EXPECT_EQ(feed("{00000100>10 0000ff20}\r\n"), "confirmed:0 echo no-answer");
  EXPECT_TRUE(unit.busy());
  advance(14ms);  // 17 bit times plus the settling time of class 1
  EXPECT_EQ(feed("{0000010e>10 0000ff20}\r\n"),
            "confirmed:0 echo no-answer over");
  EXPECT_FALSE(unit.busy());
}

// A collision on the first copy ends the pair: the caller sees Over at
// once and the second loopback, should the unit still send it, is stale.
TEST_F(SevenLabTrace, CollisionEndsSendTwicePair) {
  send(request({0xFF, 0x20}, true));
  EXPECT_EQ(feed("{00000100>85 00000000}\r\n"), "confirmed:0 collision over");
  EXPECT_FALSE(unit.busy());
  EXPECT_EQ(feed("{0000010e>10 0000ff20}\r\n"), "");
  EXPECT_EQ(unit.dropped().stale, 1u);
}

TEST_F(SevenLabTrace, OtherMastersFramesAndEvents) {
  // A 16-bit frame and its answer, while we are idle.
  EXPECT_EQ(feed("{00000200:10 000003a0}\r\n{00000210:08 000000fe}\r\n"),
            "foreign:16:3 foreign-answer:254");
  // A 24-bit event of an input device, while our query waits for its turn.
  send(request({0x03, 0xA0}));
  unit.consume("{00000300:18 00858b01}\r\n", now);
  const auto events = unit.take_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::ForeignFrame);
  EXPECT_EQ(events[0].frame.bit_count, 24);
  EXPECT_EQ(events[0].frame.data[0], 0x85);
  EXPECT_EQ(events[0].frame.data[1], 0x8B);
  EXPECT_EQ(events[0].frame.data[2], 0x01);
  EXPECT_TRUE(unit.busy());  // not taken for our loopback
  EXPECT_EQ(feed("{00000310>10 000003a0}\r\n"), "confirmed:0 echo");
}

TEST_F(SevenLabTrace, TwentyFourBitFrameAndPriority) {
  EXPECT_EQ(send(request({0xFE, 0xFF, 0x00}, false, 4)), "Q4 18 FEFF00\r");
  // Priorities outside 1..5 go as the lowest; 6 (back-to-back) never.
  unit.consume("{00000010>18 00feff00}\r\n{00000020:81 00000000}\r\n", now);
  unit.take_events();
  EXPECT_EQ(send(request({0x03, 0xA0}, false, 6)), "Q5 10 03A0\r");
}

TEST_F(SevenLabTrace, BusFailureAndRecovery) {
  EXPECT_EQ(feed("{00001000:91 07a12000}\r\n"), "power-lost");
  EXPECT_FALSE(unit.bus_powered());
  EXPECT_EQ(send(request({0x03, 0xA0})), "");
  EXPECT_EQ(test::words(unit.take_events()), "confirmed:2 over");
  EXPECT_EQ(feed("{00001000:91 07a12000}\r\n"), "");  // no news
  EXPECT_EQ(feed("{00002000:92 0f424000}\r\n"), "power-back");
  EXPECT_EQ(send(request({0x03, 0xA0})), "Q1 10 03A0\r");
}

TEST_F(SevenLabTrace, InterfaceErrorsRefuseTheFrame) {
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed("{00000001:a2 00000000}\r\n"), "confirmed:1 over");
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed("{00000001:A3 00000000}\r\n"), "confirmed:3 over");
  EXPECT_FALSE(unit.busy());
  // Frames the bus does not carry never reach the unit.
  EXPECT_EQ(send(request({0x03})), "");
  EXPECT_EQ(test::words(unit.take_events()), "confirmed:3 over");
}

// A completion that never comes ends the transaction as an error; a late
// answer is not credited to the next frame.
TEST_F(SevenLabTrace, MissingCompletionTimesOut) {
  send(request({0x03, 0xA0}));
  feed("{0000001a>10 000003a0}\r\n");
  EXPECT_EQ(advance(sevenlab::kCopyDeadline - 1ms), "");
  EXPECT_EQ(advance(1ms), "timeout over");
  EXPECT_EQ(send(request({0x03, 0xA1})), "");
  EXPECT_EQ(test::words(unit.take_events()), "confirmed:1 over");
  EXPECT_EQ(feed("{00000100:08 000000c4}\r\n"), "foreign-answer:196");
  // The end of the quiet time is an event of its own, reported once.
  EXPECT_EQ(advance(sevenlab::kQuietAfterTimeout - 1ms), "");
  EXPECT_EQ(unit.next_deadline(), now + 1ms);
  EXPECT_EQ(advance(1ms), "ready");
  EXPECT_EQ(unit.next_deadline(), std::nullopt);
  EXPECT_EQ(advance(1s), "");
  EXPECT_EQ(send(request({0x03, 0xA1})), "Q1 10 03A1\r");
}

TEST_F(SevenLabTrace, BannerAndHostileLines) {
  EXPECT_EQ(feed("DALI USB interface - SevenLab 2024\r\nVersion 3.5.1 \r\n"),
            "version:3.5.1");
  EXPECT_EQ(unit.firmware_version(), "3.5.1");
  const char* garbage[] = {
      "{0000001a>10 000003a0\r\n",       // unterminated
      "{0000001a?10 000003a0}\r\n",      // neither > nor :
      "{001a>10 000003a0}\r\n",          // short tick
      "{0000001a>10 0000000003a0}\r\n",  // too many data digits
      "{0000001a>10 0003a0g0}\r\n",      // not hex
      "{0000001a>10 000103a0}\r\n",      // data beyond 16 bits
      "{0000001a>00 00000000}\r\n",      // no bits
      "{0000001a>10}\r\n",               // no data
      "{0000001a:8f 00000000}\r\n",      // unknown status
  };
  for (const char* line : garbage) EXPECT_EQ(feed(line), "") << line;
  EXPECT_EQ(unit.dropped().garbage, std::size(garbage));
  // An endless line is cut, and the next line still parses.
  EXPECT_EQ(feed(std::string(100'000, 'x')), "");
  EXPECT_EQ(feed("\r\n{00000200:10 0000ff00}\r\n"), "foreign:16:255");
  EXPECT_EQ(unit.dropped().overlong, 1u);
  // Noise before a report on the same line does not hide it.
  EXPECT_EQ(feed(std::string("\xff\x01{00000200:10 0000ff00}\r\n")),
            "foreign:16:255");
}

}  // namespace
}  // namespace kovra62386::sim::drivers
