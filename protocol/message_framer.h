// MessageFramer: cuts a byte stream into messages (type, length N, N bytes).
// Knows nothing of sockets, so it is fed bytes in tests and fuzzers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "protocol/message.h"

namespace kovra62386 {

class MessageFramer {
 public:
  // Appends `bytes` to the pending bytes and calls on_message once for
  // every complete message, in stream order, with exactly its N + 2 bytes.
  // Between calls at most 256 bytes stay pending (one incomplete message).
  // Should on_message throw, the pending bytes are dropped and the
  // exception passes on.
  void feed(std::span<const uint8_t> bytes,
            const std::function<void(std::span<const uint8_t>)>& on_message);

  std::size_t pending_size() const noexcept { return pending_size_; }
  void reset() noexcept { pending_size_ = 0; }

 private:
  void feed_unguarded(
      std::span<const uint8_t> bytes,
      const std::function<void(std::span<const uint8_t>)>& on_message);

  // One incomplete message at most: its 2 header bytes and up to 254 of
  // its 255 payload bytes; a fixed buffer, so feeding never allocates.
  std::array<uint8_t, kMaxMessageSize> pending_{};
  std::size_t pending_size_ = 0;
};

}  // namespace kovra62386
