#include "client/session/communication.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "protocol/message.h"

namespace kovra62386 {

namespace {

// Shared by every communication object of the process, so a key that a
// forgotten device had (after DeviceClosed or a new initialize) can never
// name another device: stale handles then find nothing.
std::atomic<uint32_t> last_key{0};

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
