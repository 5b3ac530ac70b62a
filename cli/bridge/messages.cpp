#include "cli/bridge/messages.h"

#include <cctype>

#include "cli/bus.h"
#include "dali/device_commands.h"

namespace kovra62386::cli::bridge {
namespace {

using nlohmann::json;
namespace device = dali::device;

// An id is for the caller to match replies; a bound keeps replies small.
constexpr std::size_t kMaxIdLength = 128;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const int lower = std::tolower(static_cast<unsigned char>(c));
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

std::string hex_text(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

// Push button events by the names Home Assistant event entities carry.
const char* button_event_key(uint16_t info) {
  switch (info) {
    case device::button::kReleased:
      return "released";
    case device::button::kPressed:
      return "pressed";
    case device::button::kShortPress:
      return "short_press";
    case device::button::kDoublePress:
      return "double_press";
    case device::button::kLongPressStart:
      return "long_press_start";
    case device::button::kLongPressRepeat:
      return "long_press_repeat";
    case device::button::kLongPressStop:
      return "long_press_stop";
    case device::button::kFree:
      return "free";
    case device::button::kStuck:
      return "stuck";
    default:
      return nullptr;
  }
}

}  // namespace

Result<SendRequest> parse_send(std::string_view topic,
                               std::string_view payload) {
  const auto fail = [&](std::string problem) -> Result<SendRequest> {
    return BridgeError{std::string(topic), std::move(problem)};
  };
  const json j = json::parse(payload, nullptr, false);
  if (j.is_discarded()) return fail("the payload is not JSON");
  if (!j.is_object()) return fail("the payload must be a JSON object");
  SendRequest request;
  std::optional<long long> bits;
  bool has_data = false;
  for (const auto& [key, value] : j.items()) {
    if (key == "id") {
      if (!value.is_string() ||
          value.get_ref<const std::string&>().size() > kMaxIdLength) {
        return fail("id must be a string of at most 128 characters");
      }
      request.id = value.get<std::string>();
    } else if (key == "data") {
      const std::string* text = value.get_ptr<const std::string*>();
      if (text == nullptr || text->empty() || text->size() % 2 != 0 ||
          text->size() > 10) {
        return fail("data must be 1 to 5 bytes in hexadecimal (\"0BA0\")");
      }
      for (std::size_t k = 0; k < text->size(); k += 2) {
        const int high = hex_digit((*text)[k]);
        const int low = hex_digit((*text)[k + 1]);
        if (high < 0 || low < 0)
          return fail("data is not hexadecimal: " + *text);
        request.bytes.push_back(static_cast<uint8_t>(high << 4 | low));
      }
      has_data = true;
    } else if (key == "bits") {
      if (!value.is_number_integer())
        return fail("bits must be a whole number");
      bits = value.get<long long>();
    } else if (key == "twice") {
      if (!value.is_boolean()) return fail("twice must be true or false");
      request.send_twice = value.get<bool>();
    } else {
      return fail("unsupported field \"" + key + "\"");
    }
  }
  if (!has_data) return fail("data is missing");
  if (bits && *bits != static_cast<long long>(8 * request.bytes.size())) {
    return fail("bits " + std::to_string(*bits) + " does not match " +
                std::to_string(request.bytes.size()) + " bytes of data");
  }
  return request;
}

json reply_payload(std::string_view id, const SendOutcome& outcome) {
  json j{{"id", id}, {"status", outcome_key(outcome.status)}};
  if (const auto answer = outcome.answer_byte()) j["answer"] = *answer;
  return j;
}

json frame_payload(std::string_view time, std::span<const uint8_t> bytes,
                   std::optional<std::optional<uint8_t>> answer) {
  json j{{"time", time},
         {"bits", 8 * bytes.size()},
         {"data", hex_text(bytes)},
         {"text", dali::describe_forward_frame(
                      bytes.data(), static_cast<unsigned>(8 * bytes.size()))}};
  if (answer) j["answer"] = *answer ? json(**answer) : json(nullptr);
  return j;
}

std::string instance_type_key(uint8_t instance_type) {
  switch (static_cast<device::InstanceType>(instance_type)) {
    case device::InstanceType::PushButton:
      return "push_button";
    case device::InstanceType::Occupancy:
      return "occupancy_sensor";
    case device::InstanceType::LightSensor:
      return "light_sensor";
    case device::InstanceType::AbsoluteInput:
      return "absolute_input";
    default:
      return "instance_type_" + std::to_string(instance_type);
  }
}

json device_event_payload(uint8_t instance, uint8_t instance_type,
                          uint16_t info) {
  json j{{"instance", instance}, {"type", instance_type_key(instance_type)}};
  switch (static_cast<device::InstanceType>(instance_type)) {
    case device::InstanceType::PushButton:
      if (const char* key = button_event_key(info)) {
        j["event"] = key;
        return j;
      }
      break;
    case device::InstanceType::Occupancy:
      if (info > (device::occupancy::kOccupied | device::occupancy::kMovement |
                  device::occupancy::kRepeat)) {
        break;
      }
      j["event"] =
          (info & device::occupancy::kOccupied) ? "occupied" : "vacant";
      j["movement"] = (info & device::occupancy::kMovement) != 0;
      j["repeat"] = (info & device::occupancy::kRepeat) != 0;
      return j;
    case device::InstanceType::LightSensor:
      j["event"] = "illuminance";
      j["value"] = info;
      return j;
    default:
      break;
  }
  // No name for it: the raw event information, as `monitor` shows it.
  j["event"] = "other";
  j["value"] = info;
  return j;
}

json error_payload(const BridgeError& error) {
  return json{{"topic", error.topic}, {"error", error.problem}};
}

std::string payload_text(const json& payload) {
  return payload.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kovra62386::cli::bridge
