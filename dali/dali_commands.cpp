#include "dali/dali_commands.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "dali/device_commands.h"

namespace kovra62386::dali {
namespace {

using P = Parameter;
using K = CommandKind;

constexpr bool Twice = true;
constexpr bool Once = false;
constexpr bool Query = true;
constexpr bool NoAnswer = false;

// The table of dali/gear_commands.def: DAPC, which has no opcode, then the
// standard commands by opcode, then the special commands by address byte.
constexpr Command kCommands[] = {
    {"DAPC", K::DirectArcPower, 0, P::Data, Once, NoAnswer},
#define DALI_GEAR(id, name, code, parameter, twice, answer) \
  {name, K::Standard, code, P::parameter, twice, answer},
#include "dali/gear_commands.def"
#define DALI_SPECIAL(id, name, code, parameter, twice, answer) \
  {name, K::Special, code, P::parameter, twice, answer},
#include "dali/gear_commands.def"
};

constexpr ExtendedCommand kLedCommands[] = {
#define DALI_LED(id, name, code, twice, answer) {name, code, twice, answer},
#include "dali/gear_commands.def"
};

constexpr ExtendedCommand kColourCommands[] = {
#define DALI_COLOUR(id, name, code, twice, answer) {name, code, twice, answer},
#include "dali/gear_commands.def"
};

// Other spellings, already normalised, and the entry they stand for.
struct Alias {
  std::string_view alias;
  std::string_view name;
};
constexpr Alias kAliases[] = {
    {"DIRECT ARC POWER CONTROL", "DAPC"},
    {"ARC POWER", "DAPC"},
    {"RECALL MAX", "RECALL MAX LEVEL"},
    {"RECALL MIN", "RECALL MIN LEVEL"},
    {"STORE ACTUAL LEVEL IN THE DTR", "STORE ACTUAL LEVEL IN DTR0"},
    {"STORE ACTUAL LEVEL IN DTR", "STORE ACTUAL LEVEL IN DTR0"},
    {"STORE DTR AS MAX LEVEL", "SET MAX LEVEL"},
    {"STORE THE DTR AS MAX LEVEL", "SET MAX LEVEL"},
    {"STORE DTR AS MIN LEVEL", "SET MIN LEVEL"},
    {"STORE THE DTR AS MIN LEVEL", "SET MIN LEVEL"},
    {"STORE DTR AS SYSTEM FAILURE LEVEL", "SET SYSTEM FAILURE LEVEL"},
    {"STORE THE DTR AS SYSTEM FAILURE LEVEL", "SET SYSTEM FAILURE LEVEL"},
    {"STORE DTR AS POWER ON LEVEL", "SET POWER ON LEVEL"},
    {"STORE THE DTR AS POWER ON LEVEL", "SET POWER ON LEVEL"},
    {"STORE DTR AS FADE TIME", "SET FADE TIME"},
    {"STORE THE DTR AS FADE TIME", "SET FADE TIME"},
    {"STORE DTR AS FADE RATE", "SET FADE RATE"},
    {"STORE THE DTR AS FADE RATE", "SET FADE RATE"},
    {"STORE DTR AS SCENE", "SET SCENE"},
    {"STORE THE DTR AS SCENE", "SET SCENE"},
    {"STORE DTR AS SHORT ADDRESS", "SET SHORT ADDRESS"},
    {"STORE THE DTR AS SHORT ADDRESS", "SET SHORT ADDRESS"},
    {"QUERY PHYSICAL MINIMUM LEVEL", "QUERY PHYSICAL MINIMUM"},
    {"QUERY CONTENT DTR", "QUERY CONTENT DTR0"},
    {"QUERY FADE TIME", "QUERY FADE TIME FADE RATE"},
    {"QUERY FADE", "QUERY FADE TIME FADE RATE"},
    {"QUERY GROUPS 0", "QUERY GROUPS 0 7"},
    {"QUERY GROUPS 8", "QUERY GROUPS 8 15"},
    {"QUERY RANDOM ADDRESS HIGH", "QUERY RANDOM ADDRESS H"},
    {"QUERY RANDOM ADDRESS MIDDLE", "QUERY RANDOM ADDRESS M"},
    {"QUERY RANDOM ADDRESS LOW", "QUERY RANDOM ADDRESS L"},
    {"DATA TRANSFER REGISTER", "DTR0"},
    {"DTR", "DTR0"},
    {"SET DTR", "DTR0"},
    {"SET DTR0", "DTR0"},
    {"SET DTR1", "DTR1"},
    {"SET DTR2", "DTR2"},
    {"INITIALIZE", "INITIALISE"},
    {"RANDOMIZE", "RANDOMISE"},
    {"SEARCHADDR H", "SEARCHADDRH"},
    {"SEARCHADDR M", "SEARCHADDRM"},
    {"SEARCHADDR L", "SEARCHADDRL"},
};

bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

char to_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Upper case, every run of other characters becomes one space, trimmed.
std::string normalise(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  for (char c : text) {
    if (is_alnum(c)) {
      if (pending_space && !out.empty()) out.push_back(' ');
      pending_space = false;
      out.push_back(to_upper(c));
    } else {
      pending_space = true;
    }
  }
  return out;
}

// Whether `raw` normalises to `normalised`, without allocating.
bool same_name(std::string_view raw, std::string_view normalised) {
  size_t i = 0;
  bool pending_space = false;
  for (char c : raw) {
    if (!is_alnum(c)) {
      pending_space = true;
      continue;
    }
    if (pending_space && i > 0) {
      if (i >= normalised.size() || normalised[i] != ' ') return false;
      ++i;
    }
    pending_space = false;
    if (i >= normalised.size() || normalised[i] != to_upper(c)) return false;
    ++i;
  }
  return i == normalised.size();
}

const Command* find_normalised(std::string_view name) {
  for (const Command& c : kCommands) {
    if (same_name(c.name, name)) return &c;
  }
  for (const Alias& a : kAliases) {
    if (a.alias == name) return find_normalised(a.name);
  }
  return nullptr;
}

// Decimal, 0x-prefixed hexadecimal or h-suffixed hexadecimal, 0-255.
std::optional<unsigned> parse_number(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  } else if (text.size() > 1 && (text.back() == 'h' || text.back() == 'H')) {
    text.remove_suffix(1);
    base = 16;
  }
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > 255) {
    return std::nullopt;
  }
  return value;
}

std::string hex_byte(uint8_t b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", b);
  return buf;
}

}  // namespace

std::span<const Command> all_commands() noexcept { return kCommands; }

const Command* find_command(std::string_view name) noexcept {
  try {
    return find_normalised(normalise(name));
  } catch (...) {  // allocation failure
    return nullptr;
  }
}

std::optional<ParsedCommand> parse_command(std::string_view text) noexcept {
  try {
    // The whole text first: names such as "QUERY GROUPS 0-7" end in digits.
    std::string trimmed(text);
    while (!trimmed.empty() &&
           (trimmed.back() == ' ' || trimmed.back() == '\t'))
      trimmed.pop_back();
    const std::string name = normalise(trimmed);
    if (const Command* c = find_normalised(name)) {
      if (c->parameter == Parameter::None) return ParsedCommand{c, 0};
      return std::nullopt;  // the parameter is missing
    }
    // Otherwise the last word of the raw text is the parameter; cut it at
    // the last space or underscore.
    const size_t cut = trimmed.find_last_of(" _\t");
    if (cut == std::string::npos) return std::nullopt;
    const Command* c = find_normalised(normalise(trimmed.substr(0, cut)));
    const auto value = parse_number(std::string_view(trimmed).substr(cut + 1));
    if (c == nullptr || !value || c->parameter == Parameter::None) {
      return std::nullopt;
    }
    if (c->parameter != Parameter::Data && *value > 15) return std::nullopt;
    return ParsedCommand{c, static_cast<uint8_t>(*value)};
  } catch (...) {
    return std::nullopt;
  }
}

const Command* find_standard_command(uint8_t opcode) noexcept {
  for (const Command& c : kCommands) {
    if (c.kind == CommandKind::Standard && opcode >= c.code &&
        opcode < c.code + c.span()) {
      return &c;
    }
  }
  return nullptr;
}

const Command* find_special_command(uint8_t address_byte) noexcept {
  for (const Command& c : kCommands) {
    if (c.kind == CommandKind::Special && c.code == address_byte) return &c;
  }
  return nullptr;
}

const Command* special_command_in(uint8_t address_byte,
                                  uint8_t second_byte) noexcept {
  const Command* c = find_special_command(address_byte);
  if (c != nullptr && c->parameter == Parameter::None && second_byte != 0) {
    return nullptr;
  }
  return c;
}

std::span<const ExtendedCommand> extended_commands(
    uint8_t device_type) noexcept {
  switch (device_type) {
    case led::kDeviceType:
      return kLedCommands;
    case colour::kDeviceType:
      return kColourCommands;
    default:
      return {};
  }
}

const ExtendedCommand* find_extended_command(uint8_t device_type,
                                             uint8_t opcode) noexcept {
  for (const ExtendedCommand& c : extended_commands(device_type)) {
    if (c.opcode == opcode) return &c;
  }
  return nullptr;
}

DecodedAddress decode_address_byte(uint8_t byte) noexcept {
  const bool s = (byte & 1) != 0;
  if ((byte & 0x80) == 0) {
    return {Address::short_address(static_cast<uint8_t>(byte >> 1)), s};
  }
  if (byte <= 0x9F) {
    return {Address::group(static_cast<uint8_t>((byte >> 1) & 0x0F)), s};
  }
  if (byte >= 0xFE) return {Address::broadcast(), s};
  if (byte >= 0xFC) return {Address::broadcast_unaddressed(), s};
  if (byte <= 0xDF && s) return {{AddressKind::Special, byte}, true};
  return {{AddressKind::Reserved, byte}, s};
}

std::optional<Address> parse_address(std::string_view text) noexcept {
  try {
    for (char c : text) {
      if (!is_alnum(c) && c != ' ' && c != '_' && c != '\t') {
        return std::nullopt;  // "-1", "5.0"
      }
    }
    const std::string t = normalise(text);
    auto number_after = [&](std::string_view prefix,
                            unsigned limit) -> std::optional<uint8_t> {
      if (t.size() <= prefix.size() || t.compare(0, prefix.size(), prefix))
        return std::nullopt;
      std::string_view rest = std::string_view(t).substr(prefix.size());
      if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      unsigned v = 0;
      auto [end, ec] =
          std::from_chars(rest.data(), rest.data() + rest.size(), v);
      if (rest.empty() || ec != std::errc() ||
          end != rest.data() + rest.size() || v > limit)
        return std::nullopt;
      return static_cast<uint8_t>(v);
    };
    if (t == "BC" || t == "BROADCAST") return Address::broadcast();
    if (t == "BCU" || t == "UNADDRESSED" || t == "BROADCAST UNADDRESSED") {
      return Address::broadcast_unaddressed();
    }
    if (auto v = number_after("", 63)) return Address::short_address(*v);
    for (std::string_view p : {"SHORT", "A", "S"}) {
      if (auto v = number_after(p, 63)) return Address::short_address(*v);
    }
    for (std::string_view p : {"GROUP", "G"}) {
      if (auto v = number_after(p, 15)) return Address::group(*v);
    }
  } catch (...) {
  }
  return std::nullopt;
}

std::string address_text(Address address) {
  switch (address.kind) {
    case AddressKind::Short:
      return "short " + std::to_string(address.number);
    case AddressKind::Group:
      return "group " + std::to_string(address.number);
    case AddressKind::Broadcast:
      return "broadcast";
    case AddressKind::BroadcastUnaddressed:
      return "broadcast unaddressed";
    case AddressKind::Special:
      return "special";
    case AddressKind::Reserved:
      break;
  }
  return "reserved address " + hex_byte(address.number);
}

std::array<uint8_t, 2> encode_frame(Address address, const Command& command,
                                    uint8_t value) noexcept {
  switch (command.kind) {
    case CommandKind::DirectArcPower:
      return {address_byte(address, true), value};
    case CommandKind::Special:
      return {command.code,
              command.parameter == Parameter::Data ? value : uint8_t{0}};
    case CommandKind::Standard:
      break;
  }
  uint8_t opcode = command.code;
  if (command.span() > 1)
    opcode = static_cast<uint8_t>(opcode + (value & 0x0F));
  return {address_byte(address, false), opcode};
}

std::string describe_forward_frame(const uint8_t* data, unsigned bit_count) {
  if (data == nullptr || bit_count == 0) return "empty frame";
  if (bit_count == 24) return device::describe_device_frame(data);
  if (bit_count != 16) {
    std::string text = std::to_string(bit_count) + "-bit frame";
    const unsigned bytes = std::min(5u, (bit_count + 7) / 8);
    for (unsigned i = 0; i < bytes; ++i) text += " " + hex_byte(data[i]);
    return text;
  }
  const DecodedAddress decoded = decode_address_byte(data[0]);
  const uint8_t second = data[1];
  if (decoded.address.kind == AddressKind::Special) {
    const Command* c = special_command_in(data[0], second);
    if (c == nullptr) {
      return "special: reserved " + hex_byte(data[0]) + " " + hex_byte(second);
    }
    std::string text = "special: " + std::string(c->name);
    if (c->parameter == Parameter::Data) text += " " + hex_byte(second);
    return text;
  }
  std::string text = address_text(decoded.address) + ": ";
  if (decoded.address.kind == AddressKind::Reserved) {
    return text + hex_byte(second);
  }
  if (!decoded.selector) {
    text += "DAPC " + std::to_string(second);
    if (second == 0xFF) text += " (MASK)";
    return text;
  }
  const Command* c = find_standard_command(second);
  if (c == nullptr) {
    return text +
           (second >= kFirstExtendedOpcode ? "APPLICATION EXTENDED COMMAND "
                                           : "reserved command ") +
           hex_byte(second);
  }
  text += c->name;
  if (c->span() > 1) text += " " + std::to_string(second - c->code);
  return text;
}

}  // namespace kovra62386::dali
