// Plays a server whose replies are the fuzz input: a communication object
// on the real TCP connection talks to a peer on a loopback port, and the
// peer writes the input's bytes to the socket in the chunks the input
// chooses, between the client's operations (enumerate, open, read, write,
// close) and an end of the stream.
//
// Each chunk is waited for until every message it completes has reached
// the client, so the client sees the same sequence on every run. Checked:
// read answers in {0, 1, 2}; a delivered record is exactly the decoding of
// the next frame the peer sent for that device after its open, and "none
// queued" means none was left; a lost server is noticed, every frame sent
// before the loss still comes out, and the device then answers 2; the
// client only ever sends well-formed requests; nothing waits unbounded.
//
// Input: a sequence of operations, each an operation byte followed by its
// arguments (see run()). Missing bytes read as zero.
#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/session/communication.h"
#include "client/transport/arrival_signal.h"
#include "client/transport/asio_connection.h"
#include "client/transport/connection_base.h"
#include "fuzz/fuzz_check.h"
#include "platform/platform.h"
#include "protocol/frame_codec.h"
#include "protocol/message.h"
#include "protocol/message_framer.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using kovra62386::ArrivalSignal;
using kovra62386::Direction;
using kovra62386::FrameCodec;
using kovra62386::FrameHolder;
using kovra62386::Kovra62386AsioConnection;
using kovra62386::Kovra62386Communication;
using kovra62386::Kovra62386ConnectionBase;
using kovra62386::Message;
using kovra62386::MessageFramer;
using kovra62386::MessageType;
using kovra62386::MessageView;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Far above anything loopback needs; reaching it is a finding.
constexpr milliseconds kDeliveryBound{5000};
constexpr int kMaxWaitingEnumerations = 3;

// Sits between the communication object and the TCP connection and lets
// the driver wait until a given number of messages has come in. Every
// message is taken from the connection under one lock, so the order is
// the order of arrival whoever takes it.
class CountingLink : public Kovra62386ConnectionBase {
 public:
  CountingLink(Kovra62386AsioConnection& inner, ArrivalSignal& arrivals)
      : Kovra62386ConnectionBase(kovra62386::platform::system_platform()),
        inner_(inner),
        arrivals_(arrivals) {}

  bool send(const Message& message) override { return inner_.send(message); }
  bool failed() const override { return inner_.failed(); }
  bool connect() override { return inner_.connect(); }
  bool receive(Message& out, int32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    pull();
    if (held_.empty()) return false;
    out = std::move(held_.front());
    held_.pop_front();
    return true;
  }

  // True once `count` messages came in since the start.
  bool wait_for_messages(std::size_t count) {
    return wait([&] { return arrived_ >= count; });
  }
  bool wait_for_loss() {
    return wait([&] { return inner_.failed(); });
  }

 private:
  void pull() {
    Message message;
    while (inner_.receive(message, 0)) {
      held_.push_back(std::move(message));
      ++arrived_;
    }
  }
  template <typename Done>
  bool wait(Done done) {
    const auto deadline = Clock::now() + kDeliveryBound;
    for (;;) {
      const uint64_t generation = arrivals_.generation();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pull();
        if (done()) return true;
      }
      const auto now = Clock::now();
      if (now >= deadline) return false;
      arrivals_.wait_for_change(
          generation, std::chrono::ceil<milliseconds>(deadline - now));
    }
  }

  Kovra62386AsioConnection& inner_;
  ArrivalSignal& arrivals_;
  std::mutex mutex_;
  std::deque<Message> held_;
  std::size_t arrived_ = 0;
};

// The listening side lives for the whole process: one port, reused.
struct Listener {
  asio::io_context io;
  tcp::acceptor acceptor{io,
                         tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
  uint16_t port() const { return acceptor.local_endpoint().port(); }
};

Listener& listener() {
  static Listener instance;
  return instance;
}

// The peer's end of one connection.
class Peer {
 public:
  explicit Peer(asio::io_context& io) : io_(io), socket_(io) {}

  tcp::socket& socket() { return socket_; }

  // Writes bytes unless the stream was ended.
  void write(std::span<const uint8_t> bytes) {
    if (ended_ || bytes.empty()) return;
    boost::system::error_code error;
    asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), error);
  }

  // Ends the stream: the client reads everything sent, then the end.
  void end() {
    if (ended_) return;
    ended_ = true;
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
  }
  bool ended() const { return ended_; }

  // Reads what the client sent until `done` holds, the client closed, or
  // the bound passed.
  template <typename Done>
  bool read_until(Done done, milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (!done() && !client_closed_) {
      const auto now = Clock::now();
      if (now >= deadline) return false;
      bool completed = false;
      socket_.async_read_some(
          asio::buffer(buffer_),
          [&](const boost::system::error_code& error, std::size_t count) {
            completed = true;
            feed(count);
            if (error && error != asio::error::operation_aborted) {
              client_closed_ = true;
            }
          });
      io_.restart();
      io_.run_for(deadline - now);
      if (!completed) {
        boost::system::error_code ignored;
        socket_.cancel(ignored);
        io_.restart();
        io_.run();
      }
    }
    return done();
  }

  const std::vector<Message>& requests() const { return requests_; }
  std::size_t count(MessageType type) const {
    return static_cast<std::size_t>(std::count_if(
        requests_.begin(), requests_.end(),
        [&](const Message& m) { return m[0] == static_cast<uint8_t>(type); }));
  }
  std::size_t pending_bytes() const { return framer_.pending_size(); }

 private:
  void feed(std::size_t count) {
    framer_.feed(std::span<const uint8_t>(buffer_.data(), count),
                 [&](std::span<const uint8_t> message) {
                   requests_.emplace_back(message.begin(), message.end());
                 });
  }

  asio::io_context& io_;
  tcp::socket socket_;
  std::array<uint8_t, 4096> buffer_{};
  MessageFramer framer_;
  std::vector<Message> requests_;
  bool ended_ = false;
  bool client_closed_ = false;
};

class Input {
 public:
  explicit Input(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool empty() const { return at_ >= bytes_.size(); }
  uint8_t byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::span<const uint8_t> bytes(std::size_t n) {
    const std::size_t take = std::min(n, bytes_.size() - at_);
    const auto out = bytes_.subspan(at_, take);
    at_ += take;
    return out;
  }

 private:
  std::span<const uint8_t> bytes_;
  std::size_t at_ = 0;
};

std::optional<ReadFrameRecord> decode(const Message& message) {
  const std::span<const uint8_t> frame = MessageView(message).frame();
  const auto length = static_cast<uint32_t>(frame.size());
  if (!FrameCodec::frame_length_valid(Direction::Read, length)) {
    return std::nullopt;
  }
  FrameHolder holder;
  try {
    FrameCodec::decode(Direction::Read, frame.data(), length, holder);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return holder.read;
}

// One opened device as the driver follows it.
struct Device {
  uint32_t key = 0;
  uint8_t index = 0;
  std::size_t next = 0;  // position in the index's frames
  bool gone = false;     // closed here, or DeviceClosed came after the open
};

class Driver {
 public:
  Driver(Input& input, Peer& peer, Kovra62386Communication& communication,
         CountingLink& link)
      : input_(input),
        peer_(peer),
        communication_(communication),
        link_(link) {}

  // The server's side of the stream, cut as the client must cut it.
  void send_chunk(std::span<const uint8_t> bytes) {
    if (peer_.ended()) return;
    stream_framer_.feed(bytes, [&](std::span<const uint8_t> message) {
      observe(Message(message.begin(), message.end()));
    });
    peer_.write(bytes);
    FUZZ_CHECK(link_.wait_for_messages(messages_sent_));
  }

  void observe(const Message& message) {
    ++messages_sent_;
    const MessageView view(message);
    switch (static_cast<MessageType>(view.type())) {
      case MessageType::InterfaceEntry:
        if (view.length() >= 2) {
          names_sent_.emplace(view.payload().begin() + 2, view.payload().end());
        }
        break;
      case MessageType::ReceivedFrame:
        if (view.length() >= 1) {
          if (auto record = decode(message)) {
            frames_[view.payload()[0]].push_back(*record);
          }
        }
        break;
      case MessageType::DeviceClosed:
        if (view.length() >= 1) {
          for (Device& device : devices_) {
            if (device.index == view.payload()[0]) device.gone = true;
          }
        }
        break;
      default:
        break;
    }
  }

  Device* choose_device() {
    const uint8_t pick = input_.byte();
    if (devices_.empty() || pick % (devices_.size() + 1) == devices_.size()) {
      return nullptr;
    }
    return &devices_[pick % (devices_.size() + 1)];
  }

  void check_read(Device* device) {
    ReadFrameRecord record;
    std::memset(&record, 0xA5, sizeof record);
    const int32_t result =
        communication_.read(device ? device->key : 0, record);
    FUZZ_CHECK(result == KOVRA62386_READ_FRAME ||
               result == KOVRA62386_READ_EMPTY ||
               result == KOVRA62386_READ_NOT_OPEN);
    if (device == nullptr) {
      FUZZ_CHECK(result == KOVRA62386_READ_NOT_OPEN);
      return;
    }
    const std::vector<ReadFrameRecord>& frames = frames_[device->index];
    if (result == KOVRA62386_READ_FRAME) {
      FUZZ_CHECK(device->next < frames.size());
      FUZZ_CHECK(std::memcmp(&record, &frames[device->next], sizeof record) ==
                 0);
      ++device->next;
    } else if (result == KOVRA62386_READ_EMPTY) {
      // Nothing queued: every frame sent for it came out.
      FUZZ_CHECK(!device->gone);
      FUZZ_CHECK(device->next == frames.size());
    }
  }

  void run() {
    int waiting_enumerations = 0;
    for (int step = 0; step < 128 && !input_.empty(); ++step) {
      switch (input_.byte() % 7) {
        case 0: {
          const std::size_t n = input_.byte();
          send_chunk(input_.bytes(n));
          break;
        }
        case 1: {  // an enumeration answered by the next chunk
          const bool waits = ++waiting_enumerations <= kMaxWaitingEnumerations;
          communication_.set_enumeration_timeout(milliseconds(waits ? 20 : 0));
          const std::size_t asked = peer_.count(MessageType::EnumerateRequest);
          std::vector<std::string> names;
          std::thread enumerating([&] { names = communication_.enumerate(); });
          if (!peer_.ended()) {
            peer_.read_until(
                [&] {
                  return peer_.count(MessageType::EnumerateRequest) > asked;
                },
                kDeliveryBound);
          }
          const std::size_t n = input_.byte();
          send_chunk(input_.bytes(n));
          enumerating.join();
          for (const std::string& name : names) {
            FUZZ_CHECK(names_sent_.count(name) == 1);
          }
          listed_ = std::move(names);
          break;
        }
        case 2: {  // open one of the listed names
          const uint8_t pick = input_.byte();
          const std::string name =
              listed_.empty() ? "none" : listed_[pick % listed_.size()];
          const uint32_t key = communication_.open(name);
          if (key == 0) break;
          std::optional<uint8_t> index;
          for (const auto& info : communication_.interfaces()) {
            if (info.name == name) {
              index = static_cast<uint8_t>(info.index);
              break;
            }
          }
          FUZZ_CHECK(index.has_value());
          for (const Device& device : devices_) {
            FUZZ_CHECK(device.key != key);
            FUZZ_CHECK(device.gone || device.index != *index);
          }
          // Frames that came before the open are not the device's.
          devices_.push_back(
              Device{key, *index, frames_[*index].size(), false});
          break;
        }
        case 3:
          check_read(choose_device());
          break;
        case 4: {
          Device* device = choose_device();
          WriteFrameRecord record{};
          const auto bytes = input_.bytes(sizeof record);
          if (!bytes.empty()) std::memcpy(&record, bytes.data(), bytes.size());
          const int32_t result =
              communication_.write(device ? device->key : 0, record);
          FUZZ_CHECK(result == 0 || result == 2);
          break;
        }
        case 5: {
          Device* device = choose_device();
          communication_.close(device ? device->key : 0);
          if (device) device->gone = true;
          break;
        }
        case 6:
          peer_.end();
          break;
      }
    }

    // The server goes away. The client notices, hands out every frame that
    // came before, and then answers 2.
    peer_.end();
    FUZZ_CHECK(link_.wait_for_loss());
    FUZZ_CHECK(link_.wait_for_messages(messages_sent_));
    for (Device& device : devices_) {
      for (;;) {
        ReadFrameRecord record{};
        const int32_t result = communication_.read(device.key, record);
        if (result != 0) {
          FUZZ_CHECK(result == 2);
          FUZZ_CHECK(device.gone ||
                     device.next == frames_[device.index].size());
          break;
        }
        const auto& frames = frames_[device.index];
        FUZZ_CHECK(device.next < frames.size());
        FUZZ_CHECK(std::memcmp(&record, &frames[device.next], sizeof record) ==
                   0);
        ++device.next;
      }
    }
  }

 private:
  Input& input_;
  Peer& peer_;
  Kovra62386Communication& communication_;
  CountingLink& link_;
  MessageFramer stream_framer_;
  std::size_t messages_sent_ = 0;
  std::set<std::string> names_sent_;
  std::map<uint8_t, std::vector<ReadFrameRecord>> frames_;
  std::vector<Device> devices_;
  std::vector<std::string> listed_;
};

// Requests the client may send, each well-formed.
void check_requests(const std::vector<Message>& requests) {
  for (const Message& message : requests) {
    const MessageView view(message);
    switch (static_cast<MessageType>(view.type())) {
      case MessageType::EnumerateRequest:
        FUZZ_CHECK(view.length() == 0);
        break;
      case MessageType::OpenRequest:
      case MessageType::CloseRequest:
        FUZZ_CHECK(view.length() == 1);
        break;
      case MessageType::TransmitFrame:
        FUZZ_CHECK(view.length() >= 1);
        FUZZ_CHECK(FrameCodec::frame_length_valid(Direction::Write,
                                                  view.length() - 1u));
        break;
      default:
        FUZZ_CHECK(!"unexpected request type");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(std::span<const uint8_t>(data, size));
  Listener& server = listener();

  ArrivalSignal arrivals;
  Kovra62386AsioConnection::Timing timing;
  timing.greeting_timeout = kDeliveryBound;
  Kovra62386AsioConnection connection(kovra62386::platform::system_platform(),
                                      server.port(), arrivals, timing);
  CountingLink link(connection, arrivals);
  Kovra62386Communication communication(&link, arrivals);

  Peer peer(server.io);
  bool connected = false;
  std::thread connecting([&] { connected = connection.connect(); });
  bool accepted = false;
  server.acceptor.async_accept(
      peer.socket(),
      [&](const boost::system::error_code& error) { accepted = !error; });
  server.io.restart();
  server.io.run_for(kDeliveryBound);
  if (!accepted) {
    server.acceptor.cancel();
    server.io.restart();
    server.io.run();
  }
  FUZZ_CHECK(accepted);
  Driver driver(input, peer, communication, link);
  const Message greeting =
      kovra62386::make_text_message(MessageType::Greeting, "fuzz");
  driver.send_chunk(greeting);
  connecting.join();
  FUZZ_CHECK(connected);

  driver.run();

  connection.terminate();
  // What the client sent before it closed: only well-formed requests.
  peer.read_until([] { return false; }, kDeliveryBound);
  FUZZ_CHECK(peer.pending_bytes() == 0);
  check_requests(peer.requests());
  return 0;
}
