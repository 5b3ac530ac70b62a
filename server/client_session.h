// ClientSession: one client's TCP connection to the server. Cuts the
// incoming stream into messages for its owner and sends byte strings in the
// order they were queued, each no earlier than its own delay allows (a
// delayed reply holds back everything queued after it).
//
// Runs on the server's I/O thread only. Whatever waits goes out in one
// write. While more than three quarters of a megabyte waits for the client,
// its requests are not read (a fast writer is slowed to the pace at which
// it takes the replies); a client that stops reading is dropped once a
// megabyte waits for it, so it cannot stall the server.
#pragma once

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <span>
#include <utility>

#include "protocol/message.h"
#include "protocol/message_framer.h"

namespace kovra62386::sim {

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  class Owner {
   public:
    // One complete message from the client (exactly its N + 2 bytes).
    virtual void on_client_message(ClientSession& session,
                                   std::span<const uint8_t> message) = 0;
    // The connection ended (either side); called once.
    virtual void on_client_closed(ClientSession& session) = 0;

   protected:
    ~Owner() = default;
  };

  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxQueuedBytes = 1 << 20;
  // Reading stops above this and starts again below a third of it: far
  // apart, so each pause lets the client's window open widely.
  static constexpr std::size_t kPauseReadingBytes = 3 << 18;
  static constexpr std::size_t kMaxWriteBytes = 1 << 16;

  ClientSession(boost::asio::ip::tcp::socket socket, uint32_t id, Owner& owner);

  uint32_t id() const { return id_; }
  bool closed() const { return closed_; }

  // Starts reading.
  void start();

  // Queues bytes (a message, or anything at all) behind everything queued
  // before, to leave no earlier than `delay` from now.
  void send(Message bytes, std::chrono::milliseconds delay = {});

  // Closes the connection at once; unsent bytes are dropped.
  void close();

  // Interfaces this client has opened.
  std::set<uint8_t>& open_interfaces() { return open_interfaces_; }
  bool is_open(uint8_t index) const { return open_interfaces_.contains(index); }

  bool greeted() const { return greeted_; }
  void set_greeted() { greeted_ = true; }

 private:
  void read_next();
  void release_due();
  void write_next();

  boost::asio::ip::tcp::socket socket_;
  const uint32_t id_;
  Owner& owner_;
  boost::asio::steady_timer delay_timer_;
  std::array<uint8_t, 4096> read_buffer_{};
  MessageFramer framer_;
  // Bytes waiting for their time, then bytes waiting for the socket.
  std::deque<std::pair<Clock::time_point, Message>> delayed_;
  std::deque<Message> outgoing_;
  std::size_t queued_bytes_ = 0;
  bool writing_ = false;
  bool timer_armed_ = false;
  bool closed_ = false;
  bool dropping_ = false;  // over the byte limit; closing shortly
  bool greeted_ = false;
  bool reading_paused_ = false;
  std::set<uint8_t> open_interfaces_;
};

}  // namespace kovra62386::sim
