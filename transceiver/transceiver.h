// Transceiver: a worker thread attached to one handle. It takes every record
// the interface reports for the handle, feeds it to the handle's answer
// tracker and then hands it to the application's callback as an event. On
// top of it, send() writes one frame and waits for its outcome.
//
// The worker sleeps while nothing is queued: it waits on the library's
// arrival signal, which the connection moves for every received message and
// which close and stop move too, with a short bound as a safety net.
//
// Lifetime: the object is owned through shared pointers, and the worker
// holds one to its own transceiver while it runs. A send that races a stop,
// or a callback that stops its own transceiver, therefore never uses a freed
// object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "kovra62386/kovra62386.h"
#include "transceiver/answer_tracker.h"

namespace kovra62386 {

class Transceiver : public std::enable_shared_from_this<Transceiver> {
 public:
  // Bound on one idle sleep of the worker, should a wake-up be missed.
  static constexpr std::chrono::milliseconds kIdleWait{100};

  Transceiver(uint32_t handle, TransceiverCallback callback, void* context);
  ~Transceiver();
  Transceiver(const Transceiver&) = delete;
  Transceiver& operator=(const Transceiver&) = delete;

  // Starts the worker. Throws std::system_error when no thread can be
  // created. Call once, on an object owned by a shared pointer.
  void start();

  // Asks the worker to end and waits for the record and callback under way.
  // Called from the worker itself (the callback), it only asks.
  void stop();

  // True once the worker's loop has returned: stop() then waits for nothing
  // but the thread's exit.
  bool ended() const { return ended_.load(); }

  // True on the thread of any transceiver's worker, where waiting for
  // another worker could close a cycle (two callbacks stopping each other).
  static bool on_worker_thread();

  uint32_t handle() const { return handle_; }

  // Asks the worker to end without waiting.
  void request_stop();

  // Writes `frame` and waits up to AnswerTracker::kSendTimeout for its
  // outcome. Status 1 at once, nothing written, while another send of this
  // transceiver waits.
  SendResult send(const WriteFrameRecord& frame);

  // Turns a record into the event it calls for; false when it calls for
  // none.
  static bool make_event(const ReadFrameRecord& record,
                         TransceiverEvent& event);

 private:
  void run();
  void deliver(const TransceiverEvent& event) const;

  const uint32_t handle_;
  const TransceiverCallback callback_;
  void* const context_;
  std::atomic<bool> stop_requested_{false};
  // The worker saw the handle gone: no outcome can come any more.
  std::atomic<bool> handle_gone_{false};
  std::atomic<bool> ended_{false};
  AnswerTracker tracker_;
  std::mutex worker_mutex_;  // serialises start() and stop() on worker_
  std::thread worker_;
};

}  // namespace kovra62386
