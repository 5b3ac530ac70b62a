#include "transport/asio_connection.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <memory>
#include <utility>

namespace kovra62386 {

namespace asio = boost::asio;
using asio::ip::tcp;

template <typename Body>
void Kovra62386AsioConnection::guarded(uint64_t attempt, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    drop_link(attempt);
  }
}

Kovra62386AsioConnection::Kovra62386AsioConnection(platform::Platform& platform,
                                                   uint16_t port,
                                                   ArrivalSignal& arrivals,
                                                   Timing timing)
    : Kovra62386ConnectionBase(platform),
      port_number_(port),
      arrivals_(arrivals),
      timing_(timing),
      socket_(io_) {}

Kovra62386AsioConnection::~Kovra62386AsioConnection() {
  // The I/O thread refers to this object: it must end before any member
  // goes away.
  terminate();
}

bool Kovra62386AsioConnection::initialize() {
  // After terminate nothing can connect; starting a server would be waste.
  if (closed_) return false;
  return connect_or_start();
}

void Kovra62386AsioConnection::terminate() {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (terminated_) return;
  terminated_ = true;
  closed_ = true;
  if (!io_thread_.joinable()) return;
  try {
    // Closing the socket completes the outstanding operations with errors;
    // without the work guard the event loop then runs out of work.
    asio::post(io_, [this] { shut_down(); });
    work_.reset();
  } catch (...) {
    io_.stop();
  }
  // The I/O thread never takes lifecycle_mutex_, so joining under it is
  // safe and makes every caller return only after the thread has ended.
  io_thread_.join();
  // A receive that completed with data just before the socket closed leaves
  // no operation to report the close, so the link may still look up: it is
  // over, and readers get what arrived, then "not open".
  {
    std::lock_guard<std::mutex> state_lock(state_mutex_);
    state_ = ConnectionState::Failed;
  }
  state_changed_.notify_all();
  arrivals_.notify();
}

bool Kovra62386AsioConnection::connect() {
  uint64_t attempt = 0;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    if (terminated_) return false;
    if (!io_thread_.joinable()) {
      // The guard keeps the loop running between attempts, so a second
      // connect is served by the same thread.
      work_.emplace(io_.get_executor());
      try {
        io_thread_ = platform::LibraryThread([this] { run_io(); });
      } catch (...) {
        work_.reset();
        throw;
      }
    }
    {
      std::lock_guard<std::mutex> state_lock(state_mutex_);
      attempt = ++attempt_;
      greeted_ = false;
      state_ = ConnectionState::NotConnected;
    }
    asio::post(io_, [this, attempt] {
      guarded(attempt, [&] { start_attempt(attempt); });
    });
  }

  const auto deadline =
      std::chrono::steady_clock::now() + timing_.greeting_timeout;
  std::unique_lock<std::mutex> lock(state_mutex_);
  state_changed_.wait_until(lock, deadline, [&] {
    return attempt != attempt_ || state_ != ConnectionState::NotConnected;
  });
  return attempt == attempt_ && greeted_;
}

bool Kovra62386AsioConnection::send(const Message& message) {
  if (closed_) return true;
  asio::post(io_, [this, copy = Message(message)]() mutable {
    guarded(io_attempt_, [&] { queue_outgoing(std::move(copy)); });
  });
  return true;
}

bool Kovra62386AsioConnection::receive(Message& out, int32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(receive_mutex_);
  if (timeout_ms > 0) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeout_ms);
    received_.wait_until(lock, deadline,
                         [&] { return !receive_queue_.empty(); });
  }
  if (receive_queue_.empty()) return false;
  out = std::move(receive_queue_.front());
  receive_queue_.pop_front();
  return true;
}

void Kovra62386AsioConnection::run_io() noexcept {
  for (;;) {
    try {
      io_.run();
      return;
    } catch (...) {
      // Completions are guarded; should one throw anyway, keep serving.
    }
  }
}

void Kovra62386AsioConnection::start_attempt(uint64_t attempt) {
  // Completions still queued for the previous socket are told apart by
  // their attempt number and ignored.
  boost::system::error_code ignored;
  socket_.close(ignored);
  framer_.reset();
  writing_ = false;
  io_attempt_ = attempt;
  link_ = Link::Connecting;
  if (stopping_) {
    drop_link(attempt);
    return;
  }
  boost::system::error_code error;
  socket_.open(tcp::v4(), error);
  if (error) {
    drop_link(attempt);
    return;
  }
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port_number_);
  socket_.async_connect(endpoint,
                        [this, attempt](const boost::system::error_code& e) {
                          guarded(attempt, [&] { on_connected(attempt, e); });
                        });
}

void Kovra62386AsioConnection::on_connected(
    uint64_t attempt, const boost::system::error_code& error) {
  if (attempt != io_attempt_) return;
  if (error || stopping_) {
    drop_link(attempt);
    return;
  }
  link_ = Link::Up;
  // Requests are small and a send waits for their answers: Nagle's delay
  // would hold a frame back until the previous one is acknowledged.
  boost::system::error_code ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  start_receive(attempt);
  write_next();
}

void Kovra62386AsioConnection::start_receive(uint64_t attempt) {
  socket_.async_read_some(
      asio::buffer(receive_buffer_),
      [this, attempt](const boost::system::error_code& e, std::size_t count) {
        guarded(attempt, [&] { on_received(attempt, e, count); });
      });
}

void Kovra62386AsioConnection::on_received(
    uint64_t attempt, const boost::system::error_code& error,
    std::size_t count) {
  if (attempt != io_attempt_) return;
  if (error) {
    // The end of the stream arrives here too: the server is gone.
    drop_link(attempt);
    return;
  }
  framer_.feed(
      std::span<const uint8_t>(receive_buffer_.data(), count),
      [&](std::span<const uint8_t> bytes) { deliver(attempt, bytes); });
  if (link_ == Link::Up && !stopping_) start_receive(attempt);
}

void Kovra62386AsioConnection::deliver(uint64_t attempt,
                                       std::span<const uint8_t> bytes) {
  Message message(bytes.begin(), bytes.end());
  const bool greeting =
      message[0] == static_cast<uint8_t>(MessageType::Greeting);
  {
    std::lock_guard<std::mutex> lock(receive_mutex_);
    receive_queue_.push_back(std::move(message));
  }
  received_.notify_all();
  // Queued before the state moves, so whoever sees Connected finds the
  // Greeting in the queue.
  if (greeting) mark_greeted(attempt);
  arrivals_.notify();
}

void Kovra62386AsioConnection::queue_outgoing(Message message) {
  if (link_ == Link::Down || stopping_) return;
  // Held while the first attempt is still connecting, written once it is
  // up; in the order the I/O thread took them, which is the order of the
  // send calls.
  outgoing_.push_back(std::move(message));
  write_next();
}

void Kovra62386AsioConnection::write_next() {
  if (writing_ || link_ != Link::Up || outgoing_.empty()) return;
  // Owned by the completion, so the bytes outlive the write whatever
  // happens to the queue meanwhile.
  auto message = std::make_shared<Message>(std::move(outgoing_.front()));
  outgoing_.pop_front();
  writing_ = true;
  const uint64_t attempt = io_attempt_;
  asio::async_write(socket_, asio::buffer(*message),
                    [this, attempt, message](const boost::system::error_code& e,
                                             std::size_t) {
                      guarded(attempt, [&] { on_written(attempt, e); });
                    });
}

void Kovra62386AsioConnection::on_written(
    uint64_t attempt, const boost::system::error_code& error) {
  if (attempt != io_attempt_) return;
  writing_ = false;
  if (error) {
    drop_link(attempt);
    return;
  }
  write_next();
}

void Kovra62386AsioConnection::drop_link(uint64_t attempt) noexcept {
  if (attempt == io_attempt_) {
    boost::system::error_code ignored;
    socket_.close(ignored);
    link_ = Link::Down;
    outgoing_.clear();
  }
  mark_failed(attempt);
}

void Kovra62386AsioConnection::shut_down() noexcept {
  stopping_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
  link_ = Link::Down;
  outgoing_.clear();
}

void Kovra62386AsioConnection::mark_greeted(uint64_t attempt) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    // A failed link stays failed: bytes that were already in the buffer do
    // not revive it.
    if (attempt != attempt_ || state_ == ConnectionState::Failed) return;
    greeted_ = true;
    state_ = ConnectionState::Connected;
  }
  state_changed_.notify_all();
}

void Kovra62386AsioConnection::mark_failed(uint64_t attempt) noexcept {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (attempt != attempt_ || state_ == ConnectionState::Failed) return;
    state_ = ConnectionState::Failed;
  }
  state_changed_.notify_all();
  arrivals_.notify();
}

}  // namespace kovra62386
