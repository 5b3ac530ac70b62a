#include "client/transceiver/answer_tracker.h"

#include <algorithm>
#include <cstring>

#include "protocol/frame_codec.h"

namespace kovra62386 {

namespace {

using State = AnswerTracker::SlotState;

bool in_progress(State state) {
  return state == State::kSubmitted || state == State::kConfirmed ||
         state == State::kEchoed;
}

}  // namespace

bool AnswerTracker::Transaction::in_progress() const {
  for (int i = 0; i < active_slots(); ++i)
    if (kovra62386::in_progress(slots[i])) return true;
  return false;
}

bool AnswerTracker::Transaction::has(SlotState state) const {
  for (int i = 0; i < active_slots(); ++i)
    if (slots[i] == state) return true;
  return false;
}

bool AnswerTracker::Transaction::advance(SlotState from, SlotState to) {
  for (int i = 0; i < active_slots(); ++i) {
    if (slots[i] == from) {
      slots[i] = to;
      return true;
    }
  }
  return false;
}

bool AnswerTracker::Transaction::carries(const uint8_t* data) const {
  return std::memcmp(bytes, data, byte_count) == 0;
}

bool AnswerTracker::Transaction::same_frame(const Transaction& other) const {
  return byte_count == other.byte_count && carries(other.bytes);
}

bool AnswerTracker::arm(const WriteFrameRecord& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Open until the sender closes it, even when every transmission failed
  // and both slots went back to idle.
  if (open_) return false;
  open_ = true;
  Transaction armed;
  armed.twice = frame.frame.send_twice == 1;
  armed.slots[0] = State::kSubmitted;
  // A single transmission leaves slot 1 done, so it never holds the
  // transaction open.
  armed.slots[1] = armed.twice ? State::kSubmitted : State::kDone;
  // Only a frame for the bus comes back with its bytes.
  if (frame.frame_type == KOVRA62386_FRAME_TRANSMIT) {
    const int32_t bits =
        std::min<int32_t>(frame.frame.bit_count, FrameCodec::kMaxBitCount);
    armed.byte_count = static_cast<uint8_t>(FrameCodec::data_byte_count(bits));
    std::memcpy(armed.bytes, frame.frame.data, armed.byte_count);
  }
  current_ = armed;
  armed_ = armed;
  // With nothing late, every record this transaction takes is its own: it
  // tells whether the server copies frame bytes.
  clean_ =
      reports_ == Reports::kUnknown && late_count_ == 0 && armed.byte_count > 0;
  confirmation_copied_ = false;
  echo_copied_ = false;
  // The records of a late transaction of the same frame cannot be told from
  // this one's by bytes: this send takes the first of them, and its own,
  // should they come after it ended, are consumed in their place. Taken in
  // order, the late ones simply come first.
  took_over_ = false;
  for (std::size_t i = 0;
       reports_ == Reports::kFrameBytes && i < late_count_;) {
    if (late_[i].same_frame(armed)) {
      drop_late(i, 1);
      took_over_ = true;
    } else {
      ++i;
    }
  }
  outcome_ = kFailed;
  return true;
}

void AnswerTracker::disarm() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = Transaction{};
    open_ = false;
    clean_ = false;
    took_over_ = false;
    cut_short_ = false;
  }
  changed_.notify_all();
}

bool AnswerTracker::drain_late(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++draining_;
  // Another send is open: arm() refuses at once, nothing to wait for.
  while (!open_ && late_count_ > 0 && reports_ != Reports::kFrameBytes &&
         !no_more_records_) {
    const auto now = Clock::now();
    const auto quiet_end = late_heard_ + kLateQuiet;
    if (now >= quiet_end) {
      // Nothing came for them: their records were lost, not delayed.
      late_count_ = 0;
      break;
    }
    if (now >= deadline) break;
    changed_.wait_until(lock, std::min(quiet_end, deadline));
  }
  --draining_;
  if (no_more_records_) late_count_ = 0;
  return open_ || late_count_ == 0 || reports_ == Reports::kFrameBytes;
}

AnswerTracker::Reports AnswerTracker::reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

void AnswerTracker::observe(const ReadFrameRecord& record) {
  bool changed = false;
  bool finished = false;
  bool late_moved = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t late_before = late_count_;
    const Clock::time_point heard_before = late_heard_;
    if (record.frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT) {
      changed = confirm(record);
    } else if (record.frame_type == KOVRA62386_FRAME_BUS_EVENT) {
      const bool own_frame = record.bus_event.header_flag != 0;
      // The echo counts whatever its sub_type.
      if (own_frame) changed = echo(record.bus_event.data);
      const uint8_t sub = record.sub_type;
      if (sub == KOVRA62386_BUS_EVENT_BACKWARD ||
          sub == KOVRA62386_BUS_EVENT_FRAMING_ERROR ||
          (sub == KOVRA62386_BUS_EVENT_NO_ANSWER && !own_frame)) {
        changed = complete(sub, record.bus_event.data[0]) || changed;
      }
    }
    finished = changed && !current_.in_progress();
    late_moved = draining_ > 0 &&
                 (late_count_ != late_before || late_heard_ != heard_before);
  }
  // Only the end of the transaction wakes the sender: a wake-up for the
  // confirmation or the echo would cost it a sleep and a wake for nothing.
  // A draining sender wakes when a late transaction moved: it may be done,
  // and its quiet time starts again.
  if (finished || late_moved) changed_.notify_all();
}

bool AnswerTracker::may_take(const Transaction& late,
                             const uint8_t* data) const {
  return reports_ != Reports::kFrameBytes || late.carries(data);
}

bool AnswerTracker::takes(const uint8_t* data, bool& copied) {
  const bool carried = current_.carries(data);
  if (reports_ == Reports::kFrameBytes) return carried;
  if (clean_ && reports_ == Reports::kUnknown) {
    if (carried) {
      copied = true;
    } else {
      reports_ = Reports::kOther;
    }
  }
  return true;
}

void AnswerTracker::learn_from(const Transaction& finished) {
  // Two different frames rule out a server that fills in constant bytes
  // (zeros, say) which happened to be those of the first frame.
  if (have_copied_frame_ && !copied_frame_.same_frame(finished)) {
    reports_ = Reports::kFrameBytes;
  } else {
    copied_frame_ = finished;
    have_copied_frame_ = true;
  }
}

void AnswerTracker::heard_late() { late_heard_ = Clock::now(); }

bool AnswerTracker::confirm(const ReadFrameRecord& record) {
  // A refused transmission keeps outcome kFailed, set by arm().
  const State to = record.transmit_report.status == KOVRA62386_STATUS_SENT
                       ? State::kConfirmed
                       : State::kIdle;
  const uint8_t* data = record.transmit_report.frame.data;
  // Frames are reported in the order they were written: a late one first.
  for (std::size_t i = 0; i < late_count_; ++i) {
    if (late_[i].has(State::kSubmitted) && may_take(late_[i], data)) {
      late_[i].advance(State::kSubmitted, to);
      heard_late();
      drop_finished_late();
      return false;
    }
  }
  if (!open_ || !current_.has(State::kSubmitted) ||
      !takes(data, confirmation_copied_))
    return false;
  return current_.advance(State::kSubmitted, to);
}

bool AnswerTracker::echo(const uint8_t* data) {
  for (std::size_t i = 0; i < late_count_; ++i) {
    if (late_[i].has(State::kConfirmed) && may_take(late_[i], data)) {
      late_[i].advance(State::kConfirmed, State::kEchoed);
      // The bus carries one frame at a time: whatever was written before
      // this one has had all its records.
      drop_late(0, i);
      heard_late();
      drop_finished_late();
      return false;
    }
  }
  if (!open_ || !current_.has(State::kConfirmed) || !takes(data, echo_copied_))
    return false;
  current_.advance(State::kConfirmed, State::kEchoed);
  late_count_ = 0;
  return true;
}

bool AnswerTracker::complete(uint8_t sub_type, uint8_t answer) {
  // Until our frame is echoed, a completion ends an earlier frame, never
  // ours: the oldest late transaction takes it.
  if (late_count_ > 0) {
    Transaction& oldest = late_[0];
    if (oldest.advance(State::kEchoed, State::kDone) ||
        (sub_type == KOVRA62386_BUS_EVENT_NO_ANSWER &&
         oldest.advance(State::kSubmitted, State::kDone))) {
      heard_late();
    }
    drop_finished_late();
    return false;
  }
  if (!open_) return false;
  int32_t outcome;
  if (current_.advance(State::kEchoed, State::kDone)) {
    outcome = sub_type == KOVRA62386_BUS_EVENT_BACKWARD        ? kAnswered
              : sub_type == KOVRA62386_BUS_EVENT_FRAMING_ERROR ? kFramingError
                                                               : kNoAnswer;
  } else if (sub_type == KOVRA62386_BUS_EVENT_NO_ANSWER &&
             current_.advance(State::kSubmitted, State::kDone)) {
    outcome = kNotEchoed;  // ended before its confirmation
  } else {
    return false;
  }
  // A completion that leaves the other transmission in progress changes
  // only its slot.
  if (!current_.in_progress()) {
    outcome_ = outcome;
    if (outcome == kAnswered) answer_ = answer;
  }
  return true;
}

AnswerTracker::Result AnswerTracker::await_outcome(
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  // Nothing armed (or disarmed): there is no transaction to wait for.
  if (!open_) return Result{};
  Result result;
  changed_.wait_until(lock, deadline,
                      [this] { return !current_.in_progress() || cut_short_; });
  if (!current_.in_progress()) {
    result.outcome = outcome_;
  } else {
    State lowest = current_.slots[0];
    if (current_.active_slots() == 2 && current_.slots[1] < lowest)
      lowest = current_.slots[1];
    switch (lowest) {
      case State::kIdle:
        result.outcome = kFailed;
        break;
      case State::kSubmitted:
        result.outcome = kNoConfirmation;
        break;
      case State::kConfirmed:
        result.outcome = kNotEchoed;
        break;
      case State::kEchoed:
        result.outcome = kNoCompletion;
        break;
      default:
        result.outcome = outcome_;
        break;
    }
    // Its records may still come; they must not end the next transaction.
    if (current_.in_progress()) remember_late(current_);
  }
  if (took_over_) remember_late(armed_);
  if (clean_ && reports_ == Reports::kUnknown && confirmation_copied_ &&
      echo_copied_) {
    learn_from(armed_);
  }
  if (result.outcome == kAnswered) result.answer = answer_;
  clean_ = false;
  current_ = Transaction{};
  open_ = false;
  took_over_ = false;
  cut_short_ = false;
  return result;
}

void AnswerTracker::cut_short() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    no_more_records_ = true;
    if (open_) cut_short_ = true;
  }
  changed_.notify_all();
}

void AnswerTracker::remember_late(const Transaction& transaction) {
  if (late_count_ == late_.size()) drop_late(0, 1);
  late_[late_count_++] = transaction;
  // Its quiet time starts now, not when it was armed.
  heard_late();
}

void AnswerTracker::drop_late(std::size_t first, std::size_t count) {
  std::copy(late_.begin() + static_cast<std::ptrdiff_t>(first + count),
            late_.begin() + static_cast<std::ptrdiff_t>(late_count_),
            late_.begin() + static_cast<std::ptrdiff_t>(first));
  late_count_ -= count;
}

void AnswerTracker::drop_finished_late() {
  const auto end = std::remove_if(
      late_.begin(), late_.begin() + static_cast<std::ptrdiff_t>(late_count_),
      [](const Transaction& t) { return !t.in_progress(); });
  late_count_ = static_cast<std::size_t>(end - late_.begin());
}

}  // namespace kovra62386
