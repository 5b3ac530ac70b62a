// The device type 6 commands of an LED module (IEC 62386-207).
#include <algorithm>

#include "simulator/control_gear.h"
#include "simulator/gear_answers.h"

namespace kovra62386::dali {
namespace {

constexpr uint8_t kLastFastFadeTime = 27;
constexpr uint8_t kLedOpenCircuit = 0x02;  // failure status bit
constexpr uint8_t kLedCurrentControlled = 0x04;
constexpr uint8_t kLedNonLogarithmic = 0x10;  // operating mode bit

}  // namespace

std::optional<uint8_t> ControlGear::led_command(uint8_t opcode) {
  LedModuleState& l = state_.led;
  const uint8_t dtr0 = state_.dtr0;
  switch (opcode) {
    case led::kEnableCurrentProtector:
      l.current_protector_enabled = true;
      break;
    case led::kDisableCurrentProtector:
      l.current_protector_enabled = false;
      break;
    case led::kSelectDimmingCurve:
      if (dtr0 <= 1) l.dimming_curve = dtr0;
      break;
    case led::kSetFastFadeTime:
      l.fast_fade_time =
          dtr0 == 0 ? 0
                    : std::clamp(dtr0, l.min_fast_fade_time, kLastFastFadeTime);
      break;
    case led::kQueryGearType:
      return l.gear_type;
    case led::kQueryDimmingCurve:
      return l.dimming_curve;
    case led::kQueryPossibleOperatingModes:
      return l.possible_operating_modes;
    case led::kQueryFeatures:
      return l.features;
    case led::kQueryFailureStatus:
      return state_.lamp_failure ? kLedOpenCircuit : uint8_t{0};
    case led::kQueryOpenCircuit:
      return yes_if(state_.lamp_failure);
    case led::kQueryCurrentProtectorEnabled:
      return yes_if(l.current_protector_enabled);
    case led::kQueryOperatingMode:
      return static_cast<uint8_t>(kLedCurrentControlled |
                                  (l.dimming_curve ? kLedNonLogarithmic : 0));
    case led::kQueryFastFadeTime:
      return l.fast_fade_time;
    case led::kQueryMinFastFadeTime:
      return l.min_fast_fade_time;
    case led::kQueryExtendedVersionNumber:
      return kExtendedVersion;
    default:  // reference measurement, and faults this module never has
      break;
  }
  return std::nullopt;
}

}  // namespace kovra62386::dali
