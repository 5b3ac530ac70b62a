// POSIX: a LibraryThread is a plain std::thread; shared objects need no
// reference of their own, and the process is never seen ending from here.
#include <thread>
#include <utility>

#include "platform/library_module.h"

namespace kovra62386::platform {

bool process_exiting() noexcept { return false; }

bool unload_frees_statics() noexcept { return false; }

// The C++ runtime is the process's shared one: nothing of it is ours.
void release_module_state() noexcept {}

namespace {
thread_local const void* worker_on_this_thread = nullptr;
}  // namespace

const void* current_worker() noexcept { return worker_on_this_thread; }

void set_current_worker(const void* worker) noexcept {
  worker_on_this_thread = worker;
}

void* hold_module_reference() noexcept { return nullptr; }

void release_module_reference(void*) noexcept {}

struct LibraryThread::State {
  std::thread thread;
};

LibraryThread::LibraryThread() noexcept = default;

LibraryThread::LibraryThread(std::function<void()> body)
    : state_(std::make_shared<State>()) {
  state_->thread = std::thread([body = std::move(body)] {
    try {
      body();
    } catch (...) {
      // Nothing may escape a thread.
    }
  });
}

LibraryThread::~LibraryThread() { detach(); }

LibraryThread::LibraryThread(LibraryThread&& other) noexcept = default;

LibraryThread& LibraryThread::operator=(LibraryThread&& other) noexcept {
  if (this != &other) {
    detach();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool LibraryThread::joinable() const noexcept {
  return state_ && state_->thread.joinable();
}

void LibraryThread::join() {
  if (!joinable()) return;
  if (is_current()) {
    detach();
    return;
  }
  state_->thread.join();
}

void LibraryThread::detach() noexcept {
  if (joinable()) state_->thread.detach();
}

bool LibraryThread::is_current() const noexcept {
  return state_ && state_->thread.get_id() == std::this_thread::get_id();
}

}  // namespace kovra62386::platform
