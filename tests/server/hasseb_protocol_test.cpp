// The hasseb DALI Master's protocol (firmware 2 and later), replayed from
// traces written from its published report layouts, on a virtual clock.
#include "server/drivers/hasseb_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "support/driver_trace.h"

namespace kovra62386::sim::drivers {
namespace {

using namespace std::chrono_literals;
using Kind = DriverEventKind;
using test::request;
using test::word;
using Report = HassebProtocol::Report;

// "AA 07 05 …" as bytes.
std::vector<uint8_t> bytes(const std::string& text) {
  std::istringstream in(text);
  std::vector<uint8_t> out;
  unsigned value = 0;
  while (in >> std::hex >> value) out.push_back(static_cast<uint8_t>(value));
  return out;
}

std::string hex(const Report& report) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const uint8_t b : report) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

class HassebTrace : public ::testing::Test {
 protected:
  // Opens the unit and answers its version query with firmware 2.3.
  void SetUp() override {
    const auto writes = unit.open(now);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(hex(writes[0]), "AA 02 01 00 00 00 00 00 00 00");
    EXPECT_FALSE(unit.can_transmit(now));
    std::vector<Report> more;
    EXPECT_EQ(feed("AA 02 01 02 03 00 00 00 00 00", &more),
              "version:2.3 ready");
    // Then sniff mode, so that other masters' frames are reported.
    ASSERT_EQ(more.size(), 1u);
    EXPECT_EQ(hex(more[0]), "AA 05 02 01 00 00 00 00 00 00");
  }
  std::string send(const TransmitRequest& r) {
    const auto report = unit.transmit(r, now);
    return report ? hex(*report) : describe();
  }
  std::string feed(const std::string& report,
                   std::vector<Report>* writes = nullptr) {
    auto out = unit.consume(bytes(report), now);
    if (writes) *writes = out;
    return describe();
  }
  std::string advance(std::chrono::milliseconds by) {
    now += by;
    unit.on_time(now);
    return describe();
  }
  std::string describe() {
    std::string out;
    for (const DriverEvent& e : unit.take_events()) {
      out += (out.empty() ? "" : " ") + word(e);
    }
    return out;
  }

  HassebProtocol unit;
  DriverClock::time_point now{};
};

// QUERY ACTUAL LEVEL to short address 1 (03 A0), answered 0xC4; the unit
// reports the copy only once it was on the bus.
TEST_F(HassebTrace, QueryAnsweredThenNoAnswer) {
  EXPECT_EQ(send(request({0x03, 0xA0})), "AA 07 03 10 01 00 00 03 A0 00");
  EXPECT_EQ(feed("AA 07 03 02 01 C4 00 00 00 00"),
            "confirmed:0 echo answer:196 over");
  // The gap the unit needs between frames, then ready again.
  EXPECT_FALSE(unit.can_transmit(now));
  EXPECT_EQ(advance(hasseb::kGapBetweenFrames), "ready");
  // Byte 4 as bits (8) reads the same as bytes (1).
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed("AA 07 04 02 08 C4 00 00 00 00"),
            "confirmed:0 echo answer:196 over");
  advance(hasseb::kGapBetweenFrames);
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed("AA 07 05 01 00 00 00 00 00 00"),
            "confirmed:0 echo no-answer over");
  // The hidraw write: the report number, then the 10 bytes.
  EXPECT_EQ(HassebProtocol::wire(Report{0xAA}).size(),
            hasseb::kWriteReportId ? 11u : 10u);
  EXPECT_EQ(HassebProtocol::wire(Report{0xAA}).front(),
            hasseb::kWriteReportId ? 0x00 : 0xAA);
}

TEST_F(HassebTrace, CollisionsAreNeverNoAnswer) {
  // Invalid data (several answered), an answer too early, and an answer
  // that is not one byte.
  for (const char* report :
       {"AA 07 03 03 00 00 00 00 00 00", "AA 07 04 04 00 00 00 00 00 00",
        "AA 07 05 02 02 C4 C4 00 00 00"}) {
    send(request({0x03, 0xA0}));
    EXPECT_EQ(feed(report), "confirmed:0 echo collision over") << report;
    advance(hasseb::kGapBetweenFrames);
  }
}

// Broadcast RESET sent twice: no answer window, the gap in byte 6, one
// report per copy.
TEST_F(HassebTrace, SendTwiceReportsEachCopy) {
  EXPECT_EQ(send(request({0xFF, 0x20}, true)), "AA 07 03 10 00 00 0A FF 20 00");
  EXPECT_EQ(feed("AA 07 03 01 00 00 00 00 00 00"),
            "confirmed:0 echo no-answer");
  EXPECT_EQ(feed("AA 07 03 01 00 00 00 00 00 00"),
            "confirmed:0 echo no-answer over");
  // A collision on the first copy ends the pair; the second report is
  // stale.
  advance(hasseb::kGapBetweenFrames);
  send(request({0xFF, 0x20}, true));
  EXPECT_EQ(feed("AA 07 04 03 00 00 00 00 00 00"),
            "confirmed:0 echo collision over");
  EXPECT_EQ(feed("AA 07 04 01 00 00 00 00 00 00"), "");
  EXPECT_EQ(unit.dropped().stale, 1u);
  // A unit that reports the pair once: over at the deadline, no error.
  advance(hasseb::kGapBetweenFrames);
  send(request({0xFF, 0x20}, true));
  EXPECT_EQ(feed("AA 07 05 01 00 00 00 00 00 00"),
            "confirmed:0 echo no-answer");
  EXPECT_EQ(advance(hasseb::kCopyDeadline), "over");
  EXPECT_EQ(unit.dropped().missing_second_report, 1u);
}

// Sniffed reports carry sequence 0: other masters' 16- and 24-bit frames,
// answers and framing errors, also while a transaction of ours is out.
TEST_F(HassebTrace, OtherMastersFramesInSniffMode) {
  EXPECT_EQ(feed("AA 07 00 05 02 05 00 00 00 00"), "foreign:16:5");
  EXPECT_EQ(feed("AA 07 00 05 03 83 FE 10 00 00"), "foreign:24:131");
  EXPECT_EQ(feed("AA 07 00 05 10 FF 00 00 00 00"), "foreign:16:255");
  EXPECT_EQ(feed("AA 07 00 05 01 FF 00 00 00 00"), "foreign-answer:255");
  EXPECT_EQ(feed("AA 07 00 06 00 00 00 00 00 00"), "foreign-error");
  send(request({0x03, 0xA0}));
  EXPECT_EQ(feed("AA 07 00 05 02 01 05 00 00 00"), "foreign:16:1");
  EXPECT_TRUE(unit.busy());
  // Garbage of every kind is counted, not acted on.
  EXPECT_EQ(feed("AA 07 00 05 04 00 00 00 00 00"), "");  // 4 data bytes
  EXPECT_EQ(feed("55 07 03 02 01 C4 00 00 00 00"), "");  // preamble
  EXPECT_EQ(feed("AA 07 03 02 01 C4 00 00 00"), "");     // 9 bytes
  EXPECT_EQ(feed("AA 09 03 02 01 C4 00 00 00 00"), "");  // type
  EXPECT_EQ(feed("AA 00 00 00 00 00 00 00 00 00"), "");  // no-op, ignored
  EXPECT_EQ(unit.dropped().garbage, 4u);
  EXPECT_TRUE(unit.busy());
}

// A unit that never reports: a timeout (an error, not "no answer"), a
// quiet time, and its late report is not credited to the next frame even
// when it carries that frame's answer.
TEST_F(HassebTrace, StaleReplyNeverCreditedToTheNextFrame) {
  send(request({0x03, 0xA0}));
  EXPECT_EQ(advance(hasseb::kCopyDeadline - 1ms), "");
  EXPECT_EQ(advance(1ms), "timeout over");
  EXPECT_FALSE(unit.can_transmit(now));
  EXPECT_EQ(advance(hasseb::kQuietAfterTimeout), "ready");
  EXPECT_EQ(send(request({0x03, 0xA1})), "AA 07 04 10 01 00 00 03 A1 00");
  EXPECT_EQ(feed("AA 07 03 02 01 C4 00 00 00 00"), "");  // seq 3: stale
  EXPECT_EQ(unit.dropped().stale, 1u);
  EXPECT_EQ(feed("AA 07 04 02 01 10 00 00 00 00"),
            "confirmed:0 echo answer:16 over");
}

// Sequence numbers run 1..255 and never use 0, the spontaneous reports'.
TEST_F(HassebTrace, SequenceNumbersSkipZero) {
  std::vector<int> sequences;
  for (int i = 0; i < 260; ++i) {
    const auto report = unit.transmit(request({0x03, 0xA0}), now);
    ASSERT_TRUE(report);
    sequences.push_back((*report)[2]);
    Report reply{0xAA, 0x07, (*report)[2], 0x01};
    unit.consume(reply, now);
    advance(hasseb::kGapBetweenFrames);
  }
  EXPECT_EQ(sequences[252], 255);
  EXPECT_EQ(sequences[253], 1);
  EXPECT_EQ(std::count(sequences.begin(), sequences.end(), 0), 0);
}

TEST_F(HassebTrace, UnsupportedFramesAndBusyAreRefusedAtOnce) {
  EXPECT_EQ(
      send(request({0x83, 0xFE, 0x10})),
      hasseb::kSends24Bit
          ? "AA 07 03 18 01 00 00 83 FE 10"
          : "confirmed:" + std::to_string(KOVRA62386_STATUS_REFUSED) + " over");
  send(request({0x03, 0xA0}));
  EXPECT_EQ(
      send(request({0x03, 0xA0})),
      "confirmed:" + std::to_string(KOVRA62386_STATUS_BUS_BUSY) + " over");
}

// Firmware older than 2: a 2-byte report, or no reply to the version
// query. Either is refused with what to do, and nothing is ever sent.
TEST(HassebFirmware, LegacyFirmwareIsRefusedWithUpdateAdvice) {
  DriverClock::time_point now{};
  HassebProtocol short_reports;
  short_reports.open(now);
  short_reports.consume(bytes("01 FF"), now);
  EXPECT_NE(short_reports.refusal().find("update the hasseb"),
            std::string::npos);

  HassebProtocol silent;
  silent.open(now);
  EXPECT_EQ(silent.next_deadline(), now + hasseb::kVersionDeadline);
  silent.on_time(now + hasseb::kVersionDeadline);
  EXPECT_NE(silent.refusal().find("firmware"), std::string::npos);
  EXPECT_FALSE(silent.can_transmit(now + 1h));

  HassebProtocol old;
  old.open(now);
  old.consume(bytes("AA 02 01 01 09 00 00 00 00 00"), now);
  EXPECT_NE(old.refusal().find("firmware 1.9"), std::string::npos);
}

}  // namespace
}  // namespace kovra62386::sim::drivers
