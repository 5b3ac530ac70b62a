#include "cli/bridge/light.h"

#include <algorithm>
#include <cmath>

namespace kovra62386::cli::bridge {
namespace {

using nlohmann::json;

// The highest mirek a gear can take; 0xFFFF is MASK.
constexpr uint16_t kMaxMirek = dali::colour::kMirekMask - 1;
constexpr double kMaxTransitionSeconds = 3600.0;

bool level_known(const std::optional<uint8_t>& level) {
  return level && *level != dali::kMaskLevel;
}

GearFrame command_frame(LightTarget target, uint8_t opcode,
                        bool twice = false) {
  return {dali::address_byte(target.address, false), opcode, twice};
}
GearFrame special_frame(uint8_t address_byte, uint8_t data) {
  return {address_byte, data, false};
}

// Whole numbers only: JSON 12.0 is a number but not an arc power level.
std::optional<long long> whole_number(const json& value) {
  if (!value.is_number_integer()) return std::nullopt;
  return value.get<long long>();
}

}  // namespace

std::string GearFrame::text() const {
  const uint8_t bytes[] = {address_byte, second_byte};
  return dali::describe_forward_frame(bytes, 16);
}

uint8_t nearest_fade_time(double seconds) noexcept {
  uint8_t best = 0;
  double best_gap = std::abs(seconds);
  for (uint8_t code = 1; code <= 15; ++code) {
    const double gap = std::abs(seconds - 0.5 * std::sqrt(std::pow(2.0, code)));
    if (gap < best_gap) {
      best = code;
      best_gap = gap;
    }
  }
  return best;
}

Result<LightCommand> parse_light_set(std::string_view topic, LightTarget target,
                                     std::string_view payload,
                                     const SetContext& context) {
  const auto fail = [&](std::string problem) -> Result<LightCommand> {
    return BridgeError{std::string(topic), std::move(problem)};
  };
  const json j = json::parse(payload, nullptr, false);
  if (j.is_discarded()) return fail("the payload is not JSON");
  if (!j.is_object()) return fail("the payload must be a JSON object");

  std::optional<bool> on;
  std::optional<uint8_t> brightness;
  std::optional<uint16_t> mirek;
  std::optional<uint8_t> fade;
  for (const auto& [key, value] : j.items()) {
    if (key == "state") {
      if (value == "ON") {
        on = true;
      } else if (value == "OFF") {
        on = false;
      } else {
        return fail("state must be \"ON\" or \"OFF\", not " + value.dump());
      }
    } else if (key == "brightness") {
      const auto n = whole_number(value);
      if (!n || *n < 0 || *n > 254) {
        return fail("brightness must be a whole number from 0 to 254, not " +
                    value.dump());
      }
      brightness = static_cast<uint8_t>(*n);
    } else if (key == "color_temp") {
      const auto n = whole_number(value);
      if (!n || *n < 1 || *n > kMaxMirek) {
        return fail("color_temp must be mireds from 1 to 65534, not " +
                    value.dump());
      }
      mirek = static_cast<uint16_t>(*n);
    } else if (key == "transition") {
      if (!value.is_number() || !(value.get<double>() >= 0.0) ||
          value.get<double>() > kMaxTransitionSeconds) {
        return fail("transition must be seconds from 0 to 3600, not " +
                    value.dump());
      }
      fade = nearest_fade_time(value.get<double>());
    } else {
      return fail("unsupported field \"" + key + "\"");
    }
  }
  if (on == false && brightness) return fail("state OFF with a brightness");
  if (on == false && mirek) return fail("state OFF with a color_temp");
  if (!on && !brightness && !mirek) {
    return fail("nothing to do: no state, brightness or color_temp");
  }
  if (mirek && target.address.kind == dali::AddressKind::Short &&
      !context.colour_temperature) {
    return fail("this gear has no colour temperature (device type 8)");
  }

  // What the payload asks for; a transition's fade time goes around it.
  std::vector<GearFrame> action;
  if (mirek) {
    // The value through DTR0/DTR1, then SET TEMPORARY COLOUR TEMPERATURE and
    // ACTIVATE, each behind ENABLE DEVICE TYPE 8 (IEC 62386-209).
    action.push_back(special_frame(dali::special::kDtr0,
                                   static_cast<uint8_t>(*mirek & 0xFF)));
    action.push_back(
        special_frame(dali::special::kDtr1, static_cast<uint8_t>(*mirek >> 8)));
    action.push_back(special_frame(dali::special::kEnableDeviceType,
                                   dali::colour::kDeviceType));
    action.push_back(
        command_frame(target, dali::colour::kSetTemporaryColourTemperature));
    action.push_back(special_frame(dali::special::kEnableDeviceType,
                                   dali::colour::kDeviceType));
    action.push_back(command_frame(target, dali::colour::kActivate));
  }
  if (brightness) {
    action.push_back(
        {dali::address_byte(target.address, true), *brightness, false});
  } else if (on == false) {
    action.push_back(command_frame(target, dali::gear::kOff));
  } else if (on == true && !context.known_on) {
    action.push_back(command_frame(
        target, context.has_last_active_level ? dali::gear::kGoToLastActiveLevel
                                              : dali::gear::kRecallMaxLevel));
  }

  LightCommand command;
  command.target = target;
  // A command with nothing to send must not stand in for a level still
  // waiting in the queue.
  command.level_only = !mirek && !action.empty();
  if (action.empty()) return command;
  const bool new_fade = fade && fade != context.fade_time;
  auto& frames = command.frames;
  if (new_fade) {
    frames.push_back(special_frame(dali::special::kDtr0, *fade));
    frames.push_back(command_frame(target, dali::gear::kSetFadeTime, true));
  }
  frames.insert(frames.end(), action.begin(), action.end());
  if (new_fade && context.fade_time) {
    frames.push_back(special_frame(dali::special::kDtr0, *context.fade_time));
    frames.push_back(command_frame(target, dali::gear::kSetFadeTime, true));
  }
  return command;
}

json gear_state_payload(const GearState& gear) {
  json j;
  if (!level_known(gear.level)) {
    j["state"] = nullptr;
  } else if (*gear.level == 0) {
    j["state"] = "OFF";
  } else {
    j["state"] = "ON";
    j["brightness"] = *gear.level;
  }
  j["color_mode"] = gear.colour_temperature ? "color_temp" : "brightness";
  if (gear.colour_temperature && gear.mirek &&
      *gear.mirek != dali::colour::kMirekMask && *gear.mirek != 0) {
    j["color_temp"] = *gear.mirek;
  }
  return j;
}

json group_state_payload(std::span<const GearState> members) {
  std::optional<uint8_t> brightest;
  bool all_known = !members.empty();
  for (const GearState& gear : members) {
    if (!level_known(gear.level)) {
      all_known = false;
    } else if (*gear.level > 0) {
      brightest = std::max(brightest.value_or(0), *gear.level);
    }
  }
  json j;
  if (brightest) {
    j["state"] = "ON";
    j["brightness"] = *brightest;
  } else {
    j["state"] = all_known ? json("OFF") : json(nullptr);
  }
  j["color_mode"] = "brightness";
  return j;
}

}  // namespace kovra62386::cli::bridge
