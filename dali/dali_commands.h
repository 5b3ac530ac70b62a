// The IEC 62386-102 (edition 2) command table, address byte helpers and a
// decoder that turns a forward frame into words.
//
// A 16-bit forward frame to control gear is two bytes: the address byte,
// then the opcode (or, for the special commands, a data byte):
//   0AAAAAAS  short address A (0-63)
//   100GGGGS  group G (0-15)
//   1111110S  broadcast to gear without a short address
//   1111111S  broadcast
//   101CCCC1, 110CCCC1  special command; the second byte is its data
// S = 0: the second byte is a direct arc power level (DAPC);
// S = 1: the second byte is a command opcode.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kovra62386::dali {

// What the second byte of the frame, or the opcode itself, carries.
enum class Parameter : uint8_t {
  None,
  Scene,  // opcodes code..code+15 name scenes 0-15
  Group,  // opcodes code..code+15 name groups 0-15
  Data,   // the second byte is a value (DAPC level, special command data)
};

enum class CommandKind : uint8_t {
  DirectArcPower,  // DAPC: selector bit 0, second byte is the level
  Standard,        // addressed command, second byte is the opcode
  Special,         // the address byte is the command, second byte data
};

struct Command {
  std::string_view name;  // upper case, as the standard writes it
  CommandKind kind;
  uint8_t code;  // opcode (Standard), address byte (Special), 0 for DAPC
  Parameter parameter;
  bool send_twice;  // takes effect only when received twice within 100 ms
  bool query;       // gear may answer with a backward frame

  // Number of consecutive opcodes the entry covers (16 for scene/group).
  unsigned span() const noexcept {
    return parameter == Parameter::Scene || parameter == Parameter::Group ? 16
                                                                          : 1;
  }
};

// Every opcode by its name: gear::kQueryActualLevel (selector bit 1; the
// scene and group commands name their first opcode, GO TO SCENE 5 is
// gear::kGoToScene + 5) and special::kTerminate (the address byte).
namespace gear {
#define DALI_GEAR(id, name, code, parameter, twice, answer) \
  inline constexpr uint8_t k##id = code;
#include "dali/gear_commands.def"
}  // namespace gear
namespace special {
#define DALI_SPECIAL(id, name, code, parameter, twice, answer) \
  inline constexpr uint8_t k##id = code;
#include "dali/gear_commands.def"
// INITIALISE data: every gear, or those without a short address (else one
// short address, as short_address_data() writes it).
inline constexpr uint8_t kInitialiseAll = 0x00;
inline constexpr uint8_t kInitialiseUnaddressed = 0xFF;
}  // namespace special

// The QUERY STATUS bits: kStatusLampOn, kStatusPowerCycleSeen, ...
#define DALI_STATUS_BIT(id, bit, words) \
  inline constexpr uint8_t kStatus##id = 1u << bit;
#include "dali/gear_commands.def"

// The scene or group number that `opcode` names when it lies in the 16
// opcodes of the scene or group command `first` (gear::kGoToScene,
// gear::kAddToGroup, ...); nullopt otherwise.
constexpr std::optional<uint8_t> number_in(uint8_t opcode,
                                           uint8_t first) noexcept {
  if (opcode < first || opcode >= first + 16) return std::nullopt;
  return static_cast<uint8_t>(opcode - first);
}

// The answer YES to a yes/no query; NO is no answer at all.
inline constexpr uint8_t kYes = 0xFF;
// "MASK" as a level: unknown, or no level (a scene the gear is not in).
inline constexpr uint8_t kMaskLevel = 0xFF;

// Opcodes from here on are application extended commands: they mean what
// the device type enabled just before says.
inline constexpr uint8_t kFirstExtendedOpcode = 0xE0;

// Every command, DAPC first, then the standard commands by opcode, then the
// special commands by address byte.
std::span<const Command> all_commands() noexcept;

// Names are as the standard writes them ("QUERY RANDOM ADDRESS (H)",
// "QUERY GROUPS 0-7", "QUERY FADE TIME/FADE RATE").
//
// Case-insensitive; spaces, underscores and punctuation are equivalent
// ("recall_max_level", "QUERY RANDOM ADDRESS (H)", "query random address
// h"). Accepts a few names of the first edition as aliases ("STORE DTR AS
// MAX LEVEL", "QUERY PHYSICAL MINIMUM LEVEL", "DIRECT ARC POWER CONTROL").
// Scene and group commands are found by their bare name ("GO TO SCENE").
const Command* find_command(std::string_view name) noexcept;

// A name with its parameter: "GO TO SCENE 5", "ADD_TO_GROUP_3",
// "DAPC 200", "DTR0 0x10", "SEARCHADDRH 12". `value` is the scene or group
// number (0-15) or the data byte; 0 when the command takes none.
struct ParsedCommand {
  const Command* command = nullptr;
  uint8_t value = 0;
};
std::optional<ParsedCommand> parse_command(std::string_view text) noexcept;

// The standard command (selector bit 1) with this opcode, including the
// scene/group ranges; nullptr for reserved and application extended
// opcodes.
const Command* find_standard_command(uint8_t opcode) noexcept;

// The special command with this address byte; nullptr when the byte is not
// one.
const Command* find_special_command(uint8_t address_byte) noexcept;

// The special command that a frame carries: as find_special_command, but
// the commands without a data byte (TERMINATE, RANDOMISE, COMPARE,
// WITHDRAW, PING, QUERY SHORT ADDRESS) are commands only with 0x00 as
// their second byte; with any other byte the frame is no command at all.
const Command* special_command_in(uint8_t address_byte,
                                  uint8_t second_byte) noexcept;

// ---- Application extended commands ----------------------------------------
//
// Opcodes 0xE0-0xFF mean what the device type enabled just before (ENABLE
// DEVICE TYPE) says. The gear and the tool share these tables.

struct ExtendedCommand {
  std::string_view name;
  uint8_t opcode;
  bool send_twice;
  bool query;
};

// The commands of device type 6 (LED modules, IEC 62386-207) and 8 (colour
// control, IEC 62386-209, colour temperature only); empty for other types.
std::span<const ExtendedCommand> extended_commands(
    uint8_t device_type) noexcept;
const ExtendedCommand* find_extended_command(uint8_t device_type,
                                             uint8_t opcode) noexcept;

#define DALI_EXTENDED(ns, device_type)                \
  namespace ns {                                      \
  inline constexpr uint8_t kDeviceType = device_type; \
  }
#include "dali/gear_commands.def"

namespace led {  // device type 6
#define DALI_LED(id, name, code, twice, answer) \
  inline constexpr uint8_t k##id = code;
#include "dali/gear_commands.def"
}  // namespace led

namespace colour {  // device type 8
#define DALI_COLOUR(id, name, code, twice, answer) \
  inline constexpr uint8_t k##id = code;
#include "dali/gear_commands.def"

// What QUERY COLOUR VALUE reports, chosen by DTR0. The answer is the high
// byte; the low byte goes to DTR0.
inline constexpr uint8_t kValueColourTemperature = 2;
inline constexpr uint8_t kValueCoolest = 128;
inline constexpr uint8_t kValuePhysicalCoolest = 129;
inline constexpr uint8_t kValueWarmest = 130;
inline constexpr uint8_t kValuePhysicalWarmest = 131;
inline constexpr uint8_t kValueTemporaryColourTemperature = 194;
inline constexpr uint8_t kValueTemporaryColourType = 207;
inline constexpr uint8_t kValueReportColourTemperature = 210;
inline constexpr uint8_t kValueReportColourType = 223;

// Which limit STORE COLOUR TEMPERATURE Tc LIMIT sets, chosen by DTR2.
inline constexpr uint8_t kLimitCoolest = 0;
inline constexpr uint8_t kLimitWarmest = 1;
inline constexpr uint8_t kLimitPhysicalCoolest = 2;
inline constexpr uint8_t kLimitPhysicalWarmest = 3;

inline constexpr uint8_t kColourTypeTc = 0x20;  // colour type, status bit 5
inline constexpr uint8_t kStatusTcOutOfRange = 0x02;
inline constexpr uint8_t kFeatureTcCapable = 0x02;
inline constexpr uint16_t kMirekMask = 0xFFFF;  // "MASK": no value

// Colour temperature in mirek (micro reciprocal degrees) and kelvin.
constexpr uint16_t mirek_from_kelvin(unsigned kelvin) noexcept {
  return kelvin == 0
             ? kMirekMask
             : static_cast<uint16_t>((1'000'000u + kelvin / 2) / kelvin);
}
constexpr unsigned kelvin_from_mirek(uint16_t mirek) noexcept {
  return mirek == 0 ? 0 : (1'000'000u + mirek / 2u) / mirek;
}
}  // namespace colour

// ---- Addresses ------------------------------------------------------------

inline constexpr uint8_t kNoShortAddress = 0xFF;  // "MASK": no short address

enum class AddressKind : uint8_t {
  Short,
  Group,
  Broadcast,
  BroadcastUnaddressed,  // gear without a short address
  Special,               // address byte is a special command
  Reserved,
};

struct Address {
  AddressKind kind = AddressKind::Broadcast;
  uint8_t number = 0;  // short address 0-63 or group 0-15

  static constexpr Address short_address(uint8_t a) {
    return {AddressKind::Short, a};
  }
  static constexpr Address group(uint8_t g) { return {AddressKind::Group, g}; }
  static constexpr Address broadcast() { return {AddressKind::Broadcast, 0}; }
  static constexpr Address broadcast_unaddressed() {
    return {AddressKind::BroadcastUnaddressed, 0};
  }
  friend bool operator==(const Address&, const Address&) = default;
};

// The address byte of a Short/Group/Broadcast/BroadcastUnaddressed address:
// selector bit 0 for DAPC, 1 for a command. Short addresses above 63 and
// groups above 15 are masked to their field.
constexpr uint8_t address_byte(Address address, bool dapc) noexcept {
  const uint8_t s = dapc ? 0 : 1;
  switch (address.kind) {
    case AddressKind::Short:
      return static_cast<uint8_t>(((address.number & 0x3F) << 1) | s);
    case AddressKind::Group:
      return static_cast<uint8_t>(0x80 | ((address.number & 0x0F) << 1) | s);
    case AddressKind::BroadcastUnaddressed:
      return static_cast<uint8_t>(0xFC | s);
    case AddressKind::Broadcast:
    default:
      return static_cast<uint8_t>(0xFE | s);
  }
}

// The form 0AAAAAA1 that SET SHORT ADDRESS, PROGRAM SHORT ADDRESS, VERIFY
// SHORT ADDRESS and INITIALISE use for a short address.
constexpr uint8_t short_address_data(uint8_t a) noexcept {
  return static_cast<uint8_t>(((a & 0x3F) << 1) | 1);
}

// The short address in a data byte of that form; nullopt otherwise.
constexpr std::optional<uint8_t> short_address_from_data(
    uint8_t data) noexcept {
  if ((data & 0x81) != 0x01) return std::nullopt;
  return static_cast<uint8_t>(data >> 1);
}

struct DecodedAddress {
  Address address;
  bool selector = false;  // true: command; false: DAPC (not for Special)
};
DecodedAddress decode_address_byte(uint8_t byte) noexcept;

// "5", "A5", "S5", "SHORT 5" short; "G3", "GROUP 3"; "BC", "BROADCAST";
// "BCU", "UNADDRESSED" (case-insensitive). nullopt for anything else or a
// number out of range.
std::optional<Address> parse_address(std::string_view text) noexcept;

// "short 5", "group 3", "broadcast", "broadcast unaddressed".
std::string address_text(Address address);

// The two bytes of a frame: DAPC (value = level), a standard command
// (value = scene/group number for ranged commands, else ignored) or a
// special command (address ignored, value = data byte).
std::array<uint8_t, 2> encode_frame(Address address, const Command& command,
                                    uint8_t value = 0) noexcept;

// Human text for a forward frame: "short 3: QUERY ACTUAL LEVEL",
// "group 2: OFF", "broadcast: DAPC 254", "short 1: GO TO SCENE 4",
// "special: DTR0 0x05", "special: TERMINATE"; 24-bit frames as
// device::describe_device_frame() tells them, other frames as their bytes.
// Never reads more than (bit_count + 7) / 8 bytes.
std::string describe_forward_frame(const uint8_t* data, unsigned bit_count);

}  // namespace kovra62386::dali
