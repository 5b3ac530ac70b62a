#include "server/drivers/hasseb_protocol.h"

#include <utility>

namespace kovra62386::sim::drivers {
namespace {

using namespace hasseb;

// Byte positions, host to unit.
constexpr std::size_t kType = 1;
constexpr std::size_t kSequence = 2;
constexpr std::size_t kBitCount = 3;  // send frame
constexpr std::size_t kMode = 3;      // configure
constexpr std::size_t kReplyExpected = 4;
constexpr std::size_t kSendTwiceGap = 6;
constexpr std::size_t kFrame = 7;
// Unit to host.
constexpr std::size_t kStatus = 3;
constexpr std::size_t kMajor = 3;
constexpr std::size_t kMinor = 4;
constexpr std::size_t kLength = 4;
constexpr std::size_t kData = 5;
constexpr std::size_t kMaxData = 3;

constexpr uint8_t kBitsPerByte = 8;
constexpr uint8_t kSequenceLast = 255;

const char kUpdateAdvice[] =
    "update the hasseb DALI Master's firmware to version 2 or later (start "
    "the unit with jumper JP1 shorted: it appears as a USB drive, where the "
    "firmware file is replaced)";

// Data bytes from byte 4 of a transmission report, read as bytes or as
// bits; 0 when it is neither.
std::size_t data_length(uint8_t length) {
  if (length >= 1 && length <= kMaxData) return length;
  if (length % kBitsPerByte == 0 && length / kBitsPerByte >= 1 &&
      length / kBitsPerByte <= kMaxData) {
    return length / kBitsPerByte;
  }
  return 0;
}

}  // namespace

std::vector<uint8_t> HassebProtocol::wire(const Report& report) {
  const std::size_t offset = kWriteReportId ? 1 : 0;
  std::vector<uint8_t> bytes(offset + report.size(), 0);
  for (std::size_t i = 0; i < report.size(); ++i) bytes[offset + i] = report[i];
  return bytes;
}

HassebProtocol::Report HassebProtocol::command(uint8_t type,
                                               uint8_t sequence) const {
  Report report{};
  report[0] = kPreamble;
  report[kType] = type;
  report[kSequence] = sequence;
  return report;
}

uint8_t HassebProtocol::next_sequence() {
  last_sequence_ = last_sequence_ == kSequenceLast
                       ? 1
                       : static_cast<uint8_t>(last_sequence_ + 1);
  return last_sequence_;
}

std::vector<HassebProtocol::Report> HassebProtocol::open(
    Clock::time_point now) {
  const uint8_t sequence = last_sequence_;  // numbers go on across opens
  *this = HassebProtocol{};
  last_sequence_ = sequence;
  phase_ = Phase::Opening;
  outstanding_ = next_sequence();
  deadline_ = now + kVersionDeadline;
  return {command(kCommandFirmwareVersion, outstanding_)};
}

bool HassebProtocol::can_transmit(Clock::time_point now) const {
  return phase_ == Phase::Idle && (!quiet_until_ || now >= *quiet_until_);
}

std::optional<HassebProtocol::Report> HassebProtocol::transmit(
    const TransmitRequest& request, Clock::time_point now) {
  const unsigned bits = request.frame.bit_count;
  // The unit reports no bus power: it counts as powered.
  const uint8_t refusal = refusal_at_once(can_transmit(now), bits, kSends24Bit,
                                          /*powered=*/true);
  if (refusal != KOVRA62386_STATUS_SENT) {
    for (DriverEvent& e : refused_transaction(request.frame, refusal)) {
      emit(std::move(e));
    }
    return std::nullopt;
  }
  current_ = request;
  phase_ = Phase::AwaitReport;
  reports_left_ = request.send_twice ? kReportsPerSendTwice : 1;
  initial_reports_ = reports_left_;
  outstanding_ = next_sequence();
  deadline_ = now + kCopyDeadline;
  quiet_until_.reset();
  announce_ready_ = false;

  Report report = command(kCommandSendFrame, outstanding_);
  report[kBitCount] = static_cast<uint8_t>(bits);
  // A single frame always asks for the answer window, so that every
  // transaction ends with a report: answer, none, or a collision.
  report[kReplyExpected] = request.send_twice ? 0 : 1;
  report[kSendTwiceGap] = request.send_twice ? kSendTwiceGapMs : 0;
  for (std::size_t i = 0; i < bits / kBitsPerByte; ++i) {
    report[kFrame + i] = request.frame.data[i];
  }
  return report;
}

std::vector<HassebProtocol::Report> HassebProtocol::consume(
    std::span<const uint8_t> r, Clock::time_point now) {
  std::vector<Report> writes;
  if (r.size() != kReportSize || r[0] != kPreamble) {
    if (phase_ == Phase::Opening) {
      // The old firmware's 2-byte reports.
      refuse("the unit sent a " + std::to_string(r.size()) +
             "-byte report: firmware older than 2; " + kUpdateAdvice);
      return writes;
    }
    ++dropped_.garbage;
    return writes;
  }
  switch (r[kType]) {
    case kReportNoOp:
      return writes;
    case kReportFirmwareVersion:
      version_reply(r, writes);
      return writes;
    case kReportTransmission:
      if (r[kSequence] == kSpontaneous) {
        sniffed(r);
      } else {
        transmission(r, now);
      }
      return writes;
    default:
      ++dropped_.garbage;
      return writes;
  }
}

void HassebProtocol::version_reply(std::span<const uint8_t> r,
                                   std::vector<Report>& writes) {
  if (phase_ != Phase::Opening || r[kSequence] != outstanding_) {
    ++dropped_.stale;
    return;
  }
  outstanding_ = 0;
  version_ = std::to_string(r[kMajor]) + "." + std::to_string(r[kMinor]);
  DriverEvent event = event_of(DriverEventKind::FirmwareVersion);
  event.text = version_;
  emit(std::move(event));
  if (r[kMajor] < kFirstSupportedMajor) {
    refuse("firmware " + version_ + "; " + kUpdateAdvice);
    return;
  }
  // Other masters' frames are reported only in sniff mode. The unit does
  // not answer this command.
  Report sniff = command(kCommandConfigure, next_sequence());
  sniff[kMode] = kModeSniffing;
  writes.push_back(sniff);
  phase_ = Phase::Idle;
  emit(event_of(DriverEventKind::Ready));
}

void HassebProtocol::transmission(std::span<const uint8_t> r,
                                  Clock::time_point now) {
  if (phase_ != Phase::AwaitReport || r[kSequence] != outstanding_) {
    ++dropped_.stale;
    return;
  }
  switch (r[kStatus]) {
    case kStatusNoAnswer:
      complete(Completion::NoAnswer, 0, now);
      return;
    case kStatusAnswer:
      if (data_length(r[kLength]) != 1) {
        // An answer that is not one byte is no valid backward frame.
        complete(Completion::Collision, 0, now);
        return;
      }
      complete(Completion::Answer, r[kData], now);
      return;
    case kStatusInvalidData:
    case kStatusAnswerTooEarly:
      // Garbled or mistimed: never "no answer".
      complete(Completion::Collision, 0, now);
      return;
    default:
      ++dropped_.garbage;
      return;
  }
}

void HassebProtocol::sniffed(std::span<const uint8_t> r) {
  if (r[kStatus] == kStatusSniffedError) {
    emit(event_of(DriverEventKind::ForeignError));
    return;
  }
  const std::size_t length = data_length(r[kLength]);
  if (r[kStatus] != kStatusSniffed || length == 0) {
    ++dropped_.garbage;
    return;
  }
  if (length == 1) {
    DriverEvent event = event_of(DriverEventKind::ForeignAnswer);
    event.answer = r[kData];
    emit(std::move(event));
    return;
  }
  DriverEvent event = event_of(DriverEventKind::ForeignFrame);
  event.frame.bit_count = static_cast<uint8_t>(length * kBitsPerByte);
  event.frame.format = KOVRA62386_FORMAT_VARIABLE;
  for (std::size_t i = 0; i < length; ++i) event.frame.data[i] = r[kData + i];
  emit(std::move(event));
}

// The unit reports a copy only once it was on the bus: its confirmation
// and echo come with its completion.
void HassebProtocol::complete(Completion completion, uint8_t answer,
                              Clock::time_point now) {
  for (DriverEvent& event :
       completed_copy(current_.frame, completion, answer)) {
    emit(std::move(event));
  }
  // A collision ends a send-twice pair; the second report is then stale.
  if (--reports_left_ > 0 && completion != Completion::Collision) {
    deadline_ = now + kCopyDeadline;
    return;
  }
  end_transaction(now + kGapBetweenFrames);
}

void HassebProtocol::end_transaction(Clock::time_point quiet_until) {
  phase_ = Phase::Idle;
  outstanding_ = 0;
  reports_left_ = 0;
  current_ = {};
  quiet_until_ = quiet_until;
  announce_ready_ = true;
  emit(event_of(DriverEventKind::Over));
}

void HassebProtocol::refuse(std::string why) {
  phase_ = Phase::Refused;
  outstanding_ = 0;
  refusal_ = std::move(why);
}

std::optional<HassebProtocol::Clock::time_point> HassebProtocol::next_deadline()
    const {
  if (phase_ == Phase::Opening || phase_ == Phase::AwaitReport) {
    return deadline_;
  }
  if (phase_ == Phase::Idle && announce_ready_) return quiet_until_;
  return std::nullopt;
}

void HassebProtocol::on_time(Clock::time_point now) {
  switch (phase_) {
    case Phase::Opening:
      if (now >= deadline_) {
        refuse(
            "no answer to the firmware-version query: firmware older "
            "than 2, or not a hasseb DALI Master; " +
            std::string(kUpdateAdvice));
      }
      return;
    case Phase::AwaitReport:
      if (now >= deadline_ && reports_left_ < initial_reports_) {
        // A send-twice frame reported once: the unit sent the pair (its
        // reports for it are unconfirmed), so no error; counted.
        ++dropped_.missing_second_report;
        end_transaction(now + kGapBetweenFrames);
        return;
      }
      if (now >= deadline_) {
        DriverEvent event = event_of(DriverEventKind::Timeout);
        event.frame = current_.frame;
        emit(std::move(event));
        end_transaction(now + kQuietAfterTimeout);
      }
      return;
    case Phase::Idle:
      if (announce_ready_ && quiet_until_ && now >= *quiet_until_) {
        announce_ready_ = false;
        quiet_until_.reset();
        emit(event_of(DriverEventKind::Ready));
      }
      return;
    case Phase::Refused:
      return;
  }
}

std::vector<DriverEvent> HassebProtocol::take_events() {
  return std::exchange(events_, {});
}

}  // namespace kovra62386::sim::drivers
