// MessageFramer: cuts a byte stream into messages (type, length N, N bytes).
// Knows nothing of sockets, so it is fed bytes in tests and fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

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

  std::size_t pending_size() const noexcept { return pending_.size(); }
  void reset() noexcept { pending_.clear(); }

 private:
  void feed_unguarded(
      std::span<const uint8_t> bytes,
      const std::function<void(std::span<const uint8_t>)>& on_message);

  std::vector<uint8_t> pending_;
};

}  // namespace kovra62386
