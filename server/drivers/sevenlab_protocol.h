// The SevenLab open-hardware USB-serial DALI interface (dali_usb_lpc1114,
// 500 000 baud 8N1), as a pure state machine: it turns a transaction into
// the ASCII command to write and the bytes read back into driver events.
// No sockets, no threads, no clock of its own: the caller writes what
// transmit() returns, feeds what it reads to consume(), and calls
// on_time() once next_deadline() has passed.
//
// The unit reports every frame on the bus as a line
// `{TTTTTTTT<c>LL DATA}` (c: `>` while it transmitted, i.e. its own
// loopback; `:` otherwise; LL: bit count, or a status with bit 7 set), and
// prints text (its banner) at power-up and on `?`.
//
// A single frame goes out with `Q`, which always ends with an answer or a
// timeout report, so that every transaction has a completion as on a
// simulated bus; a send-twice frame goes out with `S…+`, which gives two
// loopbacks and no answer window of its own.
//
// Input is untrusted: lines are bounded, every field is checked, and what
// does not parse is counted and dropped. A report that belongs to no
// transaction of ours (late, after a timeout) is never credited to the
// next one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/drivers/driver_events.h"

namespace kovra62386::sim::drivers {

// Facts about the unit not confirmed on hardware, in one place.
namespace sevenlab {
// Statuses 0x82/0x83 (bad bit timing) on the answer to a `Q`: a garbled
// answer, taken as a collision (never as no answer).
inline constexpr bool kBadTimingIsCollision = true;
// `Q` with priority 6 (back-to-back) is documented but not mapped by the
// firmware: never sent.
inline constexpr unsigned kHighestCommandPriority = 5;
// After a collision on our own forward frame, the unit may still send the
// timeout report of the `Q`; it ends our transaction at the collision and
// drops the late report.
// How long one copy may take from writing the command to its last report:
// settling (at most 21.1 ms), a 24-bit frame (20.8 ms), the answer window
// (13.4 ms), the USB-serial bridge's latency and the unit's queue, with a
// wide margin.
inline constexpr std::chrono::milliseconds kCopyDeadline{200};
// After a timeout, reports that still arrive belong to the lost
// transaction: nothing new is written for this long.
inline constexpr std::chrono::milliseconds kQuietAfterTimeout{100};
// The report's LL field: a bit count, or a status with bit 7 set; and the
// widths of its fields. The driver and the test's fake unit share them.
namespace code {
inline constexpr uint8_t kBackwardBits = 8;
inline constexpr uint8_t kStatusBit = 0x80;
inline constexpr std::size_t kTickDigits = 8;
inline constexpr std::size_t kMaxDataDigits = 8;

// Statuses (the firmware's LL with bit 7 set).
inline constexpr uint8_t kNoAnswer = 0x81;
inline constexpr uint8_t kBadStartTiming = 0x82;
inline constexpr uint8_t kBadDataTiming = 0x83;
inline constexpr uint8_t kCollisionFirst = 0x84;
inline constexpr uint8_t kCollisionLast = 0x86;
inline constexpr uint8_t kSettlingViolation = 0x87;
inline constexpr uint8_t kIdle = 0x90;
inline constexpr uint8_t kBusFailure = 0x91;
inline constexpr uint8_t kBusRecovered = 0x92;
inline constexpr uint8_t kCannotProcess = 0xA0;
inline constexpr uint8_t kBadArgument = 0xA1;
inline constexpr uint8_t kQueueFull = 0xA2;
inline constexpr uint8_t kBadCommand = 0xA3;
inline constexpr uint8_t kBufferOverflow =
    0xA4;  // documented, not in the firmware
}  // namespace code
}  // namespace sevenlab

class SevenLabProtocol {
 public:
  using Clock = DriverClock;

  // Longest line kept; a report is 22 characters, the banner 34.
  static constexpr std::size_t kMaxLine = 80;

  // Counters of what the unit sent that was dropped.
  struct Dropped {
    uint64_t garbage = 0;  // lines that did not parse
    uint64_t overlong = 0;
    uint64_t stale = 0;  // reports outside any transaction of ours
  };

  // The command that makes the unit print its banner and version.
  static std::string version_query() { return "?"; }

  // Starts a transaction and returns the bytes to write; empty when it was
  // answered at once (a Confirmed event with a status other than SENT).
  // Only when can_transmit(now).
  std::string transmit(const TransmitRequest& request, Clock::time_point now);
  bool can_transmit(Clock::time_point now) const;

  // Bytes read from the unit.
  void consume(std::span<const uint8_t> bytes, Clock::time_point now);
  void consume(std::string_view text, Clock::time_point now);

  // When on_time() has something to do, if ever.
  std::optional<Clock::time_point> next_deadline() const;
  void on_time(Clock::time_point now);

  // Events since the last call, oldest first.
  std::vector<DriverEvent> take_events();

  bool bus_powered() const { return powered_; }
  bool busy() const { return phase_ != Phase::Idle; }
  const std::string& firmware_version() const { return version_; }
  const Dropped& dropped() const { return dropped_; }

 private:
  enum class Phase {
    Idle,
    AwaitEcho,    // the command is written; its frame has not been seen
    AwaitAnswer,  // a `Q` frame went out; an answer or a timeout report comes
  };
  struct Report {
    bool own = false;  // `>`
    uint8_t code = 0;  // bit count, or a status with bit 7 set
    uint32_t data = 0;
  };

  void line(std::string_view text, Clock::time_point now);
  static std::optional<Report> parse_report(std::string_view text);
  void report(const Report& report, Clock::time_point now);
  void status(const Report& report, Clock::time_point now);
  void frame(const Report& report, Clock::time_point now);
  void own_echo(Clock::time_point now);
  void complete(Completion completion, uint8_t answer, Clock::time_point now);
  void confirm(uint8_t status);
  void end_transaction();
  void emit(DriverEvent event) { events_.push_back(std::move(event)); }

  Phase phase_ = Phase::Idle;
  TransmitRequest current_{};
  int copies_left_ = 0;  // copies whose loopback is still to come
  Clock::time_point deadline_{};
  std::optional<Clock::time_point> quiet_until_;

  std::string line_;
  bool discarding_ = false;  // the rest of an overlong line
  bool powered_ = true;
  std::string version_;
  Dropped dropped_;
  std::vector<DriverEvent> events_;
};

}  // namespace kovra62386::sim::drivers
