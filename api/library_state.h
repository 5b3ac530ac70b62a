// The library's global objects: the handle manager, which lives as long as
// the library, and the current communication object, which each
// KOVRA62386_initialize replaces.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "session/device_handle_manager.h"
#include "session/my_communication.h"

namespace kovra62386::api {

class LibraryState {
 public:
  // The process's one instance. It is never destroyed: an export that runs
  // during or after unloading finds an empty state, not a destroyed one.
  static LibraryState& instance();

  // What one export works with, taken together under a lock: a concurrent
  // initialize or unload cannot destroy either while the caller uses it.
  // Both are null once the library is unloaded; `communication` is null
  // before the first initialize.
  struct Snapshot {
    std::shared_ptr<DeviceHandleManager> handles;
    std::shared_ptr<MyCommunication> communication;
  };
  Snapshot snapshot() const;
  // The current communication object alone.
  std::shared_ptr<MyCommunication> current() const;

  // The device a handle reads, without taking the state's lock; null once
  // unloaded or for a handle that is not open. A device of a replaced
  // communication object answers "not open" by itself.
  std::shared_ptr<Kovra62386Communication::OpenDevice> device_of(
      uint32_t handle) const;

  // Terminates the previous connection (if any), replaces the object by a
  // new one and starts its connection. 0: connected; -1: failed. The new
  // object stays current either way. May throw.
  int32_t initialize();

  // Stops the current connection; without one, or a second time, nothing
  // happens. Objects, devices and handles stay.
  void terminate();

  // Called once when the library is unloaded: stops the current object's
  // connection and releases it and the handle manager. Later initializes
  // fail and every export answers "nothing".
  void unload() noexcept;

 private:
  LibraryState();

  void hold_module();
  void release_module();

  mutable std::mutex current_mutex_;  // guards the two pointers only
  // Made with the state and never released, so device_of may use it
  // without the lock; unload empties it.
  const std::shared_ptr<DeviceHandleManager> handles_;
  std::shared_ptr<MyCommunication> current_;
  std::atomic<bool> released_{false};  // unload ran: no handle reads

  // Serialises initialize, terminate and unload; taken before current_mutex_.
  std::mutex lifecycle_mutex_;
  bool unloaded_ = false;
  // Windows: our module's own reference while a connection may run.
  void* module_reference_ = nullptr;
};

}  // namespace kovra62386::api
