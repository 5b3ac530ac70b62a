// The library's global objects: the session (client/session/session.h)
// with its handle manager, which lives as long as the library, and the
// current communication object, which each KOVRA62386_initialize replaces;
// and the lifecycle that replaces, stops and unloads them.
//
// Unloading gives their memory back, without waiting for anything (the
// detach path runs under the loader lock on Windows). unload() takes only
// try-locks; it finds them free unless another thread is inside the
// library as it unloads (the application broke the rule that nothing is
// called during the unload, or, on POSIX, exit() while its threads still
// call in). Then whatever that thread may touch is left as it is: leaking
// it is safe, freeing it under the thread is not. At process exit on
// Windows nothing at all is touched (other threads were killed, maybe
// holding a lock); the system reclaims everything.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "client/session/my_communication.h"
#include "client/session/session.h"

namespace kovra62386::api {

class LibraryState {
 public:
  // The process's one instance, in static storage, made when the library
  // loads. An export that runs during or after unloading finds an empty
  // state, not a destroyed one; only destroy() ends it.
  static LibraryState& instance();

  // The session the exports and the transceivers operate on; it lasts as
  // long as the state.
  Session& session() { return session_; }

  // What one operation works with (Session::snapshot).
  using Snapshot = Session::Snapshot;
  Snapshot snapshot() const { return session_.snapshot(); }
  // The current communication object alone.
  std::shared_ptr<MyCommunication> current() const {
    return session_.current();
  }

  // Terminates the previous connection (if any), replaces the object by a
  // new one and starts its connection. 0: connected; -1: failed. The new
  // object stays current either way. May throw.
  int32_t initialize();

  // Stops the current connection; without one, or a second time, nothing
  // happens. Objects, devices and handles stay.
  void terminate();

  // Called once when the library is unloaded. From its start every export
  // answers "nothing" and later initializes fail. Then, with try-locks
  // only: releases the current communication object (after stopping a
  // connection still running: POSIX, unloaded or exit() without terminate;
  // a running connection keeps a Windows library loaded) and forgets every
  // handle, freeing the manager's entries and the devices only they held.
  // True when it took every lock and left nothing behind; false when a lock
  // was held, by a thread that is inside the library: what it may use
  // stays.
  bool unload() noexcept;

  // Destroys the instance in place, giving back the rest of its memory
  // (the manager and the threads library's records of the mutexes). Only
  // after unload() returned true, where no thread can call into the library
  // any more: Windows, at FreeLibrary (platform::unload_frees_statics).
  static void destroy() noexcept;

 private:
  LibraryState() = default;
  ~LibraryState() = default;

  void hold_module();
  void release_module();

  // The handle manager and the current communication object. Released
  // once unload began: no handle reads, no snapshots, no initialize. Only
  // destroy() ends it.
  Session session_;

  // Serialises initialize, terminate and unload; taken before the session's
  // locks.
  std::mutex lifecycle_mutex_;
  // Windows: our module's own reference while a connection may run.
  void* module_reference_ = nullptr;
};

}  // namespace kovra62386::api
