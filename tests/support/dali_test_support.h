// Helpers for driving a SimulatedBus by command name with a controlled
// clock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string_view>

#include "simulator/simulated_bus.h"

namespace kovra62386::dali::testing {

using namespace std::chrono_literals;

class BusDriver {
 public:
  explicit BusDriver(SimulatedBus& bus) : bus_(bus) {}

  Clock::time_point now() const { return now_; }
  void advance(Clock::duration d) { now_ += d; }

  // One frame; the clock then moves on by the transaction's bus time, as a
  // real bus would.
  BusResponse raw(uint8_t a, uint8_t b) {
    const uint8_t data[2] = {a, b};
    const BusResponse r = bus_.forward_frame(data, 16, now_);
    now_ += transaction_duration(r, 16);
    return r;
  }

  // A named command, sent twice back to back when the table says so.
  BusResponse send(Address address, std::string_view name, uint8_t value = 0) {
    const Command* c = find_command(name);
    EXPECT_NE(c, nullptr) << name;
    if (c == nullptr) return BusResponse::no_answer();
    const auto bytes = encode_frame(address, *c, value);
    BusResponse r = raw(bytes[0], bytes[1]);
    if (c->send_twice) r = raw(bytes[0], bytes[1]);
    return r;
  }
  BusResponse special(std::string_view name, uint8_t value = 0) {
    return send(Address::broadcast(), name, value);
  }
  BusResponse dapc(Address address, uint8_t level) {
    return send(address, "DAPC", level);
  }
  // The answer byte, or -1 for no answer, -2 for a collision.
  int query(Address address, std::string_view name, uint8_t value = 0) {
    const BusResponse r = send(address, name, value);
    if (r.kind == BusResponse::Kind::Answer) return r.answer;
    return r.kind == BusResponse::Kind::Collision ? -2 : -1;
  }

 private:
  SimulatedBus& bus_;
  Clock::time_point now_ = Clock::time_point{} + 1h;
};

inline Address A(uint8_t a) { return Address::short_address(a); }
inline Address G(uint8_t g) { return Address::group(g); }
inline Address BC() { return Address::broadcast(); }

}  // namespace kovra62386::dali::testing
