// ArrivalSignal: wakes threads that wait for "something may have changed"
// (a message arrived, a connection failed, a handle closed, a stop was
// asked for) without polling.
//
// A waiter takes the generation before it looks at its data and waits for
// the generation to move on. A notification between the look and the wait
// moves the generation, so it is never lost.
//
// Notifying costs one atomic increment while nobody waits: the I/O thread
// moves a signal for every message it files, and only a sleeping waiter
// makes it take the mutex and wake the condition variable. The waiter
// count and the generation are sequentially consistent, so either the
// notifier sees the waiter or the waiter sees the new generation.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

namespace kovra62386 {

class ArrivalSignal {
 public:
  uint64_t generation() const { return generation_.load(); }

  // True while a thread waits on the signal.
  bool waited_on() const { return waiters_.load() != 0; }

  void notify() {
    generation_.fetch_add(1);
    if (waiters_.load() == 0) return;
    // Taken and released so that a waiter between its look at the
    // generation and its wait cannot miss the wake-up.
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }

  // Waits until the generation differs from `seen` or `timeout` passed.
  // True when it moved.
  bool wait_for_change(uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    waiters_.fetch_add(1);
    const bool moved = changed_.wait_for(
        lock, timeout, [&] { return generation_.load() != seen; });
    waiters_.fetch_sub(1);
    return moved;
  }

  // The library's process-wide signal: the connection notifies it on every
  // received message and on failure, and so do the lifecycle calls;
  // enumerations and callers that poll may wait on it. Not destroyed when
  // the process ends: that must take none of its locks, which a killed
  // thread may hold (static storage, not the heap, so that no leak is
  // reported). Only destroy_global() ends it.
  static ArrivalSignal& global() {
    alignas(ArrivalSignal) static unsigned char storage[sizeof(ArrivalSignal)];
    static ArrivalSignal* const signal = new (storage) ArrivalSignal;
    return *signal;
  }

  // Destroys the global signal in place, giving back what the threads
  // library allocated for it (Windows: a few hundred bytes that would be
  // lost with every unload). Only where no thread can wait on it or move it
  // any more: at an ordinary unload on Windows (client/api/library_state.cpp).
  static void destroy_global() noexcept { global().~ArrivalSignal(); }

 private:
  std::atomic<uint64_t> generation_{0};
  std::atomic<uint32_t> waiters_{0};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace kovra62386
