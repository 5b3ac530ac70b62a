#include "client/transceiver/transceiver_registry.h"

#include <new>
#include <utility>

#include "client/transport/arrival_signal.h"

namespace kovra62386 {

TransceiverRegistry& TransceiverRegistry::instance() {
  // Never destroyed: an application's global that stops a transceiver while
  // the process ends finds a live (if unloaded) registry. The library makes
  // it when it loads, before the application's globals
  // (client/api/library_state).
  alignas(TransceiverRegistry) static unsigned char
      storage[sizeof(TransceiverRegistry)];
  static TransceiverRegistry* const registry =
      new (storage) TransceiverRegistry();
  return *registry;
}

void TransceiverRegistry::destroy() noexcept {
  instance().~TransceiverRegistry();
}

TransceiverRegistry::TransceiverRegistry() {
  // The workers wait on the signal; it must outlive them.
  ArrivalSignal::global();
}

bool TransceiverRegistry::unload() noexcept {
  std::map<uint32_t, TransceiverEntry> entries;
  std::vector<std::shared_ptr<Transceiver>> ending;
  try {
#if defined(_WIN32)
    // Under the loader lock nothing waits: a start or stop under way keeps
    // what it uses.
    std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
    if (!lock) return false;
#else
    std::lock_guard<std::recursive_mutex> lock(mutex_);
#endif
    unloaded_ = true;
    entries.swap(entries_);
    ending.swap(ending_);
  } catch (...) {
    return false;
  }
#if defined(_WIN32)
  // Runs under the loader lock when the library is unloaded: a thread
  // cannot end while it is held, so waiting here would never return. The
  // workers are only told to stop; each keeps its transceiver alive until
  // it ends. Applications stop their transceivers before unloading.
  for (auto& [handle, entry] : entries) entry.transceiver->request_stop();
  // Told already; dropping the last reference would wait for the thread.
  try {
    std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
    if (!lock) return false;
    ending_.swap(ending);
  } catch (...) {
    return false;
  }
  return true;
#else
  if (Transceiver::on_worker_thread()) {
    // A callback ends the process: it must not wait for the other workers.
    // They are told to stop and stay referenced, never joined.
    try {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      for (auto& [handle, entry] : entries) {
        entry.transceiver->request_stop();
        ending.push_back(std::move(entry.transceiver));
      }
      ending_.swap(ending);
    } catch (...) {
    }
    return true;
  }
  for (auto& [handle, entry] : entries) entry.transceiver->stop();
  join(ending);
  return true;
#endif
}

bool TransceiverRegistry::start(uint32_t handle, TransceiverCallback callback,
                                void* context, Session& session) {
  if (callback == nullptr) return false;
  std::vector<std::shared_ptr<Transceiver>> ended;
  bool started = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ended = take_ending(false, 0);
    if (!unloaded_ && entries_.count(handle) == 0) {
      auto transceiver =
          std::make_shared<Transceiver>(handle, callback, context, session);
      auto it =
          entries_
              .emplace(handle, TransceiverEntry{handle, callback, transceiver})
              .first;
      try {
        transceiver->start();
        started = true;
      } catch (...) {
        entries_.erase(it);
      }
    }
  }
  join(ended);
  return started;
}

void TransceiverRegistry::stop(uint32_t handle) {
  const bool on_worker = Transceiver::on_worker_thread();
  std::shared_ptr<Transceiver> transceiver;
  std::vector<std::shared_ptr<Transceiver>> to_join;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = entries_.find(handle);
    if (it != entries_.end()) {
      transceiver = std::move(it->second.transceiver);
      entries_.erase(it);
    }
    if (on_worker && transceiver) {
      transceiver->request_stop();
      ending_.push_back(std::move(transceiver));
    }
    // Elsewhere a stop also waits for this handle's ending workers, so that
    // the application knows its callback is done with.
    to_join = take_ending(!on_worker, handle);
  }
  if (transceiver) transceiver->stop();
  join(to_join);
}

std::shared_ptr<Transceiver> TransceiverRegistry::find(uint32_t handle) {
  std::shared_ptr<Transceiver> found;
  std::vector<std::shared_ptr<Transceiver>> ended;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ended = take_ending(false, 0);
    auto it = entries_.find(handle);
    if (it != entries_.end()) found = it->second.transceiver;
  }
  join(ended);
  return found;
}

std::vector<std::shared_ptr<Transceiver>> TransceiverRegistry::take_ending(
    bool of_handle, uint32_t handle) {
  std::vector<std::shared_ptr<Transceiver>> taken;
  if (ending_.empty()) return taken;
  for (auto it = ending_.begin(); it != ending_.end();) {
    if ((*it)->ended() || (of_handle && (*it)->handle() == handle)) {
      taken.push_back(std::move(*it));
      it = ending_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

void TransceiverRegistry::join(
    std::vector<std::shared_ptr<Transceiver>>& transceivers) {
  for (auto& transceiver : transceivers) transceiver->stop();
  transceivers.clear();
}

}  // namespace kovra62386
