// AnswerTracker: follows one sent frame through the records the interface
// reports back (confirmation, echo of the frame on the bus, completion) and
// lets the sending thread wait for the transaction to end.
//
// A frame sent twice is followed as two transmissions, each of which must be
// confirmed, echoed and completed. Records carry no identifier: whatever
// arrives while a transaction is open counts towards it.
//
// Thread use: the transceiver's worker calls observe() with every record; the
// sending thread calls arm(), then await_outcome(). All fields are guarded by
// one mutex, which the sender releases while it waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kovra62386/kovra62386.h"

namespace kovra62386 {

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
    kAnswered = 4,        // completed by an answer; see answer()
    kNoAnswer = 5,        // completed by a sub_type 0 record
    kFailed = 6,          // the transmission was refused, or nothing active
  };

  static constexpr std::chrono::milliseconds kSendTimeout{750};

  // Opens a transaction of one transmission, or two with send_twice. False,
  // changing nothing, while another transaction is open.
  bool arm(bool send_twice);

  // Returns to idle without waiting; for a sender whose write failed after
  // arming.
  void disarm();

  // Feeds one record reported by the interface.
  void observe(const ReadFrameRecord& record);

  // No record can come any more (the handle is gone): the open
  // transaction's wait ends now, judged as at its deadline.
  void cut_short();

  // Waits until the open transaction is finished or `timeout` passed,
  // closes it and returns its outcome. Returns at once when the transaction
  // finished before the call.
  int32_t await_outcome(std::chrono::milliseconds timeout);

  // The answer byte of the last transaction that ended with kAnswered.
  uint8_t answer() const;

 private:
  bool finished() const;
  int active_slots() const { return (twice_ & 1) ? 2 : 1; }
  // The lowest active slot in state `from` takes state `to`; false if none.
  bool advance(SlotState from, SlotState to);
  void reset();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  SlotState slots_[2] = {SlotState::kIdle, SlotState::kIdle};
  int32_t twice_ = 0;
  bool open_ = false;  // from arm() until await_outcome() or disarm()
  bool cut_short_ = false;
  int32_t outcome_ = kFailed;
  uint8_t answer_ = 0;
};

}  // namespace kovra62386
