// The library as a loaded module: whether the process is ending, the
// library's references to its own module, and the threads that run its code.
//
// Windows unloads a DLL when its last reference goes, and ends a process by
// killing every other thread wherever it stands before the DLLs' detach code
// runs. So each thread that runs library code holds a reference to the
// module until its very last instruction (FreeLibraryAndExitThread): neither
// an application's FreeLibrary nor the library dropping its own reference on
// that very thread can unmap code still running. And the detach path asks
// process_exiting() first: at process exit it must take no lock, since a
// killed thread may hold it, and wait for nothing.
//
// Elsewhere a LibraryThread is a std::thread, module references are empty
// and the process never counts as exiting.
#pragma once

#include <functional>
#include <memory>

namespace kovra62386::platform {

// True once the process has begun to end (Windows: the library's detach
// at process exit); other threads may have been killed holding locks.
bool process_exiting() noexcept;

// A counted reference to the library's own module (null where there is
// none to take); give it back with release_module_reference.
void* hold_module_reference() noexcept;
void release_module_reference(void* reference) noexcept;

// A thread running library code, with std::thread's use: joinable, join,
// detach. Differences: join() from the thread itself only detaches (a thread
// never waits for itself), and destroying or overwriting a joinable one
// detaches it instead of ending the process.
//
// Windows: the thread holds its own module reference from before it starts
// and gives it back as it exits. join() waits until the body has returned
// and its captures are destroyed; what is left to run then is the release
// of the module, which touches no object, so join() also returns at once in
// the unload path, where the thread's exit itself waits for the loader.
class LibraryThread {
 public:
  LibraryThread() noexcept;
  // Starts `body`; an exception it throws ends the thread quietly. Throws
  // std::system_error when no thread can be started.
  explicit LibraryThread(std::function<void()> body);
  ~LibraryThread();
  LibraryThread(LibraryThread&& other) noexcept;
  LibraryThread& operator=(LibraryThread&& other) noexcept;
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;

  bool joinable() const noexcept;
  void join();
  void detach() noexcept;
  // True when called on this thread.
  bool is_current() const noexcept;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace kovra62386::platform
