// WriteQueue: the bytes a link has not yet handed to its device, bounded.
// One transaction is out at a time, so only a device that stops reading
// lets writes pile up: every transaction then times out behind a stuck
// write, and past a few of them the link counts as lost (push() says so)
// rather than holding ever more.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>

namespace kovra62386::sim::drivers {

template <class Bytes>
class WriteQueue {
 public:
  static constexpr std::size_t kMost = 8;

  // False, with nothing queued, when kMost writes already wait.
  [[nodiscard]] bool push(Bytes bytes) {
    if (writes_.size() >= kMost) return false;
    writes_.push_back(std::move(bytes));
    return true;
  }
  bool empty() const { return writes_.empty(); }
  const Bytes& front() const { return writes_.front(); }
  void pop() { writes_.pop_front(); }
  void clear() { writes_.clear(); }

 private:
  std::deque<Bytes> writes_;
};

}  // namespace kovra62386::sim::drivers
