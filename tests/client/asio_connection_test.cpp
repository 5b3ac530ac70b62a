// Kovra62386AsioConnection against a small TCP peer on an ephemeral port.
#include "client/transport/asio_connection.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <condition_variable>
#include <ctime>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "client/transport/message_sink.h"
#include "support/fake_platform.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#endif

namespace kovra62386 {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Generous for sanitizer builds on a busy machine.
constexpr milliseconds kBound{5000};
constexpr milliseconds kSlack{750};

Message greeting() { return {0x02, 0x03, 'h', 'i', '!'}; }

Message message_of(uint8_t type, std::size_t length, uint8_t fill = 0) {
  Message message{type, static_cast<uint8_t>(length)};
  for (std::size_t i = 0; i < length; ++i) {
    message.push_back(static_cast<uint8_t>(fill + i));
  }
  return message;
}

Message joined(std::initializer_list<Message> parts) {
  Message all;
  for (const auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The other end: accepts on 127.0.0.1:0 and reads and writes on demand.
// Every operation runs this peer's own event loop on the calling thread for
// a bounded time.
class TestPeer {
 public:
  TestPeer()
      : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {}
  explicit TestPeer(uint16_t port) : acceptor_(io_) {
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
  }

  uint16_t port() const { return acceptor_.local_endpoint().port(); }

  bool accept() {
    socket_ = tcp::socket(io_);
    return run([&](auto done) { acceptor_.async_accept(socket_, done); });
  }

  void write(const Message& bytes) {
    asio::write(socket_, asio::buffer(bytes));
  }

  // write() within the bound: false when the client's side did not take
  // it all in time.
  bool write_within_bound(const Message& bytes) {
    return run([&](auto done) {
      asio::async_write(
          socket_, asio::buffer(bytes),
          [done](const boost::system::error_code& e, std::size_t) { done(e); });
    });
  }

  // Exactly `count` bytes, or what came before the bound ran out.
  Message read(std::size_t count) {
    Message bytes(count);
    std::size_t got = 0;
    run([&](auto done) {
      asio::async_read(
          socket_, asio::buffer(bytes),
          [&, done](const boost::system::error_code& e, std::size_t n) {
            got = n;
            done(e);
          });
    });
    bytes.resize(got);
    return bytes;
  }

  // True when the client closed its end (end of stream within the bound).
  bool sees_end_of_stream() {
    uint8_t byte = 0;
    boost::system::error_code result;
    run([&](auto done) {
      socket_.async_read_some(
          asio::buffer(&byte, 1),
          [&, done](const boost::system::error_code& e, std::size_t) {
            result = e;
            done(e);
          });
    });
    return result == asio::error::eof;
  }

  void close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
  }

#if defined(__linux__)
  // Waits until the client's system has acknowledged every byte written,
  // so that a reset after it finds them all on the client's side.
  bool wait_acknowledged() {
    const auto deadline = Clock::now() + kBound;
    for (;;) {
      int unacknowledged = 0;
      if (::ioctl(socket_.native_handle(), SIOCOUTQ, &unacknowledged) != 0)
        return false;
      if (unacknowledged == 0) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::yield();
    }
  }
#endif

  // Ends the connection with a reset (SO_LINGER 0), as a crashing server
  // does; what the client had not yet read stays with the client.
  void reset() {
    boost::system::error_code ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    socket_.close(ignored);
  }

  tcp::endpoint remote() const { return socket_.remote_endpoint(); }

 private:
  template <typename Start>
  bool run(Start start) {
    bool finished = false;
    boost::system::error_code result;
    start([&](const boost::system::error_code& e) {
      finished = true;
      result = e;
    });
    io_.restart();
    io_.run_for(kBound);
    if (!finished) {
      boost::system::error_code ignored;
      acceptor_.cancel(ignored);
      socket_.cancel(ignored);
      io_.restart();
      io_.run();
    }
    return finished && !result;
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  tcp::socket socket_{io_};
};

// Waits, on the arrival signal, until `done` holds or the bound passes.
template <typename Predicate>
bool wait_until(ArrivalSignal& arrivals, Predicate done) {
  const auto deadline = Clock::now() + kBound;
  for (;;) {
    const uint64_t seen = arrivals.generation();
    if (done()) return true;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    arrivals.wait_for_change(seen,
                             std::chrono::duration_cast<milliseconds>(left));
  }
}

#if !defined(_WIN32)
// The descriptor of this process's socket bound to `local`; -1 if none.
int descriptor_bound_to(const tcp::endpoint& local) {
  for (int fd = 0; fd < 4096; ++fd) {
    tcp::endpoint bound;
    socklen_t size = static_cast<socklen_t>(bound.capacity());
    if (::getsockname(fd, bound.data(), &size) == 0 && bound == local)
      return fd;
  }
  return -1;
}
#endif

#if defined(__linux__)
// Waits until the system has taken the connection on `descriptor` down (a
// reset arrived), so that the next write on it fails.
bool wait_until_reset(int descriptor) {
  const auto deadline = Clock::now() + kBound;
  for (;;) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
      return false;
    if (info.tcpi_state == TCP_CLOSE) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
}

// The message numbered `n`, 14 bytes.
Message numbered_message(uint32_t n) {
  Message message = message_of(0x15, 12, static_cast<uint8_t>(n));
  for (int i = 0; i < 4; ++i)
    message[2 + i] = static_cast<uint8_t>(n >> (8 * i));
  return message;
}

// Records what the connection delivers, whether the connection had
// already failed at each delivery, and when the loss was reported. While
// held, it keeps the I/O thread inside the delivery of the `hold_at`-th
// message (counted from 1), so that the bytes behind it wait unread in the
// socket.
class HoldingSink final : public MessageSink {
 public:
  explicit HoldingSink(std::size_t hold_at) : hold_at_(hold_at) {}

  void watch(const Kovra62386AsioConnection* connection) {
    connection_ = connection;
  }

  void accept(std::span<const uint8_t> message) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (connection_ != nullptr && connection_->failed()) ++after_failure_;
    if (lost_at_) ++after_loss_;
    messages_.emplace_back(message.begin(), message.end());
    changed_.notify_all();
    changed_.wait(lock,
                  [&] { return released_ || messages_.size() != hold_at_; });
  }

  void link_lost() noexcept override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lost_at_) lost_at_ = messages_.size();
    changed_.notify_all();
  }

  bool wait_until_held() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kBound,
                             [&] { return messages_.size() >= hold_at_; });
  }

  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

  std::vector<Message> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // Messages delivered while failed() already answered true, or after the
  // loss was reported: both must stay 0.
  int after_failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return after_failure_ + after_loss_;
  }
  // How many messages had been delivered when the loss was reported.
  std::optional<std::size_t> lost_at() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_at_;
  }

 private:
  const std::size_t hold_at_;
  const Kovra62386AsioConnection* connection_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Message> messages_;
  bool released_ = false;
  int after_failure_ = 0;
  int after_loss_ = 0;
  std::optional<std::size_t> lost_at_;
};

// Lets a held I/O thread go however a test ends, before the connection
// that joins it goes.
struct ReleaseOnExit {
  HoldingSink& sink;
  ~ReleaseOnExit() { sink.release(); }
};
#endif

class AsioConnectionTest : public ::testing::Test {
 protected:
  std::unique_ptr<Kovra62386AsioConnection> make(
      uint16_t port, milliseconds greeting_timeout = kBound,
      milliseconds send_stall_timeout =
          milliseconds(KOVRA62386_SEND_STALL_TIMEOUT_MS)) {
    Kovra62386AsioConnection::Timing timing;
    timing.greeting_timeout = greeting_timeout;
    timing.send_stall_timeout = send_stall_timeout;
    return std::make_unique<Kovra62386AsioConnection>(fake_, port, arrivals_,
                                                      timing);
  }

  // Connects `connection` to peer_, which greets at once.
  void connect_greeted(Kovra62386AsioConnection& connection) {
    auto connected =
        std::async(std::launch::async, [&] { return connection.connect(); });
    ASSERT_TRUE(peer_.accept());
    peer_.write(greeting());
    ASSERT_TRUE(connected.get());
    Message out;
    ASSERT_TRUE(connection.receive(out, 0));
    ASSERT_EQ(out, greeting());
  }

#if defined(__linux__)
  // Connects `connection` (its sink `sink`, holding at message 2) to
  // peer_, which greets and sends `count` numbered messages: the first
  // holds the I/O thread, the others wait unread in the client's socket,
  // every byte acknowledged. `descriptor`: the client's socket.
  void connect_and_hold(Kovra62386AsioConnection& connection, HoldingSink& sink,
                        uint32_t count, int& descriptor) {
    connection.set_sink(&sink);
    sink.watch(&connection);
    auto connected =
        std::async(std::launch::async, [&] { return connection.connect(); });
    ASSERT_TRUE(peer_.accept());
    peer_.write(greeting());
    ASSERT_TRUE(connected.get());
    descriptor = descriptor_bound_to(peer_.remote());
    ASSERT_GE(descriptor, 0);
    // Room for all of them unread, whatever the system's default.
    const int room = 1 << 20;
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    peer_.write(numbered_message(0));
    ASSERT_TRUE(sink.wait_until_held());
    Message rest;
    for (uint32_t n = 1; n < count; ++n) {
      const Message message = numbered_message(n);
      rest.insert(rest.end(), message.begin(), message.end());
    }
    ASSERT_TRUE(peer_.write_within_bound(rest));
    ASSERT_TRUE(peer_.wait_acknowledged());
  }

  // Sends once a writer gave the link up: dropped at once, and none of
  // them declares the loss.
  void expect_later_sends_dropped(Kovra62386AsioConnection& connection) {
    const auto start = Clock::now();
    for (int i = 0; i < 2000; ++i) {
      EXPECT_TRUE(connection.send(message_of(0x14, 2)));
    }
    EXPECT_LT(Clock::now() - start, kSlack);
    EXPECT_FALSE(connection.failed());
  }

  // Lets the held I/O thread go. Once the loss is declared: the sink got
  // the greeting and all `count` messages in order, the loss was reported
  // after the last of them, and nothing came after it or while failed()
  // already answered true.
  void expect_everything_then_the_loss(Kovra62386AsioConnection& connection,
                                       HoldingSink& sink, uint32_t count) {
    EXPECT_FALSE(connection.failed());
    sink.release();
    ASSERT_TRUE(wait_until(arrivals_, [&] { return connection.failed(); }));
    const std::vector<Message> messages = sink.messages();
    ASSERT_EQ(messages.size(), count + 1u);
    EXPECT_EQ(messages[0], greeting());
    std::size_t out_of_place = 0;
    for (uint32_t n = 0; n < count; ++n) {
      if (messages[n + 1] != numbered_message(n)) ++out_of_place;
    }
    EXPECT_EQ(out_of_place, 0u);
    EXPECT_EQ(sink.lost_at(), std::optional<std::size_t>(count + 1u));
    EXPECT_EQ(sink.after_failure(), 0);
  }
#endif

  test::FakePlatform fake_;
  ArrivalSignal arrivals_;
  TestPeer peer_;
};

TEST_F(AsioConnectionTest, GreetingConnectsAndIsQueuedLikeAnyMessage) {
  auto connection = make(peer_.port());
  EXPECT_EQ(connection->state(), ConnectionState::NotConnected);
  connect_greeted(*connection);
  EXPECT_EQ(connection->state(), ConnectionState::Connected);
  EXPECT_FALSE(connection->failed());
  connection->terminate();
}

TEST_F(AsioConnectionTest, StreamIsCutIntoWholeMessages) {
  auto connection = make(peer_.port());
  connect_greeted(*connection);

  // Several messages in one write, lengths 0 and 255 among them.
  const Message empty = message_of(0x07, 0);
  const Message longest = message_of(0x15, 255, 0x40);
  const Message text = message_of(0x01, 4, 'a');
  peer_.write(joined({empty, longest, text}));
  Message out;
  ASSERT_TRUE(connection->receive(out, kBound.count()));
  EXPECT_EQ(out, empty);
  ASSERT_TRUE(connection->receive(out, kBound.count()));
  EXPECT_EQ(out.size(), 257u);
  EXPECT_EQ(out, longest);
  ASSERT_TRUE(connection->receive(out, kBound.count()));
  EXPECT_EQ(out, text);

  // A message split across writes is queued once, whole, after its last
  // byte. The first part alone yields nothing.
  for (const std::size_t split : {1u, 2u, 3u, 200u}) {
    const Message whole = message_of(0x15, 255, static_cast<uint8_t>(split));
    peer_.write(Message(whole.begin(), whole.begin() + split));
    EXPECT_FALSE(connection->receive(out, 50)) << split;
    peer_.write(Message(whole.begin() + split, whole.end()));
    ASSERT_TRUE(connection->receive(out, kBound.count())) << split;
    EXPECT_EQ(out, whole) << split;
  }
  EXPECT_FALSE(connection->receive(out, 0));
}

TEST_F(AsioConnectionTest, ReceiveTimeoutsAreMetWithoutSpinning) {
  auto connection = make(peer_.port());
  connect_greeted(*connection);
  Message out{0x99};

  auto start = Clock::now();
  EXPECT_FALSE(connection->receive(out, 0));
  EXPECT_FALSE(connection->receive(out, -1));
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  EXPECT_EQ(out, Message{0x99});

  // An idle wait costs no CPU: neither the waiting caller nor the I/O
  // thread may poll.
  const std::clock_t cpu_before = std::clock();
  start = Clock::now();
  EXPECT_FALSE(connection->receive(out, 400));
  const auto waited = Clock::now() - start;
  const double cpu_ms =
      1000.0 * static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
  EXPECT_GE(waited, milliseconds(400));
  EXPECT_LT(waited, milliseconds(400) + kSlack);
#if !defined(_WIN32)  // msvcrt's clock() counts wall time, not CPU time
  EXPECT_LT(cpu_ms, 100.0);
#else
  (void)cpu_ms;
#endif

  // A message that arrives during a long wait ends it at once.
  auto received = std::async(std::launch::async, [&] {
    Message message;
    const auto began = Clock::now();
    const bool got = connection->receive(message, 20000);
    return std::make_tuple(got, message, Clock::now() - began);
  });
  peer_.write(message_of(0x0D, 1, 3));
  const auto [got, message, took] = received.get();
  EXPECT_TRUE(got);
  EXPECT_EQ(message, message_of(0x0D, 1, 3));
  EXPECT_LT(took, milliseconds(5000));
}

TEST_F(AsioConnectionTest, SendsGoOutExactlyAndInOrder) {
  auto connection = make(peer_.port());
  connect_greeted(*connection);

  Message expected;
  for (std::size_t i = 0; i < 200; ++i) {
    const Message message =
        message_of(0x14, (i * 37) % 256, static_cast<uint8_t>(i));
    EXPECT_TRUE(connection->send(message));
    expected.insert(expected.end(), message.begin(), message.end());
  }
  EXPECT_EQ(peer_.read(expected.size()), expected);

  // Two threads at once: each thread's messages keep their order and no
  // message is torn.
  auto sender = [&](uint8_t type) {
    for (uint8_t i = 0; i < 100; ++i) connection->send({type, 1, i});
  };
  std::thread first(sender, 0x0A);
  std::thread second(sender, 0x0C);
  first.join();
  second.join();
  const Message both = peer_.read(600);
  ASSERT_EQ(both.size(), 600u);
  uint8_t next_a = 0;
  uint8_t next_c = 0;
  for (std::size_t at = 0; at < both.size(); at += 3) {
    ASSERT_EQ(both[at + 1], 1);
    if (both[at] == 0x0A) {
      EXPECT_EQ(both[at + 2], next_a++);
    } else {
      ASSERT_EQ(both[at], 0x0C);
      EXPECT_EQ(both[at + 2], next_c++);
    }
  }
  EXPECT_EQ(next_a, 100);
  EXPECT_EQ(next_c, 100);
}

TEST_F(AsioConnectionTest, ServerGoingAwayFailsTheConnectionKeepingTheQueue) {
  auto connection = make(peer_.port());
  connect_greeted(*connection);
  const Message last = message_of(0x15, 12, 1);
  peer_.write(last);
  peer_.close();

  // The failure itself moves the arrival signal.
  ASSERT_TRUE(wait_until(arrivals_, [&] { return connection->failed(); }));
  EXPECT_EQ(connection->state(), ConnectionState::Failed);
  EXPECT_TRUE(connection->send(message_of(0x14, 2)));
  EXPECT_TRUE(connection->failed());

  Message out;
  ASSERT_TRUE(connection->receive(out, 0));
  EXPECT_EQ(out, last);
  EXPECT_FALSE(connection->receive(out, 0));
  connection->terminate();
}

TEST_F(AsioConnectionTest, RefusedConnectAnswersAtOnceAndASecondCanSucceed) {
  uint16_t port = 0;
  {
    TestPeer gone;
    port = gone.port();
  }
  auto connection = make(port, milliseconds(20000));
  const auto start = Clock::now();
  EXPECT_FALSE(connection->connect());
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(connection->failed());

  // A server that comes up on that port is reached by the next connect:
  // the event loop is still there after the first attempt ran out of work.
  TestPeer late(port);
  auto connected =
      std::async(std::launch::async, [&] { return connection->connect(); });
  ASSERT_TRUE(late.accept());
  late.write(greeting());
  EXPECT_TRUE(connected.get());
  EXPECT_EQ(connection->state(), ConnectionState::Connected);
}

TEST_F(AsioConnectionTest, MissingGreetingTimesOutAndALateOneStillCounts) {
  auto connection = make(peer_.port(), milliseconds(300));
  auto connected = std::async(std::launch::async, [&] {
    const auto start = Clock::now();
    const bool result = connection->connect();
    return std::make_pair(result, Clock::now() - start);
  });
  ASSERT_TRUE(peer_.accept());
  const auto [result, took] = connected.get();
  EXPECT_FALSE(result);
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(300) + kSlack);
  // The connection stays open and keeps receiving.
  EXPECT_EQ(connection->state(), ConnectionState::NotConnected);

  peer_.write(greeting());
  Message out;
  ASSERT_TRUE(connection->receive(out, kBound.count()));
  EXPECT_EQ(out, greeting());
  EXPECT_TRUE(wait_until(arrivals_, [&] {
    return connection->state() == ConnectionState::Connected;
  }));
}

TEST_F(AsioConnectionTest, SecondConnectReplacesAnUngreetedConnection) {
  auto connection = make(peer_.port(), milliseconds(200));
  auto first =
      std::async(std::launch::async, [&] { return connection->connect(); });
  ASSERT_TRUE(peer_.accept());
  EXPECT_FALSE(first.get());

  // The first connection's socket is closed when a new attempt starts.
  auto again =
      std::async(std::launch::async, [&] { return connection->connect(); });
  EXPECT_TRUE(peer_.sees_end_of_stream());
  ASSERT_TRUE(peer_.accept());
  peer_.write(greeting());
  EXPECT_TRUE(again.get());
}

TEST_F(AsioConnectionTest, ArrivalSignalMovesForEveryQueuedMessage) {
  auto connection = make(peer_.port());
  connect_greeted(*connection);
  const uint64_t before = arrivals_.generation();
  peer_.write(joined({message_of(0x15, 10), message_of(0x15, 11)}));
  EXPECT_TRUE(wait_until(arrivals_,
                         [&] { return arrivals_.generation() >= before + 2; }));
  EXPECT_EQ(connection->receive_all().size(), 2u);
}

TEST_F(AsioConnectionTest, TerminateIsSafeInEveryState) {
  // Never connected.
  auto idle = make(peer_.port());
  idle->terminate();
  idle->terminate();
  EXPECT_FALSE(idle->connect());

  // Connected, twice.
  auto connection = make(peer_.port());
  connect_greeted(*connection);
  connection->terminate();
  connection->terminate();
  EXPECT_TRUE(peer_.sees_end_of_stream());
  EXPECT_TRUE(connection->send(message_of(0x14, 2)));
  EXPECT_FALSE(connection->connect());

  // Destroyed while connected, without terminate.
  TestPeer other;
  auto dropped = make(other.port());
  auto connected =
      std::async(std::launch::async, [&] { return dropped->connect(); });
  ASSERT_TRUE(other.accept());
  other.write(greeting());
  ASSERT_TRUE(connected.get());
  dropped.reset();
  EXPECT_TRUE(other.sees_end_of_stream());
}

TEST_F(AsioConnectionTest, InitializeConnectsToAPublishedServer) {
  fake_.set_value(platform::Hive::CurrentUser, "Host", std::string("x"));
  fake_.set_value(platform::Hive::CurrentUser, "Port", uint32_t{1});
  auto connection = make(peer_.port());
  auto initialized =
      std::async(std::launch::async, [&] { return connection->initialize(); });
  ASSERT_TRUE(peer_.accept());
  peer_.write(greeting());
  EXPECT_TRUE(initialized.get());
  EXPECT_EQ(fake_.mutexes_held(), 0);
  EXPECT_EQ(fake_.count("mutex release"), 1u);
  connection->terminate();

  // Once terminated, initialize neither connects nor starts anything.
  fake_.remove_value(platform::Hive::CurrentUser, "Host");
  EXPECT_FALSE(connection->initialize());
  EXPECT_EQ(fake_.count("mutex release"), 1u);
}

TEST_F(AsioConnectionTest, TerminateEndsAWaitingConnect) {
  auto connection = make(peer_.port(), milliseconds(20000));
  auto connected = std::async(std::launch::async, [&] {
    const auto start = Clock::now();
    const bool result = connection->connect();
    return std::make_pair(result, Clock::now() - start);
  });
  ASSERT_TRUE(peer_.accept());
  connection->terminate();
  const auto [result, took] = connected.get();
  EXPECT_FALSE(result);
  EXPECT_LT(took, milliseconds(5000));
}

TEST_F(AsioConnectionTest, SendsBehindAPartialWriteKeepTheCallOrder) {
  auto connection = make(peer_.port());
  connect_greeted(*connection);
  // Far more than the socket buffers take while the peer reads nothing:
  // the socket takes part of it, the I/O thread writes the rest, and every
  // send meanwhile queues behind it.
  const Message block(16u << 20, 0x5A);
  ASSERT_TRUE(connection->send(block));
  constexpr int kWriters = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) {
        connection->send({static_cast<uint8_t>(0x20 + w), 2,
                          static_cast<uint8_t>(i),
                          static_cast<uint8_t>(i >> 8)});
      }
    });
  }
  for (auto& writer : writers) writer.join();

  EXPECT_TRUE(peer_.read(block.size()) == block);
  const Message rest = peer_.read(kWriters * kEach * 4);
  ASSERT_EQ(rest.size(), std::size_t{kWriters * kEach * 4});
  std::array<int, kWriters> next{};
  for (std::size_t at = 0; at < rest.size(); at += 4) {
    const int writer = rest[at] - 0x20;
    ASSERT_TRUE(writer >= 0 && writer < kWriters && rest[at + 1] == 2);
    EXPECT_EQ(rest[at + 2] | rest[at + 3] << 8, next[writer]++);
  }
  for (int count : next) EXPECT_EQ(count, kEach);
}

#if !defined(_WIN32)
TEST_F(AsioConnectionTest, SendsRacingALostLinkNeverReachItsReusedDescriptor) {
  auto connection = make(peer_.port());
  connect_greeted(*connection);
  const int descriptor = descriptor_bound_to(peer_.remote());
  ASSERT_GE(descriptor, 0);

  // Two threads send through the loss and, once the socket's number
  // belongs to another socket, a thousand times more each.
  std::atomic<bool> reused{false};
  std::atomic<bool> stop{false};
  const auto sender = [&] {
    for (int after = 0; after < 1000 && !stop;) {
      connection->send({0x14, 1, 0x77});
      if (reused) ++after;
    }
  };
  std::array<int, 2> pair{-1, -1};
  {
    // Ends the senders however the block is left.
    struct Senders {
      std::atomic<bool>& reused;
      std::atomic<bool>& stop;
      std::thread first;
      std::thread second;
      ~Senders() {
        if (!reused) stop = true;
        first.join();
        second.join();
      }
    } senders{reused, stop, std::thread(sender), std::thread(sender)};

    peer_.close();
    ASSERT_TRUE(wait_until(arrivals_, [&] { return connection->failed(); }));
    // The I/O thread closes the socket once the link is lost.
    const auto deadline = Clock::now() + kBound;
    while (::fcntl(descriptor, F_GETFD) != -1 && Clock::now() < deadline)
      std::this_thread::yield();
    ASSERT_EQ(::fcntl(descriptor, F_GETFD), -1);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair.data()), 0);
    ASSERT_EQ(::dup2(pair[0], descriptor), descriptor);
    reused = true;
  }

  uint8_t byte = 0;
  EXPECT_EQ(::recv(pair[1], &byte, 1, MSG_DONTWAIT), -1);
  ::close(descriptor);
  ::close(pair[0]);
  ::close(pair[1]);
}
#endif

#if defined(__linux__)
// Messages the peer sends before its reset: more than two receives of the
// I/O thread take (64 KiB each).
constexpr uint32_t kBeforeReset = 12000;

TEST_F(AsioConnectionTest, WriterMeetingAResetLeavesTheLossToTheReceiver) {
  // A reader relies on this: once failed() answers true, every message
  // that arrived before the loss has been delivered. A sender whose write
  // meets the reset must not declare the loss while the I/O thread still
  // has messages to deliver, some of them unread in the socket.
  HoldingSink sink(2);
  auto connection = make(peer_.port());
  ReleaseOnExit release{sink};
  int descriptor = -1;
  ASSERT_NO_FATAL_FAILURE(
      connect_and_hold(*connection, sink, kBeforeReset, descriptor));
  peer_.reset();
  ASSERT_TRUE(wait_until_reset(descriptor));

  // The write fails on the reset; the link is not lost yet for readers.
  EXPECT_TRUE(connection->send(message_of(0x14, 2)));
  EXPECT_FALSE(connection->failed());
  // Later sends are dropped at once, without waiting for anything.
  expect_later_sends_dropped(*connection);
  expect_everything_then_the_loss(*connection, sink, kBeforeReset);
  // The I/O thread closed the socket.
  EXPECT_EQ(::fcntl(descriptor, F_GETFD), -1);
}

TEST_F(AsioConnectionTest, FailedWriteOfTheIoThreadReadsToTheEndFirst) {
  // The I/O thread's own write meets the reset: it too reads what the
  // server sent before, instead of closing the socket on it.
  HoldingSink sink(2);
  auto connection = make(peer_.port());
  ReleaseOnExit release{sink};
  int descriptor = -1;
  ASSERT_NO_FATAL_FAILURE(
      connect_and_hold(*connection, sink, kBeforeReset, descriptor));
  // More than the socket takes while the peer reads nothing: the rest is
  // left to the I/O thread, which writes once it is let go.
  ASSERT_TRUE(connection->send(Message(16u << 20, 0x5A)));
  peer_.reset();
  ASSERT_TRUE(wait_until_reset(descriptor));
  expect_everything_then_the_loss(*connection, sink, kBeforeReset);
}

TEST_F(AsioConnectionTest, StalledSenderLeavesTheLossToTheReceiver) {
  // The server takes nothing and never closes. The sender that waited out
  // the stall gives the link up; the I/O thread delivers what had arrived
  // and ends the link by itself, without waiting for the server.
  HoldingSink sink(2);
  auto connection = make(peer_.port(), kBound, milliseconds(200));
  ReleaseOnExit release{sink};
  int descriptor = -1;
  ASSERT_NO_FATAL_FAILURE(
      connect_and_hold(*connection, sink, kBeforeReset, descriptor));
  // The socket takes part of the block, the rest and 1 023 messages fill
  // the send queue; the next send waits out the stall time.
  ASSERT_TRUE(connection->send(Message(16u << 20, 0x5A)));
  for (std::size_t i = 1; i < Kovra62386AsioConnection::kSendQueueLimit; ++i) {
    ASSERT_TRUE(connection->send(message_of(0x14, 2)));
  }
  const auto stalled = Clock::now();
  EXPECT_TRUE(connection->send(message_of(0x14, 2)));
  EXPECT_GE(Clock::now() - stalled, milliseconds(200));
  EXPECT_FALSE(connection->failed());
  // Later sends do not wait for room again.
  expect_later_sends_dropped(*connection);
  expect_everything_then_the_loss(*connection, sink, kBeforeReset);
  EXPECT_EQ(::fcntl(descriptor, F_GETFD), -1);
}
#endif

}  // namespace
}  // namespace kovra62386
