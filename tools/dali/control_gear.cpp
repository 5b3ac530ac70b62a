#include "tools/dali/control_gear.h"

#include <algorithm>
#include <cmath>

namespace kovra62386::dali {
namespace {

constexpr uint8_t kYes = 0xFF;
constexpr auto kSendTwiceWindow = std::chrono::milliseconds(100);
constexpr auto kInitialisationWindow = std::chrono::minutes(15);
constexpr auto kUpDownFade = std::chrono::milliseconds(200);
constexpr uint8_t kLightSourceLed = 6;

// The short address in a data byte of the form 0AAAAAA1; nullopt otherwise.
std::optional<uint8_t> short_address_in(uint8_t data) {
  if ((data & 0x81) != 0x01) return std::nullopt;
  return static_cast<uint8_t>(data >> 1);
}

std::optional<uint8_t> yes_if(bool condition) {
  return condition ? std::optional<uint8_t>(kYes) : std::nullopt;
}

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

Clock::duration fade_time_duration(uint8_t code) noexcept {
  if (code == 0) return Clock::duration::zero();
  const double seconds =
      0.5 * std::sqrt(std::pow(2.0, std::min<int>(code, 15)));
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(seconds));
}

double fade_rate_steps_per_second(uint8_t code) noexcept {
  const int c = std::clamp<int>(code, 1, 15);
  return 506.0 / std::sqrt(std::pow(2.0, c));
}

bool GearState::reset_state() const noexcept {
  return power_on_level == 254 && system_failure_level == 254 &&
         min_level == physical_minimum && max_level == 254 && fade_rate == 7 &&
         fade_time == 0 && extended_fade_time == 0 &&
         search_address == kNoRandomAddress &&
         random_address == kNoRandomAddress && groups == 0 &&
         std::all_of(scenes.begin(), scenes.end(),
                     [](uint8_t s) { return s == kMask; });
}

uint8_t GearState::status() const noexcept {
  uint8_t s = 0;
  if (control_gear_failure) s |= kStatusControlGearFailure;
  if (lamp_failure) s |= kStatusLampFailure;
  if (lamp_on()) s |= kStatusLampOn;
  if (limit_error) s |= kStatusLimitError;
  if (fade_running) s |= kStatusFadeRunning;
  if (reset_state()) s |= kStatusResetState;
  if (!has_short_address()) s |= kStatusMissingShortAddress;
  if (power_cycle_seen) s |= kStatusPowerCycleSeen;
  return s;
}

ControlGear::ControlGear(const GearConfig& config)
    : rng_(config.seed), first_random_(config.first_random_address) {
  uint64_t id_seed = ~config.seed;
  identification_ = splitmix64(id_seed);
  state_.short_address =
      config.short_address <= 63 ? config.short_address : kNoShortAddress;
  state_.physical_minimum =
      std::clamp<uint8_t>(config.physical_minimum, 1, 254);
  state_.max_level =
      std::clamp<uint8_t>(config.max_level, state_.physical_minimum, 254);
  state_.min_level = std::clamp<uint8_t>(
      config.min_level, state_.physical_minimum, state_.max_level);
  state_.power_on_level = config.power_on_level;
  state_.system_failure_level = config.system_failure_level;
  state_.fade_time = std::min<uint8_t>(config.fade_time, 15);
  state_.fade_rate = std::clamp<uint8_t>(config.fade_rate, 1, 15);
  state_.groups = config.groups;
  state_.scenes = config.scenes;
  state_.random_address = config.random_address & 0xFFFFFF;
  state_.lamp_failure = config.lamp_failure;
  const uint8_t level =
      config.actual_level == 0
          ? 0
          : std::clamp(config.actual_level, state_.min_level, state_.max_level);
  state_.actual_level = state_.target_level = level;
  if (level > 0) state_.last_active_level = level;
}

bool ControlGear::addressed_by(Address address) const noexcept {
  switch (address.kind) {
    case AddressKind::Short:
      return state_.has_short_address() &&
             state_.short_address == address.number;
    case AddressKind::Group:
      return address.number < 16 && (state_.groups >> address.number) & 1;
    case AddressKind::Broadcast:
      return true;
    case AddressKind::BroadcastUnaddressed:
      return !state_.has_short_address();
    default:
      return false;
  }
}

GearState ControlGear::state(Clock::time_point now) {
  advance(now);
  return state_;
}

void ControlGear::advance(Clock::time_point now) {
  if (!fade_) return;
  const Fade& f = *fade_;
  const auto elapsed = now - f.start;
  if (elapsed >= f.length) {
    fade_.reset();
    state_.fade_running = false;
    state_.actual_level = f.to;
    if (f.to > 0) state_.last_active_level = f.to;
    return;
  }
  if (elapsed <= Clock::duration::zero()) return;
  // A fade to off runs down to the minimum level and switches off at its
  // end.
  const int to = f.to == 0 ? state_.min_level : f.to;
  const int from = f.from;
  const auto done = static_cast<double>(elapsed.count()) /
                    static_cast<double>(f.length.count());
  state_.actual_level =
      static_cast<uint8_t>(std::lround(from + (to - from) * done));
}

std::optional<uint8_t> ControlGear::receive(uint8_t address_byte,
                                            uint8_t second_byte,
                                            Clock::time_point now) {
  advance(now);
  if (state_.initialisation != InitialisationState::Disabled &&
      now - initialised_at_ > kInitialisationWindow) {
    state_.initialisation = InitialisationState::Disabled;
  }
  // ENABLE DEVICE TYPE applies to the frame after it only.
  const std::optional<uint8_t> enabled_type = enabled_device_type_;
  enabled_device_type_.reset();

  const DecodedAddress decoded = decode_address_byte(address_byte);
  if (decoded.address.kind == AddressKind::Special) {
    const Command* c = find_special_command(address_byte);
    if (c != nullptr && c->send_twice) {
      if (!accepts_twice(address_byte, second_byte, now)) return std::nullopt;
    } else {
      pending_.reset();
    }
    return special(address_byte, second_byte, now);
  }
  if (!addressed_by(decoded.address)) {
    pending_.reset();
    return std::nullopt;
  }
  if (!decoded.selector) {
    pending_.reset();
    arc_power(second_byte, now);
    return std::nullopt;
  }
  const Command* c = find_standard_command(second_byte);
  if (c != nullptr && c->send_twice) {
    if (accepts_twice(address_byte, second_byte, now)) configure(second_byte);
    return std::nullopt;
  }
  pending_.reset();
  return command(second_byte, enabled_type.value_or(kMask), now);
}

bool ControlGear::accepts_twice(uint8_t address_byte, uint8_t second_byte,
                                Clock::time_point now) {
  if (pending_ && pending_->address_byte == address_byte &&
      pending_->second_byte == second_byte && now >= pending_->at &&
      now - pending_->at <= kSendTwiceWindow) {
    pending_.reset();
    return true;
  }
  pending_ = Frame{address_byte, second_byte, now};
  return false;
}

std::optional<uint8_t> ControlGear::special(uint8_t address_byte, uint8_t data,
                                            Clock::time_point now) {
  const bool initialising =
      state_.initialisation != InitialisationState::Disabled;
  const bool selected = state_.random_address == state_.search_address;
  auto set_search_byte = [&](int shift) {
    if (!initialising) return;
    state_.search_address = (state_.search_address & ~(0xFFu << shift)) |
                            (static_cast<uint32_t>(data) << shift);
  };
  switch (address_byte) {
    case 0xA1:  // TERMINATE
      state_.initialisation = InitialisationState::Disabled;
      return std::nullopt;
    case 0xA3:
      state_.dtr0 = data;
      return std::nullopt;
    case 0xC3:
      state_.dtr1 = data;
      return std::nullopt;
    case 0xC5:
      state_.dtr2 = data;
      return std::nullopt;
    case 0xA5: {  // INITIALISE
      bool chosen = false;
      if (data == 0x00) {
        chosen = true;
      } else if (data == 0xFF) {
        chosen = !state_.has_short_address();
      } else if (auto a = short_address_in(data)) {
        chosen = state_.short_address == *a;
      }
      if (chosen) {
        state_.initialisation = InitialisationState::Enabled;
        initialised_at_ = now;
      }
      return std::nullopt;
    }
    case 0xA7:  // RANDOMISE
      if (initialising) state_.random_address = draw_random();
      return std::nullopt;
    case 0xA9:  // COMPARE
      return yes_if(state_.initialisation == InitialisationState::Enabled &&
                    state_.random_address <= state_.search_address);
    case 0xAB:  // WITHDRAW
      if (initialising && selected) {
        state_.initialisation = InitialisationState::Withdrawn;
      }
      return std::nullopt;
    case 0xB1:
      set_search_byte(16);
      return std::nullopt;
    case 0xB3:
      set_search_byte(8);
      return std::nullopt;
    case 0xB5:
      set_search_byte(0);
      return std::nullopt;
    case 0xB7:  // PROGRAM SHORT ADDRESS
      if (initialising && selected) {
        if (data == kMask) {
          state_.short_address = kNoShortAddress;
        } else if (auto a = short_address_in(data)) {
          state_.short_address = *a;
        }
      }
      return std::nullopt;
    case 0xB9: {  // VERIFY SHORT ADDRESS
      const auto a = short_address_in(data);
      return yes_if(initialising && a && state_.short_address == *a);
    }
    case 0xBB:  // QUERY SHORT ADDRESS
      if (!initialising || !selected) return std::nullopt;
      return state_.has_short_address()
                 ? short_address_data(state_.short_address)
                 : kMask;
    case 0xC1:  // ENABLE DEVICE TYPE
      enabled_device_type_ = data;
      return std::nullopt;
    default:  // PING, memory writes (no writable bank), reserved
      return std::nullopt;
  }
}

std::optional<uint8_t> ControlGear::command(uint8_t opcode,
                                            uint8_t enabled_type,
                                            Clock::time_point now) {
  if (opcode >= 0x90) return query(opcode, enabled_type);
  const uint8_t level = state_.actual_level;
  const uint8_t max = state_.max_level;
  const uint8_t min = state_.min_level;
  // Every level instruction counts as an arc power command.
  auto arc_command = [&] {
    state_.power_cycle_seen = false;
    state_.limit_error = false;
  };
  auto up_down_steps = [&] {
    return static_cast<int>(
        std::lround(fade_rate_steps_per_second(state_.fade_rate) * 0.2));
  };
  switch (opcode) {
    case 0x00:  // OFF
      arc_command();
      set_level_now(0);
      break;
    case 0x01:  // UP: only a lit lamp
      arc_command();
      if (level > 0) {
        fade_to(
            static_cast<uint8_t>(std::min<int>(max, level + up_down_steps())),
            kUpDownFade, now);
      }
      break;
    case 0x02:  // DOWN: never switches off
      arc_command();
      if (level > 0) {
        fade_to(
            static_cast<uint8_t>(std::max<int>(min, level - up_down_steps())),
            kUpDownFade, now);
      }
      break;
    case 0x03:  // STEP UP
      arc_command();
      if (level > 0 && level < max) set_level_now(level + 1);
      break;
    case 0x04:  // STEP DOWN
      arc_command();
      if (level > min) set_level_now(level - 1);
      break;
    case 0x05:
      arc_command();
      set_level_now(max);
      break;
    case 0x06:
      arc_command();
      set_level_now(min);
      break;
    case 0x07:  // STEP DOWN AND OFF
      arc_command();
      if (level > 0) set_level_now(level <= min ? 0 : level - 1);
      break;
    case 0x08:  // ON AND STEP UP
      arc_command();
      if (level == 0) {
        set_level_now(min);
      } else if (level < max) {
        set_level_now(level + 1);
      }
      break;
    case 0x0A:  // GO TO LAST ACTIVE LEVEL
      arc_power(state_.last_active_level, now);
      break;
    default:
      if (opcode >= 0x10 && opcode <= 0x1F) {  // GO TO SCENE
        const uint8_t scene = state_.scenes[opcode - 0x10];
        if (scene != kMask) arc_power(scene, now);
      }
      break;  // ENABLE DAPC SEQUENCE and reserved opcodes: nothing
  }
  return std::nullopt;
}

void ControlGear::configure(uint8_t opcode) {
  GearState& s = state_;
  const uint8_t dtr0 = s.dtr0;
  if (opcode >= 0x40 && opcode <= 0x4F) {
    s.scenes[opcode - 0x40] = dtr0;
    return;
  }
  if (opcode >= 0x50 && opcode <= 0x5F) {
    s.scenes[opcode - 0x50] = kMask;
    return;
  }
  if (opcode >= 0x60 && opcode <= 0x6F) {
    s.groups = static_cast<uint16_t>(s.groups | (1u << (opcode - 0x60)));
    return;
  }
  if (opcode >= 0x70 && opcode <= 0x7F) {
    s.groups = static_cast<uint16_t>(s.groups & ~(1u << (opcode - 0x70)));
    return;
  }
  switch (opcode) {
    case 0x20:
      reset();
      break;
    case 0x21:  // STORE ACTUAL LEVEL IN DTR0
      s.dtr0 = s.actual_level;
      break;
    case 0x23:  // SET OPERATING MODE: only the standard mode 0 exists
      if (dtr0 == 0) s.operating_mode = 0;
      break;
    case 0x2A:  // SET MAX LEVEL
      s.max_level = std::clamp<uint8_t>(dtr0, s.min_level, 254);
      if (s.actual_level > s.max_level) set_level_now(s.max_level);
      break;
    case 0x2B:  // SET MIN LEVEL
      s.min_level = std::clamp<uint8_t>(dtr0, s.physical_minimum, s.max_level);
      if (s.actual_level > 0 && s.actual_level < s.min_level) {
        set_level_now(s.min_level);
      }
      break;
    case 0x2C:
      s.system_failure_level = dtr0;
      break;
    case 0x2D:
      s.power_on_level = dtr0;
      break;
    case 0x2E:
      s.fade_time = std::min<uint8_t>(dtr0, 15);
      break;
    case 0x2F:
      s.fade_rate = std::clamp<uint8_t>(dtr0, 1, 15);
      break;
    case 0x30:
      s.extended_fade_time = dtr0 > 0x4F ? 0 : dtr0;
      break;
    case 0x80:  // SET SHORT ADDRESS
      if (dtr0 == kMask) {
        s.short_address = kNoShortAddress;
      } else if (auto a = short_address_in(dtr0)) {
        s.short_address = *a;
      }
      break;
    default:  // persistence, memory banks, identify: nothing to keep
      break;
  }
}

std::optional<uint8_t> ControlGear::query(uint8_t opcode,
                                          uint8_t enabled_type) {
  const GearState& s = state_;
  if (opcode >= 0xB0 && opcode <= 0xBF) return s.scenes[opcode - 0xB0];
  if (opcode >= 0xE0) {
    // Application extended commands of device type 6: only the version.
    if (enabled_type != s.device_type) return std::nullopt;
    if (opcode == 0xFF) return uint8_t{0x08};  // QUERY EXTENDED VERSION
    return std::nullopt;
  }
  switch (opcode) {
    case 0x90:
      return s.status();
    case 0x91:
      return kYes;
    case 0x92:
      return yes_if(s.lamp_failure);
    case 0x93:
      return yes_if(s.lamp_on());
    case 0x94:
      return yes_if(s.limit_error);
    case 0x95:
      return yes_if(s.reset_state());
    case 0x96:
      return yes_if(!s.has_short_address());
    case 0x97:
      return s.version_number;
    case 0x98:
      return s.dtr0;
    case 0x99:
      return s.device_type;
    case 0x9A:
      return s.physical_minimum;
    case 0x9B:
      return yes_if(s.power_cycle_seen);
    case 0x9C:
      return s.dtr1;
    case 0x9D:
      return s.dtr2;
    case 0x9E:
      return s.operating_mode;
    case 0x9F:
      return kLightSourceLed;
    case 0xA0:
      return s.actual_level;
    case 0xA1:
      return s.max_level;
    case 0xA2:
      return s.min_level;
    case 0xA3:
      return s.power_on_level;
    case 0xA4:
      return s.system_failure_level;
    case 0xA5:
      return static_cast<uint8_t>((s.fade_time << 4) | s.fade_rate);
    case 0xA8:
      return s.extended_fade_time;
    case 0xAA:
      return yes_if(s.control_gear_failure);
    case 0xC0:
      return static_cast<uint8_t>(s.groups & 0xFF);
    case 0xC1:
      return static_cast<uint8_t>(s.groups >> 8);
    case 0xC2:
      return static_cast<uint8_t>(s.random_address >> 16);
    case 0xC3:
      return static_cast<uint8_t>(s.random_address >> 8);
    case 0xC4:
      return static_cast<uint8_t>(s.random_address);
    case 0xC5: {  // READ MEMORY LOCATION (bank DTR1, location DTR0)
      // Bank 0: last location, reserved, last bank, GTIN (6), firmware
      // version (2), identification number (8), hardware version (2),
      // versions of 101/102/103, logical units, index.
      if (s.dtr1 != 0 || s.dtr0 > 0x1A) return std::nullopt;
      const uint64_t id = identification_;
      const uint8_t bank0[0x1B] = {0x1A,
                                   0xFF,
                                   0x00,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   1,
                                   0,
                                   static_cast<uint8_t>(id >> 56),
                                   static_cast<uint8_t>(id >> 48),
                                   static_cast<uint8_t>(id >> 40),
                                   static_cast<uint8_t>(id >> 32),
                                   static_cast<uint8_t>(id >> 24),
                                   static_cast<uint8_t>(id >> 16),
                                   static_cast<uint8_t>(id >> 8),
                                   static_cast<uint8_t>(id),
                                   1,
                                   0,
                                   0x08,
                                   0x08,
                                   0xFF,
                                   0,
                                   1,
                                   0};
      const uint8_t value = bank0[s.dtr0];
      ++state_.dtr0;
      return value;
    }
    default:  // manufacturer mode, next device type, reserved: no answer
      return std::nullopt;
  }
}

void ControlGear::arc_power(uint8_t level, Clock::time_point now) {
  if (level == kMask) {  // stop a running fade where it is
    fade_.reset();
    state_.fade_running = false;
    state_.target_level = state_.actual_level;
    return;
  }
  state_.power_cycle_seen = false;
  const uint8_t target = clamp_level(level);
  fade_to(target, fade_time_duration(state_.fade_time), now);
}

uint8_t ControlGear::clamp_level(uint8_t level) {
  state_.limit_error = false;
  if (level == 0) return 0;
  if (level < state_.min_level) {
    state_.limit_error = true;
    return state_.min_level;
  }
  if (level > state_.max_level) {
    state_.limit_error = true;
    return state_.max_level;
  }
  return level;
}

void ControlGear::set_level_now(uint8_t level) {
  fade_.reset();
  state_.fade_running = false;
  state_.actual_level = state_.target_level = level;
  if (level > 0) state_.last_active_level = level;
}

void ControlGear::fade_to(uint8_t level, Clock::duration length,
                          Clock::time_point now) {
  if (length <= Clock::duration::zero() || state_.actual_level == level) {
    set_level_now(level);
    return;
  }
  // A lamp that is off lights at its minimum level and fades from there.
  const uint8_t from = state_.actual_level == 0 && level > 0
                           ? state_.min_level
                           : state_.actual_level;
  state_.actual_level = from;
  fade_ = Fade{from, level, now, length};
  state_.target_level = level;
  state_.fade_running = true;
}

void ControlGear::reset() {
  GearState& s = state_;
  s.power_on_level = 254;
  s.system_failure_level = 254;
  s.min_level = s.physical_minimum;
  s.max_level = 254;
  s.fade_rate = 7;
  s.fade_time = 0;
  s.extended_fade_time = 0;
  s.search_address = kNoRandomAddress;
  s.random_address = kNoRandomAddress;
  s.groups = 0;
  s.scenes.fill(kMask);
  s.operating_mode = 0;
  s.limit_error = false;
  s.power_cycle_seen = false;
  set_level_now(254);
}

uint32_t ControlGear::draw_random() {
  if (first_random_) {
    const uint32_t value = *first_random_ & 0xFFFFFF;
    first_random_.reset();
    return value;
  }
  return static_cast<uint32_t>(splitmix64(rng_) & 0xFFFFFF);
}

void ControlGear::bus_power_lost(Clock::time_point now) {
  advance(now);
  pending_.reset();
  if (state_.system_failure_level == kMask) {
    fade_.reset();
    state_.fade_running = false;
    state_.target_level = state_.actual_level;
    return;
  }
  set_level_now(clamp_level(state_.system_failure_level));
}

void ControlGear::power_cycle(Clock::time_point now) {
  advance(now);
  pending_.reset();
  enabled_device_type_.reset();
  state_.initialisation = InitialisationState::Disabled;
  const uint8_t level = state_.power_on_level == kMask
                            ? state_.last_active_level
                            : state_.power_on_level;
  set_level_now(clamp_level(level));
  state_.power_cycle_seen = true;
}

}  // namespace kovra62386::dali
