// What a simulated bus answers to a forward frame. The server's bus
// interface (SimulatedInterface) owns the timing and the records; a model
// only decides the outcome of one frame, so a richer gear simulation plugs
// in behind the same interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>

#include "dali/bus_timing.h"
#include "kovra62386/kovra62386.h"

namespace kovra62386::sim {

enum class CompletionKind {
  NoAnswer,   // nothing came back within the backward-frame window
  Answer,     // one backward frame, carrying `answer`
  Collision,  // several gear answered at once, or a framing error
};

struct BusReply {
  CompletionKind kind = CompletionKind::NoAnswer;
  uint8_t answer = 0;
  // Answer and Collision: when the (first) backward frame started after the
  // forward frame, and how much later the last colliding one started.
  dali::timing::microseconds delay = dali::timing::kAnswerDelay.min;
  dali::timing::microseconds spread{0};
};

// A forward frame that a device on the bus sends by itself (an input
// device's event), at its priority (2-5).
struct DeviceTransmission {
  BusFrame frame{};
  uint8_t priority = 4;
  std::chrono::steady_clock::time_point due{};
};

using dali::timing::TransactionTiming;
// The bus timing of a transaction with this outcome (real-timing mode).
TransactionTiming transaction_timing(const BusReply& reply, uint32_t bit_count);

class BusModel {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~BusModel() = default;

  // One forward frame went out on the bus and ended at `at`. Only the
  // first data_byte_count(bit_count) bytes of frame.data are meaningful.
  virtual BusReply forward_frame(const BusFrame& frame,
                                 Clock::time_point at) = 0;

  // The bus lost or regained its supply; gear react as to a power cycle.
  virtual void power_changed(bool /*powered*/, Clock::time_point /*at*/) {}

  // Fault for tests: the gear at a short address (0-63) stops answering.
  virtual void set_gear_silent(uint8_t short_address, bool silent) = 0;

  // Fault for tests: the next frame that gets an answer collides instead.
  virtual void force_collision_next_answer() = 0;

  // Devices that send by themselves: when one next wants the bus (or has a
  // timer of its own to run); nullopt when none does.
  virtual std::optional<Clock::time_point> next_device_due() const {
    return std::nullopt;
  }
  // The device frame that wins the bus at `now`, provided `accept` (which
  // weighs it against the interface's own waiting frame) takes it; it is
  // then on the bus. nullopt when none is due or it was not accepted.
  virtual std::optional<DeviceTransmission> take_device_frame(
      Clock::time_point /*now*/,
      const std::function<bool(const DeviceTransmission&)>& /*accept*/) {
    return std::nullopt;
  }
};

// The answer model used when no gear simulation is built in: a 16-bit
// frame addressed to one short address (address byte 0AAAAAA1) whose
// opcode is a query (QUERY STATUS and above) gets an answer; every other frame
// gets none. Deterministic: the answer depends on the address and the opcode
// only.
class QueryAnswerModel : public BusModel {
 public:
  BusReply forward_frame(const BusFrame& frame, Clock::time_point at) override;
  void set_gear_silent(uint8_t short_address, bool silent) override;
  void force_collision_next_answer() override { collide_next_ = true; }

  // The answer that a query of `opcode` to `short_address` gets.
  static uint8_t answer_for(uint8_t short_address, uint8_t opcode) {
    return static_cast<uint8_t>(opcode ^ (short_address << 1));
  }

 private:
  std::set<uint8_t> silent_;
  bool collide_next_ = false;
};

}  // namespace kovra62386::sim
