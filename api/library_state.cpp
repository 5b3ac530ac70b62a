#include "api/library_state.h"

#include <exception>
#include <new>
#include <utility>

#include "transceiver/transceiver_registry.h"
#include "transport/arrival_signal.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kovra62386::api {

LibraryState& LibraryState::instance() {
  alignas(LibraryState) static unsigned char storage[sizeof(LibraryState)];
  static LibraryState* const state = new (storage) LibraryState();
  return *state;
}

LibraryState::LibraryState()
    : handles_(std::make_shared<DeviceHandleManager>()) {}

LibraryState::Snapshot LibraryState::snapshot() const {
  std::lock_guard<std::mutex> lock(current_mutex_);
  return Snapshot{handles_, current_};
}

std::shared_ptr<MyCommunication> LibraryState::current() const {
  std::lock_guard<std::mutex> lock(current_mutex_);
  return current_;
}

int32_t LibraryState::initialize() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (unloaded_) return -1;

  std::shared_ptr<MyCommunication> previous = current();
  if (previous) {
    // An initialize without terminate: the old connection's threads must
    // stop before the object may go. Its terminate stops them even when
    // closing the socket reports an error.
    try {
      previous->terminate();
    } catch (...) {
    }
  }
  previous.reset();

  auto fresh = std::make_shared<MyCommunication>();
  {
    std::lock_guard<std::mutex> lock(current_mutex_);
    previous = std::exchange(current_, fresh);
  }
  // Destroyed here, unless a caller on another thread still holds it.
  previous.reset();
  // Readers of handles bound to the old object learn that they are gone.
  ArrivalSignal::global().notify();

  hold_module();
  return fresh->initialize() ? 0 : -1;
}

void LibraryState::terminate() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  const std::shared_ptr<MyCommunication> communication = current();
  if (communication) {
    try {
      communication->terminate();
    } catch (...) {
    }
  }
  release_module();
  ArrivalSignal::global().notify();
}

void LibraryState::unload() noexcept {
  std::shared_ptr<MyCommunication> last;
  std::shared_ptr<DeviceHandleManager> handles;
  try {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    unloaded_ = true;
#if defined(_WIN32)
    // We still hold our own module, so this is the end of the process, not
    // a FreeLibrary: Windows has ended the other threads already and the
    // loader lock is held, so joining them would hang. Leave it all be.
    if (module_reference_ != nullptr) return;
#endif
    {
      std::lock_guard<std::mutex> lock(current_mutex_);
      last = std::move(current_);
      handles = std::move(handles_);
    }
    if (last) last->terminate();
  } catch (...) {
  }
  ArrivalSignal::global().notify();
}

// On Windows a running connection holds a reference to our own module, so
// a FreeLibrary without terminate cannot unmap code that its threads still
// run (and DllMain never has to join them under the loader lock); terminate
// gives the reference back. Elsewhere unloading terminates the connection.
void LibraryState::hold_module() {
#if defined(_WIN32)
  if (module_reference_ != nullptr) return;
  static const char anchor = 0;  // any address inside our module
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&anchor), &module)) {
    module_reference_ = module;
  }
#endif
}

void LibraryState::release_module() {
#if defined(_WIN32)
  if (module_reference_ == nullptr) return;
  // The caller of terminate holds the module too; this never unloads it.
  FreeLibrary(static_cast<HMODULE>(module_reference_));
  module_reference_ = nullptr;
#endif
}

namespace {

// Its destructor runs when the library is unloaded (or the process ends).
// The signal is created before it, so it is destroyed after it: the
// connection's threads may notify it until they are stopped. The registry
// and the state are made here, at load, so that they outlast the globals of
// an application that uses the library; the workers stop before the
// connection they read from.
struct Unloader {
  Unloader() {
    static_cast<void>(ArrivalSignal::global());
    static_cast<void>(TransceiverRegistry::instance());
    static_cast<void>(LibraryState::instance());
  }
  ~Unloader() {
    TransceiverRegistry::instance().unload();
    LibraryState::instance().unload();
  }
};

const Unloader unloader;

}  // namespace

}  // namespace kovra62386::api
