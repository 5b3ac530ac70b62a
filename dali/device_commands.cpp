#include "dali/device_commands.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace kovra62386::dali::device {
namespace {

constexpr bool Instance = true;
constexpr bool Device = false;
constexpr bool Twice = true;
constexpr bool Once = false;
constexpr bool Query = true;
constexpr bool NoAnswer = false;
constexpr bool Data = true;
constexpr bool None = false;

constexpr DeviceCommand kCommands[] = {
#define DALI_DEVICE(id, name, code, target, twice, answer) \
  {name, code, target, twice, answer},
#include "dali/device_commands.def"
};

struct SpecialName {
  uint8_t code;
  std::string_view name;
  bool data;  // the third byte is a value worth showing
};
constexpr SpecialName kSpecialNames[] = {
#define DALI_DEVICE_SPECIAL(id, name, code, parameter) {code, name, parameter},
#include "dali/device_commands.def"
};

std::string hex(unsigned value, int digits = 2) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string address_words(uint8_t byte) {
  const DeviceAddress address = decode_device_address(byte);
  switch (address.kind) {
    case DeviceAddress::Kind::Broadcast:
      return "broadcast";
    case DeviceAddress::Kind::BroadcastUnaddressed:
      return "broadcast unaddressed";
    case DeviceAddress::Kind::Short:
      return "device " + std::to_string(address.number);
    case DeviceAddress::Kind::Group:
      return "device group " + std::to_string(address.number);
    case DeviceAddress::Kind::Other:
      break;
  }
  return "reserved address " + hex(byte);
}

std::string instance_words(uint8_t byte) {
  const InstanceSelector selector = decode_instance_byte(byte);
  switch (selector.kind) {
    case InstanceSelector::Kind::Device:
      return "device";
    case InstanceSelector::Kind::Every:
      return "every instance";
    case InstanceSelector::Kind::Number:
      return "instance " + std::to_string(selector.number);
    case InstanceSelector::Kind::Group:
      return "instance group " + std::to_string(selector.number);
    case InstanceSelector::Kind::Type:
      return instance_type_name(selector.number) + " instances";
    case InstanceSelector::Kind::Feature:
      break;
  }
  return "feature " + hex(byte);
}

std::string special_words(const uint8_t* data) {
  const uint8_t address = data[0];
  if (address == kDirectWriteMemory) {
    return "special: DIRECT WRITE MEMORY offset " + hex(data[1]) + " " +
           hex(data[2]);
  }
  if (address == kDtr1Dtr0) {
    return "special: DTR1:DTR0 " + hex(data[1]) + " " + hex(data[2]);
  }
  if (address == kDtr2Dtr1) {
    return "special: DTR2:DTR1 " + hex(data[1]) + " " + hex(data[2]);
  }
  for (const SpecialName& s : kSpecialNames) {
    if (s.code != data[1]) continue;
    std::string text = "special: " + std::string(s.name);
    if (s.data) text += " " + hex(data[2]);
    return text;
  }
  return "special: reserved " + hex(data[1]) + " " + hex(data[2]);
}

}  // namespace

const DeviceCommand* find_device_command(uint8_t opcode) noexcept {
  const auto found =
      std::find_if(std::begin(kCommands), std::end(kCommands),
                   [&](const DeviceCommand& c) { return c.opcode == opcode; });
  return found == std::end(kCommands) ? nullptr : &*found;
}

std::string instance_type_name(uint8_t type) {
  switch (static_cast<InstanceType>(type)) {
    case InstanceType::Generic:
      return "generic instance";
    case InstanceType::PushButton:
      return "push button";
    case InstanceType::AbsoluteInput:
      return "absolute input";
    case InstanceType::Occupancy:
      return "occupancy sensor";
    case InstanceType::LightSensor:
      return "light sensor";
  }
  return "instance type " + std::to_string(type);
}

std::array<uint8_t, 3> encode_event(const DeviceEvent& event) noexcept {
  const EventSource& s = event.source;
  const uint16_t info = event.info & 0x3FF;
  uint8_t first = 0;
  uint8_t middle = 0;  // bits 15-10 of the frame, before the info's top
  switch (s.scheme) {
    case EventScheme::Device:
      first = static_cast<uint8_t>((s.short_address & 0x3F) << 1);
      middle = static_cast<uint8_t>(s.instance_type & 0x1F);
      break;
    case EventScheme::DeviceInstance:
      first = static_cast<uint8_t>((s.short_address & 0x3F) << 1);
      middle = static_cast<uint8_t>(0x20 | (s.instance_number & 0x1F));
      break;
    case EventScheme::DeviceGroup:
      first = static_cast<uint8_t>(0x80 | ((s.group & 0x1F) << 1));
      middle = static_cast<uint8_t>(s.instance_type & 0x1F);
      break;
    case EventScheme::InstanceGroup:
      first = static_cast<uint8_t>(0xC0 | ((s.group & 0x1F) << 1));
      middle = static_cast<uint8_t>(0x20 | (s.instance_type & 0x1F));
      break;
    case EventScheme::Instance:
    default:
      first = static_cast<uint8_t>(0xC0 | ((s.instance_type & 0x1F) << 1));
      middle = static_cast<uint8_t>(s.instance_number & 0x1F);
      break;
  }
  return {first, static_cast<uint8_t>((middle << 2) | (info >> 8)),
          static_cast<uint8_t>(info & 0xFF)};
}

std::optional<DeviceEvent> decode_event(const uint8_t* data) noexcept {
  if (data == nullptr || !is_event_frame(data)) return std::nullopt;
  DeviceEvent event;
  event.info = static_cast<uint16_t>(((data[1] & 0x03) << 8) | data[2]);
  const bool flag = (data[1] & 0x80) != 0;  // bit 15
  const uint8_t low = static_cast<uint8_t>((data[1] >> 2) & 0x1F);
  const uint8_t field = static_cast<uint8_t>((data[0] >> 1) & 0x1F);
  EventSource& s = event.source;
  if ((data[0] & 0x80) == 0) {
    s.short_address = static_cast<uint8_t>((data[0] >> 1) & 0x3F);
    s.scheme = flag ? EventScheme::DeviceInstance : EventScheme::Device;
    (flag ? s.instance_number : s.instance_type) = low;
  } else if ((data[0] & 0xC0) == 0x80) {
    if (flag) return std::nullopt;  // reserved
    s.scheme = EventScheme::DeviceGroup;
    s.group = field;
    s.instance_type = low;
  } else if (data[0] == kPowerNotification) {
    return std::nullopt;  // power notification, not an input event
  } else if (flag) {
    s.scheme = EventScheme::InstanceGroup;
    s.group = field;
    s.instance_type = low;
  } else {
    s.scheme = EventScheme::Instance;
    s.instance_type = field;
    s.instance_number = low;
  }
  return event;
}

std::string event_text(uint8_t instance_type, uint16_t info) {
  switch (static_cast<InstanceType>(instance_type)) {
    case InstanceType::PushButton:
      switch (info) {
        case button::kReleased:
          return "released";
        case button::kPressed:
          return "pressed";
        case button::kShortPress:
          return "short press";
        case button::kDoublePress:
          return "double press";
        case button::kLongPressStart:
          return "long press start";
        case button::kLongPressRepeat:
          return "long press repeat";
        case button::kLongPressStop:
          return "long press stop";
        case button::kFree:
          return "free again";
        case button::kStuck:
          return "stuck";
        default:
          break;
      }
      break;
    case InstanceType::Occupancy: {
      if (info > 0x07) break;
      std::string text = (info & occupancy::kOccupied) ? "occupied" : "vacant";
      if (info & occupancy::kRepeat) text = "still " + text;
      if (info & occupancy::kMovement) text += ", movement";
      return text;
    }
    case InstanceType::LightSensor:
      return "illuminance " + std::to_string(info);
    default:
      break;
  }
  return "event " + hex(info, 3);
}

std::string describe_event(const DeviceEvent& event,
                           const InstanceTypeLookup& lookup) {
  const EventSource& s = event.source;
  std::optional<uint8_t> type;
  std::string source;
  const std::string device = "device " + std::to_string(s.short_address);
  switch (s.scheme) {
    case EventScheme::Instance:
      type = s.instance_type;
      source = instance_type_name(s.instance_type) + " " +
               std::to_string(s.instance_number) + " (device not named)";
      break;
    case EventScheme::Device:
      type = s.instance_type;
      source = instance_type_name(s.instance_type) + " of " + device;
      break;
    case EventScheme::DeviceInstance:
      if (lookup) type = lookup(s.short_address, s.instance_number);
      if (type == static_cast<uint8_t>(InstanceType::PushButton)) {
        source =
            "button " + std::to_string(s.instance_number) + " of " + device;
      } else if (type) {
        source = instance_type_name(*type) + " " +
                 std::to_string(s.instance_number) + " of " + device;
      } else {
        source =
            "instance " + std::to_string(s.instance_number) + " of " + device;
      }
      break;
    case EventScheme::DeviceGroup:
      type = s.instance_type;
      source = instance_type_name(s.instance_type) + " in device group " +
               std::to_string(s.group);
      break;
    case EventScheme::InstanceGroup:
      type = s.instance_type;
      source = instance_type_name(s.instance_type) + " in instance group " +
               std::to_string(s.group);
      break;
  }
  return source + ": " +
         (type ? event_text(*type, event.info) : "event " + hex(event.info, 3));
}

std::string describe_device_frame(const uint8_t* data,
                                  const InstanceTypeLookup& lookup) {
  if (data == nullptr) return "empty frame";
  if (is_event_frame(data)) {
    if (const auto event = decode_event(data)) {
      return describe_event(*event, lookup);
    }
    if (data[0] == kPowerNotification)
      return "power notification " + hex(data[1]) + " " + hex(data[2]);
    return "reserved event " + hex(data[0]) + " " + hex(data[1]) + " " +
           hex(data[2]);
  }
  const uint8_t address = data[0];
  if (address == kSpecial || address == kDirectWriteMemory ||
      address == kDtr1Dtr0 || address == kDtr2Dtr1) {
    return special_words(data);
  }
  std::string text =
      address_words(address) + ", " + instance_words(data[1]) + ": ";
  const DeviceCommand* c = find_device_command(data[2]);
  if (c == nullptr) return text + "reserved command " + hex(data[2]);
  return text + std::string(c->name);
}

}  // namespace kovra62386::dali::device
