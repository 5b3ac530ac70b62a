#include "client/api/library_state.h"

#include <exception>
#include <new>
#include <utility>

#include "client/transceiver/transceiver_registry.h"
#include "client/transport/arrival_signal.h"
#include "platform/library_module.h"

namespace kovra62386::api {

LibraryState& LibraryState::instance() {
  alignas(LibraryState) static unsigned char storage[sizeof(LibraryState)];
  static LibraryState* const state = new (storage) LibraryState();
  return *state;
}

void LibraryState::destroy() noexcept { instance().~LibraryState(); }

int32_t LibraryState::initialize() {
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex_);
  if (session_.released()) return -1;

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
  previous = session_.replace(fresh);
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

bool LibraryState::unload() noexcept {
  session_.release();
  bool idle = false;
  try {
    std::unique_lock<std::mutex> lifecycle(lifecycle_mutex_, std::try_to_lock);
    std::shared_ptr<MyCommunication> last;
    // Taken elsewhere: an initialize or terminate is under way, or a
    // snapshot is being taken; what they use stays.
    if (lifecycle && session_.try_take_current(last)) {
      // Handles read nothing from here on (released), so the devices need
      // no retiring: the detach path takes no lock it can avoid.
      idle = session_.forget_all();
      // Stops a connection still running (POSIX only, see the header).
      if (last) last->terminate();
      // Destroyed here, unless a caller on another thread still holds it.
      last.reset();
    }
  } catch (...) {
    idle = false;
  }
  ArrivalSignal::global().notify();
  return idle;
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
// before the connection they read from.
//
// At process exit on Windows the other threads were killed wherever they
// stood, maybe holding the lifecycle, registry or signal lock, maybe in the
// middle of a change: everything is left as it is, and the system reclaims
// it. On POSIX exit() and dlclose look the same from here: the objects are
// emptied (their memory given back) but stay, since at exit() the
// application's threads still run and may still call in.
//
// Windows, at FreeLibrary: no library thread runs any more (each holds the
// module until its last instruction) and the application calls nothing
// during or after it. The heap outlives the module, so the registry, the
// state and the global signal are destroyed in place too, and the runtime's
// exception pool given back: loading and freeing the library again and
// again keeps the process's memory flat (tests/windows/
// dll_lifetime_test.cpp). Whenever a lock was found taken, a thread is still
// inside the library: then nothing more is destroyed (leaked rather than
// pulled from under it). An application that unloads without terminate or
// with transceivers still running keeps the library loaded (their threads
// hold it) until they end; transceivers it never stopped are freed then.
struct Unloader {
  Unloader() {
    static_cast<void>(ArrivalSignal::global());
    static_cast<void>(TransceiverRegistry::instance());
    static_cast<void>(LibraryState::instance());
  }
  ~Unloader() {
    if (platform::process_exiting()) return;
    const bool registry_idle = TransceiverRegistry::instance().unload();
    const bool state_idle = LibraryState::instance().unload();
    if (!platform::unload_frees_statics() || !registry_idle || !state_idle)
      return;
    // Transceivers first: they hold devices and may wait on the signal.
    TransceiverRegistry::destroy();
    LibraryState::destroy();
    if (!ArrivalSignal::global().waited_on()) ArrivalSignal::destroy_global();
    platform::release_module_state();
  }
};

const Unloader unloader;

}  // namespace

}  // namespace kovra62386::api
