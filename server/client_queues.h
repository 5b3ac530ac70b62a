// ClientQueues: how the clients share one bus. Each client has a queue of
// its own, at most BusInterface::kMaxQueuedFrames long; the bus serves the
// clients with queued frames in turn, one transaction each (a frame sent
// twice is one transaction), so one client's backlog delays another's
// frame by at most one transaction.
//
// I/O thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "kovra62386/kovra62386.h"

namespace kovra62386::sim {

struct QueuedFrame {
  uint32_t client = 0;
  WriteFrameRecord frame{};
  int remaining = 1;  // transmissions still to go
  std::chrono::steady_clock::time_point queued_at{};
  bool repeat = false;  // the second frame of a send-twice command
};

class ClientQueues {
 public:
  // Queues `frame`; false when its client's queue is full.
  bool push(const QueuedFrame& frame);
  // Forgets the frames `client` has queued; the current one stays.
  void drop(uint32_t client);
  // Frames `client` has waiting, the current one not counted.
  std::size_t queued(uint32_t client) const;

  // The transaction under way, if any.
  std::optional<QueuedFrame>& current() { return current_; }
  const std::optional<QueuedFrame>& current() const { return current_; }
  // Makes the next frame in turn current, unless one is; whether one is.
  bool start_next();
  // The current transaction, else the one whose turn is next.
  const QueuedFrame* peek_next() const;
  // The current transaction is over; its client queues up again.
  void finish_current();
  void clear();

 private:
  // Each client's queue, whose turn is next (the clients with queued
  // frames, except the one being served, each once) and the transaction
  // under way.
  std::map<uint32_t, std::deque<QueuedFrame>> queues_;
  std::deque<uint32_t> turns_;
  std::optional<QueuedFrame> current_;
};

}  // namespace kovra62386::sim
