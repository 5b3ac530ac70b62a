#include "server/dali_bus_model.h"

#include <algorithm>
#include <utility>

namespace kovra62386::sim {

DaliBusModel::DaliBusModel() = default;

DaliBusModel::DaliBusModel(std::vector<dali::GearConfig> gear,
                           dali::CollisionPolicy policy, uint64_t seed)
    : bus_(std::move(gear), policy, seed) {}

DaliBusModel::DaliBusModel(std::vector<dali::GearConfig> gear,
                           std::vector<dali::ControlDeviceConfig> devices,
                           dali::CollisionPolicy policy, uint64_t seed)
    : bus_(std::move(gear), std::move(devices), policy, seed) {}

std::optional<BusModel::Clock::time_point> DaliBusModel::next_device_due()
    const {
  return bus_.next_device_due();
}

std::optional<DeviceTransmission> DaliBusModel::take_device_frame(
    Clock::time_point now,
    const std::function<bool(const DeviceTransmission&)>& accept) {
  auto to_transmission = [](const dali::DeviceFrame& f) {
    DeviceTransmission t;
    std::copy(f.bytes.begin(), f.bytes.end(), t.frame.data);
    t.frame.bit_count = 24;
    t.frame.format = KOVRA62386_FORMAT_VARIABLE;
    t.priority = f.priority;
    t.due = f.due;
    return t;
  };
  const auto frame =
      bus_.take_device_frame(now, [&](const dali::DeviceFrame& f) {
        return !accept || accept(to_transmission(f));
      });
  if (!frame) return std::nullopt;
  return to_transmission(*frame);
}

BusReply DaliBusModel::forward_frame(const BusFrame& frame,
                                     Clock::time_point at) {
  if (!dali::SimulatedBus::transmittable(frame.bit_count)) return {};
  const dali::BusResponse response =
      bus_.forward_frame(frame.data, frame.bit_count, at);
  switch (response.kind) {
    case dali::BusResponse::Kind::Answer:
      return {CompletionKind::Answer, response.answer, response.delay,
              response.spread};
    case dali::BusResponse::Kind::Collision:
      return {CompletionKind::Collision, 0, response.delay, response.spread};
    case dali::BusResponse::Kind::NoAnswer:
    case dali::BusResponse::Kind::NotTransmitted:
      // The interface refuses frames while the bus is down, so the second
      // kind does not reach here.
      break;
  }
  return {};
}

void DaliBusModel::power_changed(bool powered, Clock::time_point at) {
  bus_.set_power(powered, at);
}

void DaliBusModel::set_gear_silent(uint8_t short_address, bool silent) {
  bus_.set_silent(short_address, silent);
}

void DaliBusModel::force_collision_next_answer() {
  bus_.force_collision_next_query();
}

}  // namespace kovra62386::sim
