// The tracker's rules, driven record by record without threads or sockets,
// plus the waits: a finished transaction never costs the sender the full
// time-out, and wake-ups that do not finish it never end the wait early.
#include "transceiver/answer_tracker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
ReadFrameRecord confirmation(uint8_t status) {
  ReadFrameRecord r = blank(4, 0);
  r.transmit_report.status = status;
  return r;
}
ReadFrameRecord bus(uint8_t sub_type, uint8_t header_flag, uint8_t data0 = 0) {
  ReadFrameRecord r = blank(1, sub_type);
  r.bus_event.header_flag = header_flag;
  r.bus_event.data[0] = data0;
  return r;
}
ReadFrameRecord echo() { return bus(1, 1); }
ReadFrameRecord answer(uint8_t byte) { return bus(2, 0, byte); }
ReadFrameRecord no_answer() { return bus(0, 0); }
ReadFrameRecord framing_error() { return bus(3, 0); }

constexpr milliseconds kShort{20};
constexpr milliseconds kLong{10000};

struct Case {
  std::string name;
  bool send_twice;
  std::vector<ReadFrameRecord> records;
  int32_t outcome;
  bool by_deadline;  // false: finished, await_outcome returns at once
  uint8_t answer = 0;
};

TEST(AnswerTracker, RulesTable) {
  using T = AnswerTracker;
  const std::vector<Case> cases = {
      // One transmission.
      {"answered",
       false,
       {confirmation(0), echo(), answer(0x5A)},
       T::kAnswered,
       false,
       0x5A},
      {"no answer",
       false,
       {confirmation(0), echo(), no_answer()},
       T::kNoAnswer,
       false},
      {"framing error",
       false,
       {confirmation(0), echo(), framing_error()},
       T::kFramingError,
       false},
      {"refused", false, {confirmation(3)}, T::kFailed, false},
      {"ended before confirmation", false, {no_answer()}, T::kNotEchoed, false},
      {"answer before echo changes nothing",
       false,
       {confirmation(0), answer(0x11)},
       T::kNotEchoed,
       true},
      {"echo needs confirmation first",
       false,
       {echo(), confirmation(0)},
       T::kNotEchoed,
       true},
      {"own sub_type 0 frame is an echo, not a completion",
       false,
       {confirmation(0), bus(0, 1)},
       T::kNoCompletion,
       true},
      {"own answer frame echoes and completes",
       false,
       {confirmation(0), bus(2, 1, 0x77)},
       T::kAnswered,
       false,
       0x77},
      {"forward frame without header flag is no echo",
       false,
       {confirmation(0), bus(1, 0)},
       T::kNotEchoed,
       true},
      {"other frame types change nothing",
       false,
       {confirmation(0), echo(), blank(3, 0), blank(7, 2), bus(4, 0), bus(5, 0),
        bus(6, 0), bus(7, 0)},
       T::kNoCompletion,
       true},
      {"second confirmation is ignored",
       false,
       {confirmation(0), confirmation(1), echo(), answer(1)},
       T::kAnswered,
       false,
       1},
      // Deadline: the lowest active state decides.
      {"deadline submitted", false, {}, T::kNoConfirmation, true},
      {"deadline confirmed", false, {confirmation(0)}, T::kNotEchoed, true},
      {"deadline echoed",
       false,
       {confirmation(0), echo()},
       T::kNoCompletion,
       true},
      {"deadline idle", true, {confirmation(1)}, T::kFailed, true},
      // Two transmissions.
      {"twice answered twice",
       true,
       {confirmation(0), confirmation(0), echo(), echo(), answer(0x11),
        answer(0x22)},
       T::kAnswered,
       false,
       0x22},
      {"twice answered once",
       true,
       {confirmation(0), confirmation(0), echo(), echo(), answer(0x11)},
       T::kNoCompletion,
       true},
      {"twice second echo missing",
       true,
       {confirmation(0), confirmation(0), echo(), answer(0x11)},
       T::kNotEchoed,
       true},
      {"twice first refused then answered",
       true,
       {confirmation(1), confirmation(0), echo(), answer(0x33)},
       T::kAnswered,
       false,
       0x33},
      {"twice answered then refused",
       true,
       {confirmation(0), echo(), answer(0x44), confirmation(2)},
       T::kFailed,
       false},
      {"twice both refused",
       true,
       {confirmation(1), confirmation(1)},
       T::kFailed,
       false},
      {"twice mixed completions",
       true,
       {confirmation(0), confirmation(0), echo(), echo(), answer(0x10),
        framing_error()},
       T::kFramingError,
       false},
      {"twice ended before confirmation",
       true,
       {no_answer(), confirmation(0), echo(), no_answer()},
       T::kNoAnswer,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerTracker tracker;
    ASSERT_TRUE(tracker.arm(c.send_twice));
    for (const auto& r : c.records) tracker.observe(r);
    // A finished transaction must not wait at all: give it a time-out that
    // no scheduling delay comes near.
    const milliseconds timeout = c.by_deadline ? kShort : kLong;
    const auto start = Clock::now();
    EXPECT_EQ(tracker.await_outcome(timeout), c.outcome);
    const auto took = Clock::now() - start;
    if (c.by_deadline) {
      EXPECT_GE(took, kShort);
    } else {
      EXPECT_LT(took, kLong / 2);
    }
    if (c.outcome == AnswerTracker::kAnswered) {
      EXPECT_EQ(tracker.answer(), c.answer);
    }
    // Closed: a new transaction opens.
    EXPECT_TRUE(tracker.arm(false));
  }
}

TEST(AnswerTracker, RecordsBetweenTransactionsChangeNothing) {
  AnswerTracker tracker;
  for (const auto& r : {confirmation(0), echo(), answer(9), no_answer()})
    tracker.observe(r);
  ASSERT_TRUE(tracker.arm(false));
  EXPECT_EQ(tracker.await_outcome(kShort), AnswerTracker::kNoConfirmation);

  // After a finished transaction the slots stay done until the wait closes
  // it; more records leave the stored outcome alone.
  ASSERT_TRUE(tracker.arm(false));
  for (const auto& r : {confirmation(0), echo(), answer(0x21)})
    tracker.observe(r);
  for (const auto& r : {confirmation(0), echo(), no_answer(), answer(0x99)})
    tracker.observe(r);
  EXPECT_EQ(tracker.await_outcome(kShort), AnswerTracker::kAnswered);
  EXPECT_EQ(tracker.answer(), 0x21);
}

TEST(AnswerTracker, LateRecordsAdvanceTheNextTransaction) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(false));
  EXPECT_EQ(tracker.await_outcome(kShort), AnswerTracker::kNoConfirmation);
  ASSERT_TRUE(tracker.arm(false));
  for (const auto& r : {confirmation(0), echo(), answer(0x42)})
    tracker.observe(r);
  EXPECT_EQ(tracker.await_outcome(kShort), AnswerTracker::kAnswered);
  EXPECT_EQ(tracker.answer(), 0x42);
}

TEST(AnswerTracker, SecondArmFailsAndChangesNothing) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(false));
  tracker.observe(confirmation(0));
  EXPECT_FALSE(tracker.arm(true));
  EXPECT_FALSE(tracker.arm(false));
  // Still one transmission, still confirmed: one answer finishes it.
  tracker.observe(echo());
  tracker.observe(answer(0x5A));
  EXPECT_EQ(tracker.await_outcome(kShort), AnswerTracker::kAnswered);

  // A finished but unclosed transaction also refuses a new arm.
  ASSERT_TRUE(tracker.arm(true));
  tracker.observe(confirmation(1));
  tracker.observe(confirmation(1));
  EXPECT_FALSE(tracker.arm(false));
  EXPECT_EQ(tracker.await_outcome(kShort), AnswerTracker::kFailed);
  EXPECT_TRUE(tracker.arm(false));
}

TEST(AnswerTracker, DisarmReturnsToIdle) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(true));
  tracker.disarm();
  // Records for the abandoned frame find nothing to advance.
  tracker.observe(confirmation(0));
  ASSERT_TRUE(tracker.arm(false));
  EXPECT_EQ(tracker.await_outcome(kShort), AnswerTracker::kNoConfirmation);
}

TEST(AnswerTracker, AwaitWithoutArmReturnsAtOnce) {
  AnswerTracker tracker;
  const auto start = Clock::now();
  EXPECT_EQ(tracker.await_outcome(AnswerTracker::kSendTimeout),
            AnswerTracker::kFailed);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
}

TEST(AnswerTracker, CompletionBeforeWaitReturnsAtOnce) {
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(false));
  for (const auto& r : {confirmation(0), echo(), answer(0x5A)})
    tracker.observe(r);
  const auto start = Clock::now();
  EXPECT_EQ(tracker.await_outcome(AnswerTracker::kSendTimeout),
            AnswerTracker::kAnswered);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  EXPECT_EQ(tracker.answer(), 0x5A);
}

TEST(AnswerTracker, CompletionFromAnotherThreadWakesTheSender) {
  for (int round = 0; round < 50; ++round) {
    AnswerTracker tracker;
    ASSERT_TRUE(tracker.arm(round % 2 == 1));
    std::thread worker([&] {
      for (int t = 0; t < (round % 2 == 1 ? 2 : 1); ++t)
        tracker.observe(confirmation(0));
      tracker.observe(echo());
      tracker.observe(echo());
      tracker.observe(answer(0x01));
      tracker.observe(answer(static_cast<uint8_t>(round)));
    });
    const auto start = Clock::now();
    const int32_t outcome = tracker.await_outcome(AnswerTracker::kSendTimeout);
    const auto took = Clock::now() - start;
    worker.join();
    EXPECT_EQ(outcome, AnswerTracker::kAnswered);
    EXPECT_LT(took, milliseconds(400));
  }
}

TEST(AnswerTracker, WakeUpsThatDoNotFinishNeverEndTheWait) {
  // Each record below wakes the sender; none finishes the transaction.
  AnswerTracker tracker;
  ASSERT_TRUE(tracker.arm(true));
  std::thread worker([&] {
    tracker.observe(confirmation(0));
    tracker.observe(confirmation(0));
    tracker.observe(echo());
    tracker.observe(answer(0x01));
  });
  const milliseconds timeout(300);
  const auto start = Clock::now();
  const int32_t outcome = tracker.await_outcome(timeout);
  const auto took = Clock::now() - start;
  worker.join();
  EXPECT_GE(took, timeout);
  EXPECT_LT(took, timeout + milliseconds(400));
  // Slot 1 is never echoed, however many of the records came in time.
  EXPECT_TRUE(outcome == AnswerTracker::kNotEchoed ||
              outcome == AnswerTracker::kNoConfirmation)
      << outcome;
}

}  // namespace
}  // namespace kovra62386
