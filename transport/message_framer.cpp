#include "transport/message_framer.h"

#include <algorithm>

namespace kovra62386 {

void MessageFramer::feed(
    std::span<const uint8_t> bytes,
    const std::function<void(std::span<const uint8_t>)>& on_message) {
  try {
    feed_unguarded(bytes, on_message);
  } catch (...) {
    // The stream position is lost with the exception; start clean rather
    // than keep bytes that no longer match the state.
    pending_.clear();
    throw;
  }
}

void MessageFramer::feed_unguarded(
    std::span<const uint8_t> bytes,
    const std::function<void(std::span<const uint8_t>)>& on_message) {
  // Complete messages are handed straight from the input where possible;
  // only the tail of an incomplete message is copied into pending_.
  std::size_t offset = 0;
  if (!pending_.empty()) {
    // Top pending_ up to one whole message (at most 257 bytes).
    if (pending_.size() < 2) {
      const std::size_t take =
          std::min<std::size_t>(2 - pending_.size(), bytes.size());
      pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + take);
      offset = take;
      if (pending_.size() < 2) return;
    }
    const std::size_t whole = std::size_t{pending_[1]} + 2;
    const std::size_t take =
        std::min<std::size_t>(whole - pending_.size(), bytes.size() - offset);
    pending_.insert(pending_.end(), bytes.begin() + offset,
                    bytes.begin() + offset + take);
    offset += take;
    if (pending_.size() < whole) return;
    on_message(std::span<const uint8_t>(pending_.data(), pending_.size()));
    pending_.clear();
  }
  while (bytes.size() - offset >= 2) {
    const std::size_t whole = std::size_t{bytes[offset + 1]} + 2;
    if (bytes.size() - offset < whole) break;
    on_message(bytes.subspan(offset, whole));
    offset += whole;
  }
  pending_.assign(bytes.begin() + offset, bytes.end());
}

}  // namespace kovra62386
