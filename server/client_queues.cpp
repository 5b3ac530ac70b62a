#include "server/client_queues.h"

#include <algorithm>
#include <utility>

#include "server/bus_interface.h"

namespace kovra62386::sim {

bool ClientQueues::push(const QueuedFrame& frame) {
  std::deque<QueuedFrame>& queue = queues_[frame.client];
  if (queue.size() >= BusInterface::kMaxQueuedFrames) return false;
  const bool being_served = current_ && current_->client == frame.client;
  if (queue.empty() && !being_served) turns_.push_back(frame.client);
  queue.push_back(frame);
  return true;
}

void ClientQueues::drop(uint32_t client) {
  queues_.erase(client);
  std::erase(turns_, client);
}

std::size_t ClientQueues::queued(uint32_t client) const {
  const auto found = queues_.find(client);
  return found == queues_.end() ? 0 : found->second.size();
}

bool ClientQueues::start_next() {
  if (current_) return true;
  if (turns_.empty()) return false;
  const uint32_t client = turns_.front();
  turns_.pop_front();
  const auto found = queues_.find(client);
  if (found == queues_.end() || found->second.empty()) {
    return false;  // not reached: turns_ holds clients with frames
  }
  current_ = std::move(found->second.front());
  found->second.pop_front();
  if (found->second.empty()) queues_.erase(found);
  return true;
}

const QueuedFrame* ClientQueues::peek_next() const {
  if (current_) return &*current_;
  if (turns_.empty()) return nullptr;
  const auto found = queues_.find(turns_.front());
  if (found == queues_.end() || found->second.empty()) return nullptr;
  return &found->second.front();
}

void ClientQueues::finish_current() {
  const uint32_t client = current_->client;
  current_.reset();
  if (queued(client) > 0) turns_.push_back(client);
}

void ClientQueues::clear() {
  queues_.clear();
  turns_.clear();
  current_.reset();
}

}  // namespace kovra62386::sim
