// A hasseb DALI Master's firmware (2.5) played by a test: a listening Unix
// SOCK_SEQPACKET socket at `path`, one report per message as on hidraw
// (the report-number byte first on what it receives), answering every
// frame from a simulated bus's gear, so that the same gear answers here
// as on a simulated interface. It can stay silent (a lost completion),
// report other masters' frames, be unplugged and plugged in again.
//
// Its thread waits on its descriptors and a wake-up pipe only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/drivers/hasseb_protocol.h"
#include "simulator/simulated_bus.h"

namespace kovra62386::test {

// A fresh folder under the temporary one: unique even across PID
// namespaces, where two tests may have the same process id.
inline std::filesystem::path fresh_temp_dir(const std::string& prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

class FakeHasseb {
 public:
  explicit FakeHasseb(std::filesystem::path path) : path_(std::move(path)) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    plug();
    thread_ = std::thread([this] { run(); });
  }
  ~FakeHasseb() {
    stop_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    unplug();
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  // Closes the connection and the listening socket: the driver sees EOF.
  void unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_fd(connection_);
    close_fd(listener_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    opened_ = false;
    wake();
  }
  // Listens again at the same path.
  void plug() {
    std::lock_guard<std::mutex> lock(mutex_);
    listen_at_path();
    wake();
  }
  // Whether the driver connected and asked for the firmware version.
  bool wait_until_opened(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return opened_; });
  }
  // Whether `count` frames arrived since the start.
  bool wait_for_frames(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_ >= count; });
  }
  // Frames are taken and never reported.
  void set_silent(bool silent) { silent_ = silent; }
  // Firmware older than 2: 2-byte reports, and no version reply.
  void set_legacy(bool legacy) { legacy_ = legacy; }
  // Another master's 16- or 24-bit frame, as sniff mode reports it.
  void foreign_frame(std::vector<uint8_t> data) {
    std::array<uint8_t, 10> r{0xAA, 0x07, 0x00, 0x05,
                              static_cast<uint8_t>(data.size())};
    std::copy(data.begin(), data.end(), r.begin() + 5);
    std::lock_guard<std::mutex> lock(mutex_);
    say(r);
  }
  dali::SimulatedBus& bus() { return bus_; }

 private:
  // Bound and listening under another name first, so that the node
  // appears (as udev makes one appear) only once it can be opened.
  void listen_at_path() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    const std::string bound = path_.string() + ".new";
    std::filesystem::remove(bound, ignored);
    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, bound.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address),
               sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::rename(bound.c_str(), path_.c_str()) != 0) {
      close_fd(listener_);
    }
  }
  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  void wake() { (void)!::write(wake_[1], "w", 1); }
  void say(const std::array<uint8_t, 10>& report) {
    if (connection_ >= 0) {
      (void)!::send(connection_, report.data(), report.size(), MSG_NOSIGNAL);
    }
  }

  void run() {
    while (!stop_) {
      std::array<pollfd, 2> fds{};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        fds[0] = {wake_[0], POLLIN, 0};
        fds[1] = {connection_ >= 0 ? connection_ : listener_, POLLIN, 0};
      }
      if (::poll(fds.data(), fds[1].fd >= 0 ? 2 : 1, -1) <= 0) continue;
      if (fds[0].revents != 0) {
        char drain[16];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
      }
      if (fds[1].fd < 0 || fds[1].revents == 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      if (fds[1].fd == listener_ && connection_ < 0) {
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        continue;
      }
      if (fds[1].fd != connection_) continue;  // unplugged meanwhile
      std::array<uint8_t, 64> in{};
      const ssize_t n = ::recv(connection_, in.data(), in.size(), 0);
      if (n <= 0) {
        close_fd(connection_);  // the driver closed it: wait for the next
        continue;
      }
      if (legacy_) {
        const uint8_t old[2] = {0x01, 0xFF};
        (void)!::send(connection_, old, sizeof old, MSG_NOSIGNAL);
        continue;
      }
      // The report number, then the 10-byte report.
      if (n != 11 || in[0] != 0 || in[1] != 0xAA) continue;
      answer(in.data() + 1);
    }
  }

  // One command from the host.
  void answer(const uint8_t* c) {
    namespace h = kovra62386::sim::drivers::hasseb;
    const uint8_t sequence = c[2];
    if (c[1] == h::kCommandFirmwareVersion) {
      say({h::kPreamble, h::kReportFirmwareVersion, sequence, 2, 5});
      opened_ = true;
      changed_.notify_all();
      return;
    }
    if (c[1] != h::kCommandSendFrame) return;
    ++frames_;
    changed_.notify_all();
    if (silent_) return;
    const unsigned bits = c[3];
    const int copies = c[6] != 0 ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
      const dali::BusResponse response =
          bus_.forward_frame(c + 7, bits, dali::Clock::now());
      std::array<uint8_t, 10> r{h::kPreamble, h::kReportTransmission, sequence,
                                h::kStatusNoAnswer};
      if (c[4] != 0 && response.kind == dali::BusResponse::Kind::Answer) {
        r[3] = h::kStatusAnswer;
        r[4] = 1;
        r[5] = response.answer;
      } else if (c[4] != 0 &&
                 response.kind == dali::BusResponse::Kind::Collision) {
        r[3] = h::kStatusInvalidData;
      }
      say(r);
    }
  }

  const std::filesystem::path path_;
  dali::SimulatedBus bus_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int listener_ = -1;
  int connection_ = -1;
  int wake_[2] = {-1, -1};
  bool opened_ = false;
  std::size_t frames_ = 0;
  std::atomic<bool> silent_{false};
  std::atomic<bool> legacy_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kovra62386::test
