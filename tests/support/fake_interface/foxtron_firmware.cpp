#include "support/fake_interface/foxtron_firmware.h"

#include "server/drivers/foxtron_protocol.h"

namespace kovra62386::test {
namespace {

namespace foxtron = sim::drivers::foxtron;

std::optional<uint8_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

std::string FoxtronFirmware::line(const std::vector<uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out(1, static_cast<char>(foxtron::kStart));
  unsigned sum = 0;
  for (const uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
    sum += b;
  }
  const auto check = static_cast<uint8_t>(~sum);
  out += kHex[check >> 4];
  out += kHex[check & 0x0F];
  out += static_cast<char>(foxtron::kEnd);
  return out;
}

std::string FoxtronFirmware::receive(std::string_view bytes,
                                     Clock::time_point now) {
  std::string out;
  for (const char c : bytes) {
    if (c == static_cast<char>(foxtron::kStart)) {
      digits_.clear();
      collecting_ = true;
      continue;
    }
    if (!collecting_) continue;
    if (c != static_cast<char>(foxtron::kEnd)) {
      if (digits_.size() < kMaxDigits) digits_ += c;
      continue;
    }
    collecting_ = false;
    ++messages_;
    std::vector<uint8_t> decoded;
    bool valid = digits_.size() % 2 == 0 && digits_.size() >= 6;
    for (std::size_t i = 0; valid && i < digits_.size(); i += 2) {
      const auto hi = hex_digit(digits_[i]);
      const auto lo = hex_digit(digits_[i + 1]);
      valid = hi && lo;
      if (valid) decoded.push_back(static_cast<uint8_t>(*hi << 4 | *lo));
    }
    unsigned sum = 0;
    for (std::size_t i = 0; valid && i + 1 < decoded.size(); ++i) {
      sum += decoded[i];
    }
    if (!valid || static_cast<uint8_t>(~sum) != decoded.back()) {
      ++bad_commands_;
      out += line({foxtron::kEvent, foxtron::kChecksumError});
      continue;
    }
    decoded.pop_back();
    out += message(decoded, now);
  }
  return out;
}

std::string FoxtronFirmware::message(const std::vector<uint8_t>& bytes,
                                     Clock::time_point now) {
  if (bytes[0] == foxtron::kReadItem) {
    if (bytes[1] == foxtron::kItemFirmwareVersion) {
      greeted_ = true;
      return line({foxtron::kItemValue, foxtron::kItemFirmwareVersion,
                   kVersionHigh, kVersionLow});
    }
    if (bytes[1] == foxtron::kItemBusPower) {
      return line(
          {foxtron::kItemValue, foxtron::kItemBusPower, 0,
           bus_->powered() ? foxtron::kBusPowerGood : foxtron::kBusPowerLost});
    }
  }
  // 0B: priority, bits, data, flags.
  if (bytes[0] == foxtron::kSendFrame && bytes.size() >= 3) {
    const unsigned bits = bytes[2];
    const std::size_t count = (bits + 7) / 8;
    if ((bits == 16 || bits == 24) && bytes.size() == 4 + count) {
      const std::vector<uint8_t> data(bytes.begin() + 3,
                                      bytes.begin() + 3 + count);
      const bool twice = (bytes.back() & foxtron::kFlagSendTwice) != 0;
      return transmit(data, true, twice, now);
    }
  }
  ++bad_commands_;
  return line({foxtron::kEvent, foxtron::kInvalidCommand});
}

std::string FoxtronFirmware::transmit(const std::vector<uint8_t>& data,
                                      bool own, bool twice,
                                      Clock::time_point now) {
  const auto bits = static_cast<unsigned>(data.size() * 8);
  if (!bus_->powered()) {
    return line({foxtron::kEvent, foxtron::kBusPowerLost});
  }
  auto response = bus_->forward_frame(data.data(), bits, now);
  if (twice) response = bus_->forward_frame(data.data(), bits, now);
  if (own && !reporting_) return {};
  using Kind = dali::BusResponse::Kind;
  const bool answered = response.kind != Kind::NoAnswer;
  // Built by push_back: GCC 12 under -fsanitize=thread sees a range
  // insert into a two-byte vector as out of bounds (-Warray-bounds).
  std::vector<uint8_t> report;
  report.reserve(data.size() + 4);
  report.push_back(
      own ? (answered ? foxtron::kOwnAnswered : foxtron::kOwnNoAnswer)
          : (answered ? foxtron::kForeignAnswered : foxtron::kForeignNoAnswer));
  report.push_back(static_cast<uint8_t>(bits));
  for (const uint8_t byte : data) report.push_back(byte);
  if (response.kind == Kind::Answer) {
    report.insert(report.end(), {foxtron::kBackwardBits, response.answer});
  } else if (response.kind == Kind::Collision) {
    report.push_back(0);  // an answer the unit could not read
  }
  return line(report);
}

std::string FoxtronFirmware::poll(Clock::time_point now) {
  std::string out;
  while (const auto frame = bus_->take_device_frame(now)) {
    std::vector<uint8_t> report{foxtron::kForeignNoAnswer, 24};
    report.insert(report.end(), frame->bytes.begin(), frame->bytes.end());
    out += line(report);
  }
  return out;
}

std::string FoxtronFirmware::set_bus_power(bool on, Clock::time_point now) {
  if (on == bus_->powered()) return {};
  bus_->set_power(on, now);
  return line(
      {foxtron::kEvent, on ? foxtron::kBusPowerGood : foxtron::kBusPowerLost});
}

std::string FoxtronFirmware::foreign_frame(const std::vector<uint8_t>& data,
                                           Clock::time_point now) {
  if (data.size() != 2 && data.size() != 3) return {};
  return transmit(data, false, false, now);
}

}  // namespace kovra62386::test
