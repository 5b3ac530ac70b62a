// One virtual IEC 62386-102 control gear with the variables of the standard,
// answering forward frames as real gear would: an LED module (device type
// 6, IEC 62386-207), or tunable white colour control gear (device type 8,
// IEC 62386-209, colour temperature only).
//
// Simplifications, all deliberate:
//  - Fades are linear in level steps between the start and the target level
//    and are computed from the time stamps the bus passes in; there is no
//    timer. The extended fade time is kept but not used.
//  - UP and DOWN fade at the fade rate for 200 ms, as the standard asks.
//  - The initialisation state lasts 15 minutes after INITIALISE (measured on
//    the same time stamps) or until TERMINATE; INITIALISE again restarts it.
//  - QUERY SHORT ADDRESS answers in the form 0AAAAAA1, or 0xFF (MASK).
//  - Memory bank 0 is read-only; bank 1 (the OEM bank) is writable while
//    its lock byte holds 0x55. No other bank exists.
//  - The write-enable state ends with any command addressed to the gear
//    other than the memory writes, the DTR writes and the DTR queries.
//  - Colour temperature changes at once on ACTIVATE; no colour fade.
//  - The LED module's fast fade time, dimming curve and current protector
//    are kept and answered but change nothing in the light.
//  - "Reset state" compares the configuration variables (not the actual
//    level) with their reset values.
//  - Randomness is a seeded generator per gear, so runs are reproducible.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "dali/dali_commands.h"

namespace kovra62386::dali {

using Clock = std::chrono::steady_clock;

inline constexpr uint8_t kMask = 0xFF;
inline constexpr uint32_t kNoRandomAddress = 0xFFFFFF;

enum class InitialisationState : uint8_t { Disabled, Enabled, Withdrawn };

// Memory bank 1: last location, indicator byte, lock byte, OEM GTIN (6),
// OEM identification number (8).
inline constexpr uint8_t kBank1LastLocation = 0x10;
inline constexpr uint8_t kBankLockLocation = 0x02;
inline constexpr uint8_t kBankUnlocked = 0x55;  // lock byte value to write

// The device type 6 variables (IEC 62386-207).
struct LedModuleState {
  uint8_t dimming_curve = 0;   // 0 standard (logarithmic), 1 linear
  uint8_t fast_fade_time = 0;  // 0 or min_fast_fade_time-27, 25 ms units
  uint8_t min_fast_fade_time = 4;
  bool current_protector_enabled = false;
  uint8_t gear_type = 0x01;                 // LED power supply integrated
  uint8_t possible_operating_modes = 0x04;  // output current controlled
  uint8_t features = 0x02;                  // open circuit detection
};

// The settings that make a gear tunable white, as an installation gives
// them. Colour temperatures are in mirek (1e6 / kelvin), so
// the coolest light has the smallest number.
struct ColourTemperatureConfig {
  uint16_t physical_coolest = 153;    // 6500 K
  uint16_t physical_warmest = 370;    // 2700 K
  uint16_t colour_temperature = 250;  // 4000 K
};

// The device type 8 variables for colour temperature (IEC 62386-209).
struct ColourState {
  uint16_t physical_coolest = 153;
  uint16_t physical_warmest = 370;
  uint16_t coolest = 153;  // limits that SET TEMPORARY ... ACTIVATE keeps to
  uint16_t warmest = 370;
  uint16_t colour_temperature = 250;  // the actual (and report) value
  uint16_t temporary = 0xFFFF;        // MASK until set
  uint8_t temporary_type = 0xFF;      // colour type of the temporary value
  bool out_of_range = false;          // the last request met a limit
  uint8_t status() const noexcept;    // the QUERY COLOUR STATUS byte
};

// The gear's variables, copied out for inspection.
struct GearState {
  uint8_t actual_level = 0;
  uint8_t target_level = 0;  // equals actual_level unless a fade runs
  uint8_t last_active_level = 254;
  uint8_t max_level = 254;
  uint8_t min_level = 1;
  uint8_t physical_minimum = 1;
  uint8_t power_on_level = 254;
  uint8_t system_failure_level = 254;
  uint8_t fade_time = 0;  // 0-15
  uint8_t fade_rate = 7;  // 1-15
  uint8_t extended_fade_time = 0;
  std::array<uint8_t, 16> scenes{kMask, kMask, kMask, kMask, kMask, kMask,
                                 kMask, kMask, kMask, kMask, kMask, kMask,
                                 kMask, kMask, kMask, kMask};
  uint16_t groups = 0;  // bit g = member of group g
  uint8_t short_address = kNoShortAddress;
  uint32_t random_address = kNoRandomAddress;
  uint32_t search_address = kNoRandomAddress;
  uint8_t dtr0 = 0, dtr1 = 0, dtr2 = 0;
  bool lamp_failure = false;
  bool limit_error = false;
  bool fade_running = false;
  bool power_cycle_seen = false;
  bool control_gear_failure = false;
  uint8_t device_type = 6;
  uint8_t version_number = 0x08;  // edition 2.0
  uint8_t operating_mode = 0;
  InitialisationState initialisation = InitialisationState::Disabled;
  bool write_enabled = false;  // ENABLE WRITE MEMORY received
  std::array<uint8_t, kBank1LastLocation + 1> memory_bank1{kBank1LastLocation,
                                                           0x00,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF,
                                                           0xFF};
  LedModuleState led;                 // device type 6 only
  std::optional<ColourState> colour;  // device type 8 only

  bool lamp_on() const noexcept { return actual_level > 0 && !lamp_failure; }
  bool reset_state() const noexcept;
  uint8_t status() const noexcept;  // the QUERY STATUS byte
  bool has_short_address() const noexcept {
    return short_address != kNoShortAddress;
  }
};

struct GearConfig {
  uint8_t short_address = kNoShortAddress;
  uint8_t actual_level = 0;
  uint8_t max_level = 254;
  uint8_t min_level = 1;
  uint8_t physical_minimum = 1;
  uint8_t power_on_level = 254;
  uint8_t system_failure_level = 254;
  uint8_t fade_time = 0;
  uint8_t fade_rate = 7;
  uint16_t groups = 0;
  std::array<uint8_t, 16> scenes{kMask, kMask, kMask, kMask, kMask, kMask,
                                 kMask, kMask, kMask, kMask, kMask, kMask,
                                 kMask, kMask, kMask, kMask};
  uint32_t random_address = kNoRandomAddress;
  bool lamp_failure = false;
  uint64_t seed = 1;  // RANDOMISE draws from a generator seeded with this
  // When set, the first RANDOMISE gives this value instead of a drawn one:
  // two gear with the same value collide in a commissioning search.
  std::optional<uint32_t> first_random_address;
  // From the end of a forward frame to the start of this gear's answer
  // (5.5-10.5 ms); unset: the bus draws one.
  std::optional<std::chrono::microseconds> answer_delay;
  // Set: tunable white colour control gear (device type 8) instead of an LED
  // module (device type 6).
  std::optional<ColourTemperatureConfig> colour_temperature;
};

class ControlGear {
 public:
  explicit ControlGear(const GearConfig& config = {});

  // Every gear on the bus sees every 16-bit forward frame, addressed to it
  // or not (a frame in between cancels a pending send-twice command).
  // Returns the backward frame byte when the gear answers.
  std::optional<uint8_t> receive(uint8_t address_byte, uint8_t second_byte,
                                 Clock::time_point now);

  // A forward frame that is not a 16-bit gear frame (a 24-bit frame to a
  // control device) seen on the bus: only cancels a pending command.
  void foreign_frame() noexcept { pending_.reset(); }

  // Bus power lost: the gear goes to its system failure level (MASK: stays).
  void bus_power_lost(Clock::time_point now);
  // Mains off and on: power-on level (MASK: last active level), power cycle
  // seen, initialisation ends, volatile DTRs cleared.
  void power_cycle(Clock::time_point now);

  // The variables as of `now` (a running fade advanced to that moment).
  GearState state(Clock::time_point now);
  const GearState& state() const noexcept { return state_; }

  bool addressed_by(Address address) const noexcept;

  // Test hooks: faults and situations that commands cannot create.
  void set_lamp_failure(bool failed) noexcept { state_.lamp_failure = failed; }
  void set_random_address(uint32_t value) noexcept {
    state_.random_address = value & 0xFFFFFF;
  }

 private:
  struct Frame {
    uint8_t address_byte;
    uint8_t second_byte;
    Clock::time_point at;
    uint8_t device_type;  // enabled for an application extended command
  };
  struct Fade {
    uint8_t from;
    uint8_t to;
    Clock::time_point start;
    Clock::duration length;
  };

  void advance(Clock::time_point now);
  bool accepts_twice(uint8_t address_byte, uint8_t second_byte,
                     Clock::time_point now, uint8_t device_type = kMask);
  std::optional<uint8_t> special(uint8_t address_byte, uint8_t data,
                                 Clock::time_point now);
  std::optional<uint8_t> command(uint8_t opcode, Clock::time_point now);
  void configure(uint8_t opcode);
  std::optional<uint8_t> query(uint8_t opcode);
  std::optional<uint8_t> extended(uint8_t address_byte, uint8_t opcode,
                                  std::optional<uint8_t> enabled_type,
                                  Clock::time_point now);
  std::optional<uint8_t> led_command(uint8_t opcode);
  std::optional<uint8_t> colour_command(uint8_t opcode);

  // Memory banks, addressed by DTR1 (bank) and DTR0 (location).
  bool bank_exists(uint8_t bank) const noexcept;
  std::optional<uint8_t> memory_byte(uint8_t bank, uint8_t location) const;
  std::optional<uint8_t> read_memory();
  std::optional<uint8_t> write_memory(uint8_t data);
  void reset_memory_bank(uint8_t which);

  // Level changes.
  void arc_power(uint8_t level, Clock::time_point now);  // DAPC, GO TO SCENE
  void set_level_now(uint8_t level);
  void fade_to(uint8_t level, Clock::duration length, Clock::time_point now);
  uint8_t clamp_level(uint8_t level);
  void reset();
  uint32_t draw_random();

  GearState state_;
  std::optional<Frame> pending_;  // first half of a send-twice command
  std::optional<Fade> fade_;
  std::optional<uint8_t> enabled_device_type_;  // for the next command only
  Clock::time_point initialised_at_{};
  uint64_t rng_;
  uint64_t identification_;  // memory bank 0 identification number
  std::optional<uint32_t> first_random_;
};

// Fade time code 1-15 as a duration (0: none); 0.5 s * sqrt(2^code).
Clock::duration fade_time_duration(uint8_t code) noexcept;
// Fade rate code 1-15 in steps per second: 506 / sqrt(2^code).
double fade_rate_steps_per_second(uint8_t code) noexcept;

}  // namespace kovra62386::dali
