#include "tools/dali/simulated_bus.h"

#include <algorithm>

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

uint16_t groups_of(std::initializer_list<unsigned> groups) {
  uint16_t bits = 0;
  for (unsigned g : groups) bits = static_cast<uint16_t>(bits | (1u << g));
  return bits;
}

}  // namespace

TransactionTiming transaction_timing(const BusResponse& response,
                                     unsigned bit_count) noexcept {
  using namespace timing;
  if (response.kind == BusResponse::Kind::NotTransmitted) {
    return {microseconds{0}, microseconds{0}, microseconds{0}};
  }
  const microseconds forward = forward_frame(bit_count);
  if (response.kind == BusResponse::Kind::NoAnswer) {
    return {forward, forward + kBackwardWindowMax, forward + kForwardToForward};
  }
  const microseconds answered = forward + kBackwardDelay + kBackwardFrame;
  return {forward, answered, answered + kBackwardToForward};
}

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

SimulatedBus::SimulatedBus() : SimulatedBus(default_configuration()) {}

SimulatedBus::SimulatedBus(std::vector<GearConfig> gear, CollisionPolicy policy)
    : policy_(policy) {
  gear_.reserve(gear.size());
  for (const GearConfig& c : gear) gear_.push_back(Slot{ControlGear(c), false});
}

BusResponse SimulatedBus::forward_frame(const uint8_t* data, unsigned bit_count,
                                        Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!powered_) return BusResponse::not_transmitted();
  if (data == nullptr || bit_count == 0) return BusResponse::no_answer();
  if (bit_count != 16) {
    // No control devices live on this bus; gear only notice the traffic.
    for (Slot& s : gear_) s.gear.foreign_frame();
    return BusResponse::no_answer();
  }
  const uint8_t address_byte = data[0];
  const uint8_t second_byte = data[1];
  std::vector<uint8_t> answers;
  for (Slot& s : gear_) {
    const auto a = s.gear.receive(address_byte, second_byte, now);
    if (a && !s.silent) answers.push_back(*a);
  }
  if (force_collision_ &&
      (!answers.empty() || is_query_frame(address_byte, second_byte))) {
    force_collision_ = false;
    return BusResponse::collision();
  }
  if (answers.empty()) return BusResponse::no_answer();
  if (answers.size() == 1) return BusResponse::answered(answers.front());
  if (policy_ == CollisionPolicy::AnyTwoAnswersCollide) {
    return BusResponse::collision();
  }
  const bool all_same =
      std::all_of(answers.begin(), answers.end(),
                  [&](uint8_t b) { return b == answers.front(); });
  return all_same ? BusResponse::answered(answers.front())
                  : BusResponse::collision();
}

void SimulatedBus::set_power(bool on, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (on == powered_) return;
  powered_ = on;
  if (!on) {
    for (Slot& s : gear_) s.gear.bus_power_lost(now);
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
    out.push_back(GearInfo{i, gear_[i].silent, gear_[i].gear.state(now)});
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
      return GearInfo{i, gear_[i].silent, gear_[i].gear.state(now)};
    }
  }
  return std::nullopt;
}

CollisionPolicy SimulatedBus::collision_policy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return policy_;
}

}  // namespace kovra62386::dali
