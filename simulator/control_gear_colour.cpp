// The device type 8 commands of tunable white colour control gear
// (IEC 62386-209, colour temperature only).
#include <algorithm>

#include "simulator/control_gear.h"
#include "simulator/gear_answers.h"

namespace kovra62386::dali {

uint8_t ColourState::status() const noexcept {
  return static_cast<uint8_t>((out_of_range ? colour::kStatusTcOutOfRange : 0) |
                              colour::kColourTypeTc);
}

std::optional<uint8_t> ControlGear::colour_command(uint8_t opcode) {
  if (!state_.colour) return std::nullopt;
  ColourState& c = *state_.colour;
  GearState& s = state_;
  const auto dtr = static_cast<uint16_t>(s.dtr1 << 8 | s.dtr0);
  switch (opcode) {
    case colour::kSetTemporaryColourTemperature:
      if (dtr != 0) {  // 0 is no colour temperature
        c.temporary = dtr;
        c.temporary_type = colour::kColourTypeTc;
      }
      break;
    case colour::kActivate:
      if (c.temporary_type == colour::kColourTypeTc &&
          c.temporary != colour::kMirekMask) {
        c.colour_temperature = std::clamp(c.temporary, c.coolest, c.warmest);
        c.out_of_range = c.colour_temperature != c.temporary;
      }
      c.temporary = colour::kMirekMask;
      c.temporary_type = kMask;
      break;
    case colour::kColourTemperatureStepCooler:
      if (c.colour_temperature > c.coolest) --c.colour_temperature;
      break;
    case colour::kColourTemperatureStepWarmer:
      if (c.colour_temperature < c.warmest) ++c.colour_temperature;
      break;
    case colour::kCopyReportToTemporary:
      c.temporary = c.colour_temperature;
      c.temporary_type = colour::kColourTypeTc;
      break;
    case colour::kStoreColourTemperatureLimit: {
      if (dtr == 0) break;
      constexpr uint16_t kMost = colour::kMirekMask - 1;
      switch (s.dtr2) {
        case colour::kLimitCoolest:
          c.coolest = std::clamp(dtr, c.physical_coolest, c.warmest);
          break;
        case colour::kLimitWarmest:
          c.warmest = std::clamp(dtr, c.coolest, c.physical_warmest);
          break;
        case colour::kLimitPhysicalCoolest:
          c.physical_coolest = std::clamp<uint16_t>(dtr, 1, c.physical_warmest);
          c.coolest = std::max(c.coolest, c.physical_coolest);
          c.warmest = std::max(c.warmest, c.coolest);
          break;
        case colour::kLimitPhysicalWarmest:
          c.physical_warmest = std::clamp(dtr, c.physical_coolest, kMost);
          c.warmest = std::min(c.warmest, c.physical_warmest);
          c.coolest = std::min(c.coolest, c.warmest);
          break;
        default:
          return std::nullopt;
      }
      c.colour_temperature =
          std::clamp(c.colour_temperature, c.coolest, c.warmest);
      break;
    }
    case colour::kQueryGearFeaturesStatus:
      return uint8_t{0};  // no automatic activation, no calibration
    case colour::kQueryColourStatus:
      return c.status();
    case colour::kQueryColourTypeFeatures:
      return colour::kFeatureTcCapable;
    case colour::kQueryColourValue: {
      uint16_t value = colour::kMirekMask;
      switch (s.dtr0) {
        case colour::kValueColourTemperature:
        case colour::kValueReportColourTemperature:
          value = c.colour_temperature;
          break;
        case colour::kValueCoolest:
          value = c.coolest;
          break;
        case colour::kValuePhysicalCoolest:
          value = c.physical_coolest;
          break;
        case colour::kValueWarmest:
          value = c.warmest;
          break;
        case colour::kValuePhysicalWarmest:
          value = c.physical_warmest;
          break;
        case colour::kValueTemporaryColourTemperature:
          value = c.temporary;
          break;
        case colour::kValueTemporaryColourType:  // one byte, DTR0 unchanged
          return c.temporary_type;
        case colour::kValueReportColourType:
          return colour::kColourTypeTc;
        default:  // coordinates, primaries, channels: not this gear's
          break;
      }
      s.dtr0 = static_cast<uint8_t>(value & 0xFF);
      return static_cast<uint8_t>(value >> 8);
    }
    case colour::kQueryExtendedVersionNumber:
      return kExtendedVersion;
    default:
      break;
  }
  return std::nullopt;
}

}  // namespace kovra62386::dali
