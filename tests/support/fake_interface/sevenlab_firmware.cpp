#include "support/fake_interface/sevenlab_firmware.h"

#include <algorithm>
#include <cstdio>

#include "server/drivers/sevenlab_protocol.h"

namespace kovra62386::test {
namespace {

using namespace sim::drivers::sevenlab::code;

constexpr char kOwn = '>';
constexpr char kHeard = ':';
constexpr uint8_t kForwardBits16 = 16;
constexpr uint8_t kForwardBits24 = 24;

bool command_letter(char c) {
  return c == 'S' || c == 'Q' || c == 'R' || c == 'Y' || c == 'I' || c == 'W' ||
         c == 'N' || c == 'X';
}

std::optional<uint32_t> hex(std::string_view text, std::size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  uint32_t value = 0;
  for (const char c : text) {
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

uint32_t value_of(const std::vector<uint8_t>& data) {
  uint32_t value = 0;
  for (const uint8_t byte : data) value = (value << 8) | byte;
  return value;
}

}  // namespace

std::string SevenLabFirmware::report(char kind, uint8_t code, uint32_t data,
                                     Clock::time_point now) const {
  const auto tick = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - start_)
          .count());
  char text[40];
  std::snprintf(text, sizeof text, "{%08x%c%02x %08x}\r\n", tick, kind, code,
                data);
  return text;
}

std::string SevenLabFirmware::receive(std::string_view bytes,
                                      Clock::time_point now) {
  std::string out;
  for (const char c : bytes) {
    if (c == '?') {  // needs no CR
      greeted_ = true;
      out += kBanner;
      continue;
    }
    if (command_letter(c)) {
      line_.assign(1, c);
      collecting_ = true;
      continue;
    }
    if (!collecting_) continue;
    if (c == '\r') {
      out += command(line_, now);
      line_.clear();
      collecting_ = false;
      continue;
    }
    if (line_.size() >= kMaxCommand) {
      ++bad_commands_;
      out += report(kHeard, kBadCommand, 0, now);
      line_.clear();
      collecting_ = false;
      continue;
    }
    line_.push_back(c);
  }
  return out;
}

// "Q1 10 03A0", "S1 10+FF20", "Q4 18 FEFF00".
std::string SevenLabFirmware::command(std::string_view text,
                                      Clock::time_point now) {
  // Letter, priority, space, bit count, separator, at least one digit.
  constexpr std::size_t kShortest = 7;
  const char letter = text.front();
  const bool twice = text.size() > 5 && text[5] == '+';
  uint32_t priority = 0, bits = 0, value = 0;
  bool valid = text.size() >= kShortest && (letter == 'S' || letter == 'Q') &&
               text[2] == ' ' && (text[5] == ' ' || twice) &&
               !(letter == 'Q' && twice);
  if (valid) {
    const auto p = hex(text.substr(1, 1), 1);
    const auto b = hex(text.substr(3, 2), 2);
    const auto v = hex(text.substr(6), kMaxDataDigits);
    priority = p.value_or(0);
    bits = b.value_or(0);
    value = v.value_or(0);
    valid = p && b && v && priority >= 1 && priority <= 6 &&
            (bits == kForwardBits16 || bits == kForwardBits24) &&
            (value >> bits) == 0;
  }
  if (!valid) {
    ++bad_commands_;
    return report(kHeard, kBadCommand, 0, now);
  }
  if (!bus_->powered()) return report(kHeard, kCannotProcess, 0, now);
  std::vector<uint8_t> data(bits / 8);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(value >> (8 * (data.size() - 1 - i)));
  }
  std::string out = transmit(data, true, letter == 'Q', now);
  if (twice) out += transmit(data, true, false, now);
  return out;
}

std::string SevenLabFirmware::transmit(const std::vector<uint8_t>& data,
                                       bool own, bool expect_answer,
                                       Clock::time_point now) {
  const auto bits = static_cast<unsigned>(data.size() * 8);
  const dali::BusResponse response =
      bus_->forward_frame(data.data(), bits, now);
  std::string out = report(own ? kOwn : kHeard, static_cast<uint8_t>(bits),
                           value_of(data), now);
  switch (response.kind) {
    case dali::BusResponse::Kind::Answer:
      out += report(kHeard, kBackwardBits, response.answer, now);
      break;
    case dali::BusResponse::Kind::Collision:
      // Overlapping answers break the bit timing; data: (µs << 8) | bit.
      out += report(kHeard, kBadDataTiming, 0x0405, now);
      break;
    case dali::BusResponse::Kind::NoAnswer:
      if (expect_answer) out += report(kHeard, kNoAnswer, 0, now);
      break;
    case dali::BusResponse::Kind::NotTransmitted:
      break;
  }
  return out;
}

std::string SevenLabFirmware::poll(Clock::time_point now) {
  std::string out;
  // Each due event frame goes out in turn; none while the bus is down.
  while (const auto frame = bus_->take_device_frame(now)) {
    out += report(kHeard, kForwardBits24,
                  value_of({frame->bytes.begin(), frame->bytes.end()}), now);
  }
  return out;
}

std::string SevenLabFirmware::set_bus_power(bool on, Clock::time_point now) {
  if (on == bus_->powered()) return {};
  bus_->set_power(on, now);
  // Data: how long the bus was low, in µs, shifted by 8; the unit calls
  // it a failure after 500 ms low.
  constexpr uint32_t kFailureAfterUs = 500'000;
  constexpr uint32_t kMaxLowUs = 0xFFFFFF;
  if (!on) {
    power_lost_at_ = now;
    return report(kHeard, kBusFailure, kFailureAfterUs << 8, now);
  }
  const auto low = std::chrono::duration_cast<std::chrono::microseconds>(
                       now - power_lost_at_)
                       .count();
  const auto clamped = static_cast<uint32_t>(
      std::min<int64_t>(std::max<int64_t>(low, 0), kMaxLowUs));
  return report(kHeard, kBusRecovered, clamped << 8, now);
}

std::string SevenLabFirmware::foreign_frame(const std::vector<uint8_t>& data,
                                            Clock::time_point now) {
  if (data.size() * 8 != kForwardBits16 && data.size() * 8 != kForwardBits24) {
    return {};
  }
  return transmit(data, false, false, now);
}

}  // namespace kovra62386::test
