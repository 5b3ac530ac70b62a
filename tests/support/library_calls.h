// Small helpers over the exported functions, shared by the end-to-end tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/transport/arrival_signal.h"
#include "kovra62386/kovra62386.h"
#include "support/records.h"

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

inline bool listed(const std::string& name) {
  const std::vector<std::string> names = enumerate_names();
  for (const std::string& listed_name : names) {
    if (listed_name == name) return true;
  }
  return false;
}

// A real interface is listed once the server has marked it connected, on
// its own thread, a moment after the fake unit saw it open the device:
// ask again, bounded.
inline bool listed_soon(
    const std::string& name,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!listed(name)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
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
    if (result != KOVRA62386_READ_EMPTY || now >= deadline) return result;
    arrivals.wait_for_change(
        generation,
        std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

// Reads every frame until the handle answers something else than a frame:
// the frames' values, and that last answer.
inline std::pair<std::vector<uint32_t>, int32_t> drain(
    uint32_t handle,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  std::vector<uint32_t> values;
  ReadFrameRecord record{};
  int32_t result = KOVRA62386_READ_FRAME;
  while ((result = read_next(handle, record, timeout)) ==
         KOVRA62386_READ_FRAME) {
    values.push_back(record.bus_event.value);
  }
  return {values, result};
}

}  // namespace kovra62386::test
