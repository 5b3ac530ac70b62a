// Kovra62386AsioConnection: the TCP connection to the local server on
// 127.0.0.1. One I/O thread runs every socket operation (connect, the one
// outstanding receive, the queued writes); callers' threads only post work
// to it and wait on condition variables.
//
// Both directions are bounded. Received messages go to the sink as they
// are cut from the stream (without one, to a queue that keeps the newest
// kReceiveQueueLimit). Messages to send wait in a queue of
// KOVRA62386_SEND_QUEUE_LIMIT: a sender finding it full waits for room, and
// a server that takes nothing for the stall timeout ends the link.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>

#include "kovra62386/kovra62386.h"
#include "platform/library_module.h"
#include "platform/platform.h"
#include "transport/message.h"
#include "transport/arrival_signal.h"
#include "transport/connection_base.h"
#include "transport/message_framer.h"
#include "transport/message_sink.h"

namespace kovra62386 {

enum class ConnectionState : int32_t {
  NotConnected = 0,
  Connected = 2,  // the server's Greeting came in
  Failed = 4,     // connect, receive or send reported an error
};

// Kovra62386AsioConnection::Timing. Declared outside the class because a
// nested type with member initialisers cannot be a default argument of the
// class's own constructor.
struct AsioConnectionTiming {
  // How long connect waits for the Greeting while the attempt is alive.
  std::chrono::milliseconds greeting_timeout{20000};
  // How long a sender waits for room in a full send queue before the link
  // counts as lost.
  std::chrono::milliseconds send_stall_timeout{
      KOVRA62386_SEND_STALL_TIMEOUT_MS};
};

class Kovra62386AsioConnection : public Kovra62386ConnectionBase {
 public:
  using Timing = AsioConnectionTiming;

  // Messages kept for receive() when no sink is set; the oldest give way.
  static constexpr std::size_t kReceiveQueueLimit = 4096;
  static constexpr std::size_t kSendQueueLimit = KOVRA62386_SEND_QUEUE_LIMIT;
  // The most bytes one socket write takes from the send queue.
  static constexpr std::size_t kWriteBatchBytes = 16384;

  explicit Kovra62386AsioConnection(
      platform::Platform& platform = platform::system_platform(),
      uint16_t port = 42000, ArrivalSignal& arrivals = ArrivalSignal::global(),
      Timing timing = {});
  ~Kovra62386AsioConnection() override;

  // Hands every received message to `sink` instead of the receive queue.
  // Set before the first connect; the sink must outlive the I/O thread.
  void set_sink(MessageSink* sink) { sink_ = sink; }

  // Finds or starts the server and connects. May throw
  // boost::system::system_error and std::system_error (thread creation).
  bool initialize();

  // Closes the socket and ends the I/O thread. Safe to call more than once
  // and without a successful initialize; nothing can be connected after it.
  void terminate();

  // One attempt from NotConnected: true once the Greeting came within the
  // greeting limit; false at once when the attempt fails.
  bool connect() override;

  // Copies the message for the I/O thread and answers true, whatever the
  // state. Messages go out in the order of the calls. With the send queue
  // full, waits for room; after the stall timeout without any, the link
  // fails and the message is dropped.
  bool send(const Message& message) override;

  bool receive(Message& out, int32_t timeout_ms) override;

  bool failed() const override {
    return state_.load() == ConnectionState::Failed;
  }
  ConnectionState state() const { return state_.load(); }

 private:
  // What the I/O thread knows of the current socket.
  enum class Link { Idle, Connecting, Up, Down };

  void run_io() noexcept;

  // I/O thread only, from here on. `attempt` tells the completions of a
  // socket that an earlier connect left behind from the current ones.
  void start_attempt(uint64_t attempt);
  void on_connected(uint64_t attempt, const boost::system::error_code& error);
  void start_receive(uint64_t attempt);
  void on_received(uint64_t attempt, const boost::system::error_code& error,
                   std::size_t count);
  // True for the Greeting.
  bool deliver(std::span<const uint8_t> bytes);
  // True when the server has closed its end already (looked at without
  // waiting), so a Greeting followed at once by the end is no connection.
  bool stream_ended();
  void queue_outgoing(Message message);
  void write_next();
  void on_written(uint64_t attempt, const boost::system::error_code& error);
  void drop_link(uint64_t attempt) noexcept;
  void shut_down() noexcept;
  // Runs a completion; whatever it throws ends the link instead of the
  // I/O thread.
  template <typename Body>
  void guarded(uint64_t attempt, Body&& body) noexcept;

  // `count` messages left the send queue (written, or dropped).
  void release_unsent(std::size_t count) noexcept;

  // Any thread. `lost`: the stream ended right behind the Greeting.
  void mark_greeted(uint64_t attempt, bool lost);
  void mark_failed(uint64_t attempt) noexcept;
  // Wakes senders waiting for room, after a change they must notice.
  void wake_senders() noexcept;

  const uint16_t port_number_;
  ArrivalSignal& arrivals_;
  const Timing timing_;

  boost::asio::io_context io_;
  std::optional<
      boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work_;
  boost::asio::ip::tcp::socket socket_;

  MessageSink* sink_ = nullptr;

  // Touched by the I/O thread only.
  // Larger than a write batch brings back (each request is answered by
  // about three messages of its size), so reading keeps pace with writing.
  std::array<uint8_t, 65536> receive_buffer_{};
  MessageFramer framer_;
  std::deque<Message> outgoing_;
  bool writing_ = false;
  bool stopping_ = false;
  Link link_ = Link::Idle;
  uint64_t io_attempt_ = 0;

  // The state, the attempt it belongs to and whether that attempt was
  // greeted; connect waits on state_changed_.
  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  std::atomic<ConnectionState> state_{ConnectionState::NotConnected};
  uint64_t attempt_ = 0;
  bool greeted_ = false;

  // Messages handed to send and not yet taken for writing or dropped.
  std::mutex send_mutex_;
  std::condition_variable send_room_;
  std::size_t unsent_ = 0;

  std::mutex receive_mutex_;
  std::condition_variable received_;
  std::deque<Message> receive_queue_;

  // Guards starting and ending the I/O thread.
  std::mutex lifecycle_mutex_;
  platform::LibraryThread io_thread_;
  bool terminated_ = false;
  // Set by terminate; later sends are dropped instead of piling up.
  std::atomic<bool> closed_{false};
};

}  // namespace kovra62386
