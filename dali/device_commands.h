// IEC 62386-103 control devices on 24-bit forward frames: the command set a
// controller uses, the event messages that input devices send by
// themselves, and a decoder that turns either into words.
//
// A 24-bit command is three bytes: address byte, instance byte, opcode.
//   0AAAAAA1  short address A     10GGGGG1  device group G (0-31)
//   11111101  broadcast unaddressed  11111111  broadcast
//   11000001  special command: the instance byte names it, the third byte
//             is its data; 0xC5, 0xC7, 0xC9 are special commands as well.
// The instance byte of a command:
//   000NNNNN instance number N   100GGGGG instance group G
//   110TTTTT instance type T     11111110 the device itself
//   11111111 every instance      (feature forms are not simulated)
//
// An event message has bit 16 (the address byte's lowest bit) clear; its
// last 10 bits are the event information, the rest names the source by one
// of five schemes (see EventScheme).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kovra62386::dali::device {

// ---- Address and instance bytes ------------------------------------------
inline constexpr uint8_t kBroadcast = 0xFF;
inline constexpr uint8_t kBroadcastUnaddressed = 0xFD;
inline constexpr uint8_t kSpecial = 0xC1;
inline constexpr uint8_t kDirectWriteMemory = 0xC5;
inline constexpr uint8_t kDtr1Dtr0 = 0xC7;
inline constexpr uint8_t kDtr2Dtr1 = 0xC9;
// An event frame from this address byte is a power notification.
inline constexpr uint8_t kPowerNotification = 0xFE;
inline constexpr uint8_t kInstanceDevice = 0xFE;
inline constexpr uint8_t kInstanceBroadcast = 0xFF;

// What the address byte of a 24-bit command names.
struct DeviceAddress {
  enum class Kind : uint8_t {
    Short,                 // 0AAAAAA1
    Group,                 // 10GGGGG1, device groups 0-31
    Broadcast,             // 11111111
    BroadcastUnaddressed,  // 11111101
    Other,                 // special commands, reserved, events
  };
  Kind kind = Kind::Other;
  uint8_t number = 0;  // the short address or the device group
};
constexpr DeviceAddress decode_device_address(uint8_t byte) noexcept {
  using Kind = DeviceAddress::Kind;
  if (byte == kBroadcast) return {Kind::Broadcast, 0};
  if (byte == kBroadcastUnaddressed) return {Kind::BroadcastUnaddressed, 0};
  if ((byte & 0x81) == 0x01) {
    return {Kind::Short, static_cast<uint8_t>((byte >> 1) & 0x3F)};
  }
  if ((byte & 0xC1) == 0x81) {
    return {Kind::Group, static_cast<uint8_t>((byte >> 1) & 0x1F)};
  }
  return {Kind::Other, byte};
}

// What the instance byte of a command names.
struct InstanceSelector {
  enum class Kind : uint8_t {
    Number,   // 000NNNNN
    Group,    // 100GGGGG, instance groups 0-31
    Type,     // 110TTTTT
    Device,   // kInstanceDevice: a device command
    Every,    // kInstanceBroadcast
    Feature,  // anything else: feature addressing, not simulated
  };
  Kind kind = Kind::Feature;
  uint8_t number = 0;  // the instance number, group or type
};
constexpr InstanceSelector decode_instance_byte(uint8_t byte) noexcept {
  using Kind = InstanceSelector::Kind;
  if (byte == kInstanceDevice) return {Kind::Device, 0};
  if (byte == kInstanceBroadcast) return {Kind::Every, 0};
  const auto field = static_cast<uint8_t>(byte & 0x1F);
  switch (byte & 0xE0) {
    case 0x00:
      return {Kind::Number, field};
    case 0x80:
      return {Kind::Group, field};
    case 0xC0:
      return {Kind::Type, field};
    default:
      return {Kind::Feature, byte};
  }
}

constexpr uint8_t short_address_byte(uint8_t a) noexcept {
  return static_cast<uint8_t>(((a & 0x3F) << 1) | 1);
}
constexpr uint8_t instance_number_byte(uint8_t n) noexcept {
  return static_cast<uint8_t>(n & 0x1F);
}

// ---- Special commands: the instance byte after kSpecial ------------------
namespace special {
#define DALI_DEVICE_SPECIAL(id, name, code, parameter) \
  inline constexpr uint8_t k##id = code;
#include "dali/device_commands.def"
// INITIALISE data: every device, or those without a short address.
inline constexpr uint8_t kInitialiseAll = 0xFF;
inline constexpr uint8_t kInitialiseUnaddressed = 0x7F;
}  // namespace special

// ---- Device commands (instance byte kInstanceDevice) ---------------------
namespace op {
#define DALI_DEVICE(id, name, code, target, twice, answer) \
  inline constexpr uint8_t k##id = code;
#include "dali/device_commands.def"
}  // namespace op

// The QUERY DEVICE STATUS bits (IEC 62386-103).
namespace status {
inline constexpr uint8_t kInputDeviceError = 0x01;
inline constexpr uint8_t kQuiescent = 0x02;
inline constexpr uint8_t kNoShortAddress = 0x04;
inline constexpr uint8_t kPowerCycleSeen = 0x20;
}  // namespace status

// One entry of the command table, for names and the decoder.
struct DeviceCommand {
  std::string_view name;
  uint8_t opcode;
  bool instance;    // an instance command (else a device command)
  bool send_twice;  // takes effect only when received twice within 100 ms
  bool query;       // may be answered
};
// nullptr for reserved opcodes.
const DeviceCommand* find_device_command(uint8_t opcode) noexcept;

// ---- Instances and events -------------------------------------------------
enum class InstanceType : uint8_t {
  Generic = 0,
  PushButton = 1,     // IEC 62386-301
  AbsoluteInput = 2,  // IEC 62386-302
  Occupancy = 3,      // IEC 62386-303
  LightSensor = 4,    // IEC 62386-304
};
// "push button", "occupancy sensor", "light sensor", "instance type 9".
std::string instance_type_name(uint8_t type);

// Event information (10 bits) of a push button.
namespace button {
inline constexpr uint16_t kReleased = 0x00;
inline constexpr uint16_t kPressed = 0x01;
inline constexpr uint16_t kShortPress = 0x02;
inline constexpr uint16_t kDoublePress = 0x05;
inline constexpr uint16_t kLongPressStart = 0x09;
inline constexpr uint16_t kLongPressRepeat = 0x0B;
inline constexpr uint16_t kLongPressStop = 0x0C;
inline constexpr uint16_t kFree = 0x0E;
inline constexpr uint16_t kStuck = 0x0F;
// Event filter bits.
inline constexpr uint32_t kFilterReleased = 1u << 0;
inline constexpr uint32_t kFilterPressed = 1u << 1;
inline constexpr uint32_t kFilterShortPress = 1u << 2;
inline constexpr uint32_t kFilterDoublePress = 1u << 3;
inline constexpr uint32_t kFilterLongPressStart = 1u << 4;
inline constexpr uint32_t kFilterLongPressRepeat = 1u << 5;
inline constexpr uint32_t kFilterLongPressStop = 1u << 6;
inline constexpr uint32_t kFilterStuckFree = 1u << 7;
}  // namespace button

// Event information of an occupancy sensor: bit 1 occupied, bit 0
// movement, bit 2 a repeat of the state.
namespace occupancy {
inline constexpr uint16_t kMovement = 0x01;
inline constexpr uint16_t kOccupied = 0x02;
inline constexpr uint16_t kRepeat = 0x04;
inline constexpr uint32_t kFilterOccupied = 1u << 0;
inline constexpr uint32_t kFilterVacant = 1u << 1;
inline constexpr uint32_t kFilterRepeat = 1u << 2;
inline constexpr uint32_t kFilterMovement = 1u << 3;
inline constexpr uint32_t kFilterNoMovement = 1u << 4;
}  // namespace occupancy

// A light sensor's event information is its illuminance (10 bits).
namespace light {
inline constexpr uint32_t kFilterIlluminance = 1u << 0;
inline constexpr uint16_t kMaxValue = 0x3FF;
}  // namespace light

// How an event names its source.
enum class EventScheme : uint8_t {
  Instance = 0,        // instance type and number
  Device = 1,          // short address and instance type
  DeviceInstance = 2,  // short address and instance number
  DeviceGroup = 3,     // device group and instance type
  InstanceGroup = 4,   // instance group and instance type
};
inline constexpr uint8_t kEventSchemeCount = 5;

struct EventSource {
  EventScheme scheme = EventScheme::Instance;
  uint8_t short_address = 0;    // Device, DeviceInstance
  uint8_t group = 0;            // DeviceGroup (0-31), InstanceGroup (0-31)
  uint8_t instance_type = 0;    // Instance, Device, DeviceGroup, InstanceGroup
  uint8_t instance_number = 0;  // Instance, DeviceInstance
};

struct DeviceEvent {
  EventSource source;
  uint16_t info = 0;  // 10 bits
};

std::array<uint8_t, 3> encode_event(const DeviceEvent& event) noexcept;
// True for a 24-bit frame that is an event message (bit 16 clear).
constexpr bool is_event_frame(const uint8_t* data) noexcept {
  return (data[0] & 0x01) == 0;
}
// nullopt for frames that are not event messages (or a reserved form).
std::optional<DeviceEvent> decode_event(const uint8_t* data) noexcept;

// "pressed", "long press start", "occupied", "vacant", "illuminance 480";
// "event 0x123" when the type gives it no name.
std::string event_text(uint8_t instance_type, uint16_t info);

// Finds the instance type of an instance of a device when an event does
// not carry it (scheme DeviceInstance); nullopt when unknown.
using InstanceTypeLookup = std::function<std::optional<uint8_t>(
    uint8_t short_address, uint8_t instance_number)>;

// "button 2 of device 7: pressed", "occupancy sensor of device 3:
// occupied", "light sensor 0 (any device): illuminance 480".
std::string describe_event(const DeviceEvent& event,
                           const InstanceTypeLookup& lookup = {});

// Any 24-bit frame in words: events as above, commands as
// "device 7, instance 2: QUERY INSTANCE TYPE", "broadcast, device:
// QUERY DEVICE STATUS", "special: INITIALISE 0x7F".
std::string describe_device_frame(const uint8_t* data,
                                  const InstanceTypeLookup& lookup = {});

}  // namespace kovra62386::dali::device
