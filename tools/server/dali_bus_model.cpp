#include "dali_bus_model.h"

#include <utility>

namespace kovra62386::sim {
namespace {

dali::BusResponse to_response(const BusReply& reply) {
  switch (reply.kind) {
    case CompletionKind::Answer:
      return dali::BusResponse::answered(reply.answer);
    case CompletionKind::Collision:
      return dali::BusResponse::collision();
    case CompletionKind::NoAnswer:
      break;
  }
  return dali::BusResponse::no_answer();
}

}  // namespace

DaliBusModel::DaliBusModel() = default;

DaliBusModel::DaliBusModel(std::vector<dali::GearConfig> gear)
    : bus_(std::move(gear)) {}

BusReply DaliBusModel::forward_frame(const BusFrame& frame,
                                     Clock::time_point at) {
  if (!dali::SimulatedBus::transmittable(frame.bit_count)) return {};
  const dali::BusResponse response =
      bus_.forward_frame(frame.data, frame.bit_count, at);
  switch (response.kind) {
    case dali::BusResponse::Kind::Answer:
      return {CompletionKind::Answer, response.answer};
    case dali::BusResponse::Kind::Collision:
      return {CompletionKind::Collision, 0};
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

TransactionTiming DaliBusModel::timing(const BusReply& reply,
                                       uint32_t bit_count) const {
  const dali::TransactionTiming t =
      dali::transaction_timing(to_response(reply), bit_count);
  return {t.echo, t.completion, t.bus_free};
}

}  // namespace kovra62386::sim
