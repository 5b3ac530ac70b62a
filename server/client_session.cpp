#include "server/client_session.h"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace kovra62386::sim {

ClientSession::ClientSession(boost::asio::ip::tcp::socket socket, uint32_t id,
                             Owner& owner)
    : socket_(std::move(socket)),
      id_(id),
      owner_(owner),
      delay_timer_(socket_.get_executor()) {
  boost::system::error_code ignored;
  socket_.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}

void ClientSession::start() { read_next(); }

void ClientSession::read_next() {
  if (closed_) return;
  if (queued_bytes_ > kPauseReadingBytes) {
    reading_paused_ = true;  // started again as the replies drain
    return;
  }
  socket_.async_read_some(
      boost::asio::buffer(read_buffer_),
      [self = shared_from_this()](const boost::system::error_code& error,
                                  std::size_t count) {
        if (self->closed_) return;
        if (error) {
          self->close();
          return;
        }
        self->framer_.feed(
            std::span<const uint8_t>(self->read_buffer_.data(), count),
            [&self](std::span<const uint8_t> message) {
              // The owner may close this session from within.
              if (!self->closed_)
                self->owner_.on_client_message(*self, message);
            });
        self->read_next();
      });
}

void ClientSession::send(Message bytes, std::chrono::milliseconds delay) {
  if (closed_ || dropping_ || bytes.empty()) return;
  queued_bytes_ += bytes.size();
  if (queued_bytes_ > kMaxQueuedBytes) {
    // Closed from a handler of its own: the caller may be walking the
    // owner's list of sessions, which closing edits.
    dropping_ = true;
    delayed_.clear();
    boost::asio::post(socket_.get_executor(),
                      [self = shared_from_this()] { self->close(); });
    return;
  }
  const Clock::time_point now = Clock::now();
  Clock::time_point due = now + delay;
  // Never ahead of bytes queued earlier.
  if (!delayed_.empty()) due = std::max(due, delayed_.back().first);
  delayed_.emplace_back(due, std::move(bytes));
  release_due();
}

void ClientSession::release_due() {
  const Clock::time_point now = Clock::now();
  while (!delayed_.empty() && delayed_.front().first <= now) {
    outgoing_.push_back(std::move(delayed_.front().second));
    delayed_.pop_front();
  }
  write_next();
  if (delayed_.empty() || timer_armed_) return;
  timer_armed_ = true;
  delay_timer_.expires_at(delayed_.front().first);
  delay_timer_.async_wait(
      [self = shared_from_this()](const boost::system::error_code& error) {
        self->timer_armed_ = false;
        if (error || self->closed_) return;
        self->release_due();
      });
}

void ClientSession::write_next() {
  if (closed_ || writing_ || outgoing_.empty()) return;
  while (outgoing_.size() > 1 &&
         outgoing_[0].size() + outgoing_[1].size() <= kMaxWriteBytes) {
    outgoing_[0].insert(outgoing_[0].end(), outgoing_[1].begin(),
                        outgoing_[1].end());
    outgoing_.erase(outgoing_.begin() + 1);
  }
  writing_ = true;
  boost::asio::async_write(
      socket_, boost::asio::buffer(outgoing_.front()),
      [self = shared_from_this()](const boost::system::error_code& error,
                                  std::size_t) {
        self->writing_ = false;
        if (self->closed_) return;
        if (error) {
          self->close();
          return;
        }
        self->queued_bytes_ -= self->outgoing_.front().size();
        self->outgoing_.pop_front();
        self->write_next();
        if (self->reading_paused_ &&
            self->queued_bytes_ <= kPauseReadingBytes / 3) {
          self->reading_paused_ = false;
          self->read_next();
        }
      });
}

void ClientSession::close() {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ignored;
  delay_timer_.cancel();
  socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  delayed_.clear();
  // outgoing_ stays: a write under way may still use its front until its
  // handler (which keeps this session alive) has run.
  open_interfaces_.clear();
  owner_.on_client_closed(*this);
}

}  // namespace kovra62386::sim
