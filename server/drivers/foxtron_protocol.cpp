#include "server/drivers/foxtron_protocol.h"

#include <algorithm>
#include <array>
#include <utility>

namespace kovra62386::sim::drivers {
namespace {

static_assert(foxtron::kReportsPerSendTwice == 1 ||
              foxtron::kReportsPerSendTwice == 2);

// Hex digits of the longest message: its bytes and the checksum.
constexpr std::size_t kMaxDigits = 2 * (foxtron::kMaxBytes + 1);
constexpr std::size_t kMinDigits = 2 * (foxtron::kMinBytes + 1);
// Frames a BusFrame can hold.
constexpr unsigned kMaxFrameBits = 8 * sizeof(BusFrame::data);

std::optional<uint8_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

void append_hex(std::string& out, uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

uint8_t checksum(std::span<const uint8_t> bytes) {
  unsigned sum = 0;
  for (const uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(~sum);
}

std::size_t data_bytes(unsigned bits) { return (bits + 7) / 8; }

// A frame as the unit echoes it: bits, then its data bytes.
struct EchoedFrame {
  BusFrame frame{};
  std::size_t size = 0;  // bytes it took, the bit count's included
};

std::optional<EchoedFrame> parse_frame(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return std::nullopt;
  EchoedFrame echoed;
  const unsigned bits = bytes[0];
  const std::size_t count = data_bytes(bits);
  if (bits > kMaxFrameBits || bytes.size() < 1 + count) return std::nullopt;
  echoed.frame.bit_count = static_cast<uint8_t>(bits);
  echoed.frame.format = KOVRA62386_FORMAT_VARIABLE;
  std::copy_n(bytes.begin() + 1, count, echoed.frame.data);
  echoed.size = 1 + count;
  return echoed;
}

bool same_frame(const BusFrame& a, const BusFrame& b) {
  return a.bit_count == b.bit_count &&
         std::equal(a.data, a.data + data_bytes(a.bit_count), b.data);
}

}  // namespace

std::string FoxtronProtocol::encode(std::span<const uint8_t> bytes) {
  std::string out(1, static_cast<char>(foxtron::kStart));
  for (const uint8_t b : bytes) append_hex(out, b);
  append_hex(out, checksum(bytes));
  out.push_back(static_cast<char>(foxtron::kEnd));
  return out;
}

std::string FoxtronProtocol::start(Clock::time_point now) {
  started_ = true;
  last_heard_ = now;
  const std::array<uint8_t, 2> version{foxtron::kReadItem,
                                       foxtron::kItemFirmwareVersion};
  const std::array<uint8_t, 2> power{foxtron::kReadItem,
                                     foxtron::kItemBusPower};
  return written(encode(version) + encode(power), now);
}

bool FoxtronProtocol::can_transmit(Clock::time_point now) const {
  return !awaiting_ && !silent_ && (!quiet_until_ || now >= *quiet_until_);
}

std::string FoxtronProtocol::transmit(const TransmitRequest& request,
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
  awaiting_ = true;
  reports_left_ = request.send_twice ? foxtron::kReportsPerSendTwice : 1;
  deadline_ = now + foxtron::kReportDeadline;
  quiet_until_.reset();

  // Out-of-range priorities count as the lowest, as on a simulated bus.
  const unsigned priority =
      request.priority >= 1 && request.priority <= foxtron::kLowestPriority
          ? request.priority
          : foxtron::kLowestPriority;
  std::vector<uint8_t> message{foxtron::kSendFrame,
                               static_cast<uint8_t>(priority),
                               static_cast<uint8_t>(bits)};
  message.insert(message.end(), request.frame.data,
                 request.frame.data + data_bytes(bits));
  message.push_back(request.send_twice ? foxtron::kFlagSendTwice : 0);
  return written(encode(message), now);
}

void FoxtronProtocol::consume(std::span<const uint8_t> bytes,
                              Clock::time_point now) {
  if (!bytes.empty()) last_heard_ = now;
  for (const uint8_t byte : bytes) {
    if (byte == foxtron::kStart) {
      if (in_message_ && !discarding_ && !line_.empty()) ++dropped_.garbage;
      in_message_ = true;
      discarding_ = false;
      line_.clear();
      continue;
    }
    if (!in_message_) continue;  // noise between messages
    if (byte == foxtron::kEnd) {
      in_message_ = false;
      if (!discarding_) {
        std::string digits = std::exchange(line_, {});
        std::vector<uint8_t> decoded;
        bool valid = digits.size() % 2 == 0 && digits.size() >= kMinDigits;
        for (std::size_t i = 0; valid && i < digits.size(); i += 2) {
          const auto hi = hex_digit(digits[i]);
          const auto lo = hex_digit(digits[i + 1]);
          valid = hi && lo;
          if (valid) decoded.push_back(static_cast<uint8_t>(*hi << 4 | *lo));
        }
        if (!valid) {
          ++dropped_.garbage;
        } else if (const std::span data(decoded.data(), decoded.size() - 1);
                   checksum(data) != decoded.back()) {
          ++dropped_.checksum;
        } else {
          message(data, now);
        }
      }
      discarding_ = false;
      line_.clear();
      continue;
    }
    if (discarding_) continue;
    if (line_.size() >= kMaxDigits) {
      ++dropped_.overlong;
      discarding_ = true;
      line_.clear();
      continue;
    }
    line_.push_back(static_cast<char>(byte));
  }
}

void FoxtronProtocol::consume(std::string_view text, Clock::time_point now) {
  consume(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
          now);
}

std::optional<FoxtronProtocol::Clock::time_point>
FoxtronProtocol::next_deadline() const {
  if (awaiting_) return deadline_;  // the keep-alive waits for its end
  std::optional<Clock::time_point> at = quiet_until_;
  if (keep_alive_ && started_ && !silent_) {
    const auto due = std::min(
        std::max(last_heard_, last_written_) + foxtron::kKeepAliveInterval,
        last_heard_ + foxtron::kSilenceLimit);
    at = at ? std::min(*at, due) : due;
  }
  return at;
}

std::string FoxtronProtocol::on_time(Clock::time_point now) {
  if (awaiting_) {
    if (now < deadline_) return {};
    DriverEvent timeout = event_of(DriverEventKind::Timeout);
    timeout.frame = current_.frame;
    emit(std::move(timeout));
    end_transaction();
    quiet_until_ = now + foxtron::kQuietAfterTimeout;
    return {};
  }
  if (quiet_until_ && now >= *quiet_until_) {
    quiet_until_.reset();
    emit(event_of(DriverEventKind::Ready));
  }
  if (!keep_alive_ || !started_ || silent_) return {};
  if (now >= last_heard_ + foxtron::kSilenceLimit) {
    silent_ = true;
    return {};
  }
  if (now <
      std::max(last_heard_, last_written_) + foxtron::kKeepAliveInterval) {
    return {};
  }
  // Bus power: an answer worth having that changes nothing on the bus.
  const std::array<uint8_t, 2> query{foxtron::kReadItem,
                                     foxtron::kItemBusPower};
  return written(encode(query), now);
}

std::vector<DriverEvent> FoxtronProtocol::take_events() {
  return std::exchange(events_, {});
}

void FoxtronProtocol::message(std::span<const uint8_t> bytes,
                              Clock::time_point now) {
  const auto rest = bytes.subspan(1);
  switch (bytes[0]) {
    case foxtron::kOwnAnswered:
    case foxtron::kOwnNoAnswer:
      own_report(rest, bytes[0] == foxtron::kOwnAnswered, now);
      return;
    case foxtron::kForeignAnswered:
    case foxtron::kForeignNoAnswer:
      foreign_report(rest, bytes[0] == foxtron::kForeignAnswered);
      return;
    case foxtron::kEvent:
      event(rest[0]);
      return;
    case foxtron::kItemValue:
      if (rest.size() < 3) break;
      item(rest[0], rest[1], rest[2]);
      return;
    case foxtron::kItemWritten:
      return;
    default:
      break;
  }
  ++dropped_.garbage;
}

void FoxtronProtocol::own_report(std::span<const uint8_t> bytes, bool answered,
                                 Clock::time_point now) {
  if (!awaiting_) {
    ++dropped_.stale;
    return;
  }
  // Length 0: the unit could not read the bus while sending (a framing
  // error): another master's frame collided with ours.
  if (bytes[0] == 0) {
    end_with(KOVRA62386_STATUS_SENT);
    return;
  }
  const auto echoed = parse_frame(bytes);
  if (!echoed) {
    ++dropped_.garbage;
    return;
  }
  if (!same_frame(echoed->frame, current_.frame)) {
    ++dropped_.stale;  // the report of a frame given up on
    return;
  }
  Completion completion = Completion::NoAnswer;
  uint8_t answer = 0;
  if (answered) {
    const auto tail = bytes.subspan(echoed->size);
    if (tail.size() >= 2 && tail[0] == foxtron::kBackwardBits) {
      completion = Completion::Answer;
      answer = tail[1];
    } else {
      // An answer the unit could not read: several gear answered at once.
      completion = Completion::Collision;
    }
  }
  const int copies =
      current_.send_twice ? 2 / foxtron::kReportsPerSendTwice : 1;
  for (int copy = 0; copy < copies; ++copy) {
    for (DriverEvent& event :
         completed_copy(current_.frame, completion, answer)) {
      emit(std::move(event));
    }
    if (completion == Completion::Collision) break;
  }
  copy_done(completion, now);
}

void FoxtronProtocol::foreign_report(std::span<const uint8_t> bytes,
                                     bool answered) {
  if (bytes[0] == 0) {
    emit(event_of(DriverEventKind::ForeignError));
    return;
  }
  const auto echoed = parse_frame(bytes);
  if (!echoed) {
    ++dropped_.garbage;
    return;
  }
  if (echoed->frame.bit_count == foxtron::kBackwardBits) {
    DriverEvent event = event_of(DriverEventKind::ForeignAnswer);
    event.answer = echoed->frame.data[0];
    emit(std::move(event));
    return;
  }
  DriverEvent frame = event_of(DriverEventKind::ForeignFrame);
  frame.frame = echoed->frame;
  emit(std::move(frame));
  if (!answered) return;
  const auto tail = bytes.subspan(echoed->size);
  if (tail.size() >= 2 && tail[0] == foxtron::kBackwardBits) {
    DriverEvent event = event_of(DriverEventKind::ForeignAnswer);
    event.answer = tail[1];
    emit(std::move(event));
  } else {
    emit(event_of(DriverEventKind::ForeignError));
  }
}

void FoxtronProtocol::event(uint8_t code) {
  switch (code) {
    case foxtron::kBusPowerGood:
      set_powered(true);
      return;
    case foxtron::kBusPowerLost:
    case foxtron::kMainsOnBus:
    case foxtron::kBadBusSupply:
      set_powered(false);
      return;
    case foxtron::kSendBufferFull:
    case foxtron::kChecksumError:
    case foxtron::kInvalidCommand:
      // Our frame is the only message that can be outstanding: the unit
      // dropped it.
      if (!awaiting_) {
        ++dropped_.stale;
        return;
      }
      end_with(code == foxtron::kSendBufferFull ? KOVRA62386_STATUS_BUS_BUSY
                                                : KOVRA62386_STATUS_REFUSED);
      return;
    default:
      ++dropped_.garbage;
      return;
  }
}

void FoxtronProtocol::item(uint8_t item, uint8_t hi, uint8_t lo) {
  if (item == foxtron::kItemFirmwareVersion) {
    std::string version = std::to_string(hi) + "." + std::to_string(lo);
    if (version == version_) return;
    version_ = std::move(version);
    DriverEvent event = event_of(DriverEventKind::FirmwareVersion);
    event.text = version_;
    emit(std::move(event));
    return;
  }
  if (item == foxtron::kItemBusPower) {
    set_powered(hi == 0 && lo == foxtron::kBusPowerGood);
  }
}

void FoxtronProtocol::set_powered(bool powered) {
  if (powered == powered_) return;
  powered_ = powered;
  emit(event_of(powered ? DriverEventKind::BusPowerBack
                        : DriverEventKind::BusPowerLost));
}

void FoxtronProtocol::copy_done(Completion completion, Clock::time_point now) {
  if (--reports_left_ > 0 && completion != Completion::Collision) {
    deadline_ = now + foxtron::kReportDeadline;
    return;
  }
  end_transaction();
}

// Ends the transaction with its confirmation alone: a refusal, or SENT
// followed by a collision when the unit could not read its own frame.
void FoxtronProtocol::end_with(uint8_t status) {
  DriverEvent confirmed = event_of(DriverEventKind::Confirmed);
  confirmed.status = status;
  confirmed.frame = current_.frame;
  emit(std::move(confirmed));
  if (status == KOVRA62386_STATUS_SENT) {
    DriverEvent collision = event_of(DriverEventKind::Completion);
    collision.completion = Completion::Collision;
    emit(std::move(collision));
  }
  end_transaction();
}

void FoxtronProtocol::end_transaction() {
  awaiting_ = false;
  reports_left_ = 0;
  current_ = {};
  emit(event_of(DriverEventKind::Over));
}

std::string FoxtronProtocol::written(std::string bytes, Clock::time_point now) {
  last_written_ = now;
  return bytes;
}

}  // namespace kovra62386::sim::drivers
