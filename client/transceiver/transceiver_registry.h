// TransceiverRegistry: the process-wide map from handle to its transceiver.
// At most one transceiver per handle value; a transceiver whose worker ended
// (its handle closed) stays registered until it is stopped.
//
// The mutex guards the registry's fields only. Stop takes the entry out
// under it and then waits for the worker outside it, so a callback that
// sends or starts while its transceiver stops, or a stop of another handle,
// never waits for that worker.
//
// A stop made on a worker thread (from a callback) never waits for a
// worker: two callbacks that stop each other's transceivers would wait for
// each other for ever. It only asks the worker to end and keeps it among the
// "ending" ones, whose threads later operations join once they have ended,
// a stop of the same handle from another thread joins at once, and unload
// joins last.
//
// Lifetime: made when the library loads and not destroyed when the process
// ends, so that an application's global objects may still stop
// transceivers then; unload() stops the workers that still run. Only an
// ordinary unload on Windows destroys it (destroy()).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "client/transceiver/transceiver.h"
#include "kovra62386/kovra62386.h"
#include "platform/recursive_mutex.h"

namespace kovra62386 {

struct TransceiverEntry {
  uint32_t handle = 0;
  TransceiverCallback callback = nullptr;
  std::shared_ptr<Transceiver> transceiver;
};

class TransceiverRegistry {
 public:
  // The one registry of the loaded library, in static storage.
  static TransceiverRegistry& instance();

  // Destroys the registry in place with the transceivers it still holds.
  // Only where no worker runs and nothing calls in any more: after unload()
  // returned true at an ordinary unload on Windows
  // (client/api/library_state.cpp).
  static void destroy() noexcept;

  TransceiverRegistry(const TransceiverRegistry&) = delete;
  TransceiverRegistry& operator=(const TransceiverRegistry&) = delete;

  // Creates and starts a transceiver for `handle`. False, changing nothing,
  // when one is registered already, when `callback` is null, when no worker
  // can be created, or after unload().
  // The transceiver works on `session`, which outlives the registry.
  bool start(uint32_t handle, TransceiverCallback callback, void* context,
             Session& session);

  // Unregisters the handle's transceiver and waits for its worker to end
  // (on a worker thread: only asks, see above). Nothing happens for a
  // handle without one.
  void stop(uint32_t handle);

  // The handle's transceiver, kept alive for as long as the caller holds it;
  // null when none is registered.
  std::shared_ptr<Transceiver> find(uint32_t handle);

  // Called once when the library is unloaded: stops every transceiver still
  // running (see the .cpp for Windows); later starts fail. False when it
  // left the registry as it was (Windows: another thread held its lock).
  bool unload() noexcept;

 private:
  TransceiverRegistry();

  // Takes the ending transceivers whose workers have ended (and, with
  // of_handle, every one of `handle`) out of ending_; the caller joins them
  // outside the lock. Called with mutex_ held.
  std::vector<std::shared_ptr<Transceiver>> take_ending(bool of_handle,
                                                        uint32_t handle);
  static void join(std::vector<std::shared_ptr<Transceiver>>& transceivers);

  platform::RecursiveMutex mutex_;
  std::map<uint32_t, TransceiverEntry> entries_;
  // Stopped from a worker thread, their threads not joined yet. Bounded by
  // the transceivers started: each is here once, until joined.
  std::vector<std::shared_ptr<Transceiver>> ending_;
  bool unloaded_ = false;
};

}  // namespace kovra62386
