// Small helpers over the exported functions, shared by the end-to-end tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "transport/arrival_signal.h"

namespace kovra62386::test {

// The names KOVRA62386_enumerate lists, in order; the list is freed.
inline std::vector<std::string> enumerate_names() {
  std::vector<std::string> names;
  EnumerationNode* first = KOVRA62386_enumerate();
  for (EnumerationNode* node = first; node != nullptr; node = node->next) {
    names.emplace_back(node->name);
  }
  KOVRA62386_free_enumeration(first);
  return names;
}

// Reads until something other than "nothing queued" comes or `timeout`
// passes, waking on arrivals instead of polling.
inline int32_t read_next(
    uint32_t handle, ReadFrameRecord& record,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  using Clock = std::chrono::steady_clock;
  ArrivalSignal& arrivals = ArrivalSignal::global();
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const uint64_t generation = arrivals.generation();
    const int32_t result = KOVRA62386_read(handle, &record);
    const auto now = Clock::now();
    if (result != 1 || now >= deadline) return result;
    arrivals.wait_for_change(
        generation,
        std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

// A 16-bit DALI forward frame in the variable-length form.
inline WriteFrameRecord forward_frame(uint8_t address, uint8_t opcode) {
  WriteFrameRecord frame{};
  frame.frame_type = 4;
  frame.frame.data[0] = address;
  frame.frame.data[1] = opcode;
  frame.frame.bit_count = 16;
  frame.frame.format = 5;
  return frame;
}

}  // namespace kovra62386::test
