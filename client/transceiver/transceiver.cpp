#include "client/transceiver/transceiver.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kovra62386 {

namespace {

SendResult send_result(int32_t status, uint8_t answer = 0) {
  SendResult result;
  std::memset(&result, 0, sizeof result);
  result.status = status;
  result.answer = answer;
  return result;
}

int32_t bus_state_of(uint8_t flags) {
  const bool power_lost = (flags & KOVRA62386_BUS_FLAG_POWER_LOST) != 0;
  if (power_lost && (flags & KOVRA62386_BUS_FLAG_POWER_RETURN) != 0)
    return KOVRA62386_BUS_POWER_RETURN;
  if (power_lost) return KOVRA62386_BUS_POWER_LOST;
  if ((flags & KOVRA62386_BUS_FLAG_SYSTEM_FAILURE) != 0)
    return KOVRA62386_BUS_SYSTEM_FAILURE;
  return KOVRA62386_BUS_OK;
}

}  // namespace

Transceiver::Transceiver(uint32_t handle, TransceiverCallback callback,
                         void* context, Session& session)
    : handle_(handle),
      callback_(callback),
      context_(context),
      session_(session) {}

Transceiver::~Transceiver() {
  // The worker holds a reference while it runs, so the last owner is either
  // a thread that has already joined it or the worker itself at its end.
  if (worker_.joinable()) {
    if (worker_.is_current()) {
      worker_.detach();
    } else {
      request_stop();
      worker_.join();
    }
  }
}

void Transceiver::start() {
  std::lock_guard<std::mutex> lock(worker_mutex_);
  worker_ = platform::LibraryThread([self = shared_from_this()]() mutable {
    try {
      self->run();
    } catch (...) {
      // Nothing may escape a thread; the worker just ends.
    }
    self->ended_.store(true);
    self.reset();
  });
}

// The transceiver whose worker runs on a thread is that thread's
// platform::current_worker() (no C++ thread_local: see there).
bool Transceiver::on_worker_thread() {
  return platform::current_worker() != nullptr;
}

void Transceiver::request_stop() {
  stop_requested_.store(true);
  // Wakes the worker out of its idle sleep. The worker publishes its signal
  // under the same mutex before it first looks at the flag, and takes the
  // generation before every look: either it sees the flag, or this
  // notification moves the generation after it was taken.
  std::shared_ptr<ArrivalSignal> wakeup;
  {
    std::lock_guard<std::mutex> lock(wakeup_mutex_);
    wakeup = wakeup_;
  }
  if (wakeup) wakeup->notify();
}

std::shared_ptr<ArrivalSignal> Transceiver::find_wakeup() const {
  try {
    return session_.wakeup_of(handle_);
  } catch (...) {
    // Falls back to the global signal, which moves for every message.
  }
  // Not owned: the global signal is never destroyed.
  return std::shared_ptr<ArrivalSignal>(std::shared_ptr<ArrivalSignal>(),
                                        &ArrivalSignal::global());
}

void Transceiver::stop() {
  request_stop();
  // A callback cannot wait for its own thread; the worker ends after it.
  if (platform::current_worker() == this) return;
  std::lock_guard<std::mutex> lock(worker_mutex_);
  if (worker_.joinable()) worker_.join();
}

SendResult Transceiver::send(const WriteFrameRecord& frame) {
  // One budget for the whole send, the wait for late records included.
  const auto deadline =
      std::chrono::steady_clock::now() + AnswerTracker::kSendTimeout;
  // On a server that does not copy frame bytes into its reports, records
  // still due for an earlier send would be taken for this frame's: they go
  // first. Past the budget the frame is not written at all.
  if (handle_gone_.load() || !tracker_.drain_late(deadline))
    return send_result(KOVRA62386_SEND_NO_RESULT);
  // Armed before the write: a fast interface may report the whole
  // transaction before this thread runs again.
  if (!tracker_.arm(frame)) return send_result(KOVRA62386_SEND_NO_RESULT);
  // On a lost handle nobody would see the reports: no result, at once.
  // Looked at after arming, as the worker cuts short after setting it.
  if (handle_gone_.load()) {
    tracker_.disarm();
    return send_result(KOVRA62386_SEND_NO_RESULT);
  }
  try {
    // Its result tells nothing (Session::kWriteOutcomeInFrames): the
    // outcome comes as reports, or not at all and the wait below ends
    // without one.
    session_.write(handle_, frame);
  } catch (...) {
  }
  // The answer comes with the outcome: once the transaction is closed,
  // another send may arm and be answered.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  const AnswerTracker::Result result =
      tracker_.await_outcome(std::max(left, std::chrono::milliseconds(0)));
  switch (result.outcome) {
    case AnswerTracker::kNotEchoed:
      return send_result(KOVRA62386_SEND_NOT_ECHOED);
    case AnswerTracker::kFramingError:
      return send_result(KOVRA62386_SEND_FRAMING_ERROR);
    case AnswerTracker::kAnswered:
      return send_result(KOVRA62386_SEND_ANSWER, result.answer);
    case AnswerTracker::kNoAnswer:
      return send_result(KOVRA62386_SEND_NO_ANSWER);
    default:  // no confirmation, no completion, or failed
      return send_result(KOVRA62386_SEND_NO_RESULT);
  }
}

bool Transceiver::make_event(const ReadFrameRecord& record,
                             TransceiverEvent& event) {
  if (record.frame_type != KOVRA62386_FRAME_BUS_EVENT) return false;
  std::memset(&event, 0, sizeof event);
  switch (record.sub_type) {
    case KOVRA62386_BUS_EVENT_NO_ANSWER:
      event.code = KOVRA62386_EVENT_NO_ANSWER;
      break;
    case KOVRA62386_BUS_EVENT_FORWARD:
      event.code = KOVRA62386_EVENT_FORWARD_FRAME;
      break;
    case KOVRA62386_BUS_EVENT_BACKWARD:
      event.code = KOVRA62386_EVENT_BACKWARD_FRAME;
      break;
    case KOVRA62386_BUS_EVENT_FRAMING_ERROR:
      event.code = KOVRA62386_EVENT_FRAME_ERROR;
      break;
    case KOVRA62386_BUS_EVENT_STATE:
      event.code = KOVRA62386_EVENT_BUS_STATE;
      event.payload.bus_state = bus_state_of(record.bus_event.event_flags);
      return true;
    default:
      return false;
  }
  std::memcpy(&event.payload.record, &record, sizeof record);
  return true;
}

void Transceiver::run() {
  platform::set_current_worker(this);
  ReadFrameRecord record;
  std::memset(&record, 0, sizeof record);
  TransceiverEvent event;
  // A handle keeps its device for life: once found, the signal stays.
  std::shared_ptr<ArrivalSignal> wakeup;
  for (;;) {
    if (!wakeup) {
      wakeup = find_wakeup();
      // Published once, not per frame: request_stop needs it only to wake
      // a sleep.
      std::lock_guard<std::mutex> lock(wakeup_mutex_);
      wakeup_ = wakeup;
    }
    // The generation is taken before the flag and the queue are looked at,
    // so a stop or a frame after the look cuts the sleep short.
    const uint64_t seen = wakeup ? wakeup->generation() : 0;
    if (stop_requested_.load()) return;
    int32_t result;
    try {
      result = session_.read(handle_, record);
    } catch (...) {
      // Nothing was delivered, as the read export answers: try again.
      result = KOVRA62386_READ_EMPTY;
    }
    if (result == KOVRA62386_READ_FRAME) {
      tracker_.observe(record);
      if (make_event(record, event)) deliver(event);
    } else if (result == KOVRA62386_READ_NOT_OPEN) {
      handle_gone_.store(true);
      tracker_.cut_short();
      std::memset(&event, 0, sizeof event);
      event.code = KOVRA62386_EVENT_CLOSED;
      deliver(event);
      return;
    } else if (wakeup) {
      sleeps_.fetch_add(1, std::memory_order_relaxed);
      wakeup->wait_for_change(seen, kIdleWait);
      wake_ups_.fetch_add(1, std::memory_order_relaxed);
    }
    // Without a signal the handle was opened after the look: look again.
  }
}

void Transceiver::deliver(const TransceiverEvent& event) const {
  try {
    callback_(handle_, &event, context_);
  } catch (...) {
    // A callback must not throw; if one does, the worker carries on.
  }
}

}  // namespace kovra62386
