// The in-process server of the end-to-end tests: starting it published,
// and counting and awaiting what it received.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "protocol/message.h"
#include "server/server_core.h"

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

// Waits until the server has received `count` messages of `type`.
inline bool wait_for_messages(
    const sim::ServerCore& server, MessageType type, std::size_t count,
    uint32_t client = 0,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  return server.wait_until(
      [&](const sim::ServerObservation& observation) {
        return count_of(observation, type, client) >= count;
      },
      timeout);
}

// A server on the library's port, published in the registry; null when
// the port stays taken. Another program may hold the port for a moment,
// and a core that failed to start cannot be started again.
inline std::unique_ptr<sim::ServerCore> start_published_server(
    sim::ServerOptions options) {
  using Clock = std::chrono::steady_clock;
  options.publish = true;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    auto server = std::make_unique<sim::ServerCore>(options);
    if (server->start()) return server;
    if (Clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace kovra62386::test
