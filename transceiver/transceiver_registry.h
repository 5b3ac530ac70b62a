// TransceiverRegistry: the process-wide map from handle to its transceiver.
// At most one transceiver per handle value; a transceiver whose worker ended
// (its handle closed) stays registered until it is stopped.
//
// The mutex guards the map only. Stop takes the entry out under it and then
// waits for the worker outside it, so a callback that sends or starts while
// its transceiver stops, or a stop of another handle, never waits for that
// worker.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "kovra62386/kovra62386.h"
#include "transceiver/transceiver.h"

namespace kovra62386 {

struct TransceiverEntry {
  uint32_t handle = 0;
  TransceiverCallback callback = nullptr;
  std::shared_ptr<Transceiver> transceiver;
};

class TransceiverRegistry {
 public:
  // The one registry of the loaded library.
  static TransceiverRegistry& instance();

  TransceiverRegistry();
  // Stops every transceiver still running (see the .cpp for Windows).
  ~TransceiverRegistry();
  TransceiverRegistry(const TransceiverRegistry&) = delete;
  TransceiverRegistry& operator=(const TransceiverRegistry&) = delete;

  // Creates and starts a transceiver for `handle`. False, changing nothing,
  // when one is registered already, when `callback` is null, or when no
  // worker can be created.
  bool start(uint32_t handle, TransceiverCallback callback, void* context);

  // Unregisters the handle's transceiver and waits for its worker to end.
  // Nothing happens for a handle without one.
  void stop(uint32_t handle);

  // The handle's transceiver, kept alive for as long as the caller holds it;
  // null when none is registered.
  std::shared_ptr<Transceiver> find(uint32_t handle);

 private:
  std::recursive_mutex mutex_;
  std::map<uint32_t, TransceiverEntry> entries_;
};

}  // namespace kovra62386
