// How the communication object files what arrives: frames to their
// device's queue (the oldest of a full one giving way), DeviceClosed to its
// device, list replies to the enumeration under way; and how it marks every
// device at the end of the link or of the object. Never waits for a reader
// (see communication.h).
#include <cstddef>
#include <mutex>
#include <span>

#include "client/session/communication.h"
#include "protocol/frame_codec.h"
#include "protocol/message.h"

namespace kovra62386 {

void Kovra62386Communication::collect_interface_entry(
    std::span<const uint8_t> message) {
  const MessageView view(message);
  // Index and attribute byte are needed; a shorter entry is dropped.
  if (!view.complete() || view.length() < 2) return;
  const std::span<const uint8_t> payload = view.payload();
  InterfaceInfo info;
  info.index = payload[0];
  info.attribute = payload[1];
  info.name.assign(payload.begin() + 2, payload.end());
  enumeration_.collected.push_back(std::move(info));
  // No server has more interfaces than indexes; one that goes on is cut.
  if (enumeration_.collected.size() >= kMaxInterfaceEntries) {
    enumeration_.ended = true;
    arrivals_.notify();
  }
}

void Kovra62386Communication::file_frame(std::span<const uint8_t> message,
                                         Wake wake) {
  const MessageView view(message);
  if (!view.complete() || view.length() < 1) return;
  if (!FrameCodec::frame_length_valid(Direction::Read, view.length() - 1u)) {
    return;
  }
  OpenDevice* const device = receiving_[view.payload()[0]];
  if (device == nullptr) return;
  bool was_full = false;
  std::size_t queued = 0;
  {
    std::lock_guard<std::mutex> device_lock(device->mutex_);
    // Never waits for the reader, however lately it read: the frames of
    // every other interface queue behind this one. A reader that has not
    // kept up loses its own oldest frame.
    was_full = device->received_.full();
    if (was_full) ++device->dropped_;
    device->received_.push(view.frame());
    queued = device->received_.size();
  }
  if (wake == Wake::Now) {
    device->wakeup_.notify();
    return;
  }
  // The I/O thread wakes the readers once the whole batch is in; a batch
  // that fills another quarter of the queue wakes them at once, so that a
  // reader asleep does not find its queue overrun.
  if (!was_full && queued % (kReceiveQueueLimit / 4) == 0) {
    device->wakeup_.notify();
  }
  if (!is_unwoken_[device->index()]) {
    is_unwoken_[device->index()] = true;
    unwoken_[unwoken_count_++] = static_cast<uint8_t>(device->index());
  }
}

void Kovra62386Communication::file(std::span<const uint8_t> message,
                                   Wake wake) {
  const MessageView view(message);
  const auto type = static_cast<MessageType>(view.type());
  const bool collecting = enumeration_.active && !enumeration_.ended;

  switch (type) {
    case MessageType::InterfaceEntry:
      if (!collecting) return;
      ++enumeration_.list_messages;
      collect_interface_entry(message);
      return;
    case MessageType::InterfaceListEnd:
      if (collecting) {
        ++enumeration_.list_messages;
        enumeration_.ended = true;
        // The enumerating thread may be waiting; this thread took its end.
        arrivals_.notify();
      }
      return;
    case MessageType::DeviceClosed: {
      const std::span<const uint8_t> payload = view.payload();
      if (payload.empty()) return;
      OpenDevice* const device = receiving_[payload[0]];
      if (device == nullptr) return;
      // Its frames from before the notice are still read, as after a lost
      // server, then it answers kNotOpen.
      receiving_[payload[0]] = nullptr;
      {
        std::lock_guard<std::mutex> device_lock(device->mutex_);
        device->closed_by_server = true;
      }
      device->wakeup_.notify();
      return;
    }
    case MessageType::ReceivedFrame:
      file_frame(message, wake);
      return;
    default:
      return;
  }
}

void Kovra62386Communication::dispatch(std::span<const uint8_t> message) {
  std::lock_guard<std::mutex> lock(mutex_);
  file(message, Wake::Now);
}

void Kovra62386Communication::dispatch_arrival(
    std::span<const uint8_t> message) {
  std::lock_guard<std::mutex> lock(mutex_);
  file(message, Wake::AtFlush);
}

void Kovra62386Communication::wake_readers() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < unwoken_count_; ++i) {
    const uint8_t index = unwoken_[i];
    is_unwoken_[index] = false;
    // A device closed meanwhile was woken by its close.
    if (OpenDevice* const device = receiving_[index]) device->wakeup_.notify();
  }
  unwoken_count_ = 0;
}

void Kovra62386Communication::process_pending_locked() {
  // Taken and filed under one hold of mutex_, so two callers never file
  // out of arrival order. Nothing is held back: a frame for a full queue
  // pushes out that queue's oldest, and everything behind it is filed too.
  Message message;
  while (connection_->receive(message, 0)) file(message, Wake::Now);
}

void Kovra62386Communication::process_pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  process_pending_locked();
}

void Kovra62386Communication::mark_devices(bool OpenDevice::*flag) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [key, device] : devices_) {
    {
      std::lock_guard<std::mutex> device_lock(device->mutex_);
      (*device).*flag = true;
    }
    device->wakeup_.notify();
  }
}

void Kovra62386Communication::connection_lost() {
  mark_devices(&OpenDevice::link_lost_);
}

void Kovra62386Communication::retire_devices() {
  mark_devices(&OpenDevice::retired_);
}

}  // namespace kovra62386
