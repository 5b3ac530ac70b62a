// Timing of one DALI bus at 1200 bit/s: how long frames take and the gaps
// the bus keeps between them. Used in the server's real-timing mode.
#pragma once

#include <chrono>
#include <cstdint>

namespace kovra62386::sim {

struct BusTiming {
  using Duration = std::chrono::microseconds;

  // One bit at 1200 bit/s.
  static constexpr Duration bit_time{833};
  // A forward frame: start bit and the data bits (17 bit times for 16 bits).
  static constexpr Duration forward_frame(uint32_t bit_count) {
    return bit_time * (bit_count + 1);
  }
  // A backward frame: start bit, 8 data bits, 2 stop bits.
  static constexpr Duration backward_frame{bit_time * 11};
  // Gear answer 5.5-10.5 ms after the forward frame ended; the simulated
  // gear answer in the middle of that window.
  static constexpr Duration backward_delay{8000};
  // After this long without a backward frame there is no answer.
  static constexpr Duration answer_window{10500};
  // Settling time between the ends of two forward frames' transactions.
  static constexpr Duration forward_gap{13500};
  // Settling time after a backward frame before the next forward frame.
  static constexpr Duration backward_gap{2400};
};

}  // namespace kovra62386::sim
