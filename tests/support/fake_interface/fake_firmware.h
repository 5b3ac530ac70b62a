// Fake firmware of a real bus interface, answering from a simulated bus
// (simulator/SimulatedBus, built from an installation file), so that the
// same installation runs on a fake interface as on a simulated bus.
//
// A firmware is a pure byte machine: what the driver wrote goes in, what
// the unit sends back comes out. A seam (PtyUnit for ttys) carries the
// bytes and owns the thread. One class per interface family; the seam and
// the program kovra62386_fake_interface pick them by family name.
//
// Not thread-safe: the seam serialises every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simulator/simulated_bus.h"

namespace kovra62386::test {

class FakeFirmware {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FakeFirmware(std::unique_ptr<dali::SimulatedBus> bus)
      : bus_(std::move(bus)) {}
  virtual ~FakeFirmware() = default;
  FakeFirmware(const FakeFirmware&) = delete;
  FakeFirmware& operator=(const FakeFirmware&) = delete;

  // Bytes the driver wrote; returns the bytes the unit sends back.
  virtual std::string receive(std::string_view bytes,
                              Clock::time_point now) = 0;
  // What the unit reports of the bus's own life by `now` (control devices'
  // event frames); empty when nothing is due.
  virtual std::string poll(Clock::time_point now) = 0;
  // When poll() next has something to report, if ever.
  std::optional<Clock::time_point> next_due() const {
    return bus_->next_device_due();
  }

  // Faults the test applies; each returns what the unit reports of it.
  virtual std::string set_bus_power(bool on, Clock::time_point now) = 0;
  // A frame of another master on the bus (16 or 24 bits), with the answer
  // the gear give to it.
  virtual std::string foreign_frame(const std::vector<uint8_t>& data,
                                    Clock::time_point now) = 0;

  // Whether the driver asked for the firmware version (it does so on
  // opening the unit).
  bool greeted() const { return greeted_; }
  // Commands that did not parse.
  uint64_t bad_commands() const { return bad_commands_; }
  dali::SimulatedBus& bus() { return *bus_; }

 protected:
  std::unique_ptr<dali::SimulatedBus> bus_;
  bool greeted_ = false;
  uint64_t bad_commands_ = 0;
};

// The families this test support plays, by the server's driver names.
std::vector<std::string> fake_families();
// A firmware of `family` over `bus`; nullptr for a family not played here.
std::unique_ptr<FakeFirmware> make_fake_firmware(
    const std::string& family, std::unique_ptr<dali::SimulatedBus> bus);

}  // namespace kovra62386::test
