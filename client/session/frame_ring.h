// FrameRing: the received frames of one opened interface, oldest first, in
// fixed-size slots. A slot holds one read-direction frame (at most
// FrameCodec::kMaxFrameLength bytes), so filing and reading copy bytes and
// never allocate. The slots grow in steps up to the queue's bound, so an
// interface that hears little holds little; once grown they stay.
//
// Not thread-safe: the owning device's mutex guards it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "protocol/frame_codec.h"

namespace kovra62386 {

class FrameRing {
 public:
  struct Slot {
    uint8_t length = 0;
    std::array<uint8_t, FrameCodec::kMaxFrameLength> bytes{};

    std::span<const uint8_t> frame() const { return {bytes.data(), length}; }
  };

  // Slots made on the first frame; each step doubles them.
  static constexpr std::size_t kFirstCapacity = 16;

  explicit FrameRing(std::size_t limit) : limit_(limit) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool full() const { return size_ >= limit_; }
  std::size_t capacity() const { return capacity_; }

  // Appends a frame of at most FrameCodec::kMaxFrameLength bytes; a full
  // ring drops its oldest first. May throw std::bad_alloc while growing.
  void push(std::span<const uint8_t> frame) {
    if (full()) pop_front();
    if (size_ == capacity_) grow();
    Slot& slot = slots_[(head_ + size_) % capacity_];
    const std::size_t length =
        std::min<std::size_t>(frame.size(), slot.bytes.size());
    std::copy_n(frame.begin(), length, slot.bytes.begin());
    slot.length = static_cast<uint8_t>(length);
    ++size_;
  }

  // The oldest frame; only while not empty.
  const Slot& front() const { return slots_[head_]; }

  void pop_front() {
    if (size_ == 0) return;
    head_ = (head_ + 1) % capacity_;
    --size_;
  }

  void clear() {
    head_ = 0;
    size_ = 0;
  }

 private:
  void grow() {
    const std::size_t capacity =
        std::min(limit_, capacity_ == 0 ? std::min(kFirstCapacity, limit_)
                                        : capacity_ * 2);
    auto slots = std::make_unique<Slot[]>(capacity);
    for (std::size_t i = 0; i < size_; ++i) {
      slots[i] = slots_[(head_ + i) % capacity_];
    }
    slots_ = std::move(slots);
    capacity_ = capacity;
    head_ = 0;
  }

  std::size_t limit_;
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace kovra62386
