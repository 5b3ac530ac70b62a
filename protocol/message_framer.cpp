#include "protocol/message_framer.h"

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
    pending_size_ = 0;
    throw;
  }
}

void MessageFramer::feed_unguarded(
    std::span<const uint8_t> bytes,
    const std::function<void(std::span<const uint8_t>)>& on_message) {
  // Complete messages are handed straight from the input where possible;
  // only the tail of an incomplete message is copied into pending_.
  std::size_t offset = 0;
  const auto top_up = [&](std::size_t wanted) {
    const std::size_t take =
        std::min(wanted - pending_size_, bytes.size() - offset);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), take,
                pending_.begin() + static_cast<std::ptrdiff_t>(pending_size_));
    pending_size_ += take;
    offset += take;
    return pending_size_ == wanted;
  };
  if (pending_size_ > 0) {
    if (pending_size_ < 2 && !top_up(2)) return;
    const std::size_t whole = std::size_t{pending_[1]} + 2;
    if (!top_up(whole)) return;
    pending_size_ = 0;
    on_message(std::span<const uint8_t>(pending_.data(), whole));
  }
  while (bytes.size() - offset >= 2) {
    const std::size_t whole = std::size_t{bytes[offset + 1]} + 2;
    if (bytes.size() - offset < whole) break;
    on_message(bytes.subspan(offset, whole));
    offset += whole;
  }
  // Fewer than one whole message is left: it fits the buffer.
  pending_size_ = bytes.size() - offset;
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
              pending_size_, pending_.begin());
}

}  // namespace kovra62386
