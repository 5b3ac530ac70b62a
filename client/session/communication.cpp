#include "client/session/communication.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "protocol/frame_codec.h"

namespace kovra62386 {

namespace {

// Shared by every communication object of the process, so a key that a
// forgotten device had (after DeviceClosed or a new initialize) can never
// name another device: stale handles then find nothing.
std::atomic<uint32_t> last_key{0};

// Decodes a queued frame straight from its slot; false, leaving `record`
// as it was, for one that does not decode (an unsupported frame type, a
// layout too short).
bool decode_frame(std::span<const uint8_t> frame, ReadFrameRecord& record) {
  return FrameCodec::try_decode_read(
      frame.data(), static_cast<uint32_t>(frame.size()), record);
}

}  // namespace

Kovra62386Communication::Kovra62386Communication(
    Kovra62386ConnectionBase* connection, ArrivalSignal& arrivals)
    : connection_(connection), arrivals_(arrivals) {}

Kovra62386Communication::~Kovra62386Communication() {
  // A caller still inside an operation finishes before the members go.
  std::lock_guard<std::mutex> requests(request_mutex_);
  std::lock_guard<std::mutex> lock(mutex_);
}

uint32_t Kovra62386Communication::last_issued_key() { return last_key.load(); }

uint32_t Kovra62386Communication::next_key() const {
  // After 2^32 - 1 keys the count wraps; 0 means "no device" and a key
  // still filed here must not be handed out twice.
  for (;;) {
    const uint32_t key = last_key.fetch_add(1) + 1;
    if (key != 0 && devices_.find(key) == devices_.end()) return key;
  }
}

std::vector<std::string> Kovra62386Communication::enumerate() {
  std::lock_guard<std::mutex> one_at_a_time(enumerate_mutex_);

  // Whatever way the enumeration ends, later list replies are dropped.
  struct EndEnumeration {
    Kovra62386Communication& self;
    ~EndEnumeration() {
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.enumeration_ = Enumeration{};
    }
  };

  std::chrono::milliseconds timeout;
  std::chrono::milliseconds limit;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    timeout = enumeration_timeout_;
    limit = enumeration_limit_;
    // Replies a previous, timed-out enumeration left behind are not ours.
    process_pending_locked();
    enumeration_ = Enumeration{};
    enumeration_.active = true;
  }
  EndEnumeration end_enumeration{*this};
  if (!connection_->send(make_enumerate_request())) return {};

  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  const auto overall = started + limit;
  auto deadline = std::min(started + timeout, overall);
  uint64_t messages_seen = 0;
  for (;;) {
    // Taken before looking, so an arrival after the look wakes the wait.
    const uint64_t generation = arrivals_.generation();
    bool ended = false;
    bool lost = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lost = connection_->failed();
      process_pending_locked();
      ended = enumeration_.ended;
      // Only the list's own messages restart the wait: a busy bus must not
      // keep an unfinished list open.
      if (enumeration_.list_messages != messages_seen) {
        messages_seen = enumeration_.list_messages;
        deadline = std::min(Clock::now() + timeout, overall);
      }
    }
    // A lost connection sends nothing more: waiting would only add delay.
    if (ended || lost) break;
    const auto now = Clock::now();
    if (now >= deadline) break;
    arrivals_.wait_for_change(
        generation,
        std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }

  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<InterfaceInfo>& collected = enumeration_.collected;
  std::vector<std::string> names;
  names.reserve(collected.size());
  for (const InterfaceInfo& info : collected) names.push_back(info.name);
  if (!enumeration_.ended) {
    // Cut short: what did not come may still be there. Earlier entries
    // stay behind the new ones unless a new one took their index (the
    // server renamed it) or their name (it moved).
    const std::size_t arrived = collected.size();
    for (InterfaceInfo& known : interfaces_) {
      const auto first = collected.begin();
      const auto last = first + static_cast<std::ptrdiff_t>(arrived);
      const bool superseded =
          std::any_of(first, last, [&](const InterfaceInfo& info) {
            return info.index == known.index || info.name == known.name;
          });
      if (!superseded) collected.push_back(std::move(known));
    }
  }
  interfaces_ = std::move(collected);
  return names;
}

uint32_t Kovra62386Communication::open(std::string_view name) {
  std::lock_guard<std::mutex> requests(request_mutex_);
  uint32_t key = 0;
  uint8_t index = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool listed = false;
    uint32_t listed_index = 0;
    for (const InterfaceInfo& info : interfaces_) {
      if (info.name == name) {
        listed_index = info.index;
        listed = true;
        break;
      }
    }
    if (!listed || listed_index > 254) return 0;
    index = static_cast<uint8_t>(listed_index);
    for (auto it = devices_.begin(); it != devices_.end();) {
      if (it->second->index() != index) {
        ++it;
      } else if (it->second->closed_by_server) {
        // Opened afresh: what the closed device left unread goes with it.
        it = devices_.erase(it);
      } else {
        return 0;
      }
    }
    // Frames that came for this index before the open are not ours.
    process_pending_locked();
    key = next_key();
    auto device = std::make_shared<OpenDevice>(index, key);
    // Opened on a lost connection: nothing will come. Looked at under
    // mutex_, which connection_lost takes after the loss.
    device->link_lost_ = connection_->failed();
    // Filed before the request goes out, so its first frames find it.
    receiving_[index] = device.get();
    devices_.emplace(key, std::move(device));
  }
  connection_->send(make_open_request(index));
  return key;
}

void Kovra62386Communication::close(uint32_t key) {
  std::lock_guard<std::mutex> requests(request_mutex_);
  uint8_t index = 0;
  bool tell_server = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = devices_.find(key);
    if (it == devices_.end()) return;
    OpenDevice& device = *it->second;
    index = static_cast<uint8_t>(device.index());
    // The server closed it already: nothing to tell.
    tell_server = !device.closed_by_server;
    if (receiving_[index] == &device) receiving_[index] = nullptr;
    {
      std::lock_guard<std::mutex> device_lock(device.mutex_);
      device.detached_ = true;
    }
    // Its readers stop waiting.
    device.wakeup_.notify();
    devices_.erase(it);
  }
  if (tell_server) connection_->send(make_close_request(index));
}

int32_t Kovra62386Communication::OpenDevice::read(ReadFrameRecord& record,
                                                  bool lost) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (retired_ || detached_) return kNotOpen;
  bool delivered = false;
  while (!delivered && !received_.empty()) {
    delivered = decode_frame(received_.front().frame(), record);
    received_.pop_front();
  }
  if (delivered) return kDelivered;
  if (closed_by_server || lost || link_lost_) return kNotOpen;
  return kNothingQueued;
}

std::size_t Kovra62386Communication::OpenDevice::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

uint64_t Kovra62386Communication::OpenDevice::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

int32_t Kovra62386Communication::read(uint32_t key, ReadFrameRecord& record) {
  // Asked before looking: every frame that arrived before the loss has
  // been filed by then (or waits in the connection's queue) and gets
  // delivered first.
  const bool lost = connection_->failed();
  std::lock_guard<std::mutex> lock(mutex_);
  process_pending_locked();
  const auto it = devices_.find(key);
  if (it == devices_.end()) return kNotOpen;
  // The whole record is the frame's, bytes 2-3 (zero) included.
  ReadFrameRecord frame{};
  const int32_t result = it->second->read(frame, lost);
  if (result == kDelivered) record = frame;
  // Closed by the server and read to the end: it goes.
  if (result == kNotOpen && it->second->closed_by_server) devices_.erase(it);
  return result;
}

int32_t Kovra62386Communication::write(uint32_t key,
                                       const WriteFrameRecord& record) {
  // Built on the stack: the connection copies only what it cannot send at
  // once.
  std::array<uint8_t, kTransmitBufferSize> message;
  std::size_t size = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = devices_.find(key);
    if (it == devices_.end() || it->second->closed_by_server) return kNotOpen;
    size = encode_transmit_frame(static_cast<uint8_t>(it->second->index()),
                                 record, message);
  }
  if (size == 0) return kNotOpen;
  // Sent without the lock: a full send queue may hold this caller, never
  // the I/O thread that files arrivals.
  return connection_->send_bytes(std::span<const uint8_t>(message.data(), size))
             ? kDelivered
             : kNotOpen;
}

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

bool Kovra62386Communication::is_device_open(uint32_t key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = devices_.find(key);
  return it != devices_.end() && !it->second->closed_by_server;
}

std::shared_ptr<Kovra62386Communication::OpenDevice>
Kovra62386Communication::device(uint32_t key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = devices_.find(key);
  return it == devices_.end() ? nullptr : it->second;
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

std::vector<Kovra62386Communication::InterfaceInfo>
Kovra62386Communication::interfaces() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interfaces_;
}

void Kovra62386Communication::set_enumeration_timeout(
    std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  enumeration_timeout_ = timeout;
}

void Kovra62386Communication::set_enumeration_limit(
    std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  enumeration_limit_ = limit;
}

}  // namespace kovra62386
