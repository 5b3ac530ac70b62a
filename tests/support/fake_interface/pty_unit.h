// A fake interface on a tty: the firmware plays the unit on the master side
// of a pty whose slave is reachable under `link` (a symlink, so that a
// unit plugged in again has the same path). The unit's own thread reads
// what the driver writes and answers; it wakes only for input, a due event
// of the bus's control devices, or stop.
//
// The unit keeps a slave open itself, so that the master never reads as
// hung up while no driver has the device open.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_interface/fake_firmware.h"

namespace kovra62386::test {

class PtyUnit {
 public:
  PtyUnit(std::filesystem::path link, std::unique_ptr<FakeFirmware> firmware);
  ~PtyUnit();
  PtyUnit(const PtyUnit&) = delete;
  PtyUnit& operator=(const PtyUnit&) = delete;

  // Empty when the pty is up, else why not.
  const std::string& error() const { return error_; }
  // The slave's own name (/dev/pts/N).
  const std::string& device() const { return device_; }

  // Whether a driver opened the unit (it asks for the version first).
  bool wait_until_opened(std::chrono::milliseconds timeout);
  // Runs `act` on the firmware under the unit's lock and sends what it
  // returns (a fault: bus power, a foreign frame).
  void inject(const std::function<std::string(FakeFirmware&)>& act);
  // The unit leaves: the master closes, so the driver reads a hang-up.
  // The link stays, as a by-id link of an unplugged device does not.
  void unplug();

  // Per command answered: when its last byte was read and when the answer
  // was written (the benchmark's reference), oldest first.
  struct Reply {
    std::chrono::steady_clock::time_point read, written;
  };
  std::vector<Reply> take_replies();

 private:
  void run();
  void send(const std::string& bytes);

  const std::filesystem::path link_;
  std::unique_ptr<FakeFirmware> firmware_;
  std::string error_;
  std::string device_;
  int master_ = -1;
  int own_slave_ = -1;
  int wake_[2] = {-1, -1};  // a pipe: stop, or take the timeout anew
  std::mutex mutex_;
  std::condition_variable greeted_;
  std::vector<Reply> replies_;
  std::thread thread_;
};

}  // namespace kovra62386::test
