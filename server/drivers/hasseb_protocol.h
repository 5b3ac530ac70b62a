// The hasseb DALI Master (USB HID, firmware 2 and later), as a pure state
// machine: it turns a transaction into the 10-byte report to write and the
// reports read back into driver events. No descriptors, no threads, no
// clock of its own: the caller writes what it returns, feeds every report
// it reads to consume(), and calls on_time() once next_deadline() has
// passed.
//
// Every command carries a sequence number (1..255) that the unit echoes in
// its reply; a reply whose number is not the one outstanding belongs to a
// transaction given up (or to none) and is dropped and counted, never
// credited to the next frame. Spontaneous reports carry 0: other masters'
// frames, seen in sniff mode.
//
// Opening: the unit is asked for its firmware version, and nothing is
// sent before it answers. Firmware older than 2 (2-byte reports, no
// version reply) is refused with a message that says how to update it.
//
// Input is untrusted: every report's size and fields are checked, and what
// does not parse is counted and dropped.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "server/drivers/driver_events.h"

namespace kovra62386::sim::drivers {

// The unit's wire facts. Those not confirmed on hardware are marked
// (unconfirmed) and each is one constant here.
namespace hasseb {
inline constexpr uint16_t kVendorId = 0x04CC;
inline constexpr uint16_t kProductId = 0x0802;

inline constexpr std::size_t kReportSize = 10;
inline constexpr uint8_t kPreamble = 0xAA;
// Sequence number of reports nobody asked for.
inline constexpr uint8_t kSpontaneous = 0;

// Host to unit: byte 1.
inline constexpr uint8_t kCommandNoOp = 0x00;
inline constexpr uint8_t kCommandFirmwareVersion = 0x02;
inline constexpr uint8_t kCommandConfigure = 0x05;
inline constexpr uint8_t kCommandSendFrame = 0x07;
// Configure: byte 3.
inline constexpr uint8_t kModeDefault = 0x00;
inline constexpr uint8_t kModeSniffing = 0x01;

// Unit to host: byte 1.
inline constexpr uint8_t kReportNoOp = 0x00;
inline constexpr uint8_t kReportFirmwareVersion = 0x02;
inline constexpr uint8_t kReportTransmission = 0x07;
// Transmission report: byte 3.
inline constexpr uint8_t kStatusNoAnswer = 1;
inline constexpr uint8_t kStatusAnswer = 2;
inline constexpr uint8_t kStatusInvalidData = 3;  // several answered
inline constexpr uint8_t kStatusAnswerTooEarly = 4;
inline constexpr uint8_t kStatusSniffed = 5;
inline constexpr uint8_t kStatusSniffedError = 6;

// (unconfirmed) A hidraw write starts with the report number, 0 for a
// unit without numbered reports; the kernel drops it before the 10 bytes
// go out.
inline constexpr bool kWriteReportId = true;
// (unconfirmed) The documented firmware sends 16-bit frames only; a
// 24-bit frame is refused rather than tried.
inline constexpr bool kSends24Bit = false;
// (unconfirmed) A send-twice frame goes out without an answer window and
// gives one transmission report per copy (the protocol's first draft). A
// unit that reports the pair once ends it, without an error, when the
// second report's deadline passes.
inline constexpr int kReportsPerSendTwice = 2;
// The gap between the two copies of a send-twice frame, in ms.
inline constexpr uint8_t kSendTwiceGapMs = 10;
// (unconfirmed) Byte 4 of a transmission report counts data bytes; some
// documents say bits. Both read the same here: 1/8, 2/16 and 3/24.
// (unconfirmed) One sniff report carries one whole frame.

// How long a copy may take from writing its report to the unit's
// transmission report: a forward frame (at most 20.8 ms), the answer
// window (22 Te, 9.2 ms), USB polling and the unit's two-report queue,
// with the margin that a unit which sometimes never reports needed in the
// field (0.2 s per transaction).
inline constexpr std::chrono::milliseconds kCopyDeadline{200};
// After a timeout, reports still arriving belong to the lost transaction.
inline constexpr std::chrono::milliseconds kQuietAfterTimeout{100};
// (unconfirmed) The gap the unit needs between two frames it is given: at
// least 22 Te (9.2 ms).
inline constexpr std::chrono::milliseconds kGapBetweenFrames{10};
// How long the unit has to answer the firmware-version query on opening;
// firmware older than 2 never does.
inline constexpr std::chrono::milliseconds kVersionDeadline{1000};
// The oldest firmware with the 10-byte protocol.
inline constexpr uint8_t kFirstSupportedMajor = 2;
}  // namespace hasseb

class HassebProtocol {
 public:
  using Clock = DriverClock;
  using Report = std::array<uint8_t, hasseb::kReportSize>;

  // Counters of what the unit sent that was dropped.
  struct Dropped {
    uint64_t garbage = 0;  // wrong size, preamble, type or field
    uint64_t stale = 0;    // a sequence number not outstanding
    // Send-twice frames that got one report where two were expected.
    uint64_t missing_second_report = 0;
  };

  // Starts over on a newly opened unit: returns the reports to write (the
  // version query). Nothing can be transmitted until the unit answers.
  std::vector<Report> open(Clock::time_point now);

  // Starts a transaction and returns the report to write; none when it was
  // answered at once (a Confirmed event with a status other than SENT).
  std::optional<Report> transmit(const TransmitRequest& request,
                                 Clock::time_point now);
  bool can_transmit(Clock::time_point now) const;

  // One report read from the unit (any size; checked here). May return
  // reports to write (sniff mode, once the version is known).
  std::vector<Report> consume(std::span<const uint8_t> report,
                              Clock::time_point now);

  std::optional<Clock::time_point> next_deadline() const;
  void on_time(Clock::time_point now);

  // Events since the last call, oldest first.
  std::vector<DriverEvent> take_events();

  // Non-empty once the unit is refused (old firmware): why, and what to do.
  const std::string& refusal() const { return refusal_; }
  const std::string& firmware_version() const { return version_; }
  bool busy() const { return phase_ != Phase::Idle; }
  const Dropped& dropped() const { return dropped_; }

  // The bytes a hidraw write takes for `report`.
  static std::vector<uint8_t> wire(const Report& report);

 private:
  enum class Phase {
    Opening,      // the version query is out
    Idle,         // ready, or quiet until quiet_until_
    AwaitReport,  // a copy is out under sequence_
    Refused,
  };

  Report command(uint8_t type, uint8_t sequence) const;
  uint8_t next_sequence();
  void version_reply(std::span<const uint8_t> r, std::vector<Report>& writes);
  void transmission(std::span<const uint8_t> r, Clock::time_point now);
  void sniffed(std::span<const uint8_t> r);
  void complete(Completion completion, uint8_t answer, Clock::time_point now);
  void end_transaction(Clock::time_point quiet_until);
  void refuse(std::string why);
  void emit(DriverEvent event) { events_.push_back(std::move(event)); }

  Phase phase_ = Phase::Refused;  // until open()
  uint8_t last_sequence_ = 0;
  uint8_t outstanding_ = 0;  // the sequence number awaited; 0: none
  TransmitRequest current_{};
  int reports_left_ = 0;
  int initial_reports_ = 0;
  Clock::time_point deadline_{};
  std::optional<Clock::time_point> quiet_until_;
  bool announce_ready_ = false;  // emit Ready when the quiet time ends

  std::string version_;
  std::string refusal_;
  Dropped dropped_;
  std::vector<DriverEvent> events_;
};

}  // namespace kovra62386::sim::drivers
