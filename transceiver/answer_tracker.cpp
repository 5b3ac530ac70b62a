#include "transceiver/answer_tracker.h"

namespace kovra62386 {

namespace {

constexpr uint8_t kBusFrame = 1;
constexpr uint8_t kConfirmation = 4;

constexpr uint8_t kNoAnswerSub = 0;
constexpr uint8_t kAnswerSub = 2;
constexpr uint8_t kFramingErrorSub = 3;

bool in_progress(AnswerTracker::SlotState state) {
  return state == AnswerTracker::SlotState::kSubmitted ||
         state == AnswerTracker::SlotState::kConfirmed ||
         state == AnswerTracker::SlotState::kEchoed;
}

}  // namespace

bool AnswerTracker::arm(bool send_twice) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Open until the sender closes it, even when every transmission failed
  // and both slots went back to idle.
  if (open_) return false;
  open_ = true;
  twice_ = send_twice ? 1 : 0;
  slots_[0] = SlotState::kSubmitted;
  // A single transmission leaves slot 1 done, so it never holds the
  // transaction open.
  slots_[1] = send_twice ? SlotState::kSubmitted : SlotState::kDone;
  outcome_ = kFailed;
  return true;
}

void AnswerTracker::disarm() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reset();
  }
  changed_.notify_all();
}

void AnswerTracker::observe(const ReadFrameRecord& record) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (record.frame_type == kConfirmation) {
      if (record.transmit_report.status == KOVRA62386_STATUS_SENT) {
        changed = advance(SlotState::kSubmitted, SlotState::kConfirmed);
      } else {
        // A refused transmission keeps outcome kFailed, set by arm().
        changed = advance(SlotState::kSubmitted, SlotState::kIdle);
      }
    } else if (record.frame_type == kBusFrame) {
      const bool own_frame = record.bus_event.header_flag != 0;
      // The echo counts whatever its sub_type.
      if (own_frame)
        changed = advance(SlotState::kConfirmed, SlotState::kEchoed);
      switch (record.sub_type) {
        case kNoAnswerSub:
          if (own_frame) break;
          if (advance(SlotState::kEchoed, SlotState::kDone)) {
            changed = true;
            if (finished()) outcome_ = kNoAnswer;
          } else if (advance(SlotState::kSubmitted, SlotState::kDone)) {
            changed = true;
            if (finished()) outcome_ = kNotEchoed;
          }
          break;
        case kAnswerSub:
          if (advance(SlotState::kEchoed, SlotState::kDone)) {
            changed = true;
            if (finished()) {
              answer_ = record.bus_event.data[0];
              outcome_ = kAnswered;
            }
          }
          break;
        case kFramingErrorSub:
          if (advance(SlotState::kEchoed, SlotState::kDone)) {
            changed = true;
            if (finished()) outcome_ = kFramingError;
          }
          break;
        default:
          break;
      }
    }
  }
  // Every change wakes the sender; it goes back to sleep unless the
  // transaction is finished.
  if (changed) changed_.notify_all();
}

int32_t AnswerTracker::await_outcome(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  // Nothing armed (or disarmed): there is no transaction to wait for.
  if (!open_) return kFailed;
  int32_t result;
  changed_.wait_until(lock, deadline,
                      [this] { return finished() || cut_short_; });
  if (finished()) {
    result = outcome_;
  } else {
    SlotState lowest = slots_[0];
    if (active_slots() == 2 && slots_[1] < lowest) lowest = slots_[1];
    switch (lowest) {
      case SlotState::kIdle:
        result = kFailed;
        break;
      case SlotState::kSubmitted:
        result = kNoConfirmation;
        break;
      case SlotState::kConfirmed:
        result = kNotEchoed;
        break;
      case SlotState::kEchoed:
        result = kNoCompletion;
        break;
      default:
        result = outcome_;
        break;
    }
  }
  reset();
  return result;
}

void AnswerTracker::cut_short() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    cut_short_ = true;
  }
  changed_.notify_all();
}

uint8_t AnswerTracker::answer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answer_;
}

bool AnswerTracker::finished() const {
  for (int i = 0; i < active_slots(); ++i)
    if (in_progress(slots_[i])) return false;
  return true;
}

bool AnswerTracker::advance(SlotState from, SlotState to) {
  for (int i = 0; i < active_slots(); ++i) {
    if (slots_[i] == from) {
      slots_[i] = to;
      return true;
    }
  }
  return false;
}

void AnswerTracker::reset() {
  slots_[0] = SlotState::kIdle;
  slots_[1] = SlotState::kIdle;
  twice_ = 0;
  open_ = false;
  cut_short_ = false;
}

}  // namespace kovra62386
