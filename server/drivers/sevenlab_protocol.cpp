#include "server/drivers/sevenlab_protocol.h"

#include <algorithm>
#include <utility>

namespace kovra62386::sim::drivers {
namespace {

using namespace sevenlab::code;

constexpr std::string_view kVersionPrefix = "Version ";

std::optional<uint8_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// Hex of 1..max_digits digits, either case.
std::optional<uint32_t> parse_hex(std::string_view text,
                                  std::size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  uint32_t value = 0;
  for (const char c : text) {
    const auto digit = hex_digit(c);
    if (!digit) return std::nullopt;
    value = (value << 4) | *digit;
  }
  return value;
}

std::size_t data_bytes(unsigned bits) { return (bits + 7) / 8; }

// The frame's data bits as one number, first byte most significant.
uint32_t frame_value(const BusFrame& frame) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < data_bytes(frame.bit_count); ++i) {
    value = (value << 8) | frame.data[i];
  }
  return value;
}

BusFrame frame_of(uint32_t value, uint8_t bits) {
  BusFrame frame{};
  frame.bit_count = bits;
  frame.format = KOVRA62386_FORMAT_VARIABLE;
  const std::size_t count = data_bytes(bits);
  for (std::size_t i = 0; i < count; ++i) {
    frame.data[i] = static_cast<uint8_t>(value >> (8 * (count - 1 - i)));
  }
  return frame;
}

void append_hex(std::string& out, uint32_t value, std::size_t digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = digits; i-- > 0;) {
    out.push_back(kDigits[(value >> (4 * i)) & 0x0F]);
  }
}

bool printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

bool SevenLabProtocol::can_transmit(Clock::time_point now) const {
  return phase_ == Phase::Idle && (!quiet_until_ || now >= *quiet_until_);
}

std::string SevenLabProtocol::transmit(const TransmitRequest& request,
                                       Clock::time_point now) {
  const unsigned bits = request.frame.bit_count;
  const uint8_t refusal = refusal_at_once(can_transmit(now), bits,
                                          /*sends_24_bit=*/true, powered_);
  if (refusal != KOVRA62386_STATUS_SENT) {
    for (DriverEvent& e : refused_transaction(request.frame, refusal)) {
      emit(std::move(e));
    }
    return {};
  }
  current_ = request;
  copies_left_ = request.send_twice ? 2 : 1;
  phase_ = Phase::AwaitEcho;
  deadline_ = now + sevenlab::kCopyDeadline;
  quiet_until_.reset();

  // Out-of-range priorities count as the lowest, as on a simulated bus.
  const unsigned priority =
      request.priority >= 1 &&
              request.priority <= sevenlab::kHighestCommandPriority
          ? request.priority
          : sevenlab::kHighestCommandPriority;
  std::string command(1, request.send_twice ? 'S' : 'Q');
  command.push_back(static_cast<char>('0' + priority));
  command.push_back(' ');
  append_hex(command, bits, 2);
  command.push_back(request.send_twice ? '+' : ' ');
  append_hex(command, frame_value(request.frame), bits / 4);
  command.push_back('\r');
  return command;
}

void SevenLabProtocol::consume(std::span<const uint8_t> bytes,
                               Clock::time_point now) {
  for (const uint8_t byte : bytes) {
    const char c = static_cast<char>(byte);
    if (c == '\r' || c == '\n') {
      if (!discarding_ && !line_.empty()) line(line_, now);
      discarding_ = false;
      line_.clear();
      continue;
    }
    if (c == '{' && !line_.empty()) {
      // A report starts inside a line: what came before was noise (a
      // partial line from before we connected, say).
      ++dropped_.garbage;
      line_.clear();
      discarding_ = false;
    }
    if (discarding_) continue;
    if (line_.size() >= kMaxLine) {
      ++dropped_.overlong;
      discarding_ = true;
      line_.clear();
      continue;
    }
    line_.push_back(c);
  }
}

void SevenLabProtocol::consume(std::string_view text, Clock::time_point now) {
  consume(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
          now);
}

std::optional<SevenLabProtocol::Clock::time_point>
SevenLabProtocol::next_deadline() const {
  if (phase_ != Phase::Idle) return deadline_;
  return quiet_until_;
}

void SevenLabProtocol::on_time(Clock::time_point now) {
  if (phase_ == Phase::Idle) {
    if (quiet_until_ && now >= *quiet_until_) {
      quiet_until_.reset();
      emit(event_of(DriverEventKind::Ready));
    }
    return;
  }
  if (now < deadline_) return;
  DriverEvent event = event_of(DriverEventKind::Timeout);
  event.frame = current_.frame;
  emit(std::move(event));
  end_transaction();
  quiet_until_ = now + sevenlab::kQuietAfterTimeout;
}

std::vector<DriverEvent> SevenLabProtocol::take_events() {
  return std::exchange(events_, {});
}

void SevenLabProtocol::line(std::string_view text, Clock::time_point now) {
  if (text.front() == '{') {
    if (const auto parsed = parse_report(text)) {
      report(*parsed, now);
    } else {
      ++dropped_.garbage;
    }
    return;
  }
  // The banner, at power-up and after `?`: only its version line counts.
  if (!text.starts_with(kVersionPrefix)) return;
  std::string_view version = text.substr(kVersionPrefix.size());
  while (!version.empty() && version.back() == ' ') version.remove_suffix(1);
  if (version.empty() || !printable(version)) {
    ++dropped_.garbage;
    return;
  }
  version_ = version;
  DriverEvent event = event_of(DriverEventKind::FirmwareVersion);
  event.text = version_;
  emit(std::move(event));
}

// `{TTTTTTTT<c>LL DATA}`: 8 tick digits, `>` or `:`, 2 digits, a space and
// 1-8 data digits (the firmware prints 8, its documents fewer).
std::optional<SevenLabProtocol::Report> SevenLabProtocol::parse_report(
    std::string_view text) {
  if (text.size() < 2 || text.front() != '{' || text.back() != '}') {
    return std::nullopt;
  }
  std::string_view inner = text.substr(1, text.size() - 2);
  if (inner.size() < kTickDigits + 5) return std::nullopt;
  if (!parse_hex(inner.substr(0, kTickDigits), kTickDigits)) {
    return std::nullopt;
  }
  Report report;
  const char kind = inner[kTickDigits];
  if (kind != '>' && kind != ':') return std::nullopt;
  report.own = kind == '>';
  const auto code = parse_hex(inner.substr(kTickDigits + 1, 2), 2);
  if (!code || inner[kTickDigits + 3] != ' ') return std::nullopt;
  report.code = static_cast<uint8_t>(*code);
  const auto data = parse_hex(inner.substr(kTickDigits + 4), kMaxDataDigits);
  if (!data) return std::nullopt;
  report.data = *data;
  if ((report.code & kStatusBit) == 0) {
    // A frame: 1-32 bits, and no data beyond them.
    if (report.code == 0 || report.code > 32) return std::nullopt;
    if (report.code < 32 && (report.data >> report.code) != 0) {
      return std::nullopt;
    }
  }
  return report;
}

void SevenLabProtocol::report(const Report& report, Clock::time_point now) {
  if ((report.code & kStatusBit) != 0) {
    status(report, now);
  } else {
    frame(report, now);
  }
}

void SevenLabProtocol::frame(const Report& report, Clock::time_point now) {
  if (report.own) {
    if (phase_ != Phase::AwaitEcho) {
      ++dropped_.stale;  // a loopback of a transaction given up
      return;
    }
    if (report.code == current_.frame.bit_count &&
        report.data == frame_value(current_.frame)) {
      own_echo(now);
    } else {
      // What the unit heard while sending is not what it sent.
      confirm(KOVRA62386_STATUS_SENT);
      complete(Completion::Collision, 0, now);
    }
    return;
  }
  if (report.code == kBackwardBits) {
    if (phase_ == Phase::AwaitAnswer) {
      complete(Completion::Answer, static_cast<uint8_t>(report.data), now);
      return;
    }
    DriverEvent event = event_of(DriverEventKind::ForeignAnswer);
    event.answer = static_cast<uint8_t>(report.data);
    emit(std::move(event));
    return;
  }
  DriverEvent event = event_of(DriverEventKind::ForeignFrame);
  event.frame = frame_of(report.data, report.code);
  emit(std::move(event));
}

void SevenLabProtocol::status(const Report& report, Clock::time_point now) {
  const uint8_t code = report.code;
  switch (code) {
    case kNoAnswer:
      if (phase_ == Phase::AwaitAnswer) {
        complete(Completion::NoAnswer, 0, now);
      } else {
        ++dropped_.stale;
      }
      return;
    case kBadStartTiming:
    case kBadDataTiming:
      if (phase_ == Phase::AwaitAnswer && sevenlab::kBadTimingIsCollision) {
        complete(Completion::Collision, 0, now);
      } else {
        emit(event_of(DriverEventKind::ForeignError));
      }
      return;
    case kSettlingViolation:
      if (phase_ == Phase::Idle) {
        emit(event_of(DriverEventKind::ForeignError));
        return;
      }
      [[fallthrough]];
    case kCollisionFirst:
    case kCollisionFirst + 1:
    case kCollisionLast:
      if (phase_ == Phase::Idle) {
        ++dropped_.stale;
        return;
      }
      if (phase_ == Phase::AwaitEcho) confirm(KOVRA62386_STATUS_SENT);
      complete(Completion::Collision, 0, now);
      return;
    case kIdle:
      return;
    case kBusFailure:
    case kBusRecovered: {
      const bool powered = code == kBusRecovered;
      if (powered == powered_) return;
      powered_ = powered;
      emit(event_of(powered ? DriverEventKind::BusPowerBack
                            : DriverEventKind::BusPowerLost));
      return;
    }
    case kCannotProcess:
    case kBadArgument:
    case kBadCommand:
    case kQueueFull:
    case kBufferOverflow:
      if (phase_ != Phase::AwaitEcho) {
        ++dropped_.stale;
        return;
      }
      confirm(code == kQueueFull || code == kBufferOverflow
                  ? KOVRA62386_STATUS_BUS_BUSY
                  : KOVRA62386_STATUS_REFUSED);
      end_transaction();
      return;
    default:
      ++dropped_.garbage;
      return;
  }
}

void SevenLabProtocol::own_echo(Clock::time_point now) {
  confirm(KOVRA62386_STATUS_SENT);
  DriverEvent event = event_of(DriverEventKind::Echo);
  event.frame = current_.frame;
  emit(std::move(event));
  if (current_.send_twice) {
    // `S` has no answer window: the copy is over with its loopback.
    complete(Completion::NoAnswer, 0, now);
    return;
  }
  phase_ = Phase::AwaitAnswer;
  deadline_ = now + sevenlab::kCopyDeadline;
}

void SevenLabProtocol::complete(Completion completion, uint8_t answer,
                                Clock::time_point now) {
  DriverEvent event = event_of(DriverEventKind::Completion);
  event.completion = completion;
  event.answer = answer;
  emit(std::move(event));
  // A collision ends a send-twice pair: its second loopback, if any, is
  // dropped as stale.
  if (--copies_left_ > 0 && completion != Completion::Collision) {
    phase_ = Phase::AwaitEcho;
    deadline_ = now + sevenlab::kCopyDeadline;
    return;
  }
  end_transaction();
}

void SevenLabProtocol::confirm(uint8_t status) {
  DriverEvent event = event_of(DriverEventKind::Confirmed);
  event.status = status;
  event.frame = current_.frame;
  emit(std::move(event));
}

void SevenLabProtocol::end_transaction() {
  phase_ = Phase::Idle;
  copies_left_ = 0;
  current_ = {};
  emit(event_of(DriverEventKind::Over));
}

}  // namespace kovra62386::sim::drivers
