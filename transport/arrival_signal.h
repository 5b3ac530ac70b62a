// ArrivalSignal: wakes threads that wait for "something may have changed"
// (a message arrived, a connection failed, a handle closed, a stop was
// asked for) without polling.
//
// A waiter takes the generation before it looks at its data and waits for
// the generation to move on. A notification between the look and the wait
// moves the generation, so it is never lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

namespace kovra62386 {

class ArrivalSignal {
 public:
  uint64_t generation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
  }

  void notify() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++generation_;
    }
    changed_.notify_all();
  }

  // Waits until the generation differs from `seen` or `timeout` passed.
  // True when it moved.
  bool wait_for_change(uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return generation_ != seen; });
  }

  // The library's one signal: the connection notifies it on every received
  // message and on failure; readers and enumerations wait on it.
  // Never destroyed: ending the process must take none of its locks, which
  // a killed thread may hold (static storage, not the heap, so that no leak
  // is reported).
  static ArrivalSignal& global() {
    alignas(ArrivalSignal) static unsigned char storage[sizeof(ArrivalSignal)];
    static ArrivalSignal* const signal = new (storage) ArrivalSignal;
    return *signal;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t generation_ = 0;
};

}  // namespace kovra62386
