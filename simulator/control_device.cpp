#include "simulator/control_device.h"

#include <algorithm>
#include <bit>

#include "dali/bus_timing.h"

namespace kovra62386::dali {
namespace {

namespace op = device::op;
using device::InstanceType;

// Repeats caught up at once at most, should the bus look late.
constexpr int kMaxRepeatsPerLook = 8;
constexpr uint8_t kVersion20 = 0x08;

// QUERY DEVICE CAPABILITIES: at least one instance, no application
// controller.
constexpr uint8_t kCapabilityInstances = 0x02;
// QUERY INSTANCE STATUS: bit 1 instance active.
constexpr uint8_t kInstanceActive = 0x02;

std::optional<uint8_t> yes_if(bool condition) {
  return condition ? std::optional<uint8_t>(kYes) : std::nullopt;
}

// xorshift64*: a small seeded generator, 24 bits per draw.
uint32_t next_random24(uint64_t& state) {
  if (state == 0) state = 0x2545F4914F6CDD1Dull;
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 40) &
         0xFFFFFF;
}

uint8_t resolution(InstanceType type) {
  switch (type) {
    case InstanceType::PushButton:
      return 1;
    case InstanceType::Occupancy:
      return 2;
    case InstanceType::LightSensor:
      return 10;
    default:
      return 8;
  }
}

}  // namespace

uint32_t default_event_filter(InstanceType type) noexcept {
  switch (type) {
    case InstanceType::PushButton:
      return device::button::kFilterPressed | device::button::kFilterReleased |
             device::button::kFilterLongPressStart |
             device::button::kFilterLongPressStop;
    case InstanceType::Occupancy:
      return device::occupancy::kFilterOccupied |
             device::occupancy::kFilterVacant;
    case InstanceType::LightSensor:
      return device::light::kFilterIlluminance;
    default:
      return 0;
  }
}

uint8_t ControlDeviceState::status() const noexcept {
  uint8_t s = 0;
  if (quiescent) s |= device::status::kQuiescent;
  if (!has_short_address()) s |= device::status::kNoShortAddress;
  if (power_cycle_seen) s |= device::status::kPowerCycleSeen;
  return s;
}

ControlDevice::ControlDevice(const ControlDeviceConfig& config)
    : rng_(config.seed), first_random_(config.first_random_address) {
  state_.short_address =
      config.short_address < 64 ? config.short_address : kNoShortAddress;
  state_.device_groups = config.device_groups;
  state_.random_address = config.random_address & 0xFFFFFF;
  const std::size_t count = std::min<std::size_t>(config.instances.size(), 32);
  for (std::size_t i = 0; i < count; ++i) {
    const InstanceConfig& c = config.instances[i];
    Instance instance;
    InstanceState& s = instance.state;
    s.type = c.type;
    s.enabled = c.enabled;
    s.event_filter =
        c.event_filter != 0 ? c.event_filter : default_event_filter(c.type);
    s.event_scheme = c.event_scheme;
    s.event_priority = std::clamp<uint8_t>(c.event_priority, 2, 5);
    s.primary_group = c.primary_group;
    s.group1 = c.group1;
    s.group2 = c.group2;
    instances_.push_back(instance);
  }
}

// ---- Commands ---------------------------------------------------------------

bool ControlDevice::addressed(uint8_t a) const noexcept {
  const device::DeviceAddress address = device::decode_device_address(a);
  switch (address.kind) {
    case device::DeviceAddress::Kind::Broadcast:
      return true;
    case device::DeviceAddress::Kind::BroadcastUnaddressed:
      return !state_.has_short_address();
    case device::DeviceAddress::Kind::Short:
      return state_.has_short_address() &&
             state_.short_address == address.number;
    case device::DeviceAddress::Kind::Group:
      return (state_.device_groups >> address.number) & 1;
    case device::DeviceAddress::Kind::Other:
      break;
  }
  return false;
}

bool ControlDevice::selects(const Instance& instance, uint8_t number,
                            uint8_t byte) const noexcept {
  const device::InstanceSelector selector = device::decode_instance_byte(byte);
  const uint8_t field = selector.number;
  switch (selector.kind) {
    case device::InstanceSelector::Kind::Every:
      return true;
    case device::InstanceSelector::Kind::Number:
      return number == field;
    case device::InstanceSelector::Kind::Group:
      return instance.state.primary_group == field ||
             instance.state.group1 == field || instance.state.group2 == field;
    case device::InstanceSelector::Kind::Type:
      return static_cast<uint8_t>(instance.state.type) == field;
    case device::InstanceSelector::Kind::Device:
    case device::InstanceSelector::Kind::Feature:
      break;  // a device command, or features: none simulated
  }
  return false;
}

bool ControlDevice::accepts_twice(const uint8_t* f, Clock::time_point now) {
  if (pending_ && pending_->address == f[0] && pending_->instance == f[1] &&
      pending_->opcode == f[2] && now >= pending_->at &&
      now - pending_->at <= timing::kSendTwiceWindow) {
    pending_.reset();
    return true;
  }
  pending_ = Frame{f[0], f[1], f[2], now};
  return false;
}

bool ControlDevice::initialising(Clock::time_point now) {
  if (state_.initialisation != InitialisationState::Disabled &&
      now - initialised_at_ > timing::kInitialisationWindow) {
    state_.initialisation = InitialisationState::Disabled;
  }
  return state_.initialisation != InitialisationState::Disabled;
}

std::optional<uint8_t> ControlDevice::receive(const uint8_t* frame,
                                              Clock::time_point now) {
  if (frame == nullptr || device::is_event_frame(frame)) {
    pending_.reset();  // another device's event is a frame in between
    return std::nullopt;
  }
  const uint8_t address = frame[0];
  if (address == device::kSpecial) {
    // INITIALISE and RANDOMISE count only when received twice.
    if (frame[1] == device::special::kInitialise ||
        frame[1] == device::special::kRandomise) {
      if (!accepts_twice(frame, now)) return std::nullopt;
    } else {
      pending_.reset();
    }
    return special(frame[1], frame[2], now);
  }
  if (address == device::kDtr1Dtr0 || address == device::kDtr2Dtr1) {
    pending_.reset();
    (address == device::kDtr1Dtr0 ? state_.dtr1 : state_.dtr2) = frame[1];
    (address == device::kDtr1Dtr0 ? state_.dtr0 : state_.dtr1) = frame[2];
    return std::nullopt;
  }
  const device::DeviceCommand* command = device::find_device_command(frame[2]);
  if (!addressed(address) || command == nullptr) {
    pending_.reset();
    return std::nullopt;
  }
  if (command->send_twice) {
    if (!accepts_twice(frame, now)) return std::nullopt;
  } else {
    pending_.reset();
  }
  if (!command->instance) {
    if (frame[1] != device::kInstanceDevice) return std::nullopt;
    return device_command(frame[2]);
  }
  // An instance command: the first selected instance answers for the
  // device; configuration reaches every selected one.
  std::optional<uint8_t> answer;
  for (std::size_t n = 0; n < instances_.size(); ++n) {
    if (!selects(instances_[n], static_cast<uint8_t>(n), frame[1])) continue;
    const auto a = instance_command(instances_[n], frame[2]);
    if (!answer) answer = a;
  }
  return answer;
}

std::optional<uint8_t> ControlDevice::special(uint8_t command, uint8_t data,
                                              Clock::time_point now) {
  const bool init = initialising(now);
  const bool selected = state_.random_address == state_.search_address;
  auto set_search_byte = [&](int shift) {
    if (!init) return;
    state_.search_address = (state_.search_address & ~(0xFFu << shift)) |
                            (static_cast<uint32_t>(data) << shift);
  };
  switch (command) {
    case device::special::kTerminate:
      if (data == 0) state_.initialisation = InitialisationState::Disabled;
      return std::nullopt;
    case device::special::kInitialise: {
      const bool chosen = data == device::special::kInitialiseAll ||
                          (data == device::special::kInitialiseUnaddressed &&
                           !state_.has_short_address()) ||
                          (data < 64 && state_.short_address == data);
      if (chosen) {
        state_.initialisation = InitialisationState::Enabled;
        initialised_at_ = now;
      }
      return std::nullopt;
    }
    case device::special::kRandomise:
      if (init && data == 0) state_.random_address = draw_random();
      return std::nullopt;
    case device::special::kCompare:
      return yes_if(data == 0 &&
                    state_.initialisation == InitialisationState::Enabled &&
                    state_.random_address <= state_.search_address);
    case device::special::kWithdraw:
      if (init && data == 0 && selected) {
        state_.initialisation = InitialisationState::Withdrawn;
      }
      return std::nullopt;
    case device::special::kSearchAddrH:
      set_search_byte(16);
      return std::nullopt;
    case device::special::kSearchAddrM:
      set_search_byte(8);
      return std::nullopt;
    case device::special::kSearchAddrL:
      set_search_byte(0);
      return std::nullopt;
    case device::special::kProgramShortAddress:
      if (init && selected && (data < 64 || data == kMask)) {
        state_.short_address = data < 64 ? data : kNoShortAddress;
      }
      return std::nullopt;
    case device::special::kVerifyShortAddress:
      return yes_if(init && state_.short_address == data);
    case device::special::kQueryShortAddress:
      if (!init || !selected || data != 0) return std::nullopt;
      return state_.has_short_address() ? state_.short_address : kMask;
    case device::special::kDtr0:
      state_.dtr0 = data;
      return std::nullopt;
    case device::special::kDtr1:
      state_.dtr1 = data;
      return std::nullopt;
    case device::special::kDtr2:
      state_.dtr2 = data;
      return std::nullopt;
    default:  // memory writes (no writable bank), test frames, reserved
      return std::nullopt;
  }
}

std::optional<uint8_t> ControlDevice::device_command(uint8_t opcode) {
  ControlDeviceState& s = state_;
  switch (opcode) {
    case op::kResetPowerCycleSeen:
      s.power_cycle_seen = false;
      return std::nullopt;
    case op::kReset:
      reset();
      return std::nullopt;
    case op::kSetShortAddress:
      if (s.dtr0 < 64 || s.dtr0 == kMask) {
        s.short_address = s.dtr0 < 64 ? s.dtr0 : kNoShortAddress;
      }
      return std::nullopt;
    case op::kSetOperatingMode:
      if (s.dtr0 == 0) s.operating_mode = 0;  // only the standard mode
      return std::nullopt;
    case op::kAddToDeviceGroups0To15:
    case op::kRemoveFromDeviceGroups0To15:
    case op::kAddToDeviceGroups16To31:
    case op::kRemoveFromDeviceGroups16To31: {
      const uint32_t bits = static_cast<uint32_t>(s.dtr2 << 8 | s.dtr1);
      const bool high = opcode == op::kAddToDeviceGroups16To31 ||
                        opcode == op::kRemoveFromDeviceGroups16To31;
      const uint32_t mask = high ? bits << 16 : bits;
      const bool add = opcode == op::kAddToDeviceGroups0To15 ||
                       opcode == op::kAddToDeviceGroups16To31;
      s.device_groups =
          add ? (s.device_groups | mask) : (s.device_groups & ~mask);
      return std::nullopt;
    }
    case op::kStartQuiescentMode:
      s.quiescent = true;
      return std::nullopt;
    case op::kStopQuiescentMode:
      s.quiescent = false;
      return std::nullopt;
    case op::kQueryDeviceStatus:
      return s.status();
    case op::kQueryApplicationControllerError:
      return std::nullopt;  // no application controller
    case op::kQueryInputDeviceError:
      return 0;
    case op::kQueryMissingShortAddress:
      return yes_if(!s.has_short_address());
    case op::kQueryVersionNumber:
      return kVersion20;
    case op::kQueryNumberOfInstances:
      return static_cast<uint8_t>(instances_.size());
    case op::kQueryContentDtr0:
      return s.dtr0;
    case op::kQueryContentDtr1:
      return s.dtr1;
    case op::kQueryContentDtr2:
      return s.dtr2;
    case op::kQueryRandomAddressH:
      return static_cast<uint8_t>(s.random_address >> 16);
    case op::kQueryRandomAddressM:
      return static_cast<uint8_t>(s.random_address >> 8);
    case op::kQueryRandomAddressL:
      return static_cast<uint8_t>(s.random_address);
    case op::kQueryApplicationControlEnabled:
      return std::nullopt;  // "no": not an application controller
    case op::kQueryOperatingMode:
      return s.operating_mode;
    case op::kQueryQuiescentMode:
      return yes_if(s.quiescent);
    case op::kQueryDeviceGroups0To7:
    case op::kQueryDeviceGroups8To15:
    case op::kQueryDeviceGroups16To23:
    case op::kQueryDeviceGroups24To31:
      return static_cast<uint8_t>(s.device_groups >>
                                  (8 * (opcode - op::kQueryDeviceGroups0To7)));
    case op::kQueryPowerCycleNotification:
      return std::nullopt;  // not enabled
    case op::kQueryDeviceCapabilities:
      return instances_.empty() ? 0 : kCapabilityInstances;
    case op::kQueryExtendedVersionNumber:
      // IEC 62386-103 itself is asked with DTR0 = 4 (its device type
      // number); the IEC 62386-3xx standards answer for their instances.
      return s.dtr0 == 4 ? std::optional<uint8_t>(kVersion20) : std::nullopt;
    default:
      // IDENTIFY DEVICE, memory bank commands, application controller and
      // power notification commands: accepted, nothing to simulate.
      return std::nullopt;
  }
}

std::optional<uint8_t> ControlDevice::instance_command(Instance& instance,
                                                       uint8_t opcode) {
  InstanceState& i = instance.state;
  switch (opcode) {
    case op::kSetEventPriority:
      if (state_.dtr0 >= 2 && state_.dtr0 <= 5) i.event_priority = state_.dtr0;
      return std::nullopt;
    case op::kEnableInstance:
      i.enabled = true;
      return std::nullopt;
    case op::kDisableInstance:
      i.enabled = false;
      return std::nullopt;
    case op::kSetPrimaryInstanceGroup:
    case op::kSetInstanceGroup1:
    case op::kSetInstanceGroup2:
      if (state_.dtr0 < 32 || state_.dtr0 == kMask) {
        (opcode == op::kSetPrimaryInstanceGroup ? i.primary_group
         : opcode == op::kSetInstanceGroup1     ? i.group1
                                                : i.group2) = state_.dtr0;
      }
      return std::nullopt;
    case op::kSetEventScheme:
      // A scheme the device cannot use falls back to instance addressing.
      i.event_scheme = static_cast<device::EventScheme>(
          state_.dtr0 < device::kEventSchemeCount ? state_.dtr0 : 0);
      return std::nullopt;
    case op::kSetEventFilter:
      i.event_filter = static_cast<uint32_t>(state_.dtr2 << 16 |
                                             state_.dtr1 << 8 | state_.dtr0);
      return std::nullopt;
    case op::kQueryInstanceType:
      return static_cast<uint8_t>(i.type);
    case op::kQueryResolution:
      return resolution(i.type);
    case op::kQueryInstanceError:
      return std::nullopt;  // no error
    case op::kQueryInstanceStatus:
      return i.enabled ? kInstanceActive : 0;
    case op::kQueryEventPriority:
      return i.event_priority;
    case op::kQueryInstanceEnabled:
      return yes_if(i.enabled);
    case op::kQueryPrimaryInstanceGroup:
      return i.primary_group;
    case op::kQueryInstanceGroup1:
      return i.group1;
    case op::kQueryInstanceGroup2:
      return i.group2;
    case op::kQueryEventScheme:
      return static_cast<uint8_t>(i.event_scheme);
    case op::kQueryInputValue:
      return input_value(instance, instance.latch);
    case op::kQueryInputValueLatch: {
      const uint8_t byte = static_cast<uint8_t>(instance.latch >> 24);
      instance.latch <<= 8;
      return byte;
    }
    case op::kQueryEventFilter0To7:
    case op::kQueryEventFilter8To15:
    case op::kQueryEventFilter16To23:
      return static_cast<uint8_t>(i.event_filter >>
                                  (8 * (opcode - op::kQueryEventFilter0To7)));
    default:
      return std::nullopt;
  }
}

// The first byte of the input value; the bytes after it wait in `latch`
// (most significant first) for QUERY INPUT VALUE LATCH.
uint8_t ControlDevice::input_value(const Instance& instance,
                                   uint32_t& latch) const {
  const InstanceState& i = instance.state;
  latch = 0;
  switch (i.type) {
    case InstanceType::PushButton:
      return i.held ? 0xFF : 0x00;
    case InstanceType::Occupancy:
      return static_cast<uint8_t>(
          ((i.value & device::occupancy::kOccupied) ? 0xAA : 0x00) |
          ((i.value & device::occupancy::kMovement) ? 0x55 : 0x00));
    case InstanceType::LightSensor: {
      // 10 bits, left-aligned in two bytes.
      const uint16_t aligned = static_cast<uint16_t>(i.value << 6);
      latch = static_cast<uint32_t>(aligned & 0xFF) << 24;
      return static_cast<uint8_t>(aligned >> 8);
    }
    default:
      return 0;
  }
}

void ControlDevice::reset() {
  state_.device_groups = 0;
  state_.quiescent = false;
  state_.operating_mode = 0;
  for (Instance& instance : instances_) {
    InstanceState& i = instance.state;
    i.event_filter = default_event_filter(i.type);
    i.event_scheme = device::EventScheme::Instance;
    i.event_priority = 4;
    i.primary_group = i.group1 = i.group2 = kMask;
  }
}

uint32_t ControlDevice::draw_random() {
  if (first_random_) {
    const uint32_t value = *first_random_ & 0xFFFFFF;
    first_random_.reset();
    return value;
  }
  return next_random24(rng_);
}

// ---- A person's hand and the events it causes
// --------------------------------

std::string ControlDevice::check_instance(uint8_t instance,
                                          InstanceType type) const {
  if (instance >= instances_.size()) {
    return "the device has no instance " + std::to_string(instance) +
           " (it has " + std::to_string(instances_.size()) + ")";
  }
  if (instances_[instance].state.type != type) {
    return "instance " + std::to_string(instance) + " is of type " +
           device::instance_type_name(
               static_cast<uint8_t>(instances_[instance].state.type)) +
           ", not " + device::instance_type_name(static_cast<uint8_t>(type));
  }
  return {};
}

std::string ControlDevice::press(uint8_t number, Clock::time_point now,
                                 std::optional<Clock::duration> hold) {
  if (auto error = check_instance(number, InstanceType::PushButton);
      !error.empty()) {
    return error;
  }
  run_timers(now);
  Instance& b = instances_[number];
  if (!b.state.held) {
    b.state.held = true;
    b.state.long_press = false;
    b.pressed_at = now;
    emit(number, device::button::kPressed, device::button::kFilterPressed, now);
  }
  b.release_at.reset();
  if (hold) b.release_at = now + *hold;
  return {};
}

std::string ControlDevice::release(uint8_t number, Clock::time_point now) {
  if (auto error = check_instance(number, InstanceType::PushButton);
      !error.empty()) {
    return error;
  }
  run_timers(now);
  let_go(number, now);
  return {};
}

void ControlDevice::let_go(uint8_t number, Clock::time_point at) {
  Instance& b = instances_[number];
  b.release_at.reset();
  if (!b.state.held) return;
  b.state.held = false;
  emit(number, device::button::kReleased, device::button::kFilterReleased, at);
  if (b.state.long_press) {
    emit(number, device::button::kLongPressStop,
         device::button::kFilterLongPressStop, at);
  } else {
    emit(number, device::button::kShortPress, device::button::kFilterShortPress,
         at);
  }
  b.state.long_press = false;
}

std::string ControlDevice::set_occupied(uint8_t number, bool occupied,
                                        Clock::time_point now) {
  if (auto error = check_instance(number, InstanceType::Occupancy);
      !error.empty()) {
    return error;
  }
  run_timers(now);
  InstanceState& s = instances_[number].state;
  const uint16_t info =
      occupied ? (device::occupancy::kOccupied | device::occupancy::kMovement)
               : 0;
  const bool changed = ((s.value ^ info) & device::occupancy::kOccupied) != 0;
  s.value = info;
  emit(number, info,
       changed ? (occupied ? device::occupancy::kFilterOccupied
                           : device::occupancy::kFilterVacant)
               : device::occupancy::kFilterRepeat,
       now);
  return {};
}

std::string ControlDevice::set_illuminance(uint8_t number, unsigned value,
                                           Clock::time_point now) {
  if (auto error = check_instance(number, InstanceType::LightSensor);
      !error.empty()) {
    return error;
  }
  run_timers(now);
  InstanceState& s = instances_[number].state;
  const auto clamped = static_cast<uint16_t>(
      std::min<unsigned>(value, device::light::kMaxValue));
  if (clamped == s.value) return {};
  s.value = clamped;
  emit(number, clamped, device::light::kFilterIlluminance, now);
  return {};
}

void ControlDevice::emit(uint8_t number, uint16_t info, uint32_t filter_bit,
                         Clock::time_point at) {
  const InstanceState& i = instances_[number].state;
  if (!i.enabled || state_.quiescent || (i.event_filter & filter_bit) == 0) {
    return;
  }
  device::DeviceEvent event;
  device::EventSource& source = event.source;
  source.scheme = i.event_scheme;
  source.short_address = state_.short_address;
  source.instance_type = static_cast<uint8_t>(i.type);
  source.instance_number = number;
  // Schemes that name the device need its address or a group; without
  // them the device falls back to instance addressing.
  switch (i.event_scheme) {
    case device::EventScheme::Device:
    case device::EventScheme::DeviceInstance:
      if (!state_.has_short_address()) {
        source.scheme = device::EventScheme::Instance;
      }
      break;
    case device::EventScheme::DeviceGroup: {
      const auto g = std::countr_zero(state_.device_groups);
      if (g >= 32) {
        source.scheme = device::EventScheme::Instance;
      } else {
        source.group = static_cast<uint8_t>(g);
      }
      break;
    }
    case device::EventScheme::InstanceGroup:
      if (i.primary_group == kMask) {
        source.scheme = device::EventScheme::Instance;
      } else {
        source.group = i.primary_group;
      }
      break;
    default:
      break;
  }
  event.info = info;
  if (outbox_.size() >= kMaxPendingFrames) outbox_.pop_front();
  outbox_.push_back(
      DeviceFrame{device::encode_event(event), i.event_priority, at});
}

void ControlDevice::run_timers(Clock::time_point now) {
  for (std::size_t n = 0; n < instances_.size(); ++n) {
    Instance& b = instances_[n];
    if (b.state.type != InstanceType::PushButton || !b.state.held) continue;
    const auto number = static_cast<uint8_t>(n);
    const Clock::time_point long_at = b.pressed_at + kShortPressLimit;
    const Clock::time_point end =
        b.release_at ? std::min(now, *b.release_at) : now;
    if (!b.state.long_press && end >= long_at) {
      b.state.long_press = true;
      b.next_repeat = long_at + kRepeatInterval;
      emit(number, device::button::kLongPressStart,
           device::button::kFilterLongPressStart, long_at);
    }
    if (b.state.long_press) {
      for (int k = 0; k < kMaxRepeatsPerLook && b.next_repeat <= end; ++k) {
        emit(number, device::button::kLongPressRepeat,
             device::button::kFilterLongPressRepeat, b.next_repeat);
        b.next_repeat += kRepeatInterval;
      }
      // A bus that looked very late skips the repeats it missed.
      if (b.next_repeat <= end) b.next_repeat = end + kRepeatInterval;
    }
    if (b.release_at && *b.release_at <= now) let_go(number, *b.release_at);
  }
}

std::optional<Clock::time_point> ControlDevice::next_due() const {
  std::optional<Clock::time_point> due;
  auto consider = [&](Clock::time_point t) {
    if (!due || t < *due) due = t;
  };
  if (!outbox_.empty()) consider(outbox_.front().due);
  for (const Instance& b : instances_) {
    if (b.state.type != InstanceType::PushButton || !b.state.held) continue;
    if (b.release_at) consider(*b.release_at);
    if (!b.state.long_press) {
      consider(b.pressed_at + kShortPressLimit);
    } else if (b.state.event_filter & device::button::kFilterLongPressRepeat) {
      consider(b.next_repeat);
    }
  }
  return due;
}

std::optional<DeviceFrame> ControlDevice::take_event(Clock::time_point now) {
  run_timers(now);
  if (outbox_.empty() || outbox_.front().due > now) return std::nullopt;
  DeviceFrame frame = outbox_.front();
  outbox_.pop_front();
  return frame;
}

void ControlDevice::bus_power_lost() {
  outbox_.clear();
  pending_.reset();
  for (Instance& b : instances_) {
    b.state.held = false;
    b.state.long_press = false;
    b.release_at.reset();
  }
}

void ControlDevice::bus_power_returned() {
  state_.power_cycle_seen = true;
  state_.initialisation = InitialisationState::Disabled;
}

ControlDeviceState ControlDevice::state() const {
  ControlDeviceState copy = state_;
  copy.instances.clear();
  for (const Instance& i : instances_) copy.instances.push_back(i.state);
  return copy;
}

}  // namespace kovra62386::dali
