#include "transceiver/transceiver_registry.h"

#include <new>
#include <utility>

#include "platform/library_module.h"
#include "transport/arrival_signal.h"

namespace kovra62386 {

TransceiverRegistry& TransceiverRegistry::instance() {
  // Built on first use, so it is destroyed before the library's other
  // globals, which its workers still use while they end.
  static TransceiverRegistry registry;
  return registry;
}

TransceiverRegistry::TransceiverRegistry() {
  // The workers wait on the signal; it must outlive this registry.
  ArrivalSignal::global();
}

TransceiverRegistry::~TransceiverRegistry() {
  if (platform::process_exiting()) {
    // Killed threads may hold mutex_ or the transceivers' locks: the entries
    // move, unlocked and untouched, to storage that is never destroyed.
    using Entries = std::map<uint32_t, TransceiverEntry>;
    alignas(Entries) static unsigned char abandoned[sizeof(Entries)];
    new (abandoned) Entries(std::move(entries_));
    return;
  }
  std::map<uint32_t, TransceiverEntry> entries;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    entries.swap(entries_);
  }
  for (auto& [handle, entry] : entries) {
#if defined(_WIN32)
    // Runs under the loader lock when the library is unloaded: a thread
    // cannot end while it is held, so waiting here would never return. The
    // workers are only told to stop; each keeps its transceiver alive until
    // it ends. Applications stop their transceivers before unloading.
    entry.transceiver->request_stop();
#else
    entry.transceiver->stop();
#endif
  }
}

bool TransceiverRegistry::start(uint32_t handle, TransceiverCallback callback,
                                void* context) {
  if (callback == nullptr) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (entries_.count(handle) != 0) return false;
  auto transceiver = std::make_shared<Transceiver>(handle, callback, context);
  auto it =
      entries_.emplace(handle, TransceiverEntry{handle, callback, transceiver})
          .first;
  try {
    transceiver->start();
  } catch (...) {
    entries_.erase(it);
    return false;
  }
  return true;
}

void TransceiverRegistry::stop(uint32_t handle) {
  std::shared_ptr<Transceiver> transceiver;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return;
    transceiver = std::move(it->second.transceiver);
    entries_.erase(it);
  }
  transceiver->stop();
}

std::shared_ptr<Transceiver> TransceiverRegistry::find(uint32_t handle) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = entries_.find(handle);
  if (it == entries_.end()) return nullptr;
  return it->second.transceiver;
}

}  // namespace kovra62386
