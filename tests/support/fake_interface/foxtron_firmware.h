// The Foxtron DALI232 / DALInet firmware, as far as the server's driver
// uses it: SOH, hex digits with a checksum, ETB. `06` reads an item (2:
// firmware version, 3: bus power); `0B` sends a forward frame once or
// twice, reported as `0D` with the answer (answer bits 0 when the answers
// collided) or `0E` without one; other masters' frames and the control
// devices' events come as `03` / `04`; bus power as event `05 01` and
// `05 00`; a bad checksum as `05 05`, anything else as `05 06`.
//
// The same byte machine serves a pty (DALI232) and a TCP connection
// (DALInet); the seam carries the bytes.
#pragma once

#include "support/fake_interface/fake_firmware.h"

namespace kovra62386::test {

class FoxtronFirmware final : public FakeFirmware {
 public:
  static constexpr uint8_t kVersionHigh = 1;
  static constexpr uint8_t kVersionLow = 7;
  static constexpr const char* kVersion = "1.7";
  // Digits kept of one message; the longest the unit takes is 28.
  static constexpr std::size_t kMaxDigits = 64;

  explicit FoxtronFirmware(std::unique_ptr<dali::SimulatedBus> bus)
      : FakeFirmware(std::move(bus)) {}

  // One message on the line, its checksum worked out here.
  static std::string line(const std::vector<uint8_t>& bytes);

  std::string receive(std::string_view bytes, Clock::time_point now) override;
  std::string poll(Clock::time_point now) override;
  std::string set_bus_power(bool on, Clock::time_point now) override;
  std::string foreign_frame(const std::vector<uint8_t>& data,
                            Clock::time_point now) override;

  // A fault: frames go out but their report never comes.
  void set_reporting(bool reporting) { reporting_ = reporting; }
  // Messages read, a bad one's included.
  uint64_t messages() const { return messages_; }

 private:
  std::string message(const std::vector<uint8_t>& bytes, Clock::time_point now);
  // A frame on the bus and its report (`own`: 0D/0E, else 03/04).
  std::string transmit(const std::vector<uint8_t>& data, bool own, bool twice,
                       Clock::time_point now);

  std::string digits_;
  bool collecting_ = false;
  bool reporting_ = true;
  uint64_t messages_ = 0;
};

}  // namespace kovra62386::test
