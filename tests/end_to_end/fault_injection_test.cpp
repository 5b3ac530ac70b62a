// Faults of the server, injected while an application uses the library
// through its exports on port 42000: the server dies in the middle of an
// exchange, greets late or never, floods, sends garbage, closes devices
// and restarts. Each case ends in the documented result within its bound,
// and no frame that reached the library before the fault is lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#if defined(__linux__)
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/transport/arrival_signal.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "platform/platform.h"
#include "protocol/frame_codec.h"
#include "protocol/message.h"
#include "protocol/message_framer.h"
#include "server/registry_publication.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

namespace gear = dali::gear;
using test::count_of;
using test::drain;
using test::enumerate_names;
using test::forward_frame;
using test::numbered;
using test::read_next;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::ServerCore;
using sim::ServerObservation;
using sim::ServerOptions;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Waits until the connection has delivered `count` more messages (it
// notifies the signal once for each) since `before`.
bool wait_for_arrivals(uint64_t before, uint64_t count,
                       milliseconds timeout = 5000ms) {
  ArrivalSignal& arrivals = ArrivalSignal::global();
  const auto deadline = Clock::now() + timeout;
  for (uint64_t seen = arrivals.generation(); seen - before < count;
       seen = arrivals.generation()) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    arrivals.wait_for_change(seen,
                             std::chrono::ceil<milliseconds>(deadline - now));
  }
  return true;
}

ReadFrameRecord confirmation(uint8_t status) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_TRANSMIT_REPORT;
  record.transmit_report.status = status;
  record.transmit_report.frame.bit_count = 16;
  record.transmit_report.frame.data[0] = 0xFF;
  record.transmit_report.frame.data[1] = gear::kQueryStatus;
  return record;
}

std::vector<uint32_t> sequence(uint32_t first, uint32_t last) {
  std::vector<uint32_t> values;
  for (uint32_t v = first; v <= last; ++v) values.push_back(v);
  return values;
}

// Collects the events of a transceiver; tests wait on it.
class EventLog {
 public:
  static void callback(uint32_t, const TransceiverEvent* event, void* context) {
    auto* log = static_cast<EventLog*>(context);
    {
      std::lock_guard<std::mutex> lock(log->mutex_);
      log->codes_.push_back(event->code);
      if (event->code == KOVRA62386_EVENT_BACKWARD_FRAME) {
        log->values_.push_back(event->payload.record.bus_event.value);
      }
    }
    log->changed_.notify_all();
  }

  // Waits until `code` was seen `count` times.
  bool wait_for(int32_t code, std::size_t count = 1,
                milliseconds timeout = 5000ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return static_cast<std::size_t>(
                 std::count(codes_.begin(), codes_.end(), code)) >= count;
    });
  }
  std::vector<int32_t> codes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_;
  }
  std::vector<uint32_t> values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> codes_;
  std::vector<uint32_t> values_;
};

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override { start_server(); }

  void TearDown() override {
    KOVRA62386_terminate();
    if (server) server->stop();
  }

  void start_server() {
    if (server) server->stop();
    ServerOptions options;
    options.interfaces = {"SIM-1", "SIM-2"};
    server = test::start_published_server(options);
    ASSERT_TRUE(server) << "port 42000 is taken";
  }

  uint32_t connect_and_open(const char* name) {
    EXPECT_EQ(KOVRA62386_initialize(), 0);
    EXPECT_FALSE(enumerate_names().empty());
    return KOVRA62386_open(name);
  }

  bool wait_for(MessageType type, std::size_t count) {
    return test::wait_for_messages(*server, type, count);
  }

  // Sends frames numbered first..last to `index` and waits until the
  // library has them, unread.
  void deliver(uint8_t index, uint32_t first, uint32_t last) {
    const uint64_t before = ArrivalSignal::global().generation();
    for (uint32_t v = first; v <= last; ++v) {
      server->send_frame(index, numbered(v));
    }
    ASSERT_TRUE(wait_for_arrivals(before, last - first + 1));
  }

  std::unique_ptr<ServerCore> server;
};

TEST_F(FaultInjectionTest, ServerDiesAfterConfirmingAWrite) {
  // The server takes the frame, confirms it and dies before the echo.
  server->set_auto_reply(false);
  server->set_reply_script([](const sim::TransmitContext& context) {
    return std::optional<std::vector<Message>>(
        std::vector<Message>{make_received_frame(
            context.index, confirmation(KOVRA62386_STATUS_SENT))});
  });
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  deliver(0, 1, 2);
  const uint64_t before = ArrivalSignal::global().generation();
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  ASSERT_EQ(KOVRA62386_write(handle, &frame), 2);
  ASSERT_TRUE(wait_for_arrivals(before, 1));
  server->drop_connections();

  const auto start = Clock::now();
  ReadFrameRecord record{};
  EXPECT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 1u);
  EXPECT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 2u);
  ASSERT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.frame_type, KOVRA62386_FRAME_TRANSMIT_REPORT);
  EXPECT_EQ(record.transmit_report.status, KOVRA62386_STATUS_SENT);
  EXPECT_EQ(read_next(handle, record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_LT(since(start), 2000ms);
  // A write on the dead connection is still answered, and sends nothing.
  EXPECT_EQ(KOVRA62386_write(handle, &frame), 2);
  EXPECT_EQ(KOVRA62386_read(handle, &record), KOVRA62386_READ_NOT_OPEN);
}

TEST_F(FaultInjectionTest, ServerDiesDuringAnEnumeration) {
  // Both entries go out, the end of the list never does.
  sim::EnumerationScript script;
  script.send_list_end = false;
  server->set_enumeration(script);
  ASSERT_EQ(KOVRA62386_initialize(), 0);

  const uint64_t before = ArrivalSignal::global().generation();
  const auto start = Clock::now();
  auto names = std::async(std::launch::async, enumerate_names);
  ASSERT_TRUE(wait_for(MessageType::EnumerateRequest, 1));
  ASSERT_TRUE(wait_for_arrivals(before, 2));
  server->drop_connections();

  // The loss ends the wait at once instead of after 5000 ms of silence, and
  // the entries that came before it are kept.
  ASSERT_EQ(names.wait_for(3000ms), std::future_status::ready);
  EXPECT_EQ(names.get(), (std::vector<std::string>{"SIM-1", "SIM-2"}));
  EXPECT_LT(since(start), 3000ms);
  // The listed names stay openable; the handle then reports the loss.
  const uint32_t handle = KOVRA62386_open("SIM-1");
  ASSERT_NE(handle, 0u);
  ReadFrameRecord record{};
  EXPECT_EQ(read_next(handle, record), KOVRA62386_READ_NOT_OPEN);
}

TEST_F(FaultInjectionTest, SilentEnumerationEndsAfterItsTimeOut) {
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  ASSERT_EQ(enumerate_names(), (std::vector<std::string>{"SIM-1", "SIM-2"}));
  sim::EnumerationScript script;
  script.silent = true;
  server->set_enumeration(script);
  const auto start = Clock::now();
  EXPECT_TRUE(enumerate_names().empty());
  const milliseconds took = since(start);
  EXPECT_GE(took, 4900ms);
  EXPECT_LT(took, 8000ms);
  // A list that never ended does not replace the names known before: they
  // still open.
  EXPECT_NE(KOVRA62386_open("SIM-2"), 0u);
}

TEST_F(FaultInjectionTest, GreetingLateStillConnects) {
  server->set_greeting_delay(1500ms);
  const auto start = Clock::now();
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  const milliseconds took = since(start);
  EXPECT_GE(took, 1400ms);
  EXPECT_LT(took, 10000ms);
  EXPECT_EQ(enumerate_names(), (std::vector<std::string>{"SIM-1", "SIM-2"}));
}

TEST_F(FaultInjectionTest, ServerThatNeverGreetsFailsInitializeInBoundedTime) {
  server->set_greeting_withheld(true);
  const auto start = Clock::now();
  // Two connect attempts of 20 s and one start attempt of at most 5 s: the
  // program started meanwhile cannot listen on the taken port and ends.
  EXPECT_EQ(KOVRA62386_initialize(), -1);
  EXPECT_LT(since(start), 60000ms);
  // Nothing was listed, so nothing opens; the connection that never got
  // its greeting stays up and answers within the enumeration's bound.
  const auto calls = Clock::now();
  EXPECT_EQ(KOVRA62386_open("SIM-1"), 0u);
  ReadFrameRecord record{};
  EXPECT_EQ(KOVRA62386_read(1, &record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_LE(enumerate_names().size(), 2u);
  EXPECT_LT(since(calls), 6000ms);

  // A server that greets is found by the next initialize.
  KOVRA62386_terminate();
  start_server();
  EXPECT_EQ(KOVRA62386_initialize(), 0);
  EXPECT_EQ(enumerate_names().size(), 2u);
}

TEST_F(FaultInjectionTest, FloodIsDeliveredCompleteAndInOrder) {
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  constexpr uint32_t kCount = 20000;
  // A reader that keeps up loses nothing: the flood runs at most half a
  // queue ahead of it. (The library never waits for a reader, so one that
  // falls a whole queue behind loses its oldest frames; see
  // UnreadFramesKeepTheNewestInOrder.)
  constexpr uint32_t kAhead = KOVRA62386_RECEIVE_QUEUE_LIMIT / 2;
  std::atomic<uint32_t> taken{0};
  std::atomic<bool> reading{true};
  std::thread flood([&] {
    for (uint32_t v = 1; v <= kCount; ++v) {
      while (v > taken.load() + kAhead && reading.load()) {
        std::this_thread::yield();
      }
      server->send_frame(0, numbered(v));
    }
  });
  std::vector<uint32_t> values;
  values.reserve(kCount);
  ReadFrameRecord record{};
  const auto start = Clock::now();
  while (values.size() < kCount &&
         read_next(handle, record, 5000ms) == KOVRA62386_READ_FRAME) {
    values.push_back(record.bus_event.value);
    taken.store(static_cast<uint32_t>(values.size()));
  }
  reading.store(false);
  flood.join();
  EXPECT_EQ(values, sequence(1, kCount));
  EXPECT_EQ(KOVRA62386_read(handle, &record), KOVRA62386_READ_EMPTY);
  EXPECT_LT(since(start), 60000ms);
  // The connection still answers.
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  KOVRA62386_write(handle, &frame);
  EXPECT_TRUE(wait_for(MessageType::TransmitFrame, 1));
}

TEST_F(FaultInjectionTest, InvalidLengthsAndUnknownTypesAreDropped) {
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));

  // Every type the library does not expect from a server, with a short, a
  // middling and the longest payload; each followed by a good frame.
  uint32_t good = 0;
  auto good_frame = [&] { server->send_frame(0, numbered(++good)); };
  const std::vector<MessageType> known = {
      MessageType::Greeting, MessageType::InterfaceEntry,
      MessageType::InterfaceListEnd, MessageType::DeviceClosed,
      MessageType::ReceivedFrame};
  for (int type = 0; type < 256; ++type) {
    if (std::find(known.begin(), known.end(), MessageType(type)) !=
        known.end()) {
      continue;
    }
    for (const std::size_t n :
         {std::size_t{0}, std::size_t{3}, std::size_t{255}}) {
      Message message{static_cast<uint8_t>(type), static_cast<uint8_t>(n)};
      message.resize(2 + n, 0x00);  // index 0 where an index would be
      server->send_raw(message);
    }
    good_frame();
  }
  // A ReceivedFrame for the open index with every frame length the read
  // direction refuses (0-8 and 183-254), filled with a valid header.
  for (int length = 0; length <= 254; ++length) {
    if (length >= 9 && length <= int{FrameCodec::kMaxFrameLength}) continue;
    Message message{static_cast<uint8_t>(MessageType::ReceivedFrame),
                    static_cast<uint8_t>(length + 1), 0x00};
    constexpr uint8_t kAnswerHeader =
        KOVRA62386_FRAME_BUS_EVENT << 4 | KOVRA62386_BUS_EVENT_BACKWARD;
    for (int i = 0; i < length; ++i) {
      message.push_back(i == 0 ? kAnswerHeader : 0x00);
    }
    server->send_raw(message);
    good_frame();
  }
  // Frames of a type the read direction does not carry, a list reply
  // outside an enumeration, notices of indexes nobody opened, a DeviceClosed
  // without its index, a second Greeting.
  for (uint8_t header : {0x00, 0x25, 0x55, 0x95, 0xF7}) {
    Message message{static_cast<uint8_t>(MessageType::ReceivedFrame), 10, 0x00,
                    header};
    message.resize(12, 0x00);
    server->send_raw(message);
    good_frame();
  }
  server->send_raw(make_interface_entry(0, 1, "SIM-1"));
  server->send_raw(make_interface_list_end());
  server->send_raw(make_device_closed(9));
  server->send_raw(Message{static_cast<uint8_t>(MessageType::DeviceClosed), 0});
  server->send_raw(make_text_message(MessageType::Greeting, "again"));
  good_frame();

  std::vector<uint32_t> values;
  ReadFrameRecord record{};
  while (values.size() < good &&
         read_next(handle, record) == KOVRA62386_READ_FRAME) {
    values.push_back(record.bus_event.value);
  }
  EXPECT_EQ(values, sequence(1, good));
  EXPECT_EQ(KOVRA62386_read(handle, &record), KOVRA62386_READ_EMPTY);
  // The connection and the device stay usable.
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  KOVRA62386_write(handle, &frame);
  EXPECT_TRUE(wait_for(MessageType::TransmitFrame, 1));
  deliver(0, 1000, 1000);
  // The reports of the written frame come first.
  do {
    ASSERT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  } while (record.frame_type != KOVRA62386_FRAME_BUS_EVENT ||
           record.sub_type != KOVRA62386_BUS_EVENT_BACKWARD);
  EXPECT_EQ(record.bus_event.value, 1000u);
}

TEST_F(FaultInjectionTest, DeviceClosedEndsOnlyThatInterface) {
  const uint32_t first = connect_and_open("SIM-1");
  const uint32_t shared = KOVRA62386_open("SIM-1");
  const uint32_t other = KOVRA62386_open("SIM-2");
  ASSERT_NE(first, 0u);
  ASSERT_NE(shared, 0u);
  ASSERT_NE(other, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 2));
  deliver(1, 1, 3);
  deliver(0, 4, 5);
  const uint64_t before = ArrivalSignal::global().generation();
  server->send_device_closed(0);
  ASSERT_TRUE(wait_for_arrivals(before, 1));

  // The frames that came before the notice are read first, then 2.
  const auto [before_notice, end] = drain(first, 200ms);
  EXPECT_EQ(before_notice, sequence(4, 5));
  EXPECT_EQ(end, KOVRA62386_READ_NOT_OPEN);
  ReadFrameRecord record{};
  EXPECT_EQ(KOVRA62386_read(shared, &record), KOVRA62386_READ_NOT_OPEN);
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  EXPECT_EQ(KOVRA62386_write(first, &frame), 2);
  // The other interface keeps every frame it had.
  const auto [values, last] = drain(other, 200ms);
  EXPECT_EQ(values, sequence(1, 3));
  EXPECT_EQ(last, KOVRA62386_READ_EMPTY);

  // Closing the dead handles sends nothing; a new open starts afresh.
  KOVRA62386_close(first);
  KOVRA62386_close(shared);
  const uint32_t again = KOVRA62386_open("SIM-1");
  ASSERT_NE(again, 0u);
  EXPECT_NE(again, first);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 3));
  EXPECT_EQ(count_of(server->observation(), MessageType::CloseRequest), 0u);
  EXPECT_EQ(count_of(server->observation(), MessageType::TransmitFrame), 0u);
  deliver(0, 7, 7);
  ASSERT_EQ(read_next(again, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 7u);
}

TEST_F(FaultInjectionTest, RestartWhileHandlesAreHeld) {
  const uint32_t one = connect_and_open("SIM-1");
  const uint32_t two = KOVRA62386_open("SIM-2");
  ASSERT_NE(one, 0u);
  ASSERT_NE(two, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 2));
  deliver(0, 1, 2);
  deliver(1, 11, 12);

  start_server();  // stops the old one, listens again on 42000

  // Frames from before the restart come out, then the loss.
  auto [values_one, last_one] = drain(one);
  EXPECT_EQ(values_one, sequence(1, 2));
  EXPECT_EQ(last_one, KOVRA62386_READ_NOT_OPEN);
  auto [values_two, last_two] = drain(two);
  EXPECT_EQ(values_two, sequence(11, 12));
  EXPECT_EQ(last_two, KOVRA62386_READ_NOT_OPEN);

  // The application reconnects: old handles stay dead and reach nothing on
  // the new server; a fresh open works.
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  EXPECT_EQ(enumerate_names().size(), 2u);
  ReadFrameRecord record{};
  EXPECT_EQ(KOVRA62386_read(one, &record), KOVRA62386_READ_NOT_OPEN);
  const uint32_t fresh = KOVRA62386_open("SIM-1");
  ASSERT_NE(fresh, 0u);
  EXPECT_NE(fresh, one);
  EXPECT_NE(fresh, two);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  deliver(0, 21, 21);
  EXPECT_EQ(KOVRA62386_read(one, &record), KOVRA62386_READ_NOT_OPEN);
  ASSERT_EQ(read_next(fresh, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 21u);
  KOVRA62386_close(one);
  KOVRA62386_close(two);
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  EXPECT_EQ(KOVRA62386_write(one, &frame), 2);
  KOVRA62386_write(fresh, &frame);
  ASSERT_TRUE(wait_for(MessageType::TransmitFrame, 1));
  EXPECT_EQ(count_of(server->observation(), MessageType::CloseRequest), 0u);
  EXPECT_EQ(count_of(server->observation(), MessageType::TransmitFrame), 1u);
}

TEST_F(FaultInjectionTest, DeviceClosedWhileASendWaits) {
  server->set_auto_reply(false);  // the frame is never reported
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  EventLog log;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, EventLog::callback, &log), 1);

  const WriteFrameRecord frame = forward_frame(0x01, gear::kQueryActualLevel);
  const auto start = Clock::now();
  auto sent = std::async(std::launch::async,
                         [&] { return KOVRA62386_send(handle, &frame); });
  ASSERT_TRUE(wait_for(MessageType::TransmitFrame, 1));
  server->send_device_closed(0);

  // The send ends at its deadline with "no result"; the transceiver reports
  // the closed handle once.
  ASSERT_EQ(sent.wait_for(3000ms), std::future_status::ready);
  const SendResult result = sent.get();
  EXPECT_EQ(result.status, KOVRA62386_SEND_NO_RESULT);
  EXPECT_EQ(result.answer, 0);
  EXPECT_LT(since(start), 1500ms);
  ASSERT_TRUE(log.wait_for(KOVRA62386_EVENT_CLOSED));
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
  const auto codes = log.codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), KOVRA62386_EVENT_CLOSED), 1);
  EXPECT_EQ(codes.back(), KOVRA62386_EVENT_CLOSED);
  // A send on the closed handle without its transceiver writes nothing.
  EXPECT_EQ(KOVRA62386_send(handle, &frame).status,
            KOVRA62386_SEND_NO_TRANSCEIVER);
}

TEST_F(FaultInjectionTest, ServerDiesDuringASend) {
  // The server confirms the frame and dies before the echo.
  server->set_auto_reply(false);
  server->set_reply_script([](const sim::TransmitContext& context) {
    ReadFrameRecord confirmed = confirmation(0);
    confirmed.transmit_report.frame = context.frame.frame;
    return std::optional<std::vector<Message>>(
        std::vector<Message>{make_received_frame(context.index, confirmed)});
  });
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  EventLog log;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, EventLog::callback, &log), 1);
  deliver(0, 1, 3);

  const uint64_t before = ArrivalSignal::global().generation();
  const WriteFrameRecord frame = forward_frame(0x01, gear::kQueryActualLevel);
  const auto start = Clock::now();
  auto sent = std::async(std::launch::async,
                         [&] { return KOVRA62386_send(handle, &frame); });
  ASSERT_TRUE(wait_for(MessageType::TransmitFrame, 1));
  ASSERT_TRUE(wait_for_arrivals(before, 1));  // the confirmation is in
  server->drop_connections();

  // Confirmed but never echoed, known once the loss is: well before the
  // deadline (KOVRA62386_SEND_TIMEOUT_MS).
  ASSERT_EQ(sent.wait_for(3000ms), std::future_status::ready);
  EXPECT_EQ(sent.get().status, KOVRA62386_SEND_NOT_ECHOED);
  EXPECT_LT(since(start), 600ms);
  // Every frame from before the loss reached the callback, then the end.
  ASSERT_TRUE(log.wait_for(KOVRA62386_EVENT_CLOSED));
  EXPECT_EQ(log.values(), sequence(1, 3));
  const auto codes = log.codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), KOVRA62386_EVENT_CLOSED), 1);
  EXPECT_EQ(codes.back(), KOVRA62386_EVENT_CLOSED);
  // A send on the lost link has no result, at once.
  const auto again = Clock::now();
  EXPECT_EQ(KOVRA62386_send(handle, &frame).status, KOVRA62386_SEND_NO_RESULT);
  EXPECT_LT(since(again), 300ms);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
}

TEST_F(FaultInjectionTest, UnreadFramesKeepTheNewestInOrder) {
  // An application that never reads: the interface keeps a bounded queue,
  // and a reader that comes back gets the newest frames in order.
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  constexpr uint32_t kLimit = KOVRA62386_RECEIVE_QUEUE_LIMIT;
  deliver(0, 1, 3 * kLimit);
  const auto [values, last] = drain(handle, 200ms);
  EXPECT_EQ(values, sequence(2 * kLimit + 1, 3 * kLimit));
  EXPECT_EQ(last, KOVRA62386_READ_EMPTY);
}

// One interface is read slowly (one frame per 100 ms, a dashboard's poll,
// or a transceiver whose callback takes 100 ms) under a backlog of
// thousands of frames, while a second one sends and enumerates. The one
// I/O thread files the frames of both: it must never wait for the slow
// reader, which loses its own oldest frames and nothing else. Before, the
// I/O thread waited for room in the slow reader's queue, none of the sends
// on the second interface was answered (750 ms each) and the enumeration
// came back empty after 5 s and made the names unopenable.
class SlowReaderTest : public FaultInjectionTest,
                       public ::testing::WithParamInterface<bool> {
 protected:
  static constexpr milliseconds kTick{100};

  // The slow reader's values, in the order it got them.
  std::vector<uint32_t> slow_values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  void slow_got(uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(value);
  }

  static void slow_callback(uint32_t, const TransceiverEvent* event,
                            void* context) {
    if (event->code != KOVRA62386_EVENT_BACKWARD_FRAME) return;
    static_cast<SlowReaderTest*>(context)->slow_got(
        event->payload.record.bus_event.value);
    std::this_thread::sleep_for(kTick);
  }

 private:
  std::mutex mutex_;
  std::vector<uint32_t> values_;
};

void ignore_event(uint32_t, const TransceiverEvent*, void*) {}

TEST_P(SlowReaderTest, SlowlyReadInterfaceHoldsUpNoOther) {
  const bool by_callback = GetParam();
  const uint32_t slow = connect_and_open("SIM-1");
  const uint32_t fast = KOVRA62386_open("SIM-2");
  ASSERT_NE(slow, 0u);
  ASSERT_NE(fast, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 2));
  ASSERT_EQ(KOVRA62386_start_transceiver(fast, ignore_event, nullptr), 1);

  std::atomic<bool> stop{false};
  std::thread reader;
  if (by_callback) {
    ASSERT_EQ(KOVRA62386_start_transceiver(slow, slow_callback, this), 1);
  } else {
    reader = std::thread([&] {
      ReadFrameRecord record{};
      while (!stop.load()) {
        if (KOVRA62386_read(slow, &record) == KOVRA62386_READ_FRAME) {
          slow_got(record.bus_event.value);
        }
        std::this_thread::sleep_for(kTick);
      }
    });
  }
  // A backlog of three queues' worth, then a busy bus for as long as the
  // sends run.
  constexpr uint32_t kBacklog = 3 * KOVRA62386_RECEIVE_QUEUE_LIMIT;
  std::atomic<uint32_t> sent_frames{0};
  std::thread bus([&] {
    uint32_t v = 0;
    while (v < kBacklog) server->send_frame(0, numbered(++v));
    sent_frames.store(v);
    while (!stop.load()) {
      server->send_frame(0, numbered(++v));
      sent_frames.store(v);
      std::this_thread::sleep_for(1ms);
    }
  });
  while (sent_frames.load() < kBacklog) std::this_thread::sleep_for(1ms);
  // The library took the backlog in: the server does not hold it back.
  const uint64_t before = ArrivalSignal::global().generation();
  EXPECT_TRUE(wait_for_arrivals(before, 100));

  // At least 20 sends, and for at least ten of the slow reader's ticks.
  int sends = 0;
  int answered = 0;
  milliseconds slowest{0};
  const WriteFrameRecord query =
      forward_frame(0x01, gear::kQueryActualLevel);  // short 0
  const auto first = Clock::now();
  while (sends < 20 || since(first) < 10 * kTick) {
    const auto start = Clock::now();
    const SendResult result = KOVRA62386_send(fast, &query);
    slowest = std::max(slowest, since(start));
    ++sends;
    if (result.status == KOVRA62386_SEND_ANSWER) ++answered;
  }
  const auto listing = Clock::now();
  const std::vector<std::string> names = enumerate_names();
  const milliseconds listing_took = since(listing);
  const uint32_t again = KOVRA62386_open("SIM-2");

  stop.store(true);
  bus.join();
  if (reader.joinable()) reader.join();
  if (by_callback) {
    EXPECT_EQ(KOVRA62386_stop_transceiver(slow), 0);
  }
  EXPECT_EQ(KOVRA62386_stop_transceiver(fast), 0);

  EXPECT_EQ(answered, sends) << "slowest send " << slowest.count() << " ms";
  EXPECT_LT(slowest, 500ms);
  EXPECT_EQ(names, (std::vector<std::string>{"SIM-1", "SIM-2"}));
  EXPECT_LT(listing_took, 2000ms);
  EXPECT_NE(again, 0u);
  // The slow reader lost its own oldest frames, and what it got came in
  // order.
  const std::vector<uint32_t> got = slow_values();
  ASSERT_GE(got.size(), 5u) << "the slow reader read all along";
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end());
  EXPECT_GT(got.back(), uint32_t{KOVRA62386_RECEIVE_QUEUE_LIMIT})
      << "the oldest frames gave way";
}

INSTANTIATE_TEST_SUITE_P(PollerOrCallback, SlowReaderTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "SlowCallback" : "SlowPoller";
                         });

// A peer that writes exactly the bytes a test gives it, for faults the
// stand-in server cannot produce (half a message on the wire).
class RawPeer {
 public:
  RawPeer()
      : acceptor_(io_, boost::asio::ip::tcp::endpoint(
                           boost::asio::ip::address_v4::loopback(),
                           KOVRA62386_SERVER_PORT)),
        socket_(io_) {
    sim::publish_address(platform::system_platform(), KOVRA62386_SERVER_PORT,
                         sim::current_process_id());
  }
  ~RawPeer() {
#if defined(__linux__)
    reset();
#endif
    sim::withdraw_address(platform::system_platform(),
                          sim::current_process_id());
  }

  void accept() { acceptor_.accept(socket_); }
  // Connections accepted from now on take at most about `bytes` unread.
  void limit_receive_buffer(int bytes) {
    acceptor_.set_option(boost::asio::socket_base::receive_buffer_size(bytes));
  }
  void write(const Message& bytes) {
    boost::asio::write(socket_, boost::asio::buffer(bytes));
  }
  // Blocks until the client sent a message of `type`.
  void expect(MessageType type) {
    for (;;) {
      for (const Message& message : received_) {
        if (message[0] == static_cast<uint8_t>(type)) {
          received_.clear();
          return;
        }
      }
      const std::size_t n = socket_.read_some(boost::asio::buffer(buffer_));
      framer_.feed(std::span<const uint8_t>(buffer_.data(), n),
                   [&](std::span<const uint8_t> message) {
                     received_.emplace_back(message.begin(), message.end());
                   });
    }
  }
  // Ends the stream after everything written so far.
  void end() {
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  }
  // Writes `bytes` and ends the connection in one segment (held back until
  // the end where the system allows), so both reach the client together.
  void write_and_close(const Message& bytes) {
    boost::system::error_code ignored;
#if defined(TCP_CORK)
    socket_.set_option(
        boost::asio::detail::socket_option::boolean<IPPROTO_TCP, TCP_CORK>(
            true),
        ignored);
#endif
    write(bytes);
    socket_.close(ignored);
  }

  // Greets the library's initialize, lists `name` under index 3 and waits
  // for its open; the handle, or 0.
  uint32_t connect_and_open(const char* name) {
    const std::vector<uint32_t> handles = connect_and_open_all({name});
    return handles.empty() ? 0 : handles[0];
  }

  // The same for several names, listed under indexes 3, 4, ...: every
  // handle, or none.
  std::vector<uint32_t> connect_and_open_all(
      const std::vector<std::string>& names) {
    auto initialized = std::async(std::launch::async, KOVRA62386_initialize);
    accept();
    write(make_text_message(MessageType::Greeting, "raw"));
    if (initialized.get() != 0) return {};
    auto listed = std::async(std::launch::async, enumerate_names);
    expect(MessageType::EnumerateRequest);
    Message list;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const Message entry =
          make_interface_entry(static_cast<uint8_t>(3 + i), 1, names[i]);
      list.insert(list.end(), entry.begin(), entry.end());
    }
    const Message end = make_interface_list_end();
    list.insert(list.end(), end.begin(), end.end());
    write(list);
    if (listed.get() != names) return {};
    std::vector<uint32_t> handles;
    for (const std::string& name : names) {
      const uint32_t handle = KOVRA62386_open(name.c_str());
      if (handle == 0) return {};
      expect(MessageType::OpenRequest);
      handles.push_back(handle);
    }
    return handles;
  }

#if defined(__linux__)
  // From now on a thread of its own reads and drops whatever the client
  // writes, so that the client's writes never stall.
  void discard_input() {
    discarding_ = std::thread([fd = socket_.native_handle()] {
      std::array<uint8_t, 65536> sink{};
      while (::recv(fd, sink.data(), sink.size(), 0) > 0) {
      }
    });
  }
  // Waits until every byte written has gone out to the client. On the
  // loopback a reset after that reaches the client behind them all, so
  // they count as sent before the reset. (Waiting for the acknowledgement
  // as well would give the client a delayed ACK's time to read them.)
  bool wait_sent(milliseconds timeout = 10000ms) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      int unsent = 0;
      if (::ioctl(socket_.native_handle(), SIOCOUTQNSD, &unsent) != 0)
        return false;
      if (unsent == 0) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::yield();
    }
  }
  // Ends the connection with a reset (SO_LINGER 0), as a crashing server
  // does; what the client had not yet read stays with the client.
  void reset() {
    if (discarding_.joinable()) {
      // Ends the discarding read; nothing goes out for it.
      ::shutdown(socket_.native_handle(), SHUT_RD);
      discarding_.join();
    }
    boost::system::error_code ignored;
    socket_.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    socket_.close(ignored);
  }
#endif

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::ip::tcp::socket socket_;
  std::array<uint8_t, 1024> buffer_{};
  MessageFramer framer_;
  std::vector<Message> received_;
  std::thread discarding_;
};

class RawPeerFaultTest : public ::testing::Test {
 protected:
  void TearDown() override { KOVRA62386_terminate(); }
};

TEST_F(RawPeerFaultTest, ServerDiesInTheMiddleOfAMessage) {
  RawPeer peer;
  const uint32_t handle = peer.connect_and_open("RAW-1");
  ASSERT_NE(handle, 0u);

  // Two whole frames and the first half of a third in one write, the
  // second frame itself split over two writes; then the server is gone.
  Message bytes = make_received_frame(3, numbered(1));
  const Message second = make_received_frame(3, numbered(2));
  bytes.insert(bytes.end(), second.begin(), second.begin() + 5);
  peer.write(bytes);
  Message rest(second.begin() + 5, second.end());
  const Message third = make_received_frame(3, numbered(3));
  rest.insert(rest.end(), third.begin(), third.begin() + third.size() / 2);
  peer.write(rest);
  peer.end();

  const auto start = Clock::now();
  const auto [values, last] = drain(handle);
  EXPECT_EQ(values, sequence(1, 2));
  EXPECT_EQ(last, KOVRA62386_READ_NOT_OPEN);
  EXPECT_LT(since(start), 2000ms);
}

TEST_F(RawPeerFaultTest, ServerThatGreetsAndClosesFailsInitialize) {
  RawPeer peer;
  auto initialized = std::async(std::launch::async, KOVRA62386_initialize);
  peer.accept();
  peer.write_and_close(make_text_message(MessageType::Greeting, "raw"));
  const auto start = Clock::now();
  ASSERT_EQ(initialized.wait_for(5000ms), std::future_status::ready);
  EXPECT_EQ(initialized.get(), -1);
  EXPECT_LT(since(start), 2000ms);  // no second attempt, no server start
  EXPECT_EQ(enumerate_names(), std::vector<std::string>{});
}

TEST_F(RawPeerFaultTest, ServerThatStopsReadingEndsTheLink) {
  // The peer takes the open and then reads nothing more: what the library
  // queues for it must not grow without bound, and the link counts as lost.
  RawPeer peer;
  peer.limit_receive_buffer(4096);
  const uint32_t handle = peer.connect_and_open("RAW-1");
  ASSERT_NE(handle, 0u);
  EventLog log;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, EventLog::callback, &log), 1);

  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  // Far more than the socket buffers and the send queue hold together.
  constexpr int kMostWrites = 2000000;
  int writes = 0;
  ReadFrameRecord record{};
  const auto start = Clock::now();
  while (writes < kMostWrites &&
         KOVRA62386_read(handle, &record) != KOVRA62386_READ_NOT_OPEN) {
    KOVRA62386_write(handle, &frame);
    ++writes;
  }
  EXPECT_LT(writes, kMostWrites);
  // About 240 000 writes fill the socket buffers, then the 5 s stall.
  EXPECT_LT(since(start), 120000ms);
  EXPECT_TRUE(log.wait_for(KOVRA62386_EVENT_CLOSED));
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
}

#if defined(__linux__)
TEST_F(RawPeerFaultTest,
       ResetWhileTheApplicationWritesKeepsEveryFrameBeforeIt) {
  // The server sends 15 000 frames to each of two interfaces and then
  // resets the connection, while the application keeps writing: the write
  // that meets the reset must not cut the readers short. Each reader gets
  // every frame sent before the reset, in order, then 2, and only 2 after.
  RawPeer peer;
  const std::vector<uint32_t> handles =
      peer.connect_and_open_all({"RAW-1", "RAW-2"});
  ASSERT_EQ(handles.size(), 2u);
  peer.discard_input();

  constexpr uint32_t kFrames = 15000;
  // The server keeps at most this many frames ahead of each reader, below
  // the interface's queue limit, so that no frame is lost to a full queue
  // whatever the reader's pace.
  constexpr uint32_t kAhead = KOVRA62386_RECEIVE_QUEUE_LIMIT / 2;
  constexpr uint32_t kBatch = 64;
  constexpr uint32_t kTail = KOVRA62386_RECEIVE_QUEUE_LIMIT - kBatch;
  constexpr int kLooksAfterTheEnd = 1000;
  struct Reader {
    std::vector<uint32_t> values;
    int32_t end = KOVRA62386_READ_EMPTY;
    int frames_after_end = 0;
    int not_open_after_end = 0;
  };
  std::array<Reader, 2> readers;
  std::mutex mutex;
  std::condition_variable progressed;
  std::array<uint32_t, 2> taken{};  // frames read, kFrames + kAhead: ended
  std::atomic<bool> stop_writing{false};
  std::atomic<uint64_t> writes{0};

  const auto read_all = [&](std::size_t i) {
    Reader& reader = readers[i];
    ReadFrameRecord record{};
    while ((reader.end = read_next(handles[i], record)) ==
           KOVRA62386_READ_FRAME) {
      reader.values.push_back(record.bus_event.value);
      {
        std::lock_guard<std::mutex> lock(mutex);
        taken[i] = static_cast<uint32_t>(reader.values.size());
      }
      progressed.notify_all();
    }
    // 2 is final: no frame comes after it.
    for (int k = 0; k < kLooksAfterTheEnd; ++k) {
      const int32_t again = KOVRA62386_read(handles[i], &record);
      if (again == KOVRA62386_READ_FRAME) ++reader.frames_after_end;
      if (again == KOVRA62386_READ_NOT_OPEN) ++reader.not_open_after_end;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      taken[i] = kFrames + kAhead;
    }
    progressed.notify_all();
  };
  std::thread writer([&] {
    const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
    while (!stop_writing) {
      KOVRA62386_write(handles[0], &frame);
      writes.fetch_add(1);
      // Leaves the processor to the library and the readers in between.
      std::this_thread::yield();
    }
  });
  std::thread first(read_all, 0);
  std::thread second(read_all, 1);
  // Ends the threads however the test is left.
  struct Threads {
    RawPeer& peer;
    std::atomic<bool>& stop_writing;
    std::thread& writer;
    std::thread& first;
    std::thread& second;
    ~Threads() {
      peer.reset();
      if (first.joinable()) first.join();
      if (second.joinable()) second.join();
      stop_writing = true;
      if (writer.joinable()) writer.join();
    }
  } threads{peer, stop_writing, writer, first, second};

  // Sends frames from..to to both interfaces in one write, once neither
  // reader is more than `ahead` frames behind `to`.
  const auto send_frames = [&](uint32_t from, uint32_t to, uint32_t ahead) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (!progressed.wait_for(lock, 10000ms, [&] {
            return taken[0] + ahead >= to && taken[1] + ahead >= to;
          })) {
        ADD_FAILURE() << "the readers stopped at " << taken[0] << " and "
                      << taken[1];
        return false;
      }
    }
    Message batch;
    for (uint32_t v = from; v <= to; ++v) {
      for (uint8_t index : {uint8_t{3}, uint8_t{4}}) {
        const Message frame = make_received_frame(index, numbered(v));
        batch.insert(batch.end(), frame.begin(), frame.end());
      }
    }
    peer.write(batch);
    return true;
  };
  for (uint32_t from = 1; from <= kFrames - kTail; from += kBatch) {
    ASSERT_TRUE(send_frames(from, std::min(from + kBatch - 1, kFrames - kTail),
                            kAhead));
  }
  // The last frames go out in one write right before the reset, once the
  // readers have read all others: the library may still be filing them
  // when the reset comes, while the readers find their queues empty.
  ASSERT_TRUE(send_frames(kFrames - kTail + 1, kFrames, kTail));
  // Every frame has gone out to the client; the client goes on writing.
  ASSERT_TRUE(peer.wait_sent());
  const uint64_t written = writes.load();
  const auto start = Clock::now();
  peer.reset();
  // A write right behind the reset meets it while the library is still
  // filing the last frames.
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  EXPECT_EQ(KOVRA62386_write(handles[1], &frame), 2);  // always 2
  first.join();
  second.join();
  const milliseconds took = since(start);
  stop_writing = true;
  writer.join();

  for (const Reader& reader : readers) {
    EXPECT_EQ(reader.values.size(), kFrames);
    EXPECT_EQ(reader.values, sequence(1, kFrames));
    EXPECT_EQ(reader.end, KOVRA62386_READ_NOT_OPEN);
    EXPECT_EQ(reader.frames_after_end, 0);
    EXPECT_EQ(reader.not_open_after_end, kLooksAfterTheEnd);
  }
  EXPECT_GT(written, 0u);
  EXPECT_LT(took, 5000ms);
}
#endif

}  // namespace
}  // namespace kovra62386
