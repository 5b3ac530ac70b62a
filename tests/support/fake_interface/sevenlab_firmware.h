// The SevenLab USB-serial unit's firmware (dali_usb_lpc1114), as far as the
// server's driver uses it: `?` prints the banner with the version; `Q` and
// `S` send a forward frame once (`<p> <bits> <data>`) or twice (`+`); every
// frame on the bus is reported as `{TTTTTTTT<c>LL DDDDDDDD}` (`>` for the
// unit's own loopback, `:` for the rest), a `Q` ends with the answer or the
// no-answer status 81, a garbled answer shows as bad bit timing (83), bus
// power lost and back as 91 and 92, a bad command as A3.
#pragma once

#include "support/fake_interface/fake_firmware.h"

namespace kovra62386::test {

class SevenLabFirmware final : public FakeFirmware {
 public:
  static constexpr const char* kBanner =
      "DALI USB interface - SevenLab 2024\r\nVersion 3.5.1 \r\n";
  static constexpr const char* kVersion = "3.5.1";
  // The firmware's line buffer; a command letter starts it anew.
  static constexpr std::size_t kMaxCommand = 20;

  explicit SevenLabFirmware(std::unique_ptr<dali::SimulatedBus> bus,
                            Clock::time_point start = Clock::now())
      : FakeFirmware(std::move(bus)), start_(start) {}

  std::string receive(std::string_view bytes, Clock::time_point now) override;
  std::string poll(Clock::time_point now) override;
  std::string set_bus_power(bool on, Clock::time_point now) override;
  std::string foreign_frame(const std::vector<uint8_t>& data,
                            Clock::time_point now) override;

 private:
  std::string command(std::string_view text, Clock::time_point now);
  // One forward frame on the bus and what the unit reports of it.
  std::string transmit(const std::vector<uint8_t>& data, bool own,
                       bool expect_answer, Clock::time_point now);
  std::string report(char kind, uint8_t code, uint32_t data,
                     Clock::time_point now) const;

  const Clock::time_point start_;
  std::string line_;
  bool collecting_ = false;
  Clock::time_point power_lost_at_{};
};

}  // namespace kovra62386::test
