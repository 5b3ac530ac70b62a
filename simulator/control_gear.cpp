#include "simulator/control_gear.h"

#include <algorithm>
#include <cmath>

#include "dali/bus_timing.h"
#include "simulator/gear_answers.h"

namespace kovra62386::dali {
namespace {

constexpr auto kUpDownFade = std::chrono::milliseconds(200);
constexpr uint8_t kLightSourceLed = 6;

// Whether a command leaves the write-enable state as it is: the memory
// writes, the DTR writes and the DTR queries.
bool keeps_write_enabled(bool special, uint8_t code) {
  if (special) {
    return code == special::kDtr0 || code == special::kDtr1 ||
           code == special::kDtr2 || code == special::kWriteMemoryLocation ||
           code == special::kWriteMemoryLocationNoReply;
  }
  // QUERY CONTENT DTR0/1/2, and ENABLE WRITE MEMORY whose first frame must
  // not end what its second one starts.
  return code == gear::kQueryContentDtr0 || code == gear::kQueryContentDtr1 ||
         code == gear::kQueryContentDtr2 || code == gear::kEnableWriteMemory;
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
  if (const auto& tc = config.colour_temperature) {
    ColourState c;
    c.physical_coolest =
        std::clamp<uint16_t>(tc->physical_coolest, 1, colour::kMirekMask - 1);
    c.physical_warmest = std::clamp<uint16_t>(
        tc->physical_warmest, c.physical_coolest, colour::kMirekMask - 1);
    c.coolest = c.physical_coolest;
    c.warmest = c.physical_warmest;
    c.colour_temperature =
        std::clamp(tc->colour_temperature, c.coolest, c.warmest);
    state_.colour = c;
    state_.device_type = colour::kDeviceType;
  }
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
      now - initialised_at_ > timing::kInitialisationWindow) {
    state_.initialisation = InitialisationState::Disabled;
  }
  // ENABLE DEVICE TYPE applies to the frame after it only.
  const std::optional<uint8_t> enabled_type = enabled_device_type_;
  enabled_device_type_.reset();

  const DecodedAddress decoded = decode_address_byte(address_byte);
  if (decoded.address.kind == AddressKind::Special) {
    const Command* c = special_command_in(address_byte, second_byte);
    if (c == nullptr) {  // reserved, or a data byte where none belongs
      pending_.reset();
      return std::nullopt;
    }
    if (!keeps_write_enabled(true, address_byte)) state_.write_enabled = false;
    if (c->send_twice) {
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
  if (!decoded.selector || !keeps_write_enabled(false, second_byte)) {
    state_.write_enabled = false;
  }
  if (!decoded.selector) {
    pending_.reset();
    arc_power(second_byte, now);
    return std::nullopt;
  }
  if (second_byte >= kFirstExtendedOpcode) {
    return extended(address_byte, second_byte, enabled_type, now);
  }
  const Command* c = find_standard_command(second_byte);
  if (c != nullptr && c->send_twice) {
    if (accepts_twice(address_byte, second_byte, now)) configure(second_byte);
    return std::nullopt;
  }
  pending_.reset();
  return command(second_byte, now);
}

std::optional<uint8_t> ControlGear::extended(
    uint8_t address_byte, uint8_t opcode, std::optional<uint8_t> enabled_type,
    Clock::time_point now) {
  // The second frame of a send-twice command repeats the first at once,
  // without an ENABLE DEVICE TYPE of its own.
  uint8_t type = enabled_type.value_or(kMask);
  if (!enabled_type && pending_ && pending_->address_byte == address_byte &&
      pending_->second_byte == opcode) {
    type = pending_->device_type;
  }
  const ExtendedCommand* c = type == state_.device_type
                                 ? find_extended_command(type, opcode)
                                 : nullptr;
  if (c == nullptr) {
    pending_.reset();
    return std::nullopt;
  }
  if (c->send_twice) {
    if (!accepts_twice(address_byte, opcode, now, type)) return std::nullopt;
  } else {
    pending_.reset();
  }
  return type == colour::kDeviceType ? colour_command(opcode)
                                     : led_command(opcode);
}

bool ControlGear::accepts_twice(uint8_t address_byte, uint8_t second_byte,
                                Clock::time_point now, uint8_t device_type) {
  if (pending_ && pending_->address_byte == address_byte &&
      pending_->second_byte == second_byte &&
      pending_->device_type == device_type && now >= pending_->at &&
      now - pending_->at <= timing::kSendTwiceWindow) {
    pending_.reset();
    return true;
  }
  pending_ = Frame{address_byte, second_byte, now, device_type};
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
    case special::kTerminate:
      state_.initialisation = InitialisationState::Disabled;
      return std::nullopt;
    case special::kDtr0:
      state_.dtr0 = data;
      return std::nullopt;
    case special::kDtr1:
      state_.dtr1 = data;
      return std::nullopt;
    case special::kDtr2:
      state_.dtr2 = data;
      return std::nullopt;
    case special::kInitialise: {
      bool chosen = false;
      if (data == special::kInitialiseAll) {
        chosen = true;
      } else if (data == special::kInitialiseUnaddressed) {
        chosen = !state_.has_short_address();
      } else if (auto a = short_address_from_data(data)) {
        chosen = state_.short_address == *a;
      }
      if (chosen) {
        state_.initialisation = InitialisationState::Enabled;
        initialised_at_ = now;
      }
      return std::nullopt;
    }
    case special::kRandomise:
      if (initialising) state_.random_address = draw_random();
      return std::nullopt;
    case special::kCompare:
      return yes_if(state_.initialisation == InitialisationState::Enabled &&
                    state_.random_address <= state_.search_address);
    case special::kWithdraw:
      if (initialising && selected) {
        state_.initialisation = InitialisationState::Withdrawn;
      }
      return std::nullopt;
    case special::kSearchAddrH:
      set_search_byte(16);
      return std::nullopt;
    case special::kSearchAddrM:
      set_search_byte(8);
      return std::nullopt;
    case special::kSearchAddrL:
      set_search_byte(0);
      return std::nullopt;
    case special::kProgramShortAddress:
      if (initialising && selected) {
        if (data == kMask) {
          state_.short_address = kNoShortAddress;
        } else if (auto a = short_address_from_data(data)) {
          state_.short_address = *a;
        }
      }
      return std::nullopt;
    case special::kVerifyShortAddress: {
      const auto a = short_address_from_data(data);
      return yes_if(initialising && a && state_.short_address == *a);
    }
    case special::kQueryShortAddress:
      if (!initialising || !selected) return std::nullopt;
      return state_.has_short_address()
                 ? short_address_data(state_.short_address)
                 : kMask;
    case special::kEnableDeviceType:
      enabled_device_type_ = data;
      return std::nullopt;
    case special::kWriteMemoryLocation:
      return write_memory(data);
    case special::kWriteMemoryLocationNoReply:
      write_memory(data);
      return std::nullopt;
    default:  // PING
      return std::nullopt;
  }
}

std::optional<uint8_t> ControlGear::command(uint8_t opcode,
                                            Clock::time_point now) {
  if (opcode >= gear::kQueryStatus) return query(opcode);
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
    case gear::kOff:
      arc_command();
      set_level_now(0);
      break;
    case gear::kUp:  // only a lit lamp
      arc_command();
      if (level > 0) {
        fade_to(
            static_cast<uint8_t>(std::min<int>(max, level + up_down_steps())),
            kUpDownFade, now);
      }
      break;
    case gear::kDown:  // never switches off
      arc_command();
      if (level > 0) {
        fade_to(
            static_cast<uint8_t>(std::max<int>(min, level - up_down_steps())),
            kUpDownFade, now);
      }
      break;
    case gear::kStepUp:
      arc_command();
      if (level > 0 && level < max) set_level_now(level + 1);
      break;
    case gear::kStepDown:
      arc_command();
      if (level > min) set_level_now(level - 1);
      break;
    case gear::kRecallMaxLevel:
      arc_command();
      set_level_now(max);
      break;
    case gear::kRecallMinLevel:
      arc_command();
      set_level_now(min);
      break;
    case gear::kStepDownAndOff:
      arc_command();
      if (level > 0) set_level_now(level <= min ? 0 : level - 1);
      break;
    case gear::kOnAndStepUp:
      arc_command();
      if (level == 0) {
        set_level_now(min);
      } else if (level < max) {
        set_level_now(level + 1);
      }
      break;
    case gear::kGoToLastActiveLevel:
      arc_power(state_.last_active_level, now);
      break;
    default:
      if (const auto n = number_in(opcode, gear::kGoToScene)) {
        const uint8_t scene = state_.scenes[*n];
        if (scene != kMask) arc_power(scene, now);
      }
      break;  // ENABLE DAPC SEQUENCE and reserved opcodes: nothing
  }
  return std::nullopt;
}

void ControlGear::configure(uint8_t opcode) {
  GearState& s = state_;
  const uint8_t dtr0 = s.dtr0;
  if (const auto n = number_in(opcode, gear::kSetScene)) {
    s.scenes[*n] = dtr0;
    return;
  }
  if (const auto n = number_in(opcode, gear::kRemoveFromScene)) {
    s.scenes[*n] = kMask;
    return;
  }
  if (const auto n = number_in(opcode, gear::kAddToGroup)) {
    s.groups = static_cast<uint16_t>(s.groups | (1u << *n));
    return;
  }
  if (const auto n = number_in(opcode, gear::kRemoveFromGroup)) {
    s.groups = static_cast<uint16_t>(s.groups & ~(1u << *n));
    return;
  }
  switch (opcode) {
    case gear::kReset:
      reset();
      break;
    case gear::kStoreActualLevelInDtr0:
      s.dtr0 = s.actual_level;
      break;
    case gear::kSetOperatingMode:  // only the standard mode 0 exists
      if (dtr0 == 0) s.operating_mode = 0;
      break;
    case gear::kResetMemoryBank:
      reset_memory_bank(dtr0);
      break;
    case gear::kSetMaxLevel:
      s.max_level = std::clamp<uint8_t>(dtr0, s.min_level, 254);
      if (s.actual_level > s.max_level) set_level_now(s.max_level);
      break;
    case gear::kSetMinLevel:
      s.min_level = std::clamp<uint8_t>(dtr0, s.physical_minimum, s.max_level);
      if (s.actual_level > 0 && s.actual_level < s.min_level) {
        set_level_now(s.min_level);
      }
      break;
    case gear::kSetSystemFailureLevel:
      s.system_failure_level = dtr0;
      break;
    case gear::kSetPowerOnLevel:
      s.power_on_level = dtr0;
      break;
    case gear::kSetFadeTime:
      s.fade_time = std::min<uint8_t>(dtr0, 15);
      break;
    case gear::kSetFadeRate:
      s.fade_rate = std::clamp<uint8_t>(dtr0, 1, 15);
      break;
    case gear::kSetExtendedFadeTime:
      s.extended_fade_time = dtr0 > 0x4F ? 0 : dtr0;
      break;
    case gear::kSetShortAddress:
      if (dtr0 == kMask) {
        s.short_address = kNoShortAddress;
      } else if (auto a = short_address_from_data(dtr0)) {
        s.short_address = *a;
      }
      break;
    case gear::kEnableWriteMemory:
      s.write_enabled = true;
      break;
    default:  // persistence, identify: nothing to keep
      break;
  }
}

std::optional<uint8_t> ControlGear::query(uint8_t opcode) {
  const GearState& s = state_;
  if (const auto n = number_in(opcode, gear::kQuerySceneLevel)) {
    return s.scenes[*n];
  }
  switch (opcode) {
    case gear::kQueryStatus:
      return s.status();
    case gear::kQueryControlGearPresent:
      return kYes;
    case gear::kQueryLampFailure:
      return yes_if(s.lamp_failure);
    case gear::kQueryLampPowerOn:
      return yes_if(s.lamp_on());
    case gear::kQueryLimitError:
      return yes_if(s.limit_error);
    case gear::kQueryResetState:
      return yes_if(s.reset_state());
    case gear::kQueryMissingShortAddress:
      return yes_if(!s.has_short_address());
    case gear::kQueryVersionNumber:
      return s.version_number;
    case gear::kQueryContentDtr0:
      return s.dtr0;
    case gear::kQueryDeviceType:
      return s.device_type;
    case gear::kQueryPhysicalMinimum:
      return s.physical_minimum;
    case gear::kQueryPowerFailure:
      return yes_if(s.power_cycle_seen);
    case gear::kQueryContentDtr1:
      return s.dtr1;
    case gear::kQueryContentDtr2:
      return s.dtr2;
    case gear::kQueryOperatingMode:
      return s.operating_mode;
    case gear::kQueryLightSourceType:
      return kLightSourceLed;
    case gear::kQueryActualLevel:
      return s.actual_level;
    case gear::kQueryMaxLevel:
      return s.max_level;
    case gear::kQueryMinLevel:
      return s.min_level;
    case gear::kQueryPowerOnLevel:
      return s.power_on_level;
    case gear::kQuerySystemFailureLevel:
      return s.system_failure_level;
    case gear::kQueryFadeTimeFadeRate:
      return static_cast<uint8_t>((s.fade_time << 4) | s.fade_rate);
    case gear::kQueryExtendedFadeTime:
      return s.extended_fade_time;
    case gear::kQueryControlGearFailure:
      return yes_if(s.control_gear_failure);
    case gear::kQueryGroups0To7:
      return static_cast<uint8_t>(s.groups & 0xFF);
    case gear::kQueryGroups8To15:
      return static_cast<uint8_t>(s.groups >> 8);
    case gear::kQueryRandomAddressH:
      return static_cast<uint8_t>(s.random_address >> 16);
    case gear::kQueryRandomAddressM:
      return static_cast<uint8_t>(s.random_address >> 8);
    case gear::kQueryRandomAddressL:
      return static_cast<uint8_t>(s.random_address);
    case gear::kReadMemoryLocation:
      return read_memory();
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
  s.led.dimming_curve = 0;
  s.led.fast_fade_time = 0;
  if (s.colour) {
    ColourState& c = *s.colour;
    c.coolest = c.physical_coolest;
    c.warmest = c.physical_warmest;
    c.temporary = colour::kMirekMask;
    c.temporary_type = kMask;
    c.out_of_range = false;
  }
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
  state_.write_enabled = false;
  state_.memory_bank1[kBankLockLocation] = 0xFF;  // the lock byte is volatile
  const uint8_t level = state_.power_on_level == kMask
                            ? state_.last_active_level
                            : state_.power_on_level;
  set_level_now(clamp_level(level));
  state_.power_cycle_seen = true;
}

}  // namespace kovra62386::dali
