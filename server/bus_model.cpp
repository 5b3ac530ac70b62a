#include "server/bus_model.h"

#include "dali/dali_commands.h"

namespace kovra62386::sim {

BusReply QueryAnswerModel::forward_frame(const BusFrame& frame,
                                         Clock::time_point /*at*/) {
  if (frame.bit_count != 16) return {};
  const uint8_t address = frame.data[0];
  const uint8_t opcode = frame.data[1];
  const dali::DecodedAddress decoded = dali::decode_address_byte(address);
  if (decoded.address.kind != dali::AddressKind::Short || !decoded.selector ||
      opcode < dali::gear::kQueryStatus) {
    return {};
  }
  const uint8_t short_address = decoded.address.number;
  if (silent_.contains(short_address)) return {};
  if (collide_next_) {
    collide_next_ = false;
    return {CompletionKind::Collision, 0};
  }
  return {CompletionKind::Answer, answer_for(short_address, opcode)};
}

void QueryAnswerModel::set_gear_silent(uint8_t short_address, bool silent) {
  if (silent) {
    silent_.insert(short_address);
  } else {
    silent_.erase(short_address);
  }
}

TransactionTiming transaction_timing(const BusReply& reply,
                                     uint32_t bit_count) {
  const bool sent = reply.kind != CompletionKind::NoAnswer;
  return dali::timing::transaction_timing(bit_count,
                                          {sent, reply.delay, reply.spread});
}

}  // namespace kovra62386::sim
