// The Home Assistant JSON light schema on DALI: a `set` payload as the
// forward frames that carry it out, and gear and group state as the
// payload of their `state` topics.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/bridge/topics.h"
#include "kovra62386/frames.hpp"

namespace kovra62386::cli::bridge {

// One 16-bit forward frame to control gear.
struct GearFrame {
  uint8_t address_byte = 0;
  uint8_t second_byte = 0;
  bool send_twice = false;

  WriteFrameRecord record() const {
    return forward_frame(address_byte, second_byte, send_twice);
  }
  std::string text() const;  // "short 3: DAPC 200"
  friend bool operator==(const GearFrame&, const GearFrame&) = default;
};

// What the bridge knows of the target when it maps a `set`; for a group or
// broadcast, what holds for every member (else the defaults).
struct SetContext {
  // ON without brightness: GO TO LAST ACTIVE LEVEL when the gear keeps a
  // last active level (IEC 62386-102 edition 2), else RECALL MAX LEVEL.
  bool has_last_active_level = false;
  // Every member is known to be on: ON without brightness (Home Assistant
  // sends it with a colour change) then leaves the level alone, where
  // RECALL MAX LEVEL would jump to full.
  bool known_on = false;
  // Colour temperature gear (device type 8); a gear without it refuses
  // color_temp. Groups and broadcast take it and let the gear sort it out.
  bool colour_temperature = false;
  // The fade time (0-15) to restore after a `transition`; nullopt leaves
  // the transition's fade time in place.
  std::optional<uint8_t> fade_time;
};

struct LightCommand {
  LightTarget target;
  std::vector<GearFrame> frames;
  // Only the level changes (no colour): a newer level-only command for the
  // same target makes this one moot while it waits (CommandQueue).
  bool level_only = true;
};

// `payload` from `topic` for `target`: {"state": "ON"|"OFF", "brightness":
// 0-254, "color_temp": mireds, "transition": seconds}.
Result<LightCommand> parse_light_set(std::string_view topic, LightTarget target,
                                     std::string_view payload,
                                     const SetContext& context = {});

// The fade time code (0-15) whose fade time (IEC 62386-102: 0.5 s times
// the square root of 2 to the code; 0 none) lies nearest to `seconds`.
uint8_t nearest_fade_time(double seconds) noexcept;

// What the bridge read from one gear; nullopt: unanswered.
struct GearState {
  std::optional<uint8_t> level;     // actual level; 255 (MASK) is unknown
  bool colour_temperature = false;  // device type 8 colour temperature
  std::optional<uint16_t> mirek;    // 0xFFFF (MASK) is unknown
};

// {"state": "ON"|"OFF"|null, "brightness": 1-254, "color_mode": ...,
// "color_temp": mireds}: brightness only when the gear is on at a known
// level; state null when the level is not known.
nlohmann::json gear_state_payload(const GearState& gear);

// A group's state from its members: ON at the brightest member's level
// when any is on, OFF when all are known to be off, else null.
nlohmann::json group_state_payload(std::span<const GearState> members);

}  // namespace kovra62386::cli::bridge
