#include "simulator/simulated_bus.h"

#include <algorithm>
#include <random>

namespace kovra62386::dali {
namespace {

// Whether the frame is one that gear may answer, from the command table.
bool is_query_frame(uint8_t address_byte, uint8_t second_byte) {
  const DecodedAddress decoded = decode_address_byte(address_byte);
  if (decoded.address.kind == AddressKind::Special) {
    const Command* c = special_command_in(address_byte, second_byte);
    return c != nullptr && c->query;
  }
  if (decoded.address.kind == AddressKind::Reserved || !decoded.selector) {
    return false;
  }
  const Command* c = find_standard_command(second_byte);
  return c != nullptr && c->query;
}

// The answer delay of each gear: its own, or drawn evenly from the window
// (whole microseconds) by a generator seeded per bus.
struct AnswerDelays {
  std::vector<timing::microseconds> gear;
  std::vector<timing::microseconds> devices;
};

AnswerDelays answer_delays(const std::vector<GearConfig>& gear,
                           const std::vector<ControlDeviceConfig>& devices,
                           uint64_t seed) {
  // mt19937_64's output is the same on every platform (a distribution's
  // is not), so a seed means the same delays everywhere.
  std::mt19937_64 generator(seed);
  const auto width = static_cast<uint64_t>(
      (timing::kAnswerDelay.max - timing::kAnswerDelay.min).count() + 1);
  // Drawn for every one, so one's own delay leaves the others' draws as
  // they were; devices draw after all gear, so gear delays stay as before.
  auto draw = [&](const std::optional<timing::microseconds>& own) {
    const timing::microseconds drawn =
        timing::kAnswerDelay.min +
        timing::microseconds(static_cast<int64_t>(generator() % width));
    return own ? std::clamp(*own, timing::kAnswerDelay.min,
                            timing::kAnswerDelay.max)
               : drawn;
  };
  AnswerDelays delays;
  delays.gear.reserve(gear.size());
  for (const GearConfig& c : gear) delays.gear.push_back(draw(c.answer_delay));
  delays.devices.reserve(devices.size());
  for (const ControlDeviceConfig& c : devices) {
    delays.devices.push_back(draw(c.answer_delay));
  }
  return delays;
}

uint16_t groups_of(std::initializer_list<unsigned> groups) {
  uint16_t bits = 0;
  for (unsigned g : groups) bits = static_cast<uint16_t>(bits | (1u << g));
  return bits;
}

}  // namespace

std::vector<GearConfig> SimulatedBus::default_configuration() {
  std::vector<GearConfig> gear;
  auto add = [&](uint8_t short_address, uint8_t level, uint16_t groups,
                 uint64_t seed) -> GearConfig& {
    GearConfig c;
    c.short_address = short_address;
    c.actual_level = level;
    c.groups = groups;
    c.seed = seed;
    gear.push_back(c);
    return gear.back();
  };
  GearConfig& g0 = add(0, 254, groups_of({0}), 0x1001);
  g0.scenes[0] = 254;
  g0.scenes[1] = 100;
  GearConfig& g1 = add(1, 128, groups_of({0, 1}), 0x1002);
  g1.scenes[0] = 200;
  g1.fade_time = 0;
  GearConfig& g2 = add(2, 0, groups_of({1}), 0x1003);
  g2.physical_minimum = 40;
  g2.min_level = 40;
  GearConfig& g5 = add(5, 200, groups_of({2}), 0x1005);
  g5.max_level = 230;
  g5.scenes[1] = 150;
  GearConfig& g9 = add(9, 85, groups_of({0, 2, 15}), 0x1009);
  g9.power_on_level = 100;
  g9.system_failure_level = kMask;
  // Fresh gear as delivered: no short address, full light.
  add(kNoShortAddress, 254, 0, 0x2001);
  add(kNoShortAddress, 254, 0, 0x2002);
  add(kNoShortAddress, 254, 0, 0x2003);
  // Tunable white (device type 8) in group 3: a warm one and a neutral one,
  // both able to span 2700-6500 K.
  GearConfig& t10 = add(10, 200, groups_of({3}), 0x100A);
  t10.colour_temperature = ColourTemperatureConfig{};
  t10.colour_temperature->colour_temperature = 333;  // 3000 K
  GearConfig& t11 = add(11, 150, groups_of({3}), 0x100B);
  t11.colour_temperature = ColourTemperatureConfig{};  // 4000 K
  return gear;
}

std::vector<ControlDeviceConfig> SimulatedBus::default_control_devices() {
  using device::EventScheme;
  using device::InstanceType;
  auto instance = [](InstanceType type, EventScheme scheme) {
    InstanceConfig c;
    c.type = type;
    c.event_scheme = scheme;
    return c;
  };
  std::vector<ControlDeviceConfig> devices(4);
  devices[0].short_address = 7;
  devices[0].random_address = 0x3A0007;
  devices[0].seed = 0x3001;
  for (int b = 0; b < 4; ++b) {
    devices[0].instances.push_back(
        instance(InstanceType::PushButton, EventScheme::DeviceInstance));
  }
  devices[1].short_address = 12;
  devices[1].random_address = 0x3A0012;
  devices[1].seed = 0x3002;
  devices[1].instances = {
      instance(InstanceType::Occupancy, EventScheme::Device)};
  devices[2].short_address = 13;
  devices[2].random_address = 0x3A0013;
  devices[2].seed = 0x3003;
  devices[2].instances = {
      instance(InstanceType::LightSensor, EventScheme::Device)};
  // Fresh from the box: no short address, instance addressing.
  devices[3].seed = 0x3004;
  devices[3].instances = {
      instance(InstanceType::Occupancy, EventScheme::Instance),
      instance(InstanceType::LightSensor, EventScheme::Instance)};
  return devices;
}

SimulatedBus::SimulatedBus()
    : SimulatedBus(default_configuration(), default_control_devices()) {}

SimulatedBus::SimulatedBus(std::vector<GearConfig> gear, CollisionPolicy policy,
                           uint64_t seed)
    : SimulatedBus(std::move(gear), {}, policy, seed) {}

SimulatedBus::SimulatedBus(std::vector<GearConfig> gear,
                           std::vector<ControlDeviceConfig> devices,
                           CollisionPolicy policy, uint64_t seed)
    : policy_(policy) {
  AnswerDelays delays = answer_delays(gear, devices, seed);
  gear_.reserve(gear.size());
  for (size_t i = 0; i < gear.size(); ++i) {
    gear_.push_back(Slot{ControlGear(gear[i]), delays.gear[i], false});
  }
  devices_.reserve(devices.size());
  for (const ControlDeviceConfig& c : devices) devices_.emplace_back(c);
  device_delays_ = std::move(delays.devices);
}

BusResponse SimulatedBus::forward_frame(const uint8_t* data, unsigned bit_count,
                                        Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!powered_) return BusResponse::not_transmitted();
  if (data == nullptr || bit_count == 0) return BusResponse::no_answer();
  if (bit_count != 16) {
    // Gear only notice the traffic; 24-bit frames are the devices'.
    for (Slot& s : gear_) s.gear.foreign_frame();
    if (bit_count == 24) return device_frame(data, now);
    for (ControlDevice& d : devices_) d.foreign_frame();
    return BusResponse::no_answer();
  }
  const uint8_t address_byte = data[0];
  const uint8_t second_byte = data[1];
  std::vector<Heard> answers;
  for (Slot& s : gear_) {
    const auto a = s.gear.receive(address_byte, second_byte, now);
    if (a && !s.silent) answers.push_back({*a, s.answer_delay});
  }
  for (ControlDevice& d : devices_) d.foreign_frame();
  return resolve(answers, is_query_frame(address_byte, second_byte));
}

BusResponse SimulatedBus::device_frame(const uint8_t* data,
                                       Clock::time_point now) {
  std::vector<Heard> answers;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (const auto a = devices_[i].receive(data, now)) {
      answers.push_back({*a, device_delays_[i]});
    }
  }
  return resolve(answers, false);
}

BusResponse SimulatedBus::resolve(const std::vector<Heard>& answers,
                                  bool query) {
  const auto [first, last] = std::minmax_element(
      answers.begin(), answers.end(),
      [](const Heard& x, const Heard& y) { return x.delay < y.delay; });
  if (force_collision_ && (!answers.empty() || query)) {
    force_collision_ = false;
    return answers.empty() ? BusResponse::collision()
                           : BusResponse::collision(first->delay,
                                                    last->delay - first->delay);
  }
  if (answers.empty()) return BusResponse::no_answer();
  const timing::microseconds spread = last->delay - first->delay;
  const bool same_bytes =
      std::all_of(answers.begin(), answers.end(),
                  [&](const Heard& h) { return h.byte == first->byte; });
  bool valid = answers.size() == 1;
  if (!valid && same_bytes) {
    switch (policy_) {
      case CollisionPolicy::SameByteInStep:
        valid = spread <= timing::kBitTolerance;
        break;
      case CollisionPolicy::SameByteIsValid:
        valid = true;
        break;
      case CollisionPolicy::AnyTwoAnswersCollide:
        break;
    }
  }
  if (!valid) return BusResponse::collision(first->delay, spread);
  // Superposed frames read as the first one, stretched by the others.
  BusResponse response = BusResponse::answered(first->byte, first->delay);
  response.spread = spread;
  return response;
}

void SimulatedBus::set_power(bool on, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (on == powered_) return;
  powered_ = on;
  if (!on) {
    for (Slot& s : gear_) s.gear.bus_power_lost(now);
  }
  for (ControlDevice& d : devices_) {
    if (on) {
      d.bus_power_returned();
    } else {
      d.bus_power_lost();
    }
  }
}

bool SimulatedBus::powered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return powered_;
}

void SimulatedBus::power_cycle_gear(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Slot& s : gear_) s.gear.power_cycle(now);
}

bool SimulatedBus::set_silent(uint8_t short_address, bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool found = false;
  for (Slot& s : gear_) {
    if (s.gear.state().has_short_address() &&
        s.gear.state().short_address == short_address) {
      s.silent = silent;
      found = true;
    }
  }
  return found;
}

void SimulatedBus::force_collision_next_query() {
  std::lock_guard<std::mutex> lock(mutex_);
  force_collision_ = true;
}

std::vector<GearInfo> SimulatedBus::gear(Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<GearInfo> out;
  out.reserve(gear_.size());
  for (size_t i = 0; i < gear_.size(); ++i) {
    out.push_back(GearInfo{i, gear_[i].silent, gear_[i].answer_delay,
                           gear_[i].gear.state(now)});
  }
  return out;
}

size_t SimulatedBus::gear_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gear_.size();
}

std::optional<GearInfo> SimulatedBus::gear_at(uint8_t short_address,
                                              Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < gear_.size(); ++i) {
    const GearState& st = gear_[i].gear.state();
    if (st.has_short_address() && st.short_address == short_address) {
      return GearInfo{i, gear_[i].silent, gear_[i].answer_delay,
                      gear_[i].gear.state(now)};
    }
  }
  return std::nullopt;
}

CollisionPolicy SimulatedBus::collision_policy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return policy_;
}

}  // namespace kovra62386::dali

namespace kovra62386::dali {

std::vector<ControlDeviceInfo> SimulatedBus::control_devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ControlDeviceInfo> out;
  out.reserve(devices_.size());
  for (size_t i = 0; i < devices_.size(); ++i) {
    out.push_back(ControlDeviceInfo{i, devices_[i].state()});
  }
  return out;
}

std::string SimulatedBus::act_on_device(
    const DeviceSelector& selector,
    const std::function<std::string(ControlDevice&)>& act) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!powered_) return "the bus has no power";
  ControlDevice* found = nullptr;
  if (selector.short_address) {
    for (ControlDevice& d : devices_) {
      const ControlDeviceState s = d.state();
      if (s.short_address == *selector.short_address) {
        found = &d;
        break;
      }
    }
    if (!found) {
      return "no control device has short address " +
             std::to_string(*selector.short_address);
    }
  } else if (selector.index < devices_.size()) {
    found = &devices_[selector.index];
  } else {
    return "there is no control device #" + std::to_string(selector.index) +
           " (the bus has " + std::to_string(devices_.size()) + ")";
  }
  return act(*found);
}

std::optional<Clock::time_point> SimulatedBus::next_device_due() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<Clock::time_point> due;
  for (const ControlDevice& d : devices_) {
    const auto t = d.next_due();
    if (t && (!due || *t < *due)) due = t;
  }
  return due;
}

std::optional<DeviceFrame> SimulatedBus::take_device_frame(
    Clock::time_point now,
    const std::function<bool(const DeviceFrame&)>& accept) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!powered_) return std::nullopt;
  // Every device runs its timers; the one that wins arbitration sends.
  std::vector<std::pair<size_t, DeviceFrame>> ready;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (auto f = devices_[i].take_event(now)) ready.emplace_back(i, *f);
  }
  if (ready.empty()) return std::nullopt;
  const auto winner = std::min_element(
      ready.begin(), ready.end(), [](const auto& a, const auto& b) {
        if (a.second.priority != b.second.priority) {
          return a.second.priority < b.second.priority;
        }
        return a.second.due < b.second.due;
      });
  const DeviceFrame frame = winner->second;
  const bool sent = !accept || accept(frame);
  // The others keep their frames for the next free bus.
  for (auto it = ready.begin(); it != ready.end(); ++it) {
    if (it != winner || !sent) devices_[it->first].put_back(it->second);
  }
  if (!sent) return std::nullopt;
  for (Slot& s : gear_) s.gear.foreign_frame();
  for (ControlDevice& d : devices_) d.foreign_frame();
  return frame;
}

bool SimulatedBus::set_lamp_failure(uint8_t short_address, bool failed) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool found = false;
  for (Slot& s : gear_) {
    if (s.gear.state().has_short_address() &&
        s.gear.state().short_address == short_address) {
      s.gear.set_lamp_failure(failed);
      found = true;
    }
  }
  return found;
}

}  // namespace kovra62386::dali
