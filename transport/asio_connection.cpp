#include "transport/asio_connection.h"

#include <algorithm>
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
  wake_senders();
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
  {
    std::unique_lock<std::mutex> lock(send_mutex_);
    const auto gone = [&] { return closed_.load() || failed(); };
    if (unsent_ >= kSendQueueLimit) {
      const bool room = send_room_.wait_for(
          lock, timing_.send_stall_timeout,
          [&] { return unsent_ < kSendQueueLimit || gone(); });
      // A lost link drops what is sent to it, as the I/O thread would.
      if (gone()) return true;
      if (!room) {
        // The server has taken nothing for the whole stall time: it is as
        // good as gone, and waiting on would only pile up more.
        lock.unlock();
        uint64_t attempt = 0;
        {
          std::lock_guard<std::mutex> state_lock(state_mutex_);
          attempt = attempt_;
        }
        mark_failed(attempt);
        asio::post(io_, [this, attempt] { drop_link(attempt); });
        return true;
      }
    }
    ++unsent_;
  }
  try {
    asio::post(io_, [this, copy = Message(message)]() mutable {
      guarded(io_attempt_, [&] { queue_outgoing(std::move(copy)); });
    });
  } catch (...) {
    release_unsent(1);
    throw;
  }
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
  // Asynchronous operations are unaffected; the one synchronous look
  // (stream_ended) must not wait.
  socket_.non_blocking(true, ignored);
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
  bool greeting = false;
  framer_.feed(std::span<const uint8_t>(receive_buffer_.data(), count),
               [&](std::span<const uint8_t> bytes) {
                 if (deliver(bytes)) greeting = true;
               });
  if (sink_ != nullptr) sink_->flush();
  // Announced after the messages that came with it are delivered, so
  // whoever sees Connected finds them.
  if (greeting) {
    const bool lost = stream_ended();
    mark_greeted(attempt, lost);
    if (lost) drop_link(attempt);
  }
  if (link_ == Link::Up && !stopping_) start_receive(attempt);
}

bool Kovra62386AsioConnection::deliver(std::span<const uint8_t> bytes) {
  const bool greeting = bytes[0] == static_cast<uint8_t>(MessageType::Greeting);
  if (sink_ != nullptr) {
    sink_->accept(bytes);
  } else {
    {
      std::lock_guard<std::mutex> lock(receive_mutex_);
      if (receive_queue_.size() >= kReceiveQueueLimit) {
        receive_queue_.pop_front();
      }
      receive_queue_.emplace_back(bytes.begin(), bytes.end());
    }
    received_.notify_all();
  }
  arrivals_.notify();
  return greeting;
}

bool Kovra62386AsioConnection::stream_ended() {
  // The socket is non-blocking: the look never waits.
  std::array<uint8_t, 1> probe{};
  boost::system::error_code error;
  const std::size_t count =
      socket_.receive(asio::buffer(probe), tcp::socket::message_peek, error);
  if (error == asio::error::would_block || error == asio::error::try_again) {
    return false;
  }
  return error || count == 0;
}

void Kovra62386AsioConnection::queue_outgoing(Message message) {
  if (link_ == Link::Down || stopping_) {
    release_unsent(1);
    return;
  }
  // Held while the first attempt is still connecting, written once it is
  // up; in the order the I/O thread took them, which is the order of the
  // send calls.
  outgoing_.push_back(std::move(message));
  write_next();
}

void Kovra62386AsioConnection::write_next() {
  if (writing_ || link_ != Link::Up || outgoing_.empty()) return;
  // Everything queued goes out in one write (up to a bound), so a busy
  // sender costs one system call per batch rather than per message. Owned
  // by the completion, so the bytes outlive the write whatever happens to
  // the queue meanwhile.
  auto batch = std::make_shared<Message>();
  std::size_t taken = 0;
  while (!outgoing_.empty() &&
         batch->size() + outgoing_.front().size() <= kWriteBatchBytes) {
    batch->insert(batch->end(), outgoing_.front().begin(),
                  outgoing_.front().end());
    outgoing_.pop_front();
    ++taken;
  }
  if (taken == 0) {  // one message larger than a batch: alone
    *batch = std::move(outgoing_.front());
    outgoing_.pop_front();
    taken = 1;
  }
  release_unsent(taken);
  writing_ = true;
  const uint64_t attempt = io_attempt_;
  asio::async_write(
      socket_, asio::buffer(*batch),
      [this, attempt, batch](const boost::system::error_code& e, std::size_t) {
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
    release_unsent(outgoing_.size());
    outgoing_.clear();
  }
  mark_failed(attempt);
}

void Kovra62386AsioConnection::shut_down() noexcept {
  stopping_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
  link_ = Link::Down;
  release_unsent(outgoing_.size());
  outgoing_.clear();
}

void Kovra62386AsioConnection::release_unsent(std::size_t count) noexcept {
  if (count == 0) return;
  bool was_full = false;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    was_full = unsent_ >= kSendQueueLimit;
    unsent_ -= std::min(count, unsent_);
  }
  if (was_full) send_room_.notify_all();
}

void Kovra62386AsioConnection::wake_senders() noexcept {
  // Taken and released so that a sender between its look at the state and
  // its wait cannot miss the notification.
  { std::lock_guard<std::mutex> lock(send_mutex_); }
  send_room_.notify_all();
}

void Kovra62386AsioConnection::mark_greeted(uint64_t attempt, bool lost) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    // A failed link stays failed: bytes that were already in the buffer do
    // not revive it.
    if (attempt != attempt_ || state_ == ConnectionState::Failed) return;
    // Greeted, and failed in the same step when the end came with it: the
    // caller of connect learns both at once.
    greeted_ = true;
    state_ = lost ? ConnectionState::Failed : ConnectionState::Connected;
  }
  state_changed_.notify_all();
  if (lost) {
    wake_senders();
    if (sink_ != nullptr) sink_->link_lost();
    arrivals_.notify();
  }
}

void Kovra62386AsioConnection::mark_failed(uint64_t attempt) noexcept {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (attempt != attempt_ || state_ == ConnectionState::Failed) return;
    state_ = ConnectionState::Failed;
  }
  state_changed_.notify_all();
  wake_senders();
  if (sink_ != nullptr) sink_->link_lost();
  arrivals_.notify();
}

}  // namespace kovra62386
