// Windows: the detach notification tells whether the process is ending, and
// each library thread is a native thread that holds its own reference to the
// module and ends with FreeLibraryAndExitThread.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/library_module.h"

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
// libstdc++'s release of its emergency exception pool (eh_alloc.cc), the
// one that memory checkers call at the end of a process.
void __freeres() noexcept;
}  // namespace __gnu_cxx
#endif

namespace kovra62386::platform {
namespace {

std::atomic<bool> exiting{false};
// The DLL's detach at FreeLibrary has begun (never in a program that links
// the library statically: its DllMain does not run there).
std::atomic<bool> unloading{false};

// Any address inside this module names it.
const char kModuleAnchor = 0;

// The slot of current_worker(), taken when the module loads.
const DWORD worker_slot = ::TlsAlloc();

// What a thread and the threads that join it share.
struct Completion {
  std::mutex mutex;
  std::condition_variable finished_changed;
  bool finished = false;
  std::atomic<DWORD> thread_id{0};

  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished = true;
    }
    finished_changed.notify_all();
  }

  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    finished_changed.wait(lock, [this] { return finished; });
  }
};

struct Start {
  std::function<void()> body;
  std::shared_ptr<Completion> completion;
  HMODULE module = nullptr;
};

DWORD WINAPI run_library_thread(void* parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<Start> start(static_cast<Start*>(parameter));
    module = start->module;
    std::shared_ptr<Completion> completion = std::move(start->completion);
    completion->thread_id.store(::GetCurrentThreadId());
    try {
      start->body();
    } catch (...) {
      // Nothing may escape a thread.
    }
    // The body's captures go before a joiner is woken: join() promises
    // they are gone.
    start.reset();
    completion->finish();
  }
  // Our own reference keeps this code mapped up to here, even when it is
  // the last one and the library is unloaded on this thread.
  ::FreeLibraryAndExitThread(module, 0);
}

}  // namespace

bool process_exiting() noexcept { return exiting.load(); }

bool unload_frees_statics() noexcept {
  return unloading.load() && !exiting.load();
}

const void* current_worker() noexcept {
  if (worker_slot == TLS_OUT_OF_INDEXES) return nullptr;
  return ::TlsGetValue(worker_slot);
}

void set_current_worker(const void* worker) noexcept {
  if (worker_slot != TLS_OUT_OF_INDEXES)
    ::TlsSetValue(worker_slot, const_cast<void*>(worker));
}

void release_module_state() noexcept {
  // Slots are few (1088 in a process): each load would keep one.
  if (worker_slot != TLS_OUT_OF_INDEXES) ::TlsFree(worker_slot);
#if defined(__GLIBCXX__)
  // Only a libstdc++ linked into this module: one in a DLL of its own
  // serves the rest of the process too.
  HMODULE runtime = nullptr;
  HMODULE ours = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                      GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (::GetModuleHandleExW(
          flags,
          reinterpret_cast<LPCWSTR>(
              reinterpret_cast<uintptr_t>(&__gnu_cxx::__freeres)),
          &runtime) &&
      ::GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&kModuleAnchor),
                           &ours) &&
      runtime == ours) {
    __gnu_cxx::__freeres();
  }
#endif
}

void* hold_module_reference() noexcept {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&kModuleAnchor),
                            &module)) {
    return nullptr;
  }
  return module;
}

void release_module_reference(void* reference) noexcept {
  if (reference != nullptr) ::FreeLibrary(static_cast<HMODULE>(reference));
}

struct LibraryThread::State : Completion {};

LibraryThread::LibraryThread() noexcept = default;

LibraryThread::LibraryThread(std::function<void()> body) {
  auto state = std::make_shared<State>();
  auto start = std::make_unique<Start>();
  start->body = std::move(body);
  start->completion = state;
  start->module = static_cast<HMODULE>(hold_module_reference());
  if (start->module == nullptr) {
    throw std::system_error(static_cast<int>(::GetLastError()),
                            std::system_category(), "module reference");
  }
  const HANDLE handle =
      ::CreateThread(nullptr, 0, &run_library_thread, start.get(), 0, nullptr);
  if (handle == nullptr) {
    const DWORD error = ::GetLastError();
    release_module_reference(start->module);
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "CreateThread");
  }
  // The thread owns its start data now; joins wait on the completion.
  static_cast<void>(start.release());
  ::CloseHandle(handle);
  state_ = std::move(state);
}

LibraryThread::~LibraryThread() = default;

LibraryThread::LibraryThread(LibraryThread&& other) noexcept = default;

LibraryThread& LibraryThread::operator=(LibraryThread&& other) noexcept {
  if (this != &other) state_ = std::move(other.state_);
  return *this;
}

bool LibraryThread::joinable() const noexcept { return state_ != nullptr; }

void LibraryThread::join() {
  if (!state_) return;
  if (!is_current()) state_->wait();
  state_.reset();
}

void LibraryThread::detach() noexcept { state_.reset(); }

bool LibraryThread::is_current() const noexcept {
  return state_ && state_->thread_id.load() == ::GetCurrentThreadId();
}

}  // namespace kovra62386::platform

// At process exit (a non-null `reserved`) ExitProcess has already killed
// every other thread; the library's static destructors, which run after
// this, then leave everything as it is. At FreeLibrary (a null one) they
// also destroy what they can (unload_frees_statics).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    if (reserved != nullptr) {
      kovra62386::platform::exiting.store(true);
    } else {
      kovra62386::platform::unloading.store(true);
    }
  }
  return TRUE;
}
