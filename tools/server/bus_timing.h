// Timing of one DALI bus at 1200 bit/s: how long frames take and the gaps
// the bus keeps between them. BusModel::timing() uses it unless a model
// brings its own.
#pragma once

#include <chrono>
#include <cstdint>

namespace kovra62386::sim {

struct BusTiming {
  using Duration = std::chrono::nanoseconds;

  // One bit at 1200 bit/s.
  static constexpr Duration bit_time{833'333};
  // A forward frame: start bit and the data bits (17 bit times for 16 bits).
  static constexpr Duration forward_frame(uint32_t bit_count) {
    return bit_time * (bit_count + 1);
  }
  // A backward frame: start bit, 8 data bits, 2 stop bits.
  static constexpr std::chrono::microseconds backward_frame{9'167};
  // Gear answer 5.5-10.5 ms after the forward frame ended; the simulated
  // gear answer after 7 ms.
  static constexpr std::chrono::microseconds backward_delay{7'000};
  // After this long without a backward frame there is no answer.
  static constexpr std::chrono::microseconds answer_window{10'500};
  // From the end of a forward frame to the next forward frame.
  static constexpr std::chrono::microseconds forward_gap{13'500};
  // From the end of a backward frame to the next forward frame.
  static constexpr std::chrono::microseconds backward_gap{2'400};
};

}  // namespace kovra62386::sim
