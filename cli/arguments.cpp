#include "cli/arguments.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "cli/exit_codes.h"

namespace kovra62386::cli {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text;
}

[[noreturn]] void usage(const std::string& message) {
  throw CliError(ExitCode::kUsage, message);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint8_t DaliAddress::command_byte() const {
  return dali::address_byte(to_dali(), /*dapc=*/false);
}

uint8_t DaliAddress::dapc_byte() const {
  return dali::address_byte(to_dali(), /*dapc=*/true);
}

dali::Address DaliAddress::to_dali() const {
  const auto number = static_cast<uint8_t>(index);
  switch (kind) {
    case Kind::kShort:
      return dali::Address::short_address(number);
    case Kind::kGroup:
      return dali::Address::group(number);
    case Kind::kBroadcastUnaddressed:
      return dali::Address::broadcast_unaddressed();
    case Kind::kBroadcast:
      break;
  }
  return dali::Address::broadcast();
}

std::string DaliAddress::text() const {
  switch (kind) {
    case Kind::kShort:
      return fmt::format("short address {}", index);
    case Kind::kGroup:
      return fmt::format("group {}", index);
    case Kind::kBroadcast:
      return "broadcast";
    case Kind::kBroadcastUnaddressed:
      return "broadcast to unaddressed gear";
  }
  return "broadcast";
}

std::string DaliAddress::key() const {
  switch (kind) {
    case Kind::kShort:
      return std::to_string(index);
    case Kind::kGroup:
      return fmt::format("g{}", index);
    case Kind::kBroadcast:
      return "broadcast";
    case Kind::kBroadcastUnaddressed:
      return "unaddressed";
  }
  return "broadcast";
}

std::optional<long> try_parse_number(const std::string& text) {
  std::string digits = lower(text);
  int base = 10;
  if (digits.size() > 2 && digits.compare(0, 2, "0x") == 0) {
    base = 16;
    digits.erase(0, 2);
  }
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  long value = 0;
  for (char c : digits) {
    const int digit = hex_digit(c);
    if (digit < 0 || digit >= base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

long parse_number(const std::string& text, long min, long max,
                  const std::string& what) {
  const auto value = try_parse_number(text);
  if (!value || *value < min || *value > max) {
    usage(fmt::format("{} must be a number from {} to {}, not '{}'", what, min,
                      max, text));
  }
  return *value;
}

uint64_t parse_short_address_set(const std::string& text) {
  uint64_t set = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string part = text.substr(start, comma - start);
    const size_t dash = part.find('-');
    const long first =
        parse_number(part.substr(0, dash), 0, 63, "a short address");
    const long last = dash == std::string::npos
                          ? first
                          : parse_number(part.substr(dash + 1), first, 63,
                                         "the end of an address range");
    for (long a = first; a <= last; ++a) set |= uint64_t{1} << a;
    start = comma + 1;
  }
  return set;
}

DaliAddress parse_address(const std::string& text) {
  const std::string key = lower(text);
  DaliAddress address;
  if (key == "broadcast" || key == "all" || key == "bc") {
    address.kind = DaliAddress::Kind::kBroadcast;
    return address;
  }
  if (key == "unaddressed") {
    address.kind = DaliAddress::Kind::kBroadcastUnaddressed;
    return address;
  }
  std::string number = key;
  DaliAddress::Kind kind = DaliAddress::Kind::kShort;
  for (const char* prefix : {"group:", "group", "g:", "g"}) {
    const std::string p(prefix);
    if (key.size() > p.size() && key.compare(0, p.size(), p) == 0) {
      kind = DaliAddress::Kind::kGroup;
      number = key.substr(p.size());
      break;
    }
  }
  if (kind == DaliAddress::Kind::kShort) {
    for (const char* prefix : {"short:", "a"}) {
      const std::string p(prefix);
      if (key.size() > p.size() && key.compare(0, p.size(), p) == 0) {
        number = key.substr(p.size());
        break;
      }
    }
  }
  const auto value = try_parse_number(number);
  const long max = kind == DaliAddress::Kind::kGroup ? 15 : 63;
  if (!value || *value < 0 || *value > max) {
    usage(fmt::format(
        "bad address '{}': use a short address 0-63, a group g0-g15 "
        "(or group:0-15), or broadcast",
        text));
  }
  address.kind = kind;
  address.index = static_cast<int>(*value);
  return address;
}

std::vector<uint8_t> parse_frame_bytes(const std::vector<std::string>& tokens) {
  std::vector<uint8_t> bytes;
  std::vector<std::string> pieces;
  for (const auto& token : tokens) {
    std::string piece;
    for (char c : token) {
      if (c == ' ' || c == ',' || c == ':' || c == '\t') {
        if (!piece.empty()) pieces.push_back(piece);
        piece.clear();
      } else {
        piece += c;
      }
    }
    if (!piece.empty()) pieces.push_back(piece);
  }
  for (auto piece : pieces) {
    const std::string original = piece;
    if (piece.size() > 2 &&
        (piece.compare(0, 2, "0x") == 0 || piece.compare(0, 2, "0X") == 0)) {
      piece.erase(0, 2);
    }
    if (piece.empty() || (piece.size() % 2 != 0 && piece.size() != 1)) {
      usage(
          fmt::format("bad frame bytes '{}': give hex bytes like 'FF 00' "
                      "or 0xFF00",
                      original));
    }
    if (piece.size() == 1) piece = "0" + piece;
    for (size_t i = 0; i < piece.size(); i += 2) {
      const int high = hex_digit(piece[i]);
      const int low = hex_digit(piece[i + 1]);
      if (high < 0 || low < 0) {
        usage(fmt::format("bad frame bytes '{}': '{}' is not hexadecimal",
                          original, piece.substr(i, 2)));
      }
      bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
  }
  if (bytes.empty()) usage("no frame bytes given");
  return bytes;
}

uint8_t parse_level(const std::string& text) {
  const std::string key = lower(text);
  if (key == "off") return 0;
  if (key == "max") return 254;
  return static_cast<uint8_t>(
      parse_number(text, 0, 254, "the level (0-254, off or max)"));
}

std::string hex_bytes(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += ' ';
    text += fmt::format("{:02X}", bytes[i]);
  }
  return text;
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
  return hex_bytes(bytes.data(), bytes.size());
}

}  // namespace kovra62386::cli
