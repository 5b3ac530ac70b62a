#include "support/fake_connection.h"

#include <chrono>
#include <utility>

#include "platform/platform.h"

namespace kovra62386::testing {

FakeConnection::FakeConnection(ArrivalSignal& arrivals)
    : Kovra62386ConnectionBase(platform::system_platform()),
      arrivals_(arrivals) {}

void FakeConnection::push(Message message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    incoming_.push_back(std::move(message));
  }
  arrived_.notify_all();
  arrivals_.notify();
}

void FakeConnection::set_failed(bool failed) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = failed;
  }
  arrived_.notify_all();
  arrivals_.notify();
}

void FakeConnection::refuse_sends(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_ = refuse;
}

std::vector<Message> FakeConnection::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

void FakeConnection::clear_sent() {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.clear();
}

std::size_t FakeConnection::incoming() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return incoming_.size();
}

void FakeConnection::reply_to(MessageType type, std::vector<Message> replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[static_cast<uint8_t>(type)] = std::move(replies);
}

bool FakeConnection::wait_for_sent(std::size_t count,
                                   std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return sent_.size() >= count; });
}

bool FakeConnection::wait_until_taken(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return incoming_.empty(); });
}

bool FakeConnection::send(const Message& message) {
  std::vector<Message> replies;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuse_) return false;
    sent_.push_back(message);
    if (!message.empty()) {
      const auto it = replies_.find(message[0]);
      if (it != replies_.end()) replies = it->second;
    }
  }
  changed_.notify_all();
  for (Message& reply : replies) push(std::move(reply));
  return true;
}

bool FakeConnection::receive(Message& out, int32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeout_ms > 0) {
    arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return !incoming_.empty(); });
  }
  if (incoming_.empty()) return false;
  out = std::move(incoming_.front());
  incoming_.pop_front();
  changed_.notify_all();
  return true;
}

bool FakeConnection::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

}  // namespace kovra62386::testing
