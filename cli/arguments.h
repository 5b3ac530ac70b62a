// Parsing of the tool's positional arguments: frame bytes, DALI addresses,
// levels and numbers. Every failure throws CliError(kUsage).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dali/dali_commands.h"

namespace kovra62386::cli {

// A destination on a DALI control-gear bus.
struct DaliAddress {
  enum class Kind { kShort, kGroup, kBroadcast, kBroadcastUnaddressed };
  Kind kind = Kind::kBroadcast;
  int index = 0;  // short address 0-63 or group 0-15

  // Address byte with the selector bit set (a command follows).
  uint8_t command_byte() const;
  // Address byte with the selector bit clear (a level follows: DAPC).
  uint8_t dapc_byte() const;
  // The same address in the command table's terms.
  dali::Address to_dali() const;
  // "short address 5", "group 3", "broadcast"
  std::string text() const;
  // "5", "g3", "broadcast", "unaddressed"
  std::string key() const;
};

// "5", "A5", "g3", "group:3", "G3", "broadcast", "all", "unaddressed".
DaliAddress parse_address(const std::string& text);

// Hex bytes, spelled as tokens "FF 00", "FF00", "0xFF00", "0xff,0x00" or
// "ff:00". Tokens longer than two digits split into bytes from the left.
std::vector<uint8_t> parse_frame_bytes(const std::vector<std::string>& tokens);

// A number in decimal or with 0x, within [min, max]; `what` names it in the
// error message.
long parse_number(const std::string& text, long min, long max,
                  const std::string& what);
std::optional<long> try_parse_number(const std::string& text);

// Short addresses as "20-29", "5" or a comma-separated list of both
// ("0-9,20"): bit n of the result is address n.
uint64_t parse_short_address_set(const std::string& text);

// An arc power level 0-254, or "off" (0) and "max" (254).
uint8_t parse_level(const std::string& text);

// "FF 00"
std::string hex_bytes(const std::vector<uint8_t>& bytes);
std::string hex_bytes(const uint8_t* bytes, size_t count);

}  // namespace kovra62386::cli
