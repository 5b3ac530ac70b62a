#include "client/transport/asio_connection.h"

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
    {
      // From now on sends wait for this attempt: none goes to a socket it
      // is about to replace, and none is dropped for an earlier loss.
      std::lock_guard<std::mutex> send_lock(send_mutex_);
      outlet_ = Outlet::Holding;
      outlet_attempt_ = attempt;
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
  return send_bytes(message);
}

bool Kovra62386AsioConnection::send_bytes(std::span<const uint8_t> message) {
  if (closed_) return true;
  std::unique_lock<std::mutex> lock(send_mutex_);
  // A closed outlet: the link is lost, or a sender found it broken and the
  // I/O thread is reading what came before the loss. Either way nothing
  // more is written.
  const auto gone = [&] {
    return closed_.load() || failed() || outlet_ == Outlet::Closed;
  };
  if (unsent_ >= kSendQueueLimit) {
    const bool room = send_room_.wait_for(
        lock, timing_.send_stall_timeout,
        [&] { return unsent_ < kSendQueueLimit || gone(); });
    if (!room && !gone()) {
      // The server has taken nothing for the whole stall time: it is as
      // good as gone, and waiting on would only pile up more.
      fail_from_sender(lock);
      return true;
    }
  }
  // A lost link drops what is sent to it.
  if (gone()) return true;
  if (outlet_ == Outlet::Open && !write_in_flight_) {
    // Nothing queued, nothing being written: this thread writes, and the
    // lock keeps every other sender and the socket's close out meanwhile.
    const platform::SendNow sent = platform::send_now(outlet_socket_, message);
    if (sent.failed) {
      fail_from_sender(lock);
      return true;
    }
    if (sent.sent == message.size()) return true;
    // The rest goes with the I/O thread, which waits for room in the
    // socket; later sends queue behind it.
    try {
      const std::span<const uint8_t> rest = message.subspan(sent.sent);
      queued_.insert(queued_.end(), rest.begin(), rest.end());
      ++unsent_;
      const uint64_t attempt = outlet_attempt_;
      asio::post(io_, [this, attempt] {
        guarded(attempt, [&] {
          if (attempt == io_attempt_) write_next();
        });
      });
    } catch (...) {
      // Part of the message is on the wire: the stream cannot go on.
      fail_from_sender(lock);
      return true;
    }
    write_in_flight_ = true;
    return true;
  }
  // Held while the attempt connects, written behind the bytes before it.
  queued_.insert(queued_.end(), message.begin(), message.end());
  ++unsent_;
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
  close_socket(false, attempt);
  framer_.reset();
  io_attempt_ = attempt;
  link_ = Link::Connecting;
  receive_pending_ = false;
  loss_declared_ = false;
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
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    // A later connect owns the outlet already.
    if (attempt != outlet_attempt_ || outlet_ != Outlet::Holding) return;
    outlet_ = Outlet::Open;
    outlet_socket_ = socket_.native_handle();
    // What waited for the link goes first, from this thread.
    write_in_flight_ = !queued_.empty();
    if (!write_in_flight_) return;
  }
  write_next();
}

void Kovra62386AsioConnection::start_receive(uint64_t attempt) {
  receive_pending_ = true;
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
  receive_pending_ = false;
  // Once the loss is declared nothing more is delivered: a read that a
  // close overtook must not file a frame behind the readers' 2.
  if (loss_declared_) return;
  // Ending: the receive was cancelled to read the rest without waiting.
  const bool ending = link_ == Link::Ending;
  if (error && !(ending && error == asio::error::operation_aborted)) {
    // The end of the stream arrives here too: the server is gone.
    drop_link(attempt);
    return;
  }
  if (count > 0 && !take(attempt, count)) return;
  if (stopping_) return;
  if (link_ == Link::Up) {
    start_receive(attempt);
  } else if (link_ == Link::Ending) {
    finish_link(attempt);
  }
}

bool Kovra62386AsioConnection::take(uint64_t attempt, std::size_t count) {
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
    if (lost) {
      drop_link(attempt);
      return false;
    }
  }
  return true;
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

void Kovra62386AsioConnection::write_next() {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (link_ != Link::Up || outlet_ != Outlet::Open ||
        outlet_attempt_ != io_attempt_) {
      return;
    }
    if (queued_.empty()) {
      // Senders write for themselves again.
      write_in_flight_ = false;
      return;
    }
    // Everything queued goes out in one write, so a busy sender costs one
    // system call per batch rather than per message. A batch still held by
    // a cancelled write of an earlier socket is left to it.
    if (!batch_ || batch_.use_count() > 1) batch_ = std::make_shared<Message>();
    batch_->clear();
    batch_->swap(queued_);
    if (queued_.capacity() > kKeptQueueBytes) Message().swap(queued_);
    wake = release_queue();
  }
  if (wake) send_room_.notify_all();
  const uint64_t attempt = io_attempt_;
  asio::async_write(
      socket_, asio::buffer(*batch_),
      [this, attempt, batch = batch_](const boost::system::error_code& e,
                                      std::size_t) mutable {
        batch.reset();
        guarded(attempt, [&] { on_written(attempt, e); });
      });
}

void Kovra62386AsioConnection::on_written(
    uint64_t attempt, const boost::system::error_code& error) {
  if (attempt != io_attempt_) return;
  if (error) {
    // The sending side broke (or, while ending, was shut or cancelled):
    // what the server sent before is still read first.
    end_link(attempt);
    return;
  }
  write_next();
}

void Kovra62386AsioConnection::end_link(uint64_t attempt) {
  if (attempt != io_attempt_ || loss_declared_) return;
  if (link_ == Link::Connecting) {
    // Nothing has been received on this socket yet.
    drop_link(attempt);
    return;
  }
  // Ending already, or down.
  if (link_ != Link::Up) return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (attempt == outlet_attempt_ && outlet_ != Outlet::Closed) {
      wake = close_outlet_locked();
    }
  }
  if (wake) send_room_.notify_all();
  link_ = Link::Ending;
  boost::system::error_code ignored;
  // No sender writes any more (the outlet is closed): the server may learn
  // that nothing more comes, and a write under way ends.
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  // The receive under way comes back at once, with what it had read;
  // finish_link then reads the rest without waiting.
  if (receive_pending_) {
    socket_.cancel(ignored);
  } else {
    finish_link(attempt);
  }
}

void Kovra62386AsioConnection::finish_link(uint64_t attempt) {
  // Everything the system holds for this socket now is delivered; nothing
  // is waited for. The budget keeps a server that sends faster than the
  // frames are filed from holding the link open.
  boost::system::error_code error;
  std::size_t left = socket_.available(error);
  // A socket left blocking (the switch failed) is read no further: the
  // read could wait for the server.
  if (error || !socket_.non_blocking()) left = 0;
  while (left > 0) {
    const std::size_t count =
        socket_.read_some(asio::buffer(receive_buffer_.data(),
                                       std::min(left, receive_buffer_.size())),
                          error);
    // Would block: all of it was read. The end of the stream, or an
    // error: there is no more.
    if (error || count == 0) break;
    left -= std::min(left, count);
    if (!take(attempt, count)) return;
    if (stopping_ || link_ != Link::Ending) return;
  }
  drop_link(attempt);
}

void Kovra62386AsioConnection::drop_link(uint64_t attempt) noexcept {
  if (attempt == io_attempt_) {
    close_socket(true, attempt);
    link_ = Link::Down;
    loss_declared_ = true;
  }
  mark_failed(attempt);
}

void Kovra62386AsioConnection::shut_down() noexcept {
  stopping_ = true;
  close_socket(true, io_attempt_);
  link_ = Link::Down;
}

void Kovra62386AsioConnection::close_socket(bool drop,
                                            uint64_t attempt) noexcept {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (outlet_ == Outlet::Open) outlet_ = Outlet::Holding;
    boost::system::error_code ignored;
    socket_.close(ignored);
    // Stopping drops whatever the outlet belongs to; a lost link only its
    // own attempt's queue.
    if (drop && (stopping_ || attempt == outlet_attempt_)) {
      outlet_ = Outlet::Closed;
      queued_.clear();
      write_in_flight_ = false;
      wake = release_queue();
    }
  }
  if (wake) send_room_.notify_all();
}

bool Kovra62386AsioConnection::release_queue() noexcept {
  const bool was_full = unsent_ >= kSendQueueLimit;
  unsent_ = 0;
  return was_full;
}

bool Kovra62386AsioConnection::close_outlet_locked() noexcept {
  outlet_ = Outlet::Closed;
  queued_.clear();
  return release_queue();
}

void Kovra62386AsioConnection::fail_from_sender(
    std::unique_lock<std::mutex>& lock) noexcept {
  // No sender writes again; the I/O thread, which alone closes the socket,
  // reads what came before and then declares the loss.
  const uint64_t attempt = outlet_attempt_;
  const bool wake = close_outlet_locked();
  lock.unlock();
  if (wake) send_room_.notify_all();
  try {
    asio::post(
        io_, [this, attempt] { guarded(attempt, [&] { end_link(attempt); }); });
  } catch (...) {
    // The I/O thread cannot be asked: the link counts as failed at once
    // (the one case in which a reader may see 2 before frames that had
    // arrived); terminate closes the socket.
    mark_failed(attempt);
  }
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
