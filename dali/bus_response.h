// What one forward frame got from the bus: an answer, silence, a collision,
// or nothing sent at all, with the timing of the backward frame. The
// commissioning search reads it from any transport; the simulated bus
// produces it.
#pragma once

#include <cstdint>

#include "dali/bus_timing.h"

namespace kovra62386::dali {

struct BusResponse {
  enum class Kind : uint8_t {
    NoAnswer,        // sent; no backward frame within the window
    Answer,          // sent; one valid backward frame, `answer`
    Collision,       // sent; backward frames collided (framing error)
    NotTransmitted,  // the bus has no power; the frame never went out
  };
  Kind kind = Kind::NoAnswer;
  uint8_t answer = 0;  // only for Answer
  // Answer and Collision: when the (first) backward frame started after the
  // forward frame, and how much later the last colliding one started.
  timing::microseconds delay = timing::kAnswerDelay.min;
  timing::microseconds spread{0};

  static constexpr BusResponse no_answer() { return {Kind::NoAnswer}; }
  static constexpr BusResponse answered(
      uint8_t byte, timing::microseconds delay = timing::kAnswerDelay.min) {
    return {Kind::Answer, byte, delay};
  }
  static constexpr BusResponse collision(
      timing::microseconds delay = timing::kAnswerDelay.min,
      timing::microseconds spread = {}) {
    return {Kind::Collision, 0, delay, spread};
  }
  static constexpr BusResponse not_transmitted() {
    return {Kind::NotTransmitted};
  }
  timing::Backward backward() const noexcept {
    const bool sent = kind == Kind::Answer || kind == Kind::Collision;
    return {sent, delay, spread};
  }
  // The outcome; its timing is not part of it.
  friend bool operator==(const BusResponse& a, const BusResponse& b) {
    return a.kind == b.kind && a.answer == b.answer;
  }
};

// When the parts of one transaction happen (see bus_timing.h); all zero
// when nothing was transmitted.
inline timing::TransactionTiming transaction_timing(
    const BusResponse& response, unsigned bit_count) noexcept {
  if (response.kind == BusResponse::Kind::NotTransmitted) return {};
  return timing::transaction_timing(bit_count, response.backward());
}
// The bus time one transaction takes: until the next forward frame of the
// highest priority may start (zero when nothing was transmitted).
inline timing::nanoseconds transaction_duration(const BusResponse& response,
                                                unsigned bit_count) noexcept {
  if (response.kind == BusResponse::Kind::NotTransmitted) return {};
  return transaction_timing(response, bit_count)
      .next_forward(timing::kHighestPriority);
}

}  // namespace kovra62386::dali
