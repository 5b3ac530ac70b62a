// Counting what the in-process server received, shared by the end-to-end
// tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server_core.h"
#include "transport/message.h"

namespace kovra62386::test {

// Messages of `type` the server received, from one client or (0) from all.
inline std::size_t count_of(const sim::ServerObservation& observation,
                            MessageType type, uint32_t client = 0) {
  std::size_t count = 0;
  for (const auto& message : observation.messages) {
    if (!message.bytes.empty() &&
        message.bytes[0] == static_cast<uint8_t>(type) &&
        (client == 0 || message.client == client)) {
      ++count;
    }
  }
  return count;
}

}  // namespace kovra62386::test
