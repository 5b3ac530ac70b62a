// RecursiveMutex: std::recursive_mutex that also gives back, when it is
// destroyed, what the threads library allocated for it.
//
// MinGW-w64's libstdc++ (posix thread model) sets a recursive mutex up with
// a static initialiser and, trusting that such a mutex needs no clean-up,
// never destroys it; winpthreads allocates a record for it on its first
// lock. So every std::recursive_mutex destroyed there loses 20 bytes of the
// heap (a plain std::mutex is set up and destroyed through functions and
// loses nothing). Elsewhere this is std::recursive_mutex as it is.
//
// Use it as the mutex itself; locks and guards take it as the
// std::recursive_mutex it derives from.
#pragma once

#include <mutex>

#if defined(__MINGW32__) && defined(__GTHREAD_RECURSIVE_MUTEX_INIT)
#include <pthread.h>
#define KOVRA62386_DESTROY_RECURSIVE_MUTEX 1
#endif

namespace kovra62386::platform {

class RecursiveMutex : public std::recursive_mutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;
  ~RecursiveMutex() {
#if defined(KOVRA62386_DESTROY_RECURSIVE_MUTEX)
    // Unlocked by now, as for any mutex being destroyed.
    pthread_mutex_destroy(native_handle());
#endif
  }
};

}  // namespace kovra62386::platform
