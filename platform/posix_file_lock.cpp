#include "platform/posix_file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace kovra62386::platform {

bool lock_file_within(int fd, std::chrono::milliseconds timeout) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::max(timeout, decltype(timeout){0});
  std::chrono::milliseconds pause{1};
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    const auto now = clock::now();
    if (now >= deadline) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::this_thread::sleep_for(
        std::min(pause, std::max(left, std::chrono::milliseconds{1})));
    pause = std::min(pause * 2, std::chrono::milliseconds{20});
  }
}

PosixLockFile::PosixLockFile(const std::string& path,
                             std::chrono::milliseconds timeout,
                             LockFileSharing sharing) {
  // O_NONBLOCK: a FIFO planted at the path must not block the open.
  constexpr int kFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  if (sharing == LockFileSharing::ThisUser) {
    fd_ = ::open(path.c_str(), kFlags, 0600);
    struct stat info {};
    if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) ||
                     info.st_uid != ::geteuid())) {
      ::close(fd_);
      fd_ = -1;
    }
    // A file of ours left wider by an older version narrows again.
    if (fd_ >= 0 && (info.st_mode & 0077) != 0) ::fchmod(fd_, 0600);
  } else {
    // 0666 before the umask: another user may have to open the same file;
    // read-only access still allows flock.
    fd_ = ::open(path.c_str(), kFlags, 0666);
    if (fd_ < 0 && errno == EACCES) {
      fd_ =
          ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    }
  }
  if (fd_ >= 0) locked_ = lock_file_within(fd_, timeout);
}

PosixLockFile::~PosixLockFile() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace kovra62386::platform
