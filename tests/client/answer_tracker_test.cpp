// The tracker's rules, driven record by record without threads or sockets,
// plus the waits: a finished transaction never costs the sender the full
// time-out, and wake-ups that do not finish it never end the wait early.
#include "client/transceiver/answer_tracker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dali/dali_commands.h"

namespace kovra62386 {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

ReadFrameRecord blank(uint8_t frame_type, uint8_t sub_type) {
  ReadFrameRecord r;
  std::memset(&r, 0, sizeof r);
  r.frame_type = frame_type;
  r.sub_type = sub_type;
  return r;
}

// The frame the tests send (QUERY STATUS, broadcast) and another one.
constexpr uint8_t kFrame[2] = {0xFF, dali::gear::kQueryStatus};
constexpr uint8_t kOther[2] = {0xFF, dali::gear::kQueryActualLevel};

WriteFrameRecord sent(bool twice, const uint8_t* bytes = kFrame) {
  WriteFrameRecord f;
  std::memset(&f, 0, sizeof f);
  f.frame_type = KOVRA62386_FRAME_TRANSMIT;
  f.frame.bit_count = 16;
  f.frame.format = KOVRA62386_FORMAT_VARIABLE;
  f.frame.data[0] = bytes[0];
  f.frame.data[1] = bytes[1];
  f.frame.send_twice = twice ? 1 : 0;
  return f;
}
ReadFrameRecord confirmation(uint8_t status = KOVRA62386_STATUS_SENT,
                             const uint8_t* bytes = kFrame) {
  ReadFrameRecord r = blank(KOVRA62386_FRAME_TRANSMIT_REPORT, 0);
  r.transmit_report.status = status;
  r.transmit_report.frame.bit_count = 16;
  std::memcpy(r.transmit_report.frame.data, bytes, 2);
  return r;
}
ReadFrameRecord bus(uint8_t sub_type, uint8_t header_flag, uint8_t data0 = 0) {
  ReadFrameRecord r = blank(KOVRA62386_FRAME_BUS_EVENT, sub_type);
  r.bus_event.header_flag = header_flag;
  r.bus_event.data[0] = data0;
  return r;
}
// Our own frame on the bus, as the interface reports it.
ReadFrameRecord own(uint8_t sub_type, const uint8_t* bytes = kFrame) {
  ReadFrameRecord r = bus(sub_type, 1);
  r.bus_event.bit_count = 16;
  std::memcpy(r.bus_event.data, bytes, 2);
  return r;
}
ReadFrameRecord echo(const uint8_t* bytes = kFrame) {
  return own(KOVRA62386_BUS_EVENT_FORWARD, bytes);
}
ReadFrameRecord answer(uint8_t byte) {
  return bus(KOVRA62386_BUS_EVENT_BACKWARD, 0, byte);
}
ReadFrameRecord no_answer() { return bus(KOVRA62386_BUS_EVENT_NO_ANSWER, 0); }
ReadFrameRecord framing_error() {
  return bus(KOVRA62386_BUS_EVENT_FRAMING_ERROR, 0);
}

// The same record from a server that copies no frame bytes into its
// confirmations and echoes.
ReadFrameRecord blanked(ReadFrameRecord r) {
  if (r.frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT)
    std::memset(r.transmit_report.frame.data, 0, 5);
  if (r.frame_type == KOVRA62386_FRAME_BUS_EVENT &&
      r.bus_event.header_flag != 0 &&
      r.sub_type != KOVRA62386_BUS_EVENT_BACKWARD)
    std::memset(r.bus_event.data, 0, 5);
  return r;
}

constexpr milliseconds kShort{20};
constexpr milliseconds kLong{10000};

// Two sends of different frames whose reports carried their bytes: the
// tracker then matches records by bytes.
void learn_frame_bytes(AnswerTracker& tracker) {
  for (const uint8_t* bytes : {kOther, kFrame}) {
    ASSERT_TRUE(tracker.arm(sent(false, bytes)));
    for (const auto& r : {confirmation(KOVRA62386_STATUS_SENT, bytes),
                          echo(bytes), no_answer()})
      tracker.observe(r);
    ASSERT_EQ(tracker.await_outcome(kShort).outcome, AnswerTracker::kNoAnswer);
  }
  ASSERT_EQ(tracker.reports(), AnswerTracker::Reports::kFrameBytes);
}

struct Case {
  std::string name;
  bool send_twice;
  std::vector<ReadFrameRecord> records;
  int32_t outcome;
  bool by_deadline;  // false: finished, await_outcome returns at once
  uint8_t answer = 0;
  bool by_bytes = false;  // told only by the frame bytes in the reports
};

TEST(AnswerTracker, RulesTable) {
  using T = AnswerTracker;
  const std::vector<Case> cases = {
      // One transmission.
      {"answered",
       false,
       {confirmation(), echo(), answer(0x5A)},
       T::kAnswered,
       false,
       0x5A},
      {"no answer",
       false,
       {confirmation(), echo(), no_answer()},
       T::kNoAnswer,
       false},
      {"framing error",
       false,
       {confirmation(), echo(), framing_error()},
       T::kFramingError,
       false},
      {"refused",
       false,
       {confirmation(KOVRA62386_STATUS_REFUSED)},
       T::kFailed,
       false},
      {"ended before confirmation", false, {no_answer()}, T::kNotEchoed, false},
      {"answer before echo changes nothing",
       false,
       {confirmation(), answer(0x11)},
       T::kNotEchoed,
       true},
      {"echo needs confirmation first",
       false,
       {echo(), confirmation()},
       T::kNotEchoed,
       true},
      {"own sub_type 0 frame is an echo, not a completion",
       false,
       {confirmation(), own(KOVRA62386_BUS_EVENT_NO_ANSWER)},
       T::kNoCompletion,
       true},
      {"own answer frame echoes and completes",
       false,
       {confirmation(), own(KOVRA62386_BUS_EVENT_BACKWARD)},
       T::kAnswered,
       false,
       kFrame[0]},
      {"confirmation of another frame is not ours",
       false,
       {confirmation(KOVRA62386_STATUS_SENT, kOther), echo(), answer(1)},
       T::kNoConfirmation,
       true,
       0,
       true},
      {"echo of another frame is not ours",
       false,
       {confirmation(), echo(kOther), answer(1)},
       T::kNotEchoed,
       true,
       0,
       true},
      {"forward frame without header flag is no echo",
       false,
       {confirmation(), bus(KOVRA62386_BUS_EVENT_FORWARD, 0)},
       T::kNotEchoed,
       true},
      {"other frame types change nothing",
       false,
       {confirmation(), echo(), blank(KOVRA62386_FRAME_INTERFACE_INFO, 0),
        blank(7, 2), bus(KOVRA62386_BUS_EVENT_STATE, 0), bus(5, 0), bus(6, 0),
        bus(7, 0)},
       T::kNoCompletion,
       true},
      {"second confirmation is ignored",
       false,
       {confirmation(), confirmation(KOVRA62386_STATUS_BUS_BUSY), echo(),
        answer(1)},
       T::kAnswered,
       false,
       1},
      // Deadline: the lowest active state decides.
      {"deadline submitted", false, {}, T::kNoConfirmation, true},
      {"deadline confirmed", false, {confirmation()}, T::kNotEchoed, true},
      {"deadline echoed",
       false,
       {confirmation(), echo()},
       T::kNoCompletion,
       true},
      {"deadline idle",
       true,
       {confirmation(KOVRA62386_STATUS_BUS_BUSY)},
       T::kFailed,
       true},
      // Two transmissions.
      {"twice answered twice",
       true,
       {confirmation(), confirmation(), echo(), echo(), answer(0x11),
        answer(0x22)},
       T::kAnswered,
       false,
       0x22},
      {"twice answered once",
       true,
       {confirmation(), confirmation(), echo(), echo(), answer(0x11)},
       T::kNoCompletion,
       true},
      {"twice second echo missing",
       true,
       {confirmation(), confirmation(), echo(), answer(0x11)},
       T::kNotEchoed,
       true},
      {"twice first refused then answered",
       true,
       {confirmation(KOVRA62386_STATUS_BUS_BUSY), confirmation(), echo(),
        answer(0x33)},
       T::kAnswered,
       false,
       0x33},
      {"twice answered then refused",
       true,
       {confirmation(), echo(), answer(0x44),
        confirmation(KOVRA62386_STATUS_POWER_DOWN)},
       T::kFailed,
       false},
      {"twice both refused",
       true,
       {confirmation(KOVRA62386_STATUS_BUS_BUSY),
        confirmation(KOVRA62386_STATUS_BUS_BUSY)},
       T::kFailed,
       false},
      {"twice mixed completions",
       true,
       {confirmation(), confirmation(), echo(), echo(), answer(0x10),
        framing_error()},
       T::kFramingError,
       false},
      {"twice ended before confirmation",
       true,
       {no_answer(), confirmation(), echo(), no_answer()},
       T::kNoAnswer,
       false},
  };
  // Each case against a server that copies the frame bytes (learned), and
  // one that leaves them zero (records taken in order): the same outcome.
  for (const Case& c : cases)
    for (const bool copies : {true, false}) {
      if (!copies && c.by_bytes) continue;
      SCOPED_TRACE(c.name + (copies ? ", frame bytes" : ", zeros"));
      AnswerTracker tracker;
      if (copies) learn_frame_bytes(tracker);
      ASSERT_TRUE(tracker.arm(sent(c.send_twice)));
      for (const auto& r : c.records) tracker.observe(copies ? r : blanked(r));
      // A finished transaction must not wait at all: give it a time-out that
      // no scheduling delay comes near.
      const milliseconds timeout = c.by_deadline ? kShort : kLong;
      const auto start = Clock::now();
      const AnswerTracker::Result result = tracker.await_outcome(timeout);
      const auto took = Clock::now() - start;
      EXPECT_EQ(result.outcome, c.outcome);
      if (c.by_deadline) {
        EXPECT_GE(took, kShort);
      } else {
        EXPECT_LT(took, kLong / 2);
      }
      EXPECT_EQ(result.answer, c.answer);
      // Closed: a new transaction opens.
      EXPECT_TRUE(tracker.arm(sent(false)));
    }
}

TEST(AnswerTracker, RecordsBetweenTransactionsChangeNothing) {
  AnswerTracker tracker;
  for (const auto& r : {confirmation(), echo(), answer(9), no_answer()})
    tracker.observe(r);
  ASSERT_TRUE(tracker.arm(sent(false)));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome,
            AnswerTracker::kNoConfirmation);

  // After a finished transaction the slots stay done until the wait closes
  // it; more records leave the stored outcome alone. (Drained first, as a
  // send does: the timed-out one above never had records.)
  ASSERT_TRUE(tracker.drain_late(Clock::now() + kLong));
  ASSERT_TRUE(tracker.arm(sent(false)));
  for (const auto& r : {confirmation(), echo(), answer(0x21)})
    tracker.observe(r);
  for (const auto& r : {confirmation(), echo(), no_answer(), answer(0x99)})
    tracker.observe(r);
  const AnswerTracker::Result result = tracker.await_outcome(kShort);
  EXPECT_EQ(result.outcome, AnswerTracker::kAnswered);
  EXPECT_EQ(result.answer, 0x21);
}

// Records carry no identifier: a transaction that ran out of time must not
// lend its late records to the next one.
TEST(AnswerTracker, LateRecordsAreConsumed) {
  using T = AnswerTracker;
  AnswerTracker tracker;
  learn_frame_bytes(tracker);
  // Answered 0x11 after the deadline, while a query of another frame waits.
  ASSERT_TRUE(tracker.arm(sent(false)));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, T::kNoConfirmation);
  ASSERT_TRUE(tracker.arm(sent(false, kOther)));
  for (const auto& r : {confirmation(), echo(), answer(0x11),
                        confirmation(KOVRA62386_STATUS_SENT, kOther),
                        echo(kOther), answer(0x22)})
    tracker.observe(r);
  T::Result result = tracker.await_outcome(kShort);
  EXPECT_EQ(result.outcome, T::kAnswered);
  EXPECT_EQ(result.answer, 0x22);

  // A late "no answer" does not end the next transaction before its
  // confirmation, nor does one that arrives between transactions.
  ASSERT_TRUE(tracker.arm(sent(false)));
  tracker.observe(confirmation());
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, T::kNotEchoed);
  ASSERT_TRUE(tracker.arm(sent(false, kOther)));
  tracker.observe(echo());
  tracker.observe(no_answer());
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, T::kNoConfirmation);

  // The same frame again: its records cannot be told from the late ones.
  // The second send takes the first records of that frame; its own, coming
  // later, are consumed and leave a third frame alone.
  ASSERT_TRUE(tracker.arm(sent(false)));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, T::kNoConfirmation);
  ASSERT_TRUE(tracker.arm(sent(false)));
  for (const auto& r : {confirmation(), echo(), answer(0x33)})
    tracker.observe(r);
  result = tracker.await_outcome(kShort);
  EXPECT_EQ(result.outcome, T::kAnswered);
  EXPECT_EQ(result.answer, 0x33);
  ASSERT_TRUE(tracker.arm(sent(false, kOther)));
  for (const auto& r : {confirmation(), echo(), no_answer(),
                        confirmation(KOVRA62386_STATUS_SENT, kOther),
                        echo(kOther), answer(0x44)})
    tracker.observe(r);
  result = tracker.await_outcome(kShort);
  EXPECT_EQ(result.outcome, T::kAnswered);
  EXPECT_EQ(result.answer, 0x44);
}

// Two threads may send on one handle. Once a wait has ended, the next send
// may arm and be answered at once; the first send's answer must be the one
// its own wait ended with.
TEST(AnswerTracker, AnswerComesWithItsOutcome) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(sent(false)));
  for (const auto& r : {confirmation(), echo(), answer(0x11)})
    tracker.observe(r);
  const AnswerTracker::Result first = tracker.await_outcome(kShort);
  ASSERT_TRUE(tracker.arm(sent(false, kOther)));
  for (const auto& r : {confirmation(KOVRA62386_STATUS_SENT, kOther),
                        echo(kOther), answer(0x22)})
    tracker.observe(r);
  EXPECT_EQ(first.outcome, AnswerTracker::kAnswered);
  EXPECT_EQ(first.answer, 0x11);
  EXPECT_EQ(tracker.await_outcome(kShort).answer, 0x22);
}

TEST(AnswerTracker, SecondArmFailsAndChangesNothing) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(sent(false)));
  tracker.observe(confirmation());
  EXPECT_FALSE(tracker.arm(sent(true)));
  EXPECT_FALSE(tracker.arm(sent(false)));
  // Still one transmission, still confirmed: one answer finishes it.
  tracker.observe(echo());
  tracker.observe(answer(0x5A));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, AnswerTracker::kAnswered);

  // A finished but unclosed transaction also refuses a new arm.
  ASSERT_TRUE(tracker.arm(sent(true)));
  tracker.observe(confirmation(KOVRA62386_STATUS_BUS_BUSY));
  tracker.observe(confirmation(KOVRA62386_STATUS_BUS_BUSY));
  EXPECT_FALSE(tracker.arm(sent(false)));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, AnswerTracker::kFailed);
  EXPECT_TRUE(tracker.arm(sent(false)));
}

TEST(AnswerTracker, DisarmReturnsToIdle) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(sent(true)));
  tracker.disarm();
  // Records for the abandoned frame find nothing to advance.
  tracker.observe(confirmation());
  ASSERT_TRUE(tracker.arm(sent(false)));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome,
            AnswerTracker::kNoConfirmation);
}

TEST(AnswerTracker, AwaitWithoutArmReturnsAtOnce) {
  AnswerTracker tracker;
  const auto start = Clock::now();
  EXPECT_EQ(tracker.await_outcome(AnswerTracker::kSendTimeout).outcome,
            AnswerTracker::kFailed);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
}

TEST(AnswerTracker, CompletionBeforeWaitReturnsAtOnce) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(sent(false)));
  for (const auto& r : {confirmation(), echo(), answer(0x5A)})
    tracker.observe(r);
  const auto start = Clock::now();
  const AnswerTracker::Result result =
      tracker.await_outcome(AnswerTracker::kSendTimeout);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  EXPECT_EQ(result.outcome, AnswerTracker::kAnswered);
  EXPECT_EQ(result.answer, 0x5A);
}

TEST(AnswerTracker, CompletionFromAnotherThreadWakesTheSender) {
  for (int round = 0; round < 50; ++round) {
    AnswerTracker tracker;
    ASSERT_TRUE(tracker.arm(sent(round % 2 == 1)));
    std::thread worker([&] {
      for (int t = 0; t < (round % 2 == 1 ? 2 : 1); ++t)
        tracker.observe(confirmation());
      tracker.observe(echo());
      tracker.observe(echo());
      tracker.observe(answer(0x01));
      tracker.observe(answer(static_cast<uint8_t>(round)));
    });
    const auto start = Clock::now();
    const int32_t outcome =
        tracker.await_outcome(AnswerTracker::kSendTimeout).outcome;
    const auto took = Clock::now() - start;
    worker.join();
    EXPECT_EQ(outcome, AnswerTracker::kAnswered);
    EXPECT_LT(took, milliseconds(400));
  }
}

TEST(AnswerTracker, WakeUpsThatDoNotFinishNeverEndTheWait) {
  // Each record below wakes the sender; none finishes the transaction.
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(sent(true)));
  std::thread worker([&] {
    tracker.observe(confirmation());
    tracker.observe(confirmation());
    tracker.observe(echo());
    tracker.observe(answer(0x01));
  });
  const milliseconds timeout(300);
  const auto start = Clock::now();
  const int32_t outcome = tracker.await_outcome(timeout).outcome;
  const auto took = Clock::now() - start;
  worker.join();
  EXPECT_GE(took, timeout);
  EXPECT_LT(took, timeout + milliseconds(400));
  // Slot 1 is never echoed, however many of the records came in time.
  EXPECT_TRUE(outcome == AnswerTracker::kNotEchoed ||
              outcome == AnswerTracker::kNoConfirmation)
      << outcome;
}

// Which servers count as copying the frame bytes. Wrongly taken to copy,
// a server would see every later send time out; so it takes two different
// frames whose confirmation and echo both carried them, with nothing late.
TEST(AnswerTracker, LearnsWhetherTheServerCopiesFrameBytes) {
  using R = AnswerTracker::Reports;
  constexpr uint8_t kZeros[2] = {0x00, 0x00};  // DAPC 0 to short address 0
  const auto send = [](AnswerTracker& tracker, const uint8_t* frame,
                       const uint8_t* in_confirmation, const uint8_t* in_echo) {
    ASSERT_TRUE(tracker.arm(sent(false, frame)));
    for (const auto& r : {confirmation(KOVRA62386_STATUS_SENT, in_confirmation),
                          echo(in_echo), answer(0x5A)})
      tracker.observe(r);
    const AnswerTracker::Result result = tracker.await_outcome(kShort);
    EXPECT_EQ(result.outcome, AnswerTracker::kAnswered);
    EXPECT_EQ(result.answer, 0x5A);
  };
  AnswerTracker copying;
  send(copying, kFrame, kFrame, kFrame);
  send(copying, kFrame, kFrame, kFrame);  // the same frame proves nothing
  EXPECT_EQ(copying.reports(), R::kUnknown);
  send(copying, kOther, kOther, kOther);
  EXPECT_EQ(copying.reports(), R::kFrameBytes);

  // Zeros that happen to be the first frame's bytes, then another frame.
  AnswerTracker zeros;
  send(zeros, kZeros, kZeros, kZeros);
  EXPECT_EQ(zeros.reports(), R::kUnknown);
  send(zeros, kFrame, kZeros, kZeros);
  EXPECT_EQ(zeros.reports(), R::kOther);
  send(zeros, kOther, kOther, kOther);  // settled for good
  EXPECT_EQ(zeros.reports(), R::kOther);

  // Bytes in one of the two reports only.
  for (const bool in_echo : {true, false}) {
    AnswerTracker half;
    send(half, kFrame, in_echo ? kZeros : kFrame, in_echo ? kFrame : kZeros);
    EXPECT_EQ(half.reports(), R::kOther);
  }
}

// Taken in order, the records of a send that ran out of time would end the
// next one: the next send lets them drain first, and gives up on them once
// nothing has come for them for the quiet time.
TEST(AnswerTracker, LateRecordsDrainBeforeTheNextFrame) {
  using T = AnswerTracker;
  const auto far = [] { return Clock::now() + kLong; };
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(sent(false)));
  tracker.observe(blanked(confirmation()));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, T::kNotEchoed);

  // Nothing came yet, and the quiet time is not over: still late.
  EXPECT_FALSE(tracker.drain_late(Clock::now() + milliseconds(50)));
  // The rest comes while the next send drains: it ends the drain.
  std::thread worker([&] {
    tracker.observe(blanked(echo()));
    tracker.observe(answer(0x11));
  });
  EXPECT_TRUE(tracker.drain_late(far()));
  worker.join();
  ASSERT_TRUE(tracker.arm(sent(false, kOther)));
  for (const auto& r : {confirmation(), echo(), answer(0x22)})
    tracker.observe(blanked(r));
  T::Result result = tracker.await_outcome(kShort);
  EXPECT_EQ(result.outcome, T::kAnswered);
  EXPECT_EQ(result.answer, 0x22);

  // A late send whose records never come is given up after the quiet
  // time; the next frame then gets its own records.
  ASSERT_TRUE(tracker.arm(sent(false)));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, T::kNoConfirmation);
  EXPECT_TRUE(tracker.drain_late(far()));
  ASSERT_TRUE(tracker.arm(sent(false, kOther)));
  for (const auto& r : {confirmation(), echo(), answer(0x33)})
    tracker.observe(blanked(r));
  result = tracker.await_outcome(kShort);
  EXPECT_EQ(result.answer, 0x33);

  // Past its deadline the drain reports what is still late; the handle's
  // end stops it at once.
  ASSERT_TRUE(tracker.arm(sent(false)));
  EXPECT_EQ(tracker.await_outcome(kShort).outcome, T::kNoConfirmation);
  EXPECT_FALSE(tracker.drain_late(Clock::now()));
  tracker.cut_short();
  EXPECT_TRUE(tracker.drain_late(far()));
}

}  // namespace
}  // namespace kovra62386
