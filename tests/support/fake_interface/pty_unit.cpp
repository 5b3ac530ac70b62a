#include "support/fake_interface/pty_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kovra62386::test {
namespace {

using Clock = std::chrono::steady_clock;

// What the wake pipe carries.
constexpr char kStop = 's';
constexpr char kWake = 'w';

// Replies kept for the benchmark at most.
constexpr std::size_t kMaxReplies = 1 << 20;

// Control devices' frames wait while the bus has no power: no wake-up for
// them until inject() turns it on again.
int poll_timeout(FakeFirmware& firmware, Clock::time_point now) {
  const auto due = firmware.next_due();
  if (!due || !firmware.bus().powered()) return -1;
  if (*due <= now) return 0;
  // Rounded up, so that the wake-up finds the event due.
  const auto ms =
      std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
  return static_cast<int>(std::min<long long>(ms, 60'000));
}

}  // namespace

PtyUnit::PtyUnit(std::filesystem::path link,
                 std::unique_ptr<FakeFirmware> firmware)
    : link_(std::move(link)), firmware_(std::move(firmware)) {
  char name[128] = {};
  if (::openpty(&master_, &own_slave_, name, nullptr, nullptr) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    error_ = std::string("cannot make a pty: ") + std::strerror(errno);
    return;
  }
  device_ = name;
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(own_slave_, F_SETFD, FD_CLOEXEC);
  // Raw from the start: no echo of the unit's answers back to it before
  // the driver sets its own mode.
  termios mode{};
  if (::tcgetattr(own_slave_, &mode) == 0) {
    ::cfmakeraw(&mode);
    ::tcsetattr(own_slave_, TCSANOW, &mode);
  }
  std::error_code ignored;
  std::filesystem::remove(link_, ignored);
  std::error_code linked;
  std::filesystem::create_symlink(device_, link_, linked);
  if (linked) {
    error_ = "cannot link " + link_.string() + ": " + linked.message();
    return;
  }
  thread_ = std::thread([this] { run(); });
}

PtyUnit::~PtyUnit() {
  unplug();
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool PtyUnit::wait_until_opened(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return greeted_.wait_for(lock, timeout,
                           [this] { return firmware_->greeted(); });
}

void PtyUnit::inject(const std::function<std::string(FakeFirmware&)>& act) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ < 0) return;
    send(act(*firmware_));
  }
  // The bus may have new events due: the thread takes its timeout anew.
  (void)!::write(wake_[1], &kWake, 1);
}

void PtyUnit::unplug() {
  if (thread_.joinable()) {
    (void)!::write(wake_[1], &kStop, 1);
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (master_ >= 0) ::close(master_);
  if (own_slave_ >= 0) ::close(own_slave_);
  master_ = own_slave_ = -1;
}

std::vector<PtyUnit::Reply> PtyUnit::take_replies() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(replies_, {});
}

void PtyUnit::send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the pty is full or gone: the unit's loss
    done += static_cast<std::size_t>(n);
  }
}

void PtyUnit::run() {
  for (;;) {
    int timeout = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timeout = poll_timeout(*firmware_, Clock::now());
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) return;
    if ((fds[1].revents & POLLIN) != 0) {
      char signals[16];
      const ssize_t n = ::read(wake_[0], signals, sizeof signals);
      if (n <= 0 || std::memchr(signals, kStop, static_cast<std::size_t>(n))) {
        return;
      }
    }
    if ((fds[0].revents & (POLLERR | POLLNVAL | POLLHUP)) != 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if ((fds[0].revents & POLLIN) != 0) {
      char bytes[256];
      const ssize_t n = ::read(master_, bytes, sizeof bytes);
      if (n <= 0) continue;
      const auto read_at = Clock::now();
      const bool was_greeted = firmware_->greeted();
      const std::string answer = firmware_->receive(
          std::string_view(bytes, static_cast<std::size_t>(n)), read_at);
      send(answer);
      if (!answer.empty() && replies_.size() < kMaxReplies) {
        replies_.push_back({read_at, Clock::now()});
      }
      if (!was_greeted && firmware_->greeted()) greeted_.notify_all();
    }
    send(firmware_->poll(Clock::now()));
  }
}

}  // namespace kovra62386::test
