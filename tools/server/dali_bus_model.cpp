#include "dali_bus_model.h"

#include <utility>

namespace kovra62386::sim {

DaliBusModel::DaliBusModel() = default;

DaliBusModel::DaliBusModel(std::vector<dali::GearConfig> gear,
                           dali::CollisionPolicy policy, uint64_t seed)
    : bus_(std::move(gear), policy, seed) {}

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
