// Kovra62386AsioConnection: the TCP connection to the local server on
// 127.0.0.1. One I/O thread runs the socket's asynchronous operations
// (connect, the one outstanding receive, the queued writes). A sender that
// finds the link up and no write under way writes from its own thread,
// straight on the native socket and without waiting; what the socket does
// not take at once, and whatever is sent meanwhile, waits in the send queue
// for the I/O thread. Every close of the socket happens under the send
// lock, so a sender's write never meets a closed or reused descriptor.
//
// Both directions are bounded. Received messages go to the sink as they
// are cut from the stream (without one, to a queue that keeps the newest
// kReceiveQueueLimit). Messages to send wait in a queue of
// KOVRA62386_SEND_QUEUE_LIMIT: a sender finding it full waits for room, and
// a server that takes nothing for the stall timeout ends the link.
//
// Only the I/O thread declares the link lost, and only once it has
// delivered everything it will deliver, so that a reader who finds
// failed() true and then an empty queue has every message received before
// the loss. It declares it when the stream ends or a receive fails. A
// sender that finds the socket broken, or that waited out the stall
// timeout, and the I/O thread's own write when it fails, do not: they
// close the outlet (later sends are dropped at once, none reaches the
// socket) and end the link. Ending shuts the sending side, takes back the
// receive under way and reads, without waiting, what the system holds for
// the socket at that moment (at most what it then reported as waiting),
// delivers it, and only then closes the socket and declares the loss. So
// every byte received before the writer's loss is delivered, and the end
// never waits for the server: one that keeps sending, or never closes,
// cannot hold it off. Bytes the server sends after that are not delivered.
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
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "client/transport/arrival_signal.h"
#include "client/transport/connection_base.h"
#include "client/transport/message_sink.h"
#include "kovra62386/kovra62386.h"
#include "platform/library_module.h"
#include "platform/platform.h"
#include "platform/socket_send.h"
#include "protocol/message.h"
#include "protocol/message_framer.h"

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
  // How long a sender waits for room in a full send queue before it gives
  // the link up (the I/O thread then reads what had arrived and declares
  // the loss).
  std::chrono::milliseconds send_stall_timeout{
      KOVRA62386_SEND_STALL_TIMEOUT_MS};
};

// The TCP connection to the local server, with its own I/O thread.
class Kovra62386AsioConnection : public Kovra62386ConnectionBase {
 public:
  using Timing = AsioConnectionTiming;

  // Messages kept for receive() when no sink is set; the oldest give way.
  static constexpr std::size_t kReceiveQueueLimit = 4096;
  static constexpr std::size_t kSendQueueLimit = KOVRA62386_SEND_QUEUE_LIMIT;
  // Room the send queue keeps after a burst has gone out; a larger buffer
  // is given back.
  static constexpr std::size_t kKeptQueueBytes = 16384;

  explicit Kovra62386AsioConnection(
      platform::Platform& platform = platform::system_platform(),
      uint16_t port = KOVRA62386_SERVER_PORT,
      ArrivalSignal& arrivals = ArrivalSignal::global(), Timing timing = {});
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

  // Sends the message, or queues it for the I/O thread, and answers true
  // whatever the state. Messages go out in the order of the calls. With the
  // send queue full, waits for room; after the stall timeout without any,
  // the link ends (see above) and the message is dropped. A lost or ending
  // link drops it too, without waiting.
  bool send(const Message& message) override;
  bool send_bytes(std::span<const uint8_t> message) override;

  bool receive(Message& out, int32_t timeout_ms) override;

  // True once the I/O thread has declared the loss: every message received
  // before it has been handed to the sink (or queued) by then.
  bool failed() const override {
    return state_.load() == ConnectionState::Failed;
  }
  ConnectionState state() const { return state_.load(); }

 private:
  // What the I/O thread knows of the current socket.
  // Ending: a write failed or stalled; the rest of what was received is
  // read before the link goes down.
  enum class Link { Idle, Connecting, Up, Ending, Down };
  // Where a message handed to send goes.
  enum class Outlet {
    Holding,  // no link yet: queued until the attempt connects
    Open,     // written at once, or queued behind the write under way
    Closed,   // the link is lost or stopped: dropped
  };

  void run_io() noexcept;

  // I/O thread only, from here on. `attempt` tells the completions of a
  // socket that an earlier connect left behind from the current ones.
  void start_attempt(uint64_t attempt);
  void on_connected(uint64_t attempt, const boost::system::error_code& error);
  void start_receive(uint64_t attempt);
  void on_received(uint64_t attempt, const boost::system::error_code& error,
                   std::size_t count);
  // Cuts and delivers `count` bytes of receive_buffer_; false when the link
  // went down on them (a Greeting followed by the end).
  bool take(uint64_t attempt, std::size_t count);
  // True for the Greeting.
  bool deliver(std::span<const uint8_t> bytes);
  // True when the server has closed its end already (looked at without
  // waiting), so a Greeting followed at once by the end is no connection.
  bool stream_ended();
  void write_next();
  void on_written(uint64_t attempt, const boost::system::error_code& error);
  // Ends the link after a failed or stalled write: closes the outlet, shuts
  // the sending side and takes back the receive under way; finish_link
  // then reads what the system already holds and drops the link.
  void end_link(uint64_t attempt);
  void finish_link(uint64_t attempt);
  // Closes the socket and declares the loss.
  void drop_link(uint64_t attempt) noexcept;
  void shut_down() noexcept;
  // Closes the socket under the send lock. `drop`: the send queue goes too
  // and the outlet closes (when it belongs to `attempt`).
  void close_socket(bool drop, uint64_t attempt) noexcept;
  // Runs a completion; whatever it throws ends the link instead of the
  // I/O thread.
  template <typename Body>
  void guarded(uint64_t attempt, Body&& body) noexcept;

  // With send_mutex_ held: the queue empties (taken for writing, or
  // dropped). True when senders wait for room.
  bool release_queue() noexcept;
  // With send_mutex_ held: nothing more is written; the queue is dropped.
  // True when senders wait for room.
  bool close_outlet_locked() noexcept;
  // A sender, with send_mutex_ held in `lock` (released on return) and the
  // outlet not closed: the socket broke, or took nothing for the stall
  // time. Closes the outlet and asks the I/O thread to end the link.
  void fail_from_sender(std::unique_lock<std::mutex>& lock) noexcept;

  // The I/O thread. `lost`: the stream ended right behind the Greeting.
  void mark_greeted(uint64_t attempt, bool lost);
  // Declares the loss. The I/O thread once it delivers nothing more for
  // `attempt`; otherwise only a sender that cannot reach it.
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
  // The bytes of the write under way, owned by its completion too: a write
  // that a closed socket cancelled may still hold them.
  std::shared_ptr<Message> batch_;
  bool stopping_ = false;
  Link link_ = Link::Idle;
  uint64_t io_attempt_ = 0;
  // A receive of the current socket is under way.
  bool receive_pending_ = false;
  // drop_link ran for the current attempt: nothing more is delivered.
  bool loss_declared_ = false;

  // The state, the attempt it belongs to and whether that attempt was
  // greeted; connect waits on state_changed_.
  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  std::atomic<ConnectionState> state_{ConnectionState::NotConnected};
  uint64_t attempt_ = 0;
  bool greeted_ = false;

  // The sending side, shared by senders and the I/O thread. The I/O
  // thread closes the socket only with send_mutex_ held and the outlet no
  // longer open.
  std::mutex send_mutex_;
  std::condition_variable send_room_;
  Outlet outlet_ = Outlet::Holding;
  uint64_t outlet_attempt_ = 0;             // the attempt the outlet belongs to
  platform::NativeSocket outlet_socket_{};  // while the outlet is open
  // The I/O thread writes the queue; senders add to it rather than write.
  bool write_in_flight_ = false;
  // Bytes waiting for the I/O thread, in call order: unsent_ messages (the
  // rest of a partly written one counts as one), at most kSendQueueLimit.
  Message queued_;
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
