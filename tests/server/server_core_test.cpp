// The stand-in server's core, driven through a plain Asio client on an
// ephemeral port: the bytes of every reply, who sees which bus frame, the
// scripting hooks, hostile input and shutdown.
#include "server/server_core.h"

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "server/bus_model.h"
#include "server/bus_records.h"
#if defined(KOVRA62386_HAVE_DALI_BUS)
#include "server/dali_bus_model.h"
#endif
#include "dali/dali_commands.h"
#include "protocol/frame_codec.h"
#include "protocol/message.h"
#include "protocol/message_framer.h"
#include "server/registry_publication.h"
#include "server/simulated_interface.h"
#include "support/records.h"

namespace kovra62386::sim {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using test::forward_frame;
namespace gear = dali::gear;

constexpr auto kWaitLimit = 5s;

// A client that speaks raw bytes. Reads run on the calling thread with a
// deadline, so a missing reply fails the test instead of hanging it.
class TestClient {
 public:
  explicit TestClient(uint16_t port) : socket_(io_) {
    socket_.connect(
        tcp::endpoint(boost::asio::ip::address_v4::loopback(), port));
  }

  void send(const Bytes& bytes) {
    boost::asio::write(socket_, boost::asio::buffer(bytes));
  }

  // The next message, or nullopt when none came in time or the server
  // closed the connection.
  std::optional<Message> next(std::chrono::milliseconds timeout = kWaitLimit) {
    const auto deadline = Clock::now() + timeout;
    while (received_.empty() && !eof_ && Clock::now() < deadline) {
      if (!reading_) read();
      io_.restart();
      io_.run_one_until(deadline);
    }
    if (received_.empty()) return std::nullopt;
    Message message = std::move(received_.front());
    received_.pop_front();
    return message;
  }

  // Messages up to (not including) `fence`; fails when it does not come.
  std::vector<Message> until(const Message& fence) {
    std::vector<Message> before;
    while (auto message = next()) {
      if (*message == fence) return before;
      before.push_back(*message);
    }
    ADD_FAILURE() << "fence never came";
    return before;
  }

  // True when the server closed the connection within the time limit.
  bool closed_by_server() {
    while (next()) {
    }
    return eof_;
  }

 private:
  void read() {
    reading_ = true;
    socket_.async_read_some(
        boost::asio::buffer(buffer_),
        [this](const boost::system::error_code& error, std::size_t count) {
          reading_ = false;
          if (error) {
            eof_ = true;
            return;
          }
          framer_.feed(std::span<const uint8_t>(buffer_.data(), count),
                       [this](std::span<const uint8_t> message) {
                         received_.emplace_back(message.begin(), message.end());
                       });
        });
  }

  boost::asio::io_context io_;
  tcp::socket socket_;
  std::array<uint8_t, 1024> buffer_{};
  MessageFramer framer_;
  std::deque<Message> received_;
  bool reading_ = false;
  bool eof_ = false;
};

// Ephemeral port; the address-and-opcode answer model, so that replies
// are known in advance.
ServerOptions test_options() {
  ServerOptions options;
  options.port = 0;
  options.bus_model = [](uint8_t) {
    return std::make_unique<QueryAnswerModel>();
  };
  return options;
}

// A connected client whose greeting has been read.
std::unique_ptr<TestClient> greeted_client(const ServerCore& core) {
  auto client = std::make_unique<TestClient>(core.port());
  const auto greeting = client->next();
  EXPECT_TRUE(greeting &&
              (*greeting)[0] == static_cast<uint8_t>(MessageType::Greeting));
  return client;
}

ReadFrameRecord decoded(const Message& message) {
  EXPECT_EQ(message.at(0), static_cast<uint8_t>(MessageType::ReceivedFrame));
  ReadFrameRecord record{};
  FrameCodec::decode_read(message.data() + 3, message.at(1) - 1u, record);
  return record;
}

// Everything the client got for its frames, decoded, until the fence.
struct Seen {
  uint8_t frame_type, sub_type, header_flag, status, answer;
  bool operator==(const Seen&) const = default;
};
Seen seen_report(uint8_t status = KOVRA62386_STATUS_SENT) {
  return {KOVRA62386_FRAME_TRANSMIT_REPORT, 0, 0, status, 0};
}
Seen seen_bus_event(uint8_t sub_type, uint8_t header_flag, uint8_t data) {
  return {KOVRA62386_FRAME_BUS_EVENT, sub_type, header_flag, 0, data};
}
// The sender's own forward frame, and another sender's.
Seen seen_own_echo(uint8_t address) {
  return seen_bus_event(KOVRA62386_BUS_EVENT_FORWARD, 1, address);
}
Seen seen_echo(uint8_t address) {
  return seen_bus_event(KOVRA62386_BUS_EVENT_FORWARD, 0, address);
}
Seen seen_answer(uint8_t answer) {
  return seen_bus_event(KOVRA62386_BUS_EVENT_BACKWARD, 0, answer);
}
Seen seen_no_answer() {
  return seen_bus_event(KOVRA62386_BUS_EVENT_NO_ANSWER, 0, 0);
}
Seen seen_collision() {
  return seen_bus_event(KOVRA62386_BUS_EVENT_FRAMING_ERROR, 0, 0);
}
Seen seen_bus_state() {
  return seen_bus_event(KOVRA62386_BUS_EVENT_STATE, 0, 0);
}

std::vector<Seen> summary(const std::vector<Message>& messages) {
  std::vector<Seen> seen;
  for (const Message& message : messages) {
    const ReadFrameRecord r = decoded(message);
    seen.push_back({r.frame_type, r.sub_type, r.bus_event.header_flag,
                    r.transmit_report.status, r.bus_event.data[0]});
  }
  return seen;
}

const Message kFence = make_text_message(MessageType::ServerText, "fence");

// Makes every reply the server has produced so far for `count` client
// messages reach the clients before the fence.
void send_fence(ServerCore& core, std::size_t count) {
  ASSERT_TRUE(core.wait_for_messages(count, kWaitLimit));
  core.send_raw(kFence);
}

class ServerCoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(core.start()); }
  ServerCore core{test_options()};
};

TEST_F(ServerCoreTest, GreetsAndListsInterfacesByteForByte) {
  ServerOptions options = test_options();
  options.interface_at_255 = "EXTRA";
  ServerCore server(options);
  ASSERT_TRUE(server.start());
  TestClient client(server.port());
  const auto greeting = client.next();
  ASSERT_TRUE(greeting);
  EXPECT_EQ(*greeting,
            make_text_message(MessageType::Greeting, options.greeting));

  client.send({0x05, 0x00});
  const Bytes expected[] = {{0x06, 0x07, 0x00, 0x01, 'S', 'I', 'M', '-', '1'},
                            {0x06, 0x07, 0x01, 0x01, 'S', 'I', 'M', '-', '2'},
                            {0x06, 0x07, 0xFF, 0x01, 'E', 'X', 'T', 'R', 'A'},
                            {0x07, 0x00}};
  for (const Bytes& bytes : expected) EXPECT_EQ(client.next(), bytes);
}

#if !defined(_WIN32)
// A real interface whose device cannot be opened is not listed to clients,
// and its state names the node and the reason.
TEST_F(ServerCoreTest, RealInterfaceMissingIsNamedNotListed) {
  ServerOptions options = test_options();
  options.real_interfaces = {{"LAB", "sevenlab", "/nonexistent/ttyUSB7"}};
  ServerCore server(options);
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.interface_index("LAB"), 2);
  const auto states = server.interface_states();
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[0].driver, "simulated");
  EXPECT_EQ(states[2].driver, "sevenlab");
  EXPECT_FALSE(states[2].connected);
  EXPECT_EQ(states[2].error, "/nonexistent/ttyUSB7: No such file or directory");

  TestClient client(server.port());
  ASSERT_TRUE(client.next());  // the greeting
  client.send({0x05, 0x00});
  EXPECT_EQ(client.next()->at(2), 0x00);
  EXPECT_EQ(client.next()->at(2), 0x01);
  EXPECT_EQ(client.next(), (Bytes{0x07, 0x00}));  // no LAB
}
#endif

TEST_F(ServerCoreTest, EnumerationVariants) {
  auto client = greeted_client(core);
  const Message extra = make_device_closed(9);

  core.set_enumeration(
      {.silent = false, .send_list_end = true, .interleave = {extra}});
  client->send(make_enumerate_request());
  std::vector<uint8_t> types;
  for (int i = 0; i < 5; ++i)
    types.push_back(client->next().value_or(Bytes{0})[0]);
  EXPECT_EQ(types, (Bytes{0x06, 0x0D, 0x06, 0x0D, 0x07}));

  EnumerationScript no_end;
  no_end.send_list_end = false;
  core.set_enumeration(no_end);
  client->send(make_enumerate_request());
  send_fence(core, 2);
  EXPECT_EQ(client->until(kFence).size(), 2u);  // the entries, no end

  EnumerationScript silent;
  silent.silent = true;
  core.set_enumeration(silent);
  client->send(make_enumerate_request());
  send_fence(core, 3);
  EXPECT_TRUE(client->until(kFence).empty());
}

TEST_F(ServerCoreTest, FramesReachOnlyClientsThatOpenedTheInterface) {
  auto client = greeted_client(core);
  const ReadFrameRecord before = bus_state_record(0x40);
  const ReadFrameRecord after = bus_state_record(0x80);

  core.send_frame(0, before);
  client->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(1, kWaitLimit));
  core.send_frame(1, after);  // not opened
  core.send_frame(0, after);
  EXPECT_EQ(client->next(), make_received_frame(0, after));

  client->send(make_close_request(0));
  send_fence(core, 2);
  core.send_frame(0, after);
  core.send_raw(kFence);
  EXPECT_TRUE(client->until(kFence).empty());
  EXPECT_TRUE(client->until(kFence).empty());
}

TEST_F(ServerCoreTest, TransmitReportsConfirmationEchoAndAnswer) {
  auto client = greeted_client(core);
  client->send(make_open_request(0));
  // QUERY ACTUAL LEVEL to short address 1.
  client->send(
      make_transmit_frame(0, forward_frame(0x03, gear::kQueryActualLevel)));
  const uint8_t answer =
      QueryAnswerModel::answer_for(1, gear::kQueryActualLevel);
  EXPECT_EQ(client->next(), (Bytes{0x15, 0x0B, 0x00, 0x40, 0x00, 0x05, 0x10,
                                   0x03, gear::kQueryActualLevel, 0, 0, 0, 0}));
  EXPECT_EQ(client->next(),
            (Bytes{0x15, 0x0D, 0x00, 0x19, 0x00, 0x00, 0x00, 0x10, 0x03,
                   gear::kQueryActualLevel, 0, 0, 0, 0, 0}));
  EXPECT_EQ(client->next(), (Bytes{0x15, 0x0C, 0x00, 0x12, 0x00, 0x00, 0x00,
                                   0x08, answer, 0, 0, 0, 0, 0}));

  // A command (no query) ends with "no answer".
  client->send(
      make_transmit_frame(0, forward_frame(0x03, gear::kRecallMaxLevel)));
  send_fence(core, 3);
  EXPECT_EQ(summary(client->until(kFence)),
            (std::vector<Seen>{seen_report(), seen_own_echo(0x03),
                               seen_no_answer()}));
}

TEST_F(ServerCoreTest, SendTwiceReportsBothTransmissions) {
  auto client = greeted_client(core);
  client->send(make_open_request(1));
  client->send(make_transmit_frame(1, forward_frame(0xFF, gear::kReset, true)));
  send_fence(core, 2);
  const std::vector<Seen> once{seen_report(), seen_own_echo(0xFF),
                               seen_no_answer()};
  std::vector<Seen> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(summary(client->until(kFence)), twice);
}

TEST_F(ServerCoreTest, CollisionReachesSenderAndListeners) {
  auto client = greeted_client(core);
  auto listener = greeted_client(core);
  client->send(make_open_request(0));
  listener->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(2, kWaitLimit));
  core.force_collision_next_answer(0);
  client->send(make_transmit_frame(
      0, forward_frame(0x03, gear::kRecallMaxLevel)));  // none
  client->send(make_transmit_frame(
      0, forward_frame(0x03, gear::kQueryDeviceType)));  // query
  send_fence(core, 4);
  EXPECT_EQ(summary(client->until(kFence)),
            (std::vector<Seen>{seen_report(), seen_own_echo(0x03),
                               seen_no_answer(), seen_report(),
                               seen_own_echo(0x03), seen_collision()}));
  EXPECT_EQ(
      summary(listener->until(kFence)),
      (std::vector<Seen>{seen_echo(0x03), seen_echo(0x03), seen_collision()}));
}

TEST_F(ServerCoreTest, RefusedFramesPowerLossAndBusState) {
  auto client = greeted_client(core);
  auto listener = greeted_client(core);
  client->send(make_open_request(0));
  listener->send(make_open_request(0));

  WriteFrameRecord short_frame = forward_frame(0x03, gear::kQueryActualLevel);
  short_frame.frame.bit_count = 8;
  client->send(make_transmit_frame(0, short_frame));
  WriteFrameRecord state_request{};
  state_request.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  state_request.sub_type = KOVRA62386_REQUEST_BUS_STATE;
  client->send(make_transmit_frame(0, state_request));
  send_fence(core, 4);
  EXPECT_EQ(summary(client->until(kFence)),
            (std::vector<Seen>{seen_report(KOVRA62386_STATUS_REFUSED),
                               seen_bus_state()}));
  EXPECT_TRUE(listener->until(kFence).empty());

  core.set_bus_power(0, false);
  client->send(make_transmit_frame(
      0, forward_frame(0x03, gear::kQueryActualLevel, true)));
  client->send(make_transmit_frame(0, state_request));
  send_fence(core, 6);
  const auto to_client = client->until(kFence);
  ASSERT_EQ(to_client.size(), 4u);
  EXPECT_EQ(decoded(to_client[0]).bus_event.event_flags, 0x80);
  EXPECT_EQ(summary({to_client[1], to_client[2]}),
            (std::vector<Seen>{seen_report(KOVRA62386_STATUS_POWER_DOWN),
                               seen_report(KOVRA62386_STATUS_POWER_DOWN)}));
  EXPECT_EQ(decoded(to_client[3]).bus_event.event_flags, 0x80);
  EXPECT_EQ(listener->until(kFence).size(), 1u);  // the power loss only

  core.set_bus_power(0, true);
  core.send_raw(kFence);
  std::vector<uint8_t> flags;
  for (const Message& m : listener->until(kFence)) {
    EXPECT_EQ(decoded(m).sub_type, KOVRA62386_BUS_EVENT_STATE);
    flags.push_back(decoded(m).bus_event.event_flags);
  }
  EXPECT_EQ(flags, (Bytes{0x88, 0x00}));
}

TEST_F(ServerCoreTest, TwoClientsOnOneBusEachGetTheirOwnOutcome) {
  auto a = greeted_client(core);
  auto b = greeted_client(core);
  a->send(make_open_request(0));
  b->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(2, kWaitLimit));
  a->send(make_transmit_frame(
      0, forward_frame(0x05, gear::kQueryStatus)));  // answered
  ASSERT_TRUE(core.wait_for_messages(3, kWaitLimit));
  b->send(make_transmit_frame(
      0, forward_frame(0x05, gear::kRecallMaxLevel)));  // no answer
  send_fence(core, 4);
  const uint8_t answer = QueryAnswerModel::answer_for(2, gear::kQueryStatus);
  // Each sees its own frame with header_flag, the other's without, and
  // never the other's "no answer".
  EXPECT_EQ(summary(a->until(kFence)),
            (std::vector<Seen>{seen_report(), seen_own_echo(0x05),
                               seen_answer(answer), seen_echo(0x05)}));
  EXPECT_EQ(
      summary(b->until(kFence)),
      (std::vector<Seen>{seen_echo(0x05), seen_answer(answer), seen_report(),
                         seen_own_echo(0x05), seen_no_answer()}));
}

TEST_F(ServerCoreTest, HostileInputIsDroppedAndTheServerCarriesOn) {
  auto client = greeted_client(core);
  client->send(make_open_request(0));
  const Bytes junk[] = {
      {0x14, 0x00},                          // TransmitFrame without index
      {0x14, 0x01, 0x00},                    // no frame bytes
      {0x14, 0x02, 0x00, 0x20},              // frame type 2
      {0x14, 0x04, 0x00, 0x40, 0x05, 0xFF},  // 255 bits, cut short
      {0x14, 0x0A, 0x01, 0x40, 0x05, 0x10, 3, gear::kQueryActualLevel, 0, 0, 0,
       0},  // not open
      {0x14, 0x0A, 0x07, 0x40, 0x05, 0x10, 3, gear::kQueryActualLevel, 0, 0, 0,
       0},                    // no such
      {0x0A, 0x00},           // OpenRequest without index
      {0x0A, 0x01, 0x63},     // unknown interface
      {0x99, 0x03, 1, 2, 3},  // unknown type
      {0x15, 0x00},
      {0x0D, 0x00}};
  for (const Bytes& bytes : junk) client->send(bytes);
  send_fence(core, 1 + std::size(junk));
  EXPECT_TRUE(client->until(kFence).empty());
  // Still serving, on the same connection and new ones.
  client->send(make_enumerate_request());
  EXPECT_EQ(client->next().value_or(Bytes{0})[0], 0x06);

  // Half a message, then gone.
  {
    TestClient quitter(core.port());
    quitter.send({0x14, 0x20, 0x00, 0x40});
  }
  ASSERT_TRUE(core.wait_until(
      [](const ServerObservation& o) {
        return o.connections == 2 && o.clients == 1;
      },
      kWaitLimit));
  auto other = greeted_client(core);
  EXPECT_EQ(core.client_count(), 2u);
}

TEST_F(ServerCoreTest, RawBytesDeviceClosedAndDroppedConnections) {
  auto client = greeted_client(core);
  client->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(1, kWaitLimit));
  // Garbage, an invalid frame length and half a message go out unchanged.
  core.send_raw({0x15, 0x09, 0, 1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(client->next(), (Bytes{0x15, 0x09, 0, 1, 2, 3, 4, 5, 6, 7, 8}));

  core.send_device_closed(0);
  EXPECT_EQ(client->next(), (Bytes{0x0D, 0x01, 0x00}));
  core.send_frame(0, bus_state_record(0));  // closed for the client now
  core.send_raw(kFence);
  EXPECT_TRUE(client->until(kFence).empty());

  auto second = greeted_client(core);
  ASSERT_TRUE(core.wait_for_clients(2, kWaitLimit));
  core.drop_connections();
  EXPECT_TRUE(client->closed_by_server());
  EXPECT_TRUE(second->closed_by_server());
  EXPECT_TRUE(core.wait_for_clients(0, kWaitLimit));
  auto again = greeted_client(core);  // the listener stays
  EXPECT_EQ(core.observation().connections, 3u);
}

TEST_F(ServerCoreTest, ClientThatCannotKeepUpIsDroppedAlone) {
  auto slow = greeted_client(core);
  auto other = greeted_client(core);
  slow->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(1, kWaitLimit));
  // More than a client may have waiting, in one piece, to every client.
  core.send_raw(Message(ClientSession::kMaxQueuedBytes + 1, 0x01));
  EXPECT_TRUE(slow->closed_by_server());
  EXPECT_TRUE(other->closed_by_server());
  EXPECT_TRUE(core.wait_for_clients(0, kWaitLimit));
  auto fresh = greeted_client(core);
  fresh->send(make_enumerate_request());
  EXPECT_EQ(fresh->next().value_or(Bytes{0})[0], 0x06);
}

TEST_F(ServerCoreTest, GreetingWithheldAndDelayed) {
  core.set_greeting_withheld(true);
  TestClient client(core.port());
  ASSERT_TRUE(core.wait_for_clients(1, kWaitLimit));
  core.send_raw(kFence);
  EXPECT_EQ(client.next(), kFence);  // no greeting before it
  core.release_greetings();
  EXPECT_EQ(client.next().value_or(Bytes{0})[0], 0x02);

  core.set_greeting_withheld(false);
  core.set_greeting_delay(150ms);
  const auto start = Clock::now();
  TestClient late(core.port());
  EXPECT_EQ(late.next().value_or(Bytes{0})[0], 0x02);
  EXPECT_GE(Clock::now() - start, 140ms);
}

TEST_F(ServerCoreTest, ReplyDelayKeepsOrder) {
  auto client = greeted_client(core);
  core.set_reply_delay(120ms);
  client->send(make_open_request(0));
  const auto start = Clock::now();
  client->send(
      make_transmit_frame(0, forward_frame(0x03, gear::kQueryActualLevel)));
  const auto first = client->next();
  EXPECT_GE(Clock::now() - start, 110ms);
  ASSERT_TRUE(first);
  EXPECT_EQ(decoded(*first).frame_type, KOVRA62386_FRAME_TRANSMIT_REPORT);
  core.set_reply_delay(0ms);
  core.send_raw(kFence);  // undelayed, but queued behind the delayed records
  EXPECT_EQ(client->until(kFence).size(), 2u);
}

TEST_F(ServerCoreTest, AutoReplyOffAndReplyScript) {
  auto client = greeted_client(core);
  client->send(make_open_request(1));
  core.set_auto_reply(false);
  client->send(
      make_transmit_frame(1, forward_frame(0x03, gear::kQueryActualLevel)));
  send_fence(core, 2);
  EXPECT_TRUE(client->until(kFence).empty());

  std::mutex seen_mutex;  // the script runs on the server's thread
  std::vector<TransmitContext> seen;
  core.set_reply_script([&](const TransmitContext& context)
                            -> std::optional<std::vector<Message>> {
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen.push_back(context);
    if (context.frame.frame.data[1] != gear::kQueryActualLevel)
      return std::nullopt;
    return std::vector<Message>{
        make_received_frame(context.index, answer_record(0x42)),
        make_text_message(MessageType::ServerText, "scripted")};
  });
  core.set_auto_reply(true);
  client->send(
      make_transmit_frame(1, forward_frame(0x03, gear::kQueryActualLevel)));
  client->send(
      make_transmit_frame(1, forward_frame(0x03, gear::kRecallMaxLevel)));
  send_fence(core, 4);
  const auto replies = client->until(kFence);
  // The scripted pair, then the bus's report of the frame it let through.
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(decoded(replies[0]).bus_event.data[0], 0x42);
  EXPECT_EQ(replies[1], make_text_message(MessageType::ServerText, "scripted"));
  EXPECT_EQ(decoded(replies[2]).frame_type, KOVRA62386_FRAME_TRANSMIT_REPORT);
  core.set_reply_script({});
  std::lock_guard<std::mutex> lock(seen_mutex);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].client, 1u);
  EXPECT_EQ(seen[0].index, 1);
  EXPECT_EQ(seen[0].frame.frame.bit_count, 16);
  EXPECT_EQ(seen[1].frame.frame.data[1], gear::kRecallMaxLevel);
}

TEST_F(ServerCoreTest, ObservesEveryClientMessageInOrder) {
  auto a = greeted_client(core);
  auto b = greeted_client(core);
  a->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(1, kWaitLimit));
  b->send(make_enumerate_request());
  ASSERT_TRUE(core.wait_for_messages(2, kWaitLimit));
  a->send(make_close_request(0));
  ASSERT_TRUE(core.wait_until(
      [](const ServerObservation& o) {
        return o.messages.size() == 3 && o.clients == 2;
      },
      kWaitLimit));
  const auto messages = core.observation().messages;
  EXPECT_EQ(messages[0].client, 1u);
  EXPECT_EQ(messages[0].bytes, make_open_request(0));
  EXPECT_EQ(messages[2].client, 1u);
  EXPECT_EQ(messages[2].bytes, make_close_request(0));
  EXPECT_EQ(messages[1].client, 2u);
  EXPECT_FALSE(core.wait_for_messages(4, 20ms));
}

TEST(ServerCore, PortTakenStopTwiceAndShutdownWithWorkPending) {
  ServerCore first(test_options());
  ASSERT_TRUE(first.start());
  EXPECT_FALSE(first.start());
  ServerOptions same = test_options();
  same.port = first.port();
  ServerCore second(same);
  EXPECT_FALSE(second.start());
  EXPECT_FALSE(second.running());

  // Delayed replies and a real-timing bus in mid-transaction at stop.
  ServerOptions options = test_options();
  options.real_timing = true;
  ServerCore busy(options);
  ASSERT_TRUE(busy.start());
  busy.set_reply_delay(10s);
  TestClient client(busy.port());
  client.send(make_open_request(0));
  for (int i = 0; i < 5; ++i) {
    client.send(
        make_transmit_frame(0, forward_frame(0x03, gear::kQueryActualLevel)));
  }
  client.send(make_enumerate_request());
  ASSERT_TRUE(busy.wait_for_messages(7, kWaitLimit));
  const auto start = Clock::now();
  busy.stop();
  busy.stop();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_FALSE(busy.running());
  EXPECT_TRUE(client.closed_by_server());
  busy.send_raw(kFence);  // after stop: nothing, no hang
}

// Real timing: a query takes the bus about 30-35 ms (17-bit forward frame,
// 5.5-10.5 ms to the backward frame, 9-bit backward frame, stop condition),
// and a second client's frame waits until the bus is free.
TEST(ServerCoreRealTiming, OneTransactionAtATimeWithinTheBusLimits) {
  ServerOptions options = test_options();
  options.real_timing = true;
  options.bus_model = nullptr;  // the build's own bus
  ServerCore core(options);
  ASSERT_TRUE(core.start());
  auto a = greeted_client(core);
  auto b = greeted_client(core);
  a->send(make_open_request(0));
  b->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(2, kWaitLimit));

  const auto start = Clock::now();
  a->send(make_transmit_frame(0, forward_frame(0x03, gear::kQueryActualLevel)));
  ASSERT_TRUE(core.wait_for_messages(3, kWaitLimit));
  b->send(make_transmit_frame(0, forward_frame(0x03, gear::kQueryMaxLevel)));
  std::vector<Seen> seen_by_a;
  std::chrono::nanoseconds answered{};
  while (seen_by_a.size() < 4) {
    const auto message = a->next();
    ASSERT_TRUE(message);
    seen_by_a.push_back(summary({*message})[0]);
    if (seen_by_a.size() == 3) answered = Clock::now() - start;
  }
  EXPECT_GE(answered, 27ms);
  EXPECT_LE(answered, 41ms + 60ms);  // room for a loaded machine
  EXPECT_EQ(seen_by_a[2].sub_type, KOVRA62386_BUS_EVENT_BACKWARD);
  // b's frame goes on the bus only after a's transaction.
  EXPECT_EQ(seen_by_a[3], seen_echo(0x03));
  std::vector<Seen> seen_by_b;
  for (int i = 0; i < 5; ++i) {
    const auto message = b->next();
    ASSERT_TRUE(message);
    seen_by_b.push_back(summary({*message})[0]);
  }
  EXPECT_EQ(seen_by_b[0], seen_echo(0x03));
  EXPECT_EQ(seen_by_b[2].frame_type,
            KOVRA62386_FRAME_TRANSMIT_REPORT);  // confirmed when it goes out
  EXPECT_EQ(seen_by_b[4].sub_type, KOVRA62386_BUS_EVENT_BACKWARD);
  EXPECT_GE(Clock::now() - start, 2 * 27ms);
}

// Back-to-back queries keep the settling time before every forward frame,
// after an answer too, and the longer one of a lower priority. Only lower
// bounds: a loaded machine makes a bus slower, never faster.
TEST(ServerCoreRealTiming, SettlingTimeBeforeEveryForwardFrame) {
  namespace timing = dali::timing;
  ServerOptions options = test_options();
  options.real_timing = true;
  ServerCore core(options);
  ASSERT_TRUE(core.start());
  auto client = greeted_client(core);
  client->send(make_open_request(0));
  constexpr int kCount = 4;
  for (unsigned priority :
       {KOVRA62386_PRIORITY_DEFAULT, KOVRA62386_PRIORITY_LOWEST}) {
    WriteFrameRecord query = forward_frame(0x03, gear::kQueryActualLevel);
    query.sub_type = static_cast<uint8_t>(priority);  // 0: the default, 1
    Bytes burst;
    for (int i = 0; i < kCount; ++i) {
      const Message m = make_transmit_frame(0, query);
      burst.insert(burst.end(), m.begin(), m.end());
    }
    const auto start = Clock::now();
    client->send(burst);
    for (int answers = 0; answers < kCount;) {
      const auto message = client->next();
      ASSERT_TRUE(message);
      if (summary({*message})[0].sub_type == KOVRA62386_BUS_EVENT_BACKWARD) {
        ++answers;
      }
    }
    // The answers come 5.5 ms after each forward frame (QueryAnswerModel).
    const auto settling =
        timing::forward_settling(priority == KOVRA62386_PRIORITY_DEFAULT
                                     ? KOVRA62386_PRIORITY_HIGHEST
                                     : priority)
            .min;
    const auto one = timing::forward_frame(16) + timing::kAnswerDelay.min +
                     timing::kBackwardFrame;
    EXPECT_GE(Clock::now() - start, kCount * one + (kCount - 1) * settling);
  }
}

// One client's backlog: bounded, served in turn with the others, and
// dropped when the client leaves.
TEST(ServerCoreRealTiming,
     FullQueueIsBoundedSharedAndDroppedWhenItsClientLeaves) {
  ServerOptions options = test_options();
  options.real_timing = true;
  ServerCore core(options);
  ASSERT_TRUE(core.start());
  auto hog = greeted_client(core);
  auto other = greeted_client(core);
  hog->send(make_open_request(0));
  other->send(make_open_request(0));
  ASSERT_TRUE(core.wait_for_messages(2, kWaitLimit));
  const Seen confirmed = seen_report();
  const Seen foreign_echo = seen_echo(0x05);
  // The other's frame holds the bus while the hog queues three frames more
  // than it may.
  other->send(
      make_transmit_frame(0, forward_frame(0x03, gear::kQueryActualLevel)));
  ASSERT_EQ(summary({other->next().value()})[0], confirmed);
  const std::size_t extra = 3;
  Bytes burst;
  for (std::size_t i = 0; i < SimulatedInterface::kMaxQueuedFrames + extra;
       ++i) {
    const Message m =
        make_transmit_frame(0, forward_frame(0x05, gear::kQueryActualLevel));
    burst.insert(burst.end(), m.begin(), m.end());
  }
  hog->send(burst);
  std::size_t busy = 0;
  while (busy < extra) {
    const auto message = hog->next();
    ASSERT_TRUE(message);
    const Seen seen = summary({*message})[0];
    ASSERT_EQ(seen.frame_type, KOVRA62386_FRAME_TRANSMIT_REPORT)
        << "refused at once, before any echo";
    if (seen.status == KOVRA62386_STATUS_BUS_BUSY) ++busy;
  }
  // How many of the hog's frames go on the bus before the other's frame to
  // `address`.
  auto hog_frames_before = [&](uint8_t address) {
    int foreign = 0;
    for (;;) {
      const auto message = other->next();
      if (!message) return -1;
      const Seen seen = summary({*message})[0];
      if (seen == seen_own_echo(address)) return foreign;
      if (seen == foreign_echo) ++foreign;
    }
  };
  // In turn: at most one of the hog's transactions comes first.
  other->send(
      make_transmit_frame(0, forward_frame(0x07, gear::kQueryActualLevel)));
  const int shared = hog_frames_before(0x07);
  EXPECT_GE(shared, 0);
  EXPECT_LE(shared, 1);
  // The hog leaves with a full queue: only its frame on the wire finishes.
  hog.reset();
  ASSERT_TRUE(core.wait_for_clients(1, kWaitLimit));
  other->send(
      make_transmit_frame(0, forward_frame(0x09, gear::kQueryActualLevel)));
  const int after_leaving = hog_frames_before(0x09);
  EXPECT_GE(after_leaving, 0);
  EXPECT_LE(after_leaving, 1);
  std::optional<Message> answer;
  while ((answer = other->next()) &&
         summary({*answer})[0].sub_type != KOVRA62386_BUS_EVENT_BACKWARD) {
  }
  ASSERT_TRUE(answer) << "answered within a transaction or two";
  EXPECT_EQ(summary({*answer})[0].answer,
            QueryAnswerModel::answer_for(4, gear::kQueryActualLevel));
}

#if defined(KOVRA62386_HAVE_DALI_BUS)
// The default bus: virtual control gear that keep their state.
TEST(ServerCoreDaliBus, GearObeyAnswerAndFail) {
  ServerOptions options;
  options.port = 0;
  ServerCore core(options);
  ASSERT_TRUE(core.start());
  auto client = greeted_client(core);
  client->send(make_open_request(0));
  std::size_t sent = 1;
  // The completion of one frame (the last record the client gets for it).
  auto outcome = [&](const WriteFrameRecord& frame) {
    client->send(make_transmit_frame(0, frame));
    send_fence(core, ++sent);
    const auto seen = summary(client->until(kFence));
    return seen.empty() ? Seen{} : seen.back();
  };
  auto reset_state = [&] {
    bool reset = false;
    EXPECT_TRUE(core.with_bus_model(0, [&](BusModel& model) {
      auto& bus = dynamic_cast<DaliBusModel&>(model).bus();
      reset = bus.gear_at(0).value().state.reset_state();
    }));
    return reset;
  };
  const uint8_t query_actual_level = gear::kQueryActualLevel;
  const uint8_t reset = gear::kReset;

  EXPECT_EQ(outcome(forward_frame(0x01, query_actual_level)).answer, 254);
  outcome(forward_frame(0x00, 0x40));  // DAPC 0x40 to short address 0
  EXPECT_EQ(outcome(forward_frame(0x01, query_actual_level)),
            seen_answer(0x40));
  // RESET counts only when received twice.
  outcome(forward_frame(0x01, reset));
  EXPECT_FALSE(reset_state());
  outcome(forward_frame(0x01, reset, true));
  EXPECT_TRUE(reset_state());

  core.set_gear_silent(0, 0, true);
  EXPECT_EQ(outcome(forward_frame(0x01, query_actual_level)).sub_type,
            KOVRA62386_BUS_EVENT_NO_ANSWER);
  core.set_gear_silent(0, 0, false);
  EXPECT_EQ(outcome(forward_frame(0x01, query_actual_level)).sub_type,
            KOVRA62386_BUS_EVENT_BACKWARD);

  core.set_bus_power(0, false);
  EXPECT_EQ(outcome(forward_frame(0x01, query_actual_level)),
            seen_report(KOVRA62386_STATUS_POWER_DOWN));
  core.set_bus_power(0, true);
  EXPECT_EQ(outcome(forward_frame(0x01, query_actual_level)).sub_type,
            KOVRA62386_BUS_EVENT_BACKWARD);
}
#endif

// Registry values in memory; the rest of the platform is not used here.
class RegistryOnly : public platform::Platform {
 public:
  std::map<std::string, std::string> text;
  std::map<std::string, uint32_t> dword;

  std::optional<std::string> read_text(platform::Hive,
                                       const char* name) override {
    auto found = text.find(name);
    if (found == text.end()) return std::nullopt;
    return found->second;
  }
  std::optional<uint32_t> read_dword(platform::Hive,
                                     const char* name) override {
    auto found = dword.find(name);
    if (found == dword.end()) return std::nullopt;
    return found->second;
  }
  void delete_values(platform::Hive, const char* const* names,
                     std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) {
      text.erase(names[i]);
      dword.erase(names[i]);
    }
  }
  bool write_text(platform::Hive hive, const char* name,
                  const std::string& value) override {
    EXPECT_EQ(hive, platform::Hive::CurrentUser);
    text[name] = value;
    return true;
  }
  bool write_dword(platform::Hive hive, const char* name,
                   uint32_t value) override {
    EXPECT_EQ(hive, platform::Hive::CurrentUser);
    dword[name] = value;
    return true;
  }
  std::string executable_path() override { return {}; }
  bool launch_program(const std::string&) override { return false; }
  std::unique_ptr<platform::NamedMutexLock> acquire_named_mutex(
      const char*, std::chrono::milliseconds) override {
    return nullptr;
  }
  std::chrono::steady_clock::time_point now() override { return Clock::now(); }
  void sleep_for(std::chrono::milliseconds) override {}
};

TEST(ServerCorePublication, PublishesWhileRunningAndWithdrawsOnlyItsOwn) {
  RegistryOnly registry;
  ServerOptions options = test_options();
  options.publish = true;
  options.platform = &registry;
  {
    ServerCore core(options);
    ASSERT_TRUE(core.start());
    EXPECT_EQ(registry.text["Host"], "127.0.0.1");
    EXPECT_EQ(registry.dword["Port"], core.port());
    EXPECT_EQ(registry.dword["ProcessId"], current_process_id());
    core.stop();
    EXPECT_TRUE(registry.text.empty());
    EXPECT_TRUE(registry.dword.empty());
  }
  {
    ServerCore core(options);
    ASSERT_TRUE(core.start());
    // Another server took over the announcement meanwhile.
    registry.dword["ProcessId"] = current_process_id() + 1;
    registry.dword["Port"] = 4711;
  }
  EXPECT_EQ(registry.dword["Port"], 4711u);
  EXPECT_EQ(registry.text["Host"], "127.0.0.1");
}

}  // namespace
}  // namespace kovra62386::sim
