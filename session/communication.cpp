#include "session/communication.h"

#include <atomic>
#include <exception>
#include <utility>

#include "frame/frame_codec.h"

namespace kovra62386 {

namespace {

// Shared by every communication object of the process, so a key that a
// forgotten device had (after DeviceClosed or a new initialize) can never
// name another device: stale handles then find nothing.
std::atomic<uint32_t> last_key{0};

// Decodes a queued ReceivedFrame; false for a message that does not decode
// (length outside the rule, an unsupported frame type, a layout too short).
bool decode_received_frame(const Message& message, ReadFrameRecord& record) {
  const MessageView view(message);
  const std::span<const uint8_t> frame = view.frame();
  const auto length = static_cast<uint32_t>(frame.size());
  if (!FrameCodec::frame_length_valid(Direction::Read, length)) return false;
  FrameHolder holder;
  try {
    FrameCodec::decode(Direction::Read, frame.data(), length, holder);
  } catch (const std::exception&) {
    return false;
  }
  record = holder.read;
  return true;
}

}  // namespace

Kovra62386Communication::Kovra62386Communication(
    Kovra62386ConnectionBase* connection, ArrivalSignal& arrivals)
    : connection_(connection), arrivals_(arrivals) {}

Kovra62386Communication::~Kovra62386Communication() {
  // A caller still inside an operation finishes before the members go.
  std::lock_guard<std::recursive_mutex> lock(mutex_);
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
      std::lock_guard<std::recursive_mutex> lock(self.mutex_);
      self.enumeration_ = Enumeration{};
    }
  };

  std::chrono::milliseconds timeout;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    timeout = enumeration_timeout_;
    // Replies a previous, timed-out enumeration left behind are not ours.
    process_pending();
    enumeration_ = Enumeration{};
    enumeration_.active = true;
    if (!connection_->send(make_enumerate_request())) {
      enumeration_ = Enumeration{};
      return {};
    }
  }
  EndEnumeration end_enumeration{*this};

  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + timeout;
  uint64_t messages_seen = 0;
  for (;;) {
    // Taken before looking, so an arrival after the look wakes the wait.
    const uint64_t generation = arrivals_.generation();
    bool ended = false;
    bool lost = false;
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      lost = connection_->failed();
      process_pending();
      ended = enumeration_.ended;
      if (enumeration_.messages != messages_seen) {
        messages_seen = enumeration_.messages;
        deadline = Clock::now() + timeout;
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

  std::lock_guard<std::recursive_mutex> lock(mutex_);
  interfaces_ = std::move(enumeration_.collected);
  std::vector<std::string> names;
  names.reserve(interfaces_.size());
  for (const InterfaceInfo& info : interfaces_) names.push_back(info.name);
  return names;
}

uint32_t Kovra62386Communication::open(std::string_view name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  uint32_t index = 0;
  bool listed = false;
  for (const InterfaceInfo& info : interfaces_) {
    if (info.name == name) {
      index = info.index;
      listed = true;
      break;
    }
  }
  if (!listed || index > 254) return 0;
  for (const auto& [key, device] : devices_) {
    if (device->index() == index) return 0;
  }
  // Frames that came for this index before the open are not ours.
  process_pending();
  connection_->send(make_open_request(static_cast<uint8_t>(index)));
  const uint32_t key = next_key();
  devices_.emplace(key, std::make_shared<OpenDevice>(index, key));
  return key;
}

void Kovra62386Communication::close(uint32_t key) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = devices_.find(key);
  if (it == devices_.end()) return;
  const auto index = static_cast<uint8_t>(it->second->index());
  devices_.erase(it);
  connection_->send(make_close_request(index));
}

int32_t Kovra62386Communication::read(uint32_t key, ReadFrameRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // Asked before draining: every frame that arrived before the loss is in
  // the connection's queue by then and gets delivered first.
  const bool lost = connection_->failed();
  process_pending();
  const auto it = devices_.find(key);
  if (it == devices_.end()) return kNotOpen;
  const std::shared_ptr<OpenDevice> device = it->second;
  std::deque<Message>& queue = device->received();
  while (!queue.empty()) {
    const Message message = std::move(queue.front());
    queue.pop_front();
    if (decode_received_frame(message, record)) return kDelivered;
  }
  return lost ? kNotOpen : kNothingQueued;
}

int32_t Kovra62386Communication::write(uint32_t key,
                                       const WriteFrameRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = devices_.find(key);
  if (it == devices_.end()) return kNotOpen;
  const Message message =
      make_transmit_frame(static_cast<uint8_t>(it->second->index()), record);
  if (message.empty()) return kNotOpen;
  return connection_->send(message) ? kDelivered : kNotOpen;
}

void Kovra62386Communication::collect_interface_entry(const Message& message) {
  const MessageView view(message);
  // Index and attribute byte are needed; a shorter entry is dropped.
  if (!view.complete() || view.length() < 2) return;
  const std::span<const uint8_t> payload = view.payload();
  InterfaceInfo info;
  info.index = payload[0];
  info.attribute = payload[1];
  info.name.assign(payload.begin() + 2, payload.end());
  enumeration_.collected.push_back(std::move(info));
}

void Kovra62386Communication::dispatch(const Message& message) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const MessageView view(message);
  const bool collecting = enumeration_.active && !enumeration_.ended;
  if (enumeration_.active) ++enumeration_.messages;

  switch (static_cast<MessageType>(view.type())) {
    case MessageType::InterfaceEntry:
      if (collecting) collect_interface_entry(message);
      return;
    case MessageType::InterfaceListEnd:
      if (collecting) {
        enumeration_.ended = true;
        // The enumerating thread may be waiting; this thread took its end.
        arrivals_.notify();
      }
      return;
    case MessageType::DeviceClosed: {
      const std::span<const uint8_t> payload = view.payload();
      if (payload.empty()) return;
      for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->second->index() == payload[0]) {
          devices_.erase(it);
          return;
        }
      }
      return;
    }
    case MessageType::ReceivedFrame: {
      if (!view.complete() || view.length() < 1) return;
      if (!FrameCodec::frame_length_valid(Direction::Read,
                                          view.length() - 1u)) {
        return;
      }
      const uint8_t index = view.payload()[0];
      for (const auto& [key, device] : devices_) {
        if (device->index() == index) {
          device->received().emplace_back(
              message.begin(), message.begin() + (view.length() + 2));
          return;
        }
      }
      return;
    }
    default:
      return;
  }
}

void Kovra62386Communication::process_pending() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const Message& message : connection_->receive_all()) dispatch(message);
}

bool Kovra62386Communication::is_device_open(uint32_t key) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return devices_.find(key) != devices_.end();
}

std::vector<Kovra62386Communication::InterfaceInfo>
Kovra62386Communication::interfaces() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return interfaces_;
}

void Kovra62386Communication::set_enumeration_timeout(
    std::chrono::milliseconds timeout) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  enumeration_timeout_ = timeout;
}

}  // namespace kovra62386
