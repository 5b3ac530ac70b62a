// Advisory whole-file locks (flock) taken within a bound. flock locks belong
// to the open file description, so two open() calls exclude each other even
// inside one process, which is what both the named mutex and the registry
// store's writers rely on.
#pragma once

#include <chrono>
#include <string>

namespace kovra62386::platform {

// Takes an exclusive flock on fd, waiting at most `timeout`. flock cannot be
// woken by a deadline, so the wait polls with short, growing sleeps (1 ms up
// to 20 ms): cheap for the few seconds a start-up sequence can last.
bool lock_file_within(int fd, std::chrono::milliseconds timeout);

// Who may share a lock file.
enum class LockFileSharing {
  // Any user who can open it (a registry store's writers).
  AnyUser,
  // This user alone: created 0600, and a file of another owner (or not a
  // plain file) is refused at once, so that nobody else can hold the lock.
  ThisUser,
};

// An open lock file, closed (and so unlocked) on destruction.
class PosixLockFile {
 public:
  // Opens or creates `path` and locks it within `timeout`; locked() tells.
  PosixLockFile(const std::string& path, std::chrono::milliseconds timeout,
                LockFileSharing sharing = LockFileSharing::AnyUser);
  ~PosixLockFile();
  PosixLockFile(const PosixLockFile&) = delete;
  PosixLockFile& operator=(const PosixLockFile&) = delete;

  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

}  // namespace kovra62386::platform
