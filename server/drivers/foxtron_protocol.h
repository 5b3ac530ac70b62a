// The Foxtron DALI232 / DALI232e (RS232) and DALInet / DALI2net (TCP)
// gateways' protocol, as a pure state machine: it turns a transaction into
// the message to write and the bytes read back into driver events. No
// sockets, no threads, no clock of its own: the caller writes what
// start(), transmit() and on_time() return, feeds what it reads to
// consume(), and calls on_time() once next_deadline() has passed.
//
// A message is SOH, its bytes as upper-case hex, a checksum (the bitwise
// NOT of the bytes' sum) as two hex digits, and ETB. We send frames with
// type 0B (sender differentiation), so that the unit tells our frames
// (0D answered, 0E no answer; these double as the confirmation that the
// frame went out) from other masters' (03, 04). The answer travels in the
// same message as its frame.
//
// Input is untrusted: messages are bounded, the checksum and every field
// are checked, and what does not parse is counted and dropped. A report
// whose echoed frame is not the one outstanding (late, after a timeout) is
// never credited to the next transaction.
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

// What the gateways say and how long they take, in one place. Facts not
// confirmed on hardware are marked so.
namespace foxtron {
// Framing.
inline constexpr uint8_t kStart = 0x01;  // SOH
inline constexpr uint8_t kEnd = 0x17;    // ETB
// A message carries 2..13 bytes (4..26 hex digits) before its checksum.
inline constexpr std::size_t kMinBytes = 2;
inline constexpr std::size_t kMaxBytes = 13;

// Message types.
inline constexpr uint8_t kSendFrame = 0x0B;  // priority, bits, data, flags
inline constexpr uint8_t kOwnAnswered =
    0x0D;  // bits, frame, answer bits, [answer]
inline constexpr uint8_t kOwnNoAnswer = 0x0E;      // bits, frame
inline constexpr uint8_t kForeignAnswered = 0x03;  // as 0D, another master's
inline constexpr uint8_t kForeignNoAnswer = 0x04;  // as 0E, another master's
inline constexpr uint8_t kEvent = 0x05;            // code
inline constexpr uint8_t kReadItem = 0x06;         // item
inline constexpr uint8_t kItemValue = 0x07;        // item, hi, lo, [status]
inline constexpr uint8_t kItemWritten = 0x09;      // item, hi, lo, [status]

// The flags byte of 0B.
inline constexpr uint8_t kFlagSendTwice = 0x01;
// Priority 0 lets the unit choose; we always name 1 (highest) .. 5.
inline constexpr unsigned kLowestPriority = 5;

// Event codes (05).
inline constexpr uint8_t kBusPowerGood = 0;
inline constexpr uint8_t kBusPowerLost = 1;  // no supply, or a short
inline constexpr uint8_t kMainsOnBus = 2;
inline constexpr uint8_t kBadBusSupply = 3;  // unsuitable or defective
inline constexpr uint8_t kSendBufferFull = 4;
inline constexpr uint8_t kChecksumError = 5;
inline constexpr uint8_t kInvalidCommand = 6;

// Configuration items (06 reads them). Item 255 enters the boot loader and
// is never sent.
inline constexpr uint8_t kItemFirmwareVersion = 2;  // hi.lo
inline constexpr uint8_t kItemBusPower = 3;         // as the event codes 0..3

// Answer bits in 0D: 8 is a backward frame, 0 an unreadable one.
inline constexpr uint8_t kBackwardBits = 8;

// How many 0D/0E messages a send-twice frame gets (verify): one, standing
// for both copies. A second one, should it come, matches no transaction
// and is dropped as stale.
inline constexpr int kReportsPerSendTwice = 1;

// How long a frame may take from writing 0B to its 0D/0E: on the line 16
// characters each way at 19 200 baud 8E1 (9.2 ms each), settling at the
// lowest priority and a 24-bit frame (21.1 + 20.8 ms), the answer window
// and backward frame (22.5 ms), twice for a send-twice frame, the bus
// held by other masters meanwhile and a network gateway's latency. Field
// practice waits one second before taking a frame as lost; so do we.
inline constexpr std::chrono::milliseconds kReportDeadline{1000};
// After a timeout, reports that still arrive belong to the lost frame:
// nothing new is written for this long.
inline constexpr std::chrono::milliseconds kQuietAfterTimeout{200};

// Network gateways close an idle connection (after about 30 s, verify):
// a bus power query every 20 s keeps it open, and a link silent for two
// and a half such intervals is taken as dead.
inline constexpr std::chrono::seconds kKeepAliveInterval{20};
inline constexpr std::chrono::milliseconds kSilenceLimit{50'000};

// Links.
inline constexpr unsigned kBaudRate = 19200;  // 8E1, DTR on: it powers the unit
// A gateway on the loopback or the LAN takes a connection within this
// while the server waits; a slower one is collected on a later attempt,
// until the limit.
inline constexpr std::chrono::milliseconds kConnectWait{50};
inline constexpr std::chrono::milliseconds kConnectLimit{5000};
}  // namespace foxtron

class FoxtronProtocol {
 public:
  using Clock = DriverClock;

  // Counters of what the unit sent that was dropped.
  struct Dropped {
    uint64_t garbage = 0;   // did not parse, or unknown
    uint64_t checksum = 0;  // failed its checksum
    uint64_t overlong = 0;
    uint64_t stale = 0;  // reports outside any transaction of ours
  };

  FoxtronProtocol() = default;
  // `keep_alive`: query the unit when the link has been quiet (network
  // gateways), and give up on a link that stays silent.
  explicit FoxtronProtocol(bool keep_alive) : keep_alive_(keep_alive) {}

  // One message as it goes on the line.
  static std::string encode(std::span<const uint8_t> bytes);

  // What to write once the link is up: the firmware version and bus power
  // queries.
  std::string start(Clock::time_point now);

  // Starts a transaction and returns the bytes to write; empty when it was
  // answered at once (a Confirmed event with a status other than SENT).
  std::string transmit(const TransmitRequest& request, Clock::time_point now);
  bool can_transmit(Clock::time_point now) const;

  void consume(std::span<const uint8_t> bytes, Clock::time_point now);
  void consume(std::string_view text, Clock::time_point now);

  // When on_time() has something to do, if ever.
  std::optional<Clock::time_point> next_deadline() const;
  // Returns the bytes to write (a keep-alive query), if any.
  std::string on_time(Clock::time_point now);

  std::vector<DriverEvent> take_events();

  // The link has been silent past kSilenceLimit (keep-alive links only).
  bool silent() const { return silent_; }
  bool bus_powered() const { return powered_; }
  bool busy() const { return awaiting_; }
  const std::string& firmware_version() const { return version_; }
  const Dropped& dropped() const { return dropped_; }

 private:
  void message(std::span<const uint8_t> bytes, Clock::time_point now);
  void own_report(std::span<const uint8_t> bytes, bool answered,
                  Clock::time_point now);
  void foreign_report(std::span<const uint8_t> bytes, bool answered);
  void event(uint8_t code);
  void item(uint8_t item, uint8_t hi, uint8_t lo);
  void set_powered(bool powered);
  void copy_done(Completion completion, Clock::time_point now);
  void end_with(uint8_t status);
  void end_transaction();
  std::string written(std::string bytes, Clock::time_point now);
  void emit(DriverEvent event) { events_.push_back(std::move(event)); }

  bool keep_alive_ = false;
  bool awaiting_ = false;  // a 0B is out; its 0D/0E is to come
  TransmitRequest current_{};
  int reports_left_ = 0;
  Clock::time_point deadline_{};
  std::optional<Clock::time_point> quiet_until_;
  Clock::time_point last_heard_{};
  Clock::time_point last_written_{};
  bool silent_ = false;
  bool started_ = false;

  std::string line_;  // hex digits since SOH
  bool in_message_ = false;
  bool discarding_ = false;
  bool powered_ = true;
  std::string version_;
  Dropped dropped_;
  std::vector<DriverEvent> events_;
};

}  // namespace kovra62386::sim::drivers
