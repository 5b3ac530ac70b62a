// Session: the library's open interfaces as the exports and the
// transceivers see them. It holds the handle manager and the current
// communication object, and offers the operations on handles (enumerate,
// open, close, read, write) that keep the two in step; the policy of
// sharing a name's device among its handles lives here and in the manager.
// The exports only check their arguments and convert the results; the
// transceivers, peers of the exports, call the same operations.
//
// Thread-safe. current_mutex_ guards current_ only; the manager has a lock
// of its own, taken after it (see device_handle_manager.h for the order).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "client/session/device_handle_manager.h"
#include "client/session/my_communication.h"
#include "client/transport/arrival_signal.h"
#include "kovra62386/kovra62386.h"

namespace kovra62386 {

class Session {
 public:
  // write's only result: it tells nothing about the transmission, whose
  // outcome arrives as frames (the public header documents it as 2).
  static constexpr int32_t kWriteOutcomeInFrames = 2;

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // What one operation works with, taken together under a lock: a
  // concurrent initialize or unload cannot destroy either while the caller
  // uses it. Both are null once released; `communication` is null before
  // the first replace. `handles` is the session's own manager (the pointer
  // owns nothing): it lasts as long as the session.
  struct Snapshot {
    std::shared_ptr<DeviceHandleManager> handles;
    std::shared_ptr<MyCommunication> communication;
  };
  Snapshot snapshot() const;
  // The current communication object alone.
  std::shared_ptr<MyCommunication> current() const;

  // The device a handle reads, without taking current_mutex_; null once
  // released or for a handle that is not open. A device of a replaced
  // communication object answers "not open" by itself.
  std::shared_ptr<Kovra62386Communication::OpenDevice> device_of(
      uint32_t handle) const;
  // The wake-up of that device, sharing the device's life; null as above.
  std::shared_ptr<ArrivalSignal> wakeup_of(uint32_t handle) const;

  // The names the server lists now (Kovra62386Communication::enumerate);
  // none without a communication object.
  std::vector<std::string> enumerate();

  // A new handle on the name (DeviceHandleManager::open); 0 when it cannot
  // be opened or there is no communication object.
  uint32_t open(std::string_view name);

  // Gives the handle back (DeviceHandleManager::close) and wakes whoever
  // waits on its device, and the readers of the global signal.
  void close(uint32_t handle);

  // KOVRA62386_READ_FRAME with the handle's oldest frame in `record` (bytes
  // 2-3 stay as they were), _EMPTY, or _NOT_OPEN for a handle that is not
  // open or whose device is gone and read to the end.
  int32_t read(uint32_t handle, ReadFrameRecord& record);

  // Queues the frame on the handle's device when it has one; bytes 2-3 of
  // `frame` are never read. Always kWriteOutcomeInFrames.
  int32_t write(uint32_t handle, const WriteFrameRecord& frame);

  // The library's lifecycle. replace makes `fresh` current and gives back
  // the previous object; release makes every operation answer "nothing"
  // from then on.
  std::shared_ptr<MyCommunication> replace(
      std::shared_ptr<MyCommunication> fresh);
  void release() { released_.store(true); }
  bool released() const { return released_.load(); }

  // For the unload, never waiting: takes the current object into `last`
  // when current_mutex_ is free (false, leaving it, when a snapshot is
  // being taken), then forget_all forgets every handle (false when another
  // thread holds the manager, see DeviceHandleManager::clear).
  bool try_take_current(std::shared_ptr<MyCommunication>& last) noexcept;
  bool forget_all() { return handles_.clear(); }

 private:
  mutable std::mutex current_mutex_;  // guards current_ only
  // Thread-safe by itself, so device_of needs no lock of the session's;
  // forget_all empties it, and it lasts as long as the session.
  mutable DeviceHandleManager handles_;
  std::shared_ptr<MyCommunication> current_;
  // Released: no handle reads, no snapshots.
  std::atomic<bool> released_{false};
};

}  // namespace kovra62386
