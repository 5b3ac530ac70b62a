#include "api/library_state.h"

#include <exception>
#include <new>
#include <utility>

#include "platform/library_module.h"
#include "transceiver/transceiver_registry.h"
#include "transport/arrival_signal.h"

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
  if (released_.load()) return Snapshot{};
  return Snapshot{handles_, current_};
}

std::shared_ptr<Kovra62386Communication::OpenDevice> LibraryState::device_of(
    uint32_t handle) const {
  if (released_.load()) return nullptr;
  return handles_->device_of(handle);
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
      // Its handles stay dead, whatever frames they left unread.
      previous->retire_devices();
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
  try {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
    unloaded_ = true;
    {
      std::lock_guard<std::mutex> lock(current_mutex_);
      released_.store(true);
      last = std::move(current_);
    }
    handles_->clear();
    // Handles read nothing from here on (released_), so the devices need
    // no retiring: the detach path takes no lock it can avoid.
    if (last) last->terminate();
  } catch (...) {
  }
  ArrivalSignal::global().notify();
}

// A running connection holds a reference to our own module (Windows), so an
// application's FreeLibrary without terminate leaves the library loaded
// rather than tearing it down under the loader lock; terminate gives the
// reference back. The library's threads hold references of their own, so
// the last one may go on any of them without unmapping code still running.
void LibraryState::hold_module() {
  if (module_reference_ == nullptr)
    module_reference_ = platform::hold_module_reference();
}

void LibraryState::release_module() {
  // The caller of terminate, an application or a library thread, holds the
  // module too: this never unloads it under our feet.
  platform::release_module_reference(std::exchange(module_reference_, nullptr));
}

namespace {

// Its destructor runs when the library is unloaded or the process ends.
// The registry and the state are made here, at load, so that they outlast
// the globals of an application that uses the library; the workers stop
// before the connection they read from. At process exit the other threads
// were killed wherever they stood, maybe holding the lifecycle, registry or
// signal lock, maybe in the middle of a change: everything is left as it
// is, and the system reclaims it.
struct Unloader {
  Unloader() {
    static_cast<void>(ArrivalSignal::global());
    static_cast<void>(TransceiverRegistry::instance());
    static_cast<void>(LibraryState::instance());
  }
  ~Unloader() {
    if (platform::process_exiting()) return;
    TransceiverRegistry::instance().unload();
    LibraryState::instance().unload();
  }
};

const Unloader unloader;

}  // namespace

}  // namespace kovra62386::api
