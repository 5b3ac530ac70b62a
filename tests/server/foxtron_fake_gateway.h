// A Foxtron gateway's firmware for tests, answering from a simulated bus
// (the simulator's default gear), so that the same installation runs on
// a fake gateway as on a simulated bus. It serves a loopback TCP listener
// (DALInet) or, on POSIX, the master side of a pty (DALI232). It runs on
// a thread of its own; tests wait on its counters, never on time.
//
// The unit's byte machine is FoxtronFirmware (the fake interfaces'
// family "foxtron"); this adds the seams and the link's faults.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_interface/foxtron_firmware.h"

#if !defined(_WIN32)
#include <pty.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#endif

namespace kovra62386::test {

class FoxtronFakeGateway {
 public:
  struct Counters {
    int connections = 0;    // accepted, or the pty opened
    uint64_t messages = 0;  // read on the current connection
  };

  FoxtronFakeGateway() : thread_([this] { io_.run(); }) {}
  ~FoxtronFakeGateway() {
    on_io([this] {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      if (session_) session_->close();
      session_.reset();
    });
    work_.reset();
    thread_.join();
#if !defined(_WIN32)
    if (slave_ >= 0) ::close(slave_);
#endif
  }

  // Listens on 127.0.0.1 (an ephemeral port, returned); one connection at
  // a time, a new one replacing the old.
  uint16_t listen() {
    return on_io([this] {
      const boost::asio::ip::tcp::endpoint any(
          boost::asio::ip::make_address_v4("127.0.0.1"), 0);
      acceptor_.open(any.protocol());
      acceptor_.bind(any);
      acceptor_.listen();
      accept_next();
      return acceptor_.local_endpoint().port();
    });
  }

#if !defined(_WIN32)
  // A pty: the driver opens the returned slave path.
  std::string open_pty() {
    int master = -1;
    char name[128] = {};
    if (openpty(&master, &slave_, name, nullptr, nullptr) != 0) return {};
    on_io([this, master] {
      auto stream = boost::asio::posix::stream_descriptor(io_, master);
      serve(std::make_shared<Session<boost::asio::posix::stream_descriptor>>(
          std::move(stream)));
    });
    return name;
  }
#endif

  // The gateway drops its link (the pty's master closes: an unplug).
  void drop() {
    on_io([this] {
      if (session_) session_->close();
      session_.reset();
    });
  }
  // Frames go unanswered from now on: their report never comes.
  void set_answering(bool answering) {
    on_io([this, answering] { firmware_.set_reporting(answering); });
  }
  // The bus loses its power, or gets it back; the unit says so.
  void set_bus_power(bool on) {
    on_io(
        [this, on] { send(firmware_.set_bus_power(on, dali::Clock::now())); });
  }
  // Sends a message: its bytes as hex digits, without the checksum.
  void say(const std::string& digits) {
    on_io([this, digits] {
      std::vector<uint8_t> bytes;
      for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(
            static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
      }
      send(FoxtronFirmware::line(bytes));
    });
  }

  bool wait_for(const std::function<bool(const Counters&)>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(counters_); });
  }
  Counters counters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
  }
  dali::SimulatedBus& bus() { return firmware_.bus(); }

 private:
  struct Link {
    virtual ~Link() = default;
    virtual void read(std::function<void(std::string)> bytes,
                      std::function<void()> gone) = 0;
    virtual void write(std::string bytes) = 0;
    virtual void close() = 0;
  };
  template <class Stream>
  struct Session final : Link, std::enable_shared_from_this<Session<Stream>> {
    explicit Session(Stream s) : stream(std::move(s)) {}
    void read(std::function<void(std::string)> bytes,
              std::function<void()> gone) override {
      stream.async_read_some(
          boost::asio::buffer(buffer),
          [self = this->shared_from_this(), bytes, gone](
              const boost::system::error_code& ec, std::size_t n) {
            if (ec || self->closed) {
              if (!self->closed) gone();
              return;
            }
            bytes(std::string(self->buffer, n));
            self->read(bytes, gone);
          });
    }
    void write(std::string bytes) override {
      out.push_back(std::move(bytes));
      if (out.size() == 1) write_next();
    }
    void write_next() {
      boost::asio::async_write(
          stream, boost::asio::buffer(out.front()),
          [self = this->shared_from_this()](const boost::system::error_code& ec,
                                            std::size_t) {
            if (ec || self->closed) return;
            self->out.pop_front();
            if (!self->out.empty()) self->write_next();
          });
    }
    void close() override {
      closed = true;
      boost::system::error_code ignored;
      stream.close(ignored);
    }
    Stream stream;
    char buffer[256];
    std::deque<std::string> out;
    bool closed = false;
  };

  template <class F>
  auto on_io(F f) -> decltype(f()) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    boost::asio::post(io_, [&task] { task(); });
    return result.get();
  }

  void accept_next() {
    acceptor_.async_accept([this](const boost::system::error_code& ec,
                                  boost::asio::ip::tcp::socket socket) {
      if (ec) return;
      serve(std::make_shared<Session<boost::asio::ip::tcp::socket>>(
          std::move(socket)));
      accept_next();
    });
  }

  void serve(std::shared_ptr<Link> link) {
    if (session_) session_->close();
    session_ = link;
    messages_before_ = firmware_.messages();
    count([](Counters& c) {
      ++c.connections;
      c.messages = 0;
    });
    link->read([this](const std::string& bytes) { consume(bytes); },
               [this, link] {
                 if (session_ == link) session_.reset();
               });
  }

  void count(const std::function<void(Counters&)>& change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change(counters_);
    }
    changed_.notify_all();
  }

  void send(const std::string& bytes) {
    if (session_ && !bytes.empty()) session_->write(bytes);
  }

  void consume(const std::string& bytes) {
    send(firmware_.receive(bytes, dali::Clock::now()));
    const uint64_t messages = firmware_.messages() - messages_before_;
    count([messages](Counters& c) { c.messages = messages; });
  }

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type>
      work_ = boost::asio::make_work_guard(io_);
  boost::asio::ip::tcp::acceptor acceptor_{io_};
  std::shared_ptr<Link> session_;
  FoxtronFirmware firmware_{std::make_unique<dali::SimulatedBus>()};
  uint64_t messages_before_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  Counters counters_;
#if !defined(_WIN32)
  int slave_ = -1;
#endif
  std::thread thread_;  // last: runs once the rest is built
};

}  // namespace kovra62386::test
