#include "support/fake_interface/seqpacket_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kovra62386::test {
namespace {

using Clock = std::chrono::steady_clock;

// Reply times kept for the benchmark at most.
constexpr std::size_t kMaxReplyTimes = 1 << 20;
// Larger than any report, so that an oversized write shows as such.
constexpr std::size_t kMaxMessage = 64;

int poll_timeout(const FakeFirmware& firmware, Clock::time_point now) {
  const auto due = firmware.next_due();
  if (!due) return -1;
  if (*due <= now) return 0;
  // Rounded up, so that the wake-up finds the event due.
  const auto ms =
      std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
  return static_cast<int>(std::min<long long>(ms, 60'000));
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::filesystem::path fresh_unit_dir(const std::string& prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

SeqpacketUnit::SeqpacketUnit(std::filesystem::path path,
                             std::unique_ptr<FakeFirmware> firmware,
                             std::size_t report_size)
    : path_(std::move(path)),
      path_string_(path_.string()),
      firmware_(std::move(firmware)),
      report_size_(report_size) {
  // Bound and listening under another name first, so that the path
  // appears (as udev makes a node appear) only once it can be opened.
  const std::string bound = path_string_ + ".new";
  sockaddr_un address{};
  if (bound.size() >= sizeof address.sun_path) {
    error_ = path_string_ + ": too long for a socket";
    return;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, bound.c_str(), bound.size() + 1);
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
  std::filesystem::remove(bound, ignored);
  listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0 ||
      ::bind(listener_, reinterpret_cast<const sockaddr*>(&address),
             sizeof address) != 0 ||
      ::listen(listener_, 1) != 0 ||
      ::rename(bound.c_str(), path_string_.c_str()) != 0) {
    error_ = path_string_ + ": " + std::strerror(errno);
    close_fd(listener_);
    return;
  }
  thread_ = std::thread([this] { run(); });
}

SeqpacketUnit::~SeqpacketUnit() {
  unplug();
  for (int& fd : wake_) close_fd(fd);
}

bool SeqpacketUnit::wait_until_opened(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return greeted_.wait_for(lock, timeout,
                           [this] { return firmware_->greeted(); });
}

void SeqpacketUnit::inject(
    const std::function<std::string(FakeFirmware&)>& act) {
  std::lock_guard<std::mutex> lock(mutex_);
  send(act(*firmware_));
}

void SeqpacketUnit::unplug() {
  if (thread_.joinable()) {
    const char stop = 's';
    (void)!::write(wake_[1], &stop, 1);
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  close_fd(connection_);
  if (listener_ >= 0) {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  close_fd(listener_);
}

std::vector<std::chrono::nanoseconds> SeqpacketUnit::take_reply_times() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(reply_times_, {});
}

// One message per report; a reply of another size (the legacy firmware's)
// goes as it is.
void SeqpacketUnit::send(const std::string& bytes) {
  if (connection_ < 0 || bytes.empty()) return;
  const std::size_t step =
      bytes.size() % report_size_ == 0 ? report_size_ : bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    // The driver gone shows as EPIPE, never as a signal.
    if (::send(connection_, bytes.data() + at, step, MSG_NOSIGNAL) < 0) return;
  }
}

void SeqpacketUnit::run() {
  for (;;) {
    int timeout = 0;
    int watched = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timeout = poll_timeout(*firmware_, Clock::now());
      watched = connection_ >= 0 ? connection_ : listener_;
    }
    pollfd fds[2] = {{watched, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) return;
    if ((fds[1].revents & POLLIN) != 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (watched == listener_ && (fds[0].revents & POLLIN) != 0) {
      connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      continue;
    }
    if (fds[0].revents != 0) {
      char bytes[kMaxMessage];
      const ssize_t n = ::recv(connection_, bytes, sizeof bytes, 0);
      if (n <= 0) {
        close_fd(connection_);  // the driver let go: wait for the next
        continue;
      }
      const auto read_at = Clock::now();
      const bool was_greeted = firmware_->greeted();
      const std::string answer = firmware_->receive(
          std::string_view(bytes, static_cast<std::size_t>(n)), read_at);
      send(answer);
      if (!answer.empty() && reply_times_.size() < kMaxReplyTimes) {
        reply_times_.push_back(Clock::now() - read_at);
      }
      if (!was_greeted && firmware_->greeted()) greeted_.notify_all();
    }
    send(firmware_->poll(Clock::now()));
  }
}

}  // namespace kovra62386::test
