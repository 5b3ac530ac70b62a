#include "client/session/open_device.h"

#include <span>

#include "protocol/frame_codec.h"

namespace kovra62386 {

namespace {

// Decodes a queued frame straight from its slot; false, leaving `record`
// as it was, for one that does not decode (an unsupported frame type, a
// layout too short).
bool decode_frame(std::span<const uint8_t> frame, ReadFrameRecord& record) {
  return FrameCodec::try_decode_read(
      frame.data(), static_cast<uint32_t>(frame.size()), record);
}

}  // namespace

int32_t OpenDevice::read(ReadFrameRecord& record, bool lost) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (retired_ || detached_) return KOVRA62386_READ_NOT_OPEN;
  bool delivered = false;
  while (!delivered && !received_.empty()) {
    delivered = decode_frame(received_.front().frame(), record);
    received_.pop_front();
  }
  if (delivered) return KOVRA62386_READ_FRAME;
  if (closed_by_server || lost || link_lost_) return KOVRA62386_READ_NOT_OPEN;
  return KOVRA62386_READ_EMPTY;
}

std::size_t OpenDevice::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

uint64_t OpenDevice::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace kovra62386
