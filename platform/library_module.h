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

// True during an unload that is not the end of the process, where no
// thread of the library runs any more and the module's memory goes while
// the process's heap stays: the Windows DLL at FreeLibrary (every library
// thread holds a module reference up to its last instruction, so the last
// reference goes only once their bodies have returned). There the
// library's never-destroyed objects must be destroyed, or the heap memory
// they hold (the threads library's records of their mutexes and condition
// variables among it) is lost with every load. False elsewhere: in a
// program that links the library statically (its static objects go at
// exit, while its threads may still run), and on POSIX, which cannot tell
// dlclose from exit() and whose mutexes hold no memory of their own.
bool unload_frees_statics() noexcept;

// Gives back what the module holds for its whole life: its slot of the
// system's thread-local storage (below), and the emergency pool that a
// static libstdc++ allocates for exceptions thrown while the heap is
// exhausted (18.5 KB; left alone where the runtime is shared with the rest
// of the process). Only the very last step of an unload where
// unload_frees_statics() holds: nothing may run in the module afterwards.
void release_module_state() noexcept;

// A pointer of the calling thread's own (null until set): the object whose
// worker runs on this thread. Windows keeps it in a slot of the system's
// thread-local storage that release_module_state() gives back; a C++
// thread_local there goes through emulated TLS and winpthreads keys, whose
// records a statically linked runtime never frees (about 450 bytes lost
// with every load and unload). Without a slot (all taken) it stays null.
const void* current_worker() noexcept;
void set_current_worker(const void* worker) noexcept;

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
