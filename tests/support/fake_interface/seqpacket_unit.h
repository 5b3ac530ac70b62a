// A fake interface on a Unix SOCK_SEQPACKET socket, the stand-in for a
// hidraw node: the unit listens at `path` (where the driver is told to
// find its device) and takes one driver at a time; each message is one
// report either way. The firmware's replies are cut into reports of the
// firmware's report size. The unit's own thread wakes only for input, a
// due event of the bus's control devices, or stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_interface/fake_firmware.h"

namespace kovra62386::test {

// A fresh folder under the temporary one for a unit's path: unique even
// across PID namespaces, where two tests may have the same process id.
std::filesystem::path fresh_unit_dir(const std::string& prefix);

class SeqpacketUnit {
 public:
  SeqpacketUnit(std::filesystem::path path,
                std::unique_ptr<FakeFirmware> firmware,
                std::size_t report_size);
  ~SeqpacketUnit();
  SeqpacketUnit(const SeqpacketUnit&) = delete;
  SeqpacketUnit& operator=(const SeqpacketUnit&) = delete;

  // Empty when the socket is up, else why not.
  const std::string& error() const { return error_; }
  const std::string& device() const { return path_string_; }

  // Whether a driver opened the unit (it asks for the version first).
  bool wait_until_opened(std::chrono::milliseconds timeout);
  // Runs `act` on the firmware under the unit's lock and sends what it
  // returns (a fault: a foreign frame, silence).
  void inject(const std::function<std::string(FakeFirmware&)>& act);
  // The unit leaves: the connection and the socket close (the driver reads
  // end of file) and the path goes, as a hidraw node does.
  void unplug();

  // Per transaction, how long the firmware took from a report read to its
  // answer written (the benchmark's reference).
  std::vector<std::chrono::nanoseconds> take_reply_times();

 private:
  void run();
  void send(const std::string& bytes);

  const std::filesystem::path path_;
  const std::string path_string_;
  std::unique_ptr<FakeFirmware> firmware_;
  const std::size_t report_size_;
  std::string error_;
  int listener_ = -1;
  int connection_ = -1;     // the driver's, while it has the unit open
  int wake_[2] = {-1, -1};  // a pipe: stop
  std::mutex mutex_;
  std::condition_variable greeted_;
  std::vector<std::chrono::nanoseconds> reply_times_;
  std::thread thread_;
};

}  // namespace kovra62386::test
