// Transceiver: a worker thread attached to one handle. It takes every record
// the interface reports for the handle, feeds it to the handle's answer
// tracker and then hands it to the application's callback as an event. On
// top of it, send() writes one frame and waits for its outcome.
//
// The worker sleeps while nothing is queued: it waits on the wake-up of the
// handle's device, which moves for every frame filed for that device and
// for everything that ends the handle (its close, DeviceClosed, a lost link,
// terminate, a new initialize, unload); stop moves it too. Frames of other
// interfaces wake nobody here, and an idle worker sleeps for a long bound.
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

#include "client/session/session.h"
#include "client/transceiver/answer_tracker.h"
#include "client/transport/arrival_signal.h"
#include "kovra62386/kovra62386.h"
#include "platform/library_module.h"

namespace kovra62386 {

// The worker that reads one handle for an application's callback, and its
// send-and-wait.
class Transceiver : public std::enable_shared_from_this<Transceiver> {
 public:
  // Bound on one idle sleep of the worker: every wait ends, yet ten idle
  // workers wake well under once a second.
  static constexpr std::chrono::milliseconds kIdleWait{60000};

  // Reads and writes the handle through `session`, a peer of the exports,
  // which must outlive the transceiver.
  Transceiver(uint32_t handle, TransceiverCallback callback, void* context,
              Session& session);
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

  // How often the worker went to sleep, and woke up again (a test hook:
  // frames of other interfaces must not wake it).
  uint64_t sleeps() const { return sleeps_.load(); }
  uint64_t wake_ups() const { return wake_ups_.load(); }

  // Turns a record into the event it calls for; false when it calls for
  // none.
  static bool make_event(const ReadFrameRecord& record,
                         TransceiverEvent& event);

 private:
  void run();
  void deliver(const TransceiverEvent& event) const;
  // The signal to wait on for the handle; null until it can be found.
  std::shared_ptr<ArrivalSignal> find_wakeup() const;

  const uint32_t handle_;
  const TransceiverCallback callback_;
  void* const context_;
  Session& session_;
  std::atomic<bool> stop_requested_{false};
  // The signal the worker sleeps on, for request_stop to move.
  std::mutex wakeup_mutex_;
  std::shared_ptr<ArrivalSignal> wakeup_;
  // The worker saw the handle gone: no outcome can come any more.
  std::atomic<bool> handle_gone_{false};
  std::atomic<bool> ended_{false};
  std::atomic<uint64_t> sleeps_{0};
  std::atomic<uint64_t> wake_ups_{0};
  AnswerTracker tracker_;
  std::mutex worker_mutex_;  // serialises start() and stop() on worker_
  platform::LibraryThread worker_;
};

}  // namespace kovra62386
