// FakeConnection: an in-memory connection for testing the communication
// object. Tests script incoming messages, read what was sent, refuse
// sends and mark the connection as lost.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "client/transport/arrival_signal.h"
#include "client/transport/connection_base.h"
#include "protocol/message.h"

namespace kovra62386::testing {

class FakeConnection : public Kovra62386ConnectionBase {
 public:
  explicit FakeConnection(ArrivalSignal& arrivals);

  // Queues an incoming message and notifies the signal, as the real
  // connection does for every message it receives.
  void push(Message message);
  // Marks the connection as lost (and notifies), or whole again.
  void set_failed(bool failed);
  // When refusing, send answers false and records nothing.
  void refuse_sends(bool refuse);
  // Every later send of a message of `type` queues these replies, as a
  // server answering the request would.
  void reply_to(MessageType type, std::vector<Message> replies);

  // Waits until `count` messages were sent; false at the time-out.
  bool wait_for_sent(std::size_t count, std::chrono::milliseconds timeout);
  // Waits until every incoming message was taken; false at the time-out.
  bool wait_until_taken(std::chrono::milliseconds timeout);

  std::vector<Message> sent() const;
  void clear_sent();
  std::size_t incoming() const;  // messages not yet taken

  bool send(const Message& message) override;
  bool receive(Message& out, int32_t timeout_ms) override;
  bool failed() const override;
  bool connect() override { return true; }

 private:
  ArrivalSignal& arrivals_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;  // incoming queued, or a failure
  std::condition_variable changed_;  // a message sent or taken
  std::map<uint8_t, std::vector<Message>> replies_;
  std::deque<Message> incoming_;
  std::vector<Message> sent_;
  bool failed_ = false;
  bool refuse_ = false;
};

}  // namespace kovra62386::testing
