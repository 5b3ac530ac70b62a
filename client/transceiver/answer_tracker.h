// AnswerTracker: follows one sent frame through the records the interface
// reports back (confirmation, echo of the frame on the bus, completion) and
// lets the sending thread wait for the transaction to end.
//
// A frame sent twice is followed as two transmissions, each of which must be
// confirmed, echoed and completed. Records carry no identifier, and a
// server need not copy the sent frame's bytes into the confirmation and the
// echo. The tracker learns which kind of server it talks to:
//
// - Until it knows, and on a server that does not copy them (zeros, or
//   other bytes), records are taken in order: whatever arrives while a
//   transaction is open belongs to it. The records of a transaction that
//   ran out of time still come, in order, before those of a later frame:
//   the next send first lets them drain (drain_late), until they are
//   complete or none has come for kLateQuiet, so that they never complete
//   the later frame.
// - A server whose confirmation and echo carried the frame's bytes on two
//   sends of different frames, with nothing late outstanding, copies them:
//   from then on a confirmation or an echo counts only when it carries the
//   frame's bytes, so late records are told apart without waiting. A frame
//   with the same bytes as a late one cannot be told from it; the later
//   send takes the first such records (see KOVRA62386_send).
//
// A single mismatch on a clean send settles the question the other way for
// good: a server wrongly taken to copy would see every send time out, while
// one wrongly taken not to copy only loses the tie-break by bytes.
// In both cases a completion counts only after the frame's own echo.
//
// Thread use: the transceiver's worker calls observe() with every record; the
// sending thread calls drain_late(), arm(), then await_outcome(). All fields
// are guarded by one mutex, which the sender releases while it waits.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kovra62386/kovra62386.h"

namespace kovra62386 {

// Matches the reports of one handle to the frame its send is waiting for.
class AnswerTracker {
 public:
  // State of one transmission. The order matters: at the deadline the lowest
  // state of the active slots decides the outcome.
  enum class SlotState : int32_t {
    kIdle = 0,       // nothing pending, or the transmission failed
    kSubmitted = 1,  // written, not confirmed yet
    kConfirmed = 2,  // the interface put it on the bus
    kEchoed = 3,     // our own frame seen on the bus
    kDone = 4,       // completed
  };

  // How a transaction ended.
  enum Outcome : int32_t {
    kNoConfirmation = 0,  // deadline: never confirmed
    kNotEchoed = 1,       // deadline: confirmed, never echoed; or ended early
    kNoCompletion = 2,    // deadline: echoed, never completed
    kFramingError = 3,    // completed by a sub_type 3 record
    kAnswered = 4,        // completed by an answer
    kNoAnswer = 5,        // completed by a sub_type 0 record
    kFailed = 6,          // the transmission was refused, or nothing active
  };

  // The outcome of one transaction and, for kAnswered, its answer byte
  // (else 0); taken together so that no later transaction can change one.
  struct Result {
    int32_t outcome = kFailed;
    uint8_t answer = 0;
  };

  static constexpr std::chrono::milliseconds kSendTimeout{
      KOVRA62386_SEND_TIMEOUT_MS};
  // Timed-out transactions whose records are still awaited; beyond this the
  // oldest is forgotten.
  static constexpr std::size_t kLateLimit = 4;
  // On a server that does not copy frame bytes: a late transaction from
  // which nothing has come for this long is given up (its records were
  // lost), so that a broken server cannot hold up every later send.
  static constexpr std::chrono::milliseconds kLateQuiet{200};

  // What the interface puts into the confirmation and the echo of a frame.
  enum class Reports : uint8_t {
    kUnknown,     // not learned yet: records are taken in order
    kFrameBytes,  // the sent frame's data bytes: matched by them
    kOther,       // anything else: records are taken in order
  };

  // Before a send on a server not known to copy frame bytes: waits until
  // the records of timed-out transactions are in, none has come for them
  // for kLateQuiet (they are given up), no record can come any more
  // (cut_short), or `deadline` passes. True when nothing late is left to
  // mistake for the next frame's records.
  bool drain_late(std::chrono::steady_clock::time_point deadline);

  // Opens a transaction for `frame`: one transmission, or two when its
  // send_twice is 1. False, changing nothing, while another transaction is
  // open.
  bool arm(const WriteFrameRecord& frame);

  // Returns to idle without waiting; for a sender whose write failed after
  // arming (nothing was sent, so nothing is late).
  void disarm();

  // Feeds one record reported by the interface.
  void observe(const ReadFrameRecord& record);

  // No record can come any more (the handle is gone): the open
  // transaction's wait ends now, judged as at its deadline, and so does
  // every later drain_late().
  void cut_short();

  // Waits until the open transaction is finished or `timeout` passed,
  // closes it and returns its result. Returns at once when the transaction
  // finished before the call.
  Result await_outcome(std::chrono::milliseconds timeout);

  // What has been learned of the interface's reports.
  Reports reports() const;

 private:
  // One frame and the states of its transmissions.
  struct Transaction {
    SlotState slots[2] = {SlotState::kIdle, SlotState::kIdle};
    bool twice = false;
    uint8_t byte_count = 0;  // significant data bytes
    uint8_t bytes[5] = {};

    int active_slots() const { return twice ? 2 : 1; }
    bool in_progress() const;
    bool has(SlotState state) const;
    // The lowest active slot in state `from` takes state `to`; false if none.
    bool advance(SlotState from, SlotState to);
    bool carries(const uint8_t* data) const;
    bool same_frame(const Transaction& other) const;
  };

  using Clock = std::chrono::steady_clock;

  // Whether a late transaction may take a record that carries `data`.
  bool may_take(const Transaction& late, const uint8_t* data) const;
  // The open transaction may take it: by bytes on a server that copies
  // them, else in order; a clean send learns from it.
  bool takes(const uint8_t* data, bool& copied);
  void learn_from(const Transaction& finished);
  void heard_late();

  bool confirm(const ReadFrameRecord& record);
  bool echo(const uint8_t* data);
  bool complete(uint8_t sub_type, uint8_t answer);
  void remember_late(const Transaction& transaction);
  void drop_late(std::size_t first, std::size_t count);
  void drop_finished_late();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Transaction current_;
  Transaction armed_;  // current_ as arm() left it
  bool open_ = false;  // from arm() until await_outcome() or disarm()
  bool cut_short_ = false;
  // arm() dropped a late transaction of the same frame: this frame's own
  // records may still come after it ends.
  bool took_over_ = false;
  int32_t outcome_ = kFailed;
  uint8_t answer_ = 0;
  std::array<Transaction, kLateLimit> late_{};  // oldest first
  std::size_t late_count_ = 0;
  Clock::time_point
      late_heard_{};  // a late transaction last went late or advanced
  int draining_ = 0;  // senders inside drain_late()
  bool no_more_records_ = false;  // cut_short() was called

  // Learning: the open transaction was armed with nothing late, so every
  // record it takes is its own; whether they carried its bytes so far.
  Reports reports_ = Reports::kUnknown;
  bool clean_ = false;
  bool confirmation_copied_ = false;
  bool echo_copied_ = false;
  // The bytes of the last clean send whose reports carried them; a second
  // one with other bytes settles it.
  bool have_copied_frame_ = false;
  Transaction copied_frame_;
};

}  // namespace kovra62386
