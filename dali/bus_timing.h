// The timing of a DALI bus (IEC 62386-101, 1200 bit/s): the one table of
// frame lengths, settling times and answer delays that the simulated bus,
// the server's real-timing interfaces and the benchmark all use.
//
// Settling times run from the last bit of one frame to the start bit of
// the next; a frame's stop condition (the line idle for at least 2.45 ms)
// lies inside them. A transmitter may start anywhere in its window; the
// simulated interface starts at the window's lower end, as fast as a
// conforming bus allows.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "kovra62386/kovra62386.h"

namespace kovra62386::dali::timing {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

struct Window {
  microseconds min;
  microseconds max;
};

// One bit (two half-bits of Manchester code).
inline constexpr nanoseconds kBitTime{833'333};
// How far a receiver lets an edge stray from its place (10 % of a bit, the
// 333-500 us accepted for a 417 us half-bit). Two backward frames that start
// further apart than this garble each other even when their bits agree.
inline constexpr nanoseconds kBitTolerance = kBitTime / 10;
// The idle line that ends every frame.
inline constexpr microseconds kStopCondition{2'450};

// A forward frame on the wire: start bit and the data bits (16 bits:
// 17 bit times, 14.17 ms), without its stop condition.
constexpr nanoseconds forward_frame(unsigned data_bits) noexcept {
  return kBitTime * (1 + data_bits);
}
// A backward frame: start bit and 8 data bits (7.5 ms), without its stop
// condition.
inline constexpr nanoseconds kBackwardFrame = kBitTime * 9;

// From the end of a forward frame to the start of its backward frame: gear
// answer inside this window, and after its end there is no answer.
inline constexpr Window kAnswerDelay{microseconds{5'500}, microseconds{10'500}};

// Before every forward frame, by the frame's priority (1 highest; a write
// record's sub_type carries it).
inline constexpr unsigned kHighestPriority = KOVRA62386_PRIORITY_HIGHEST;
inline constexpr unsigned kLowestPriority = KOVRA62386_PRIORITY_LOWEST;
inline constexpr std::array<Window, 5> kForwardSettling{{
    {microseconds{13'500}, microseconds{14'700}},
    {microseconds{14'900}, microseconds{16'100}},
    {microseconds{16'300}, microseconds{17'700}},
    {microseconds{17'900}, microseconds{19'300}},
    {microseconds{19'500}, microseconds{21'100}},
}};
// The second frame of a command sent twice goes out at the highest
// priority, so no other transmitter's frame can come between the two.
inline constexpr unsigned kSendTwicePriority = kHighestPriority;
// A send-twice command takes effect when its second frame follows within
// this time; the initialisation state of a commissioning search lasts this
// long after INITIALISE.
inline constexpr std::chrono::milliseconds kSendTwiceWindow{100};
inline constexpr std::chrono::minutes kInitialisationWindow{15};

constexpr bool valid_priority(unsigned priority) noexcept {
  return priority >= kHighestPriority && priority <= kLowestPriority;
}
// The settling window of a priority; out-of-range values count as the
// lowest priority.
constexpr Window forward_settling(unsigned priority) noexcept {
  return kForwardSettling[valid_priority(priority) ? priority - 1
                                                   : kLowestPriority - 1];
}

// What came back after a forward frame, as far as timing goes.
struct Backward {
  bool sent = false;  // some gear answered (one frame, or several colliding)
  // From the end of the forward frame to the first backward start bit.
  microseconds delay{kAnswerDelay.min};
  // How much later the last of several overlapping backward frames started.
  microseconds spread{0};
};

// When the parts of one transaction happen, from the start of its forward
// frame.
struct TransactionTiming {
  nanoseconds echo;        // the forward frame and its stop condition ended
  nanoseconds completion;  // the answer is complete, or the window closed
  nanoseconds quiet;  // the last bit on the line: settling counts from here
  // The earliest start of the next forward frame of `priority`.
  constexpr nanoseconds next_forward(unsigned priority) const noexcept {
    return quiet + forward_settling(priority).min;
  }
};

// A 16-bit query answered after 5.5 ms: echo 16.6 ms, completion 29.6 ms,
// quiet 27.2 ms. Unanswered: completion 24.7 ms (window closed), quiet
// 14.2 ms.
constexpr TransactionTiming transaction_timing(
    unsigned data_bits, const Backward& answer) noexcept {
  const nanoseconds forward = forward_frame(data_bits);
  const nanoseconds echo = forward + kStopCondition;
  if (!answer.sent) return {echo, forward + kAnswerDelay.max, forward};
  const nanoseconds last_bit =
      forward + answer.delay + answer.spread + kBackwardFrame;
  return {echo, last_bit + kStopCondition, last_bit};
}

// The shortest 16-bit query transaction a conforming bus allows: forward
// frame, the shortest answer delay, backward frame, the shortest settling
// time before the next forward frame (40.67 ms, 24.6 transactions/s).
constexpr nanoseconds shortest_query_transaction() noexcept {
  return forward_frame(16) + kAnswerDelay.min + kBackwardFrame +
         kForwardSettling[0].min;
}

}  // namespace kovra62386::dali::timing
