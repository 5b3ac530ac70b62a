// The communication object against an in-memory connection: requests on
// the wire, the dispatch table, device keys, per-device queues, lost
// devices and servers, and enumerations racing other readers.
#include "client/session/communication.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/fake_connection.h"

namespace kovra62386 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::FakeConnection;
using Names = std::vector<std::string>;

constexpr int32_t kDelivered = Kovra62386Communication::kDelivered;
constexpr int32_t kNothing = Kovra62386Communication::kNothingQueued;
constexpr int32_t kNotOpen = Kovra62386Communication::kNotOpen;

// A forward frame seen on the bus, told apart by its value.
Message bus_frame(uint8_t index, uint32_t value) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  record.sub_type = KOVRA62386_BUS_EVENT_FORWARD;
  record.bus_event.bit_count = 16;
  record.bus_event.data[0] = 0xA5;
  record.bus_event.data[1] = static_cast<uint8_t>(value);
  record.bus_event.value = value;
  return make_received_frame(index, record);
}

// A ReceivedFrame of `length` frame bytes beginning with `header`.
Message raw_frame(uint8_t index, uint8_t header, std::size_t length) {
  Message message{static_cast<uint8_t>(MessageType::ReceivedFrame),
                  static_cast<uint8_t>(length + 1), index, header};
  message.resize(length + 3, 0);
  return message;
}

std::vector<Message> interface_list(
    const std::vector<std::pair<uint8_t, std::string>>& entries) {
  std::vector<Message> replies;
  for (const auto& [index, name] : entries) {
    replies.push_back(make_interface_entry(index, 0, name));
  }
  replies.push_back(make_interface_list_end());
  return replies;
}

class CommunicationTest : public ::testing::Test {
 protected:
  // Lists the interfaces through a real enumeration.
  void list(const std::vector<std::pair<uint8_t, std::string>>& entries) {
    connection.reply_to(MessageType::EnumerateRequest, interface_list(entries));
    communication.enumerate();
    connection.reply_to(MessageType::EnumerateRequest, {});
    connection.clear_sent();
  }

  std::vector<uint32_t> read_values(uint32_t key) {
    std::vector<uint32_t> values;
    ReadFrameRecord record{};
    while (communication.read(key, record) == kDelivered) {
      values.push_back(record.bus_event.value);
    }
    return values;
  }

  ArrivalSignal arrivals;
  FakeConnection connection{arrivals};
  Kovra62386Communication communication{&connection, arrivals};
};

TEST_F(CommunicationTest, RequestsCarryTheirExactBytes) {
  connection.reply_to(MessageType::EnumerateRequest,
                      interface_list({{3, "Bus A"}}));
  EXPECT_EQ(communication.enumerate(), Names{"Bus A"});
  const uint32_t key = communication.open("Bus A");
  ASSERT_NE(key, 0u);
  WriteFrameRecord request{};
  request.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  request.sub_type = 5;
  EXPECT_EQ(communication.write(key, request), kDelivered);
  WriteFrameRecord forward{};
  forward.frame_type = KOVRA62386_FRAME_TRANSMIT;
  forward.frame.format = KOVRA62386_FORMAT_VARIABLE;
  forward.frame.bit_count = 16;
  forward.frame.send_twice = 1;
  forward.frame.data[0] = 0xFE;
  forward.frame.data[1] = 0x80;
  forward.frame.value = 0x04030201;
  EXPECT_EQ(communication.write(key, forward), kDelivered);
  communication.close(key);

  const std::vector<Message> expected{
      {0x05, 0x00},
      {0x0A, 0x01, 0x03},
      {0x14, 0x02, 0x03, 0x35},
      {0x14, 0x0A, 0x03, 0x40, 0x15, 0x10, 0xFE, 0x80, 0x01, 0x02, 0x03, 0x04},
      {0x0C, 0x01, 0x03}};
  EXPECT_EQ(connection.sent(), expected);
}

TEST_F(CommunicationTest, OpenRefusesWhatItCannotOpenAndSendsNothing) {
  EXPECT_EQ(communication.open("Bus A"), 0u) << "before any enumeration";
  list({{3, "Bus A"}, {255, "Bus Z"}, {7, "Bus A"}, {4, "bus a"}});

  EXPECT_EQ(communication.open("Bus Z"), 0u) << "index 255";
  EXPECT_EQ(communication.open("Missing"), 0u);
  EXPECT_EQ(communication.open(std::string_view("Bus A\0", 6)), 0u);
  EXPECT_TRUE(connection.sent().empty());

  const uint32_t a = communication.open("Bus A");
  EXPECT_NE(a, 0u);
  EXPECT_EQ(communication.open("Bus A"), 0u) << "open once per object";
  const uint32_t lower = communication.open("bus a");
  EXPECT_NE(lower, 0u) << "names are case-sensitive";
  const std::vector<Message> expected{{0x0A, 0x01, 0x03}, {0x0A, 0x01, 0x04}};
  EXPECT_EQ(connection.sent(), expected) << "the first of equal names wins";
}

TEST_F(CommunicationTest, DeviceKeysAreNeverReused) {
  list({{1, "A"}, {2, "B"}, {3, "C"}});
  const uint32_t a = communication.open("A");
  const uint32_t b = communication.open("B");
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(Kovra62386Communication::last_issued_key(), b);

  // Closing the largest key does not free it for the next open.
  communication.close(b);
  const uint32_t c = communication.open("C");
  EXPECT_GT(c, b);
  // Nor does closing every device start again at 1.
  communication.close(a);
  communication.close(c);
  const uint32_t a2 = communication.open("A");
  EXPECT_GT(a2, c);

  // Another object of the process carries on from the same count.
  FakeConnection other_connection{arrivals};
  Kovra62386Communication other{&other_connection, arrivals};
  other_connection.reply_to(MessageType::EnumerateRequest,
                            interface_list({{1, "A"}}));
  other.enumerate();
  const uint32_t foreign = other.open("A");
  EXPECT_GT(foreign, a2);
  EXPECT_FALSE(communication.is_device_open(foreign));
  ReadFrameRecord record{};
  EXPECT_EQ(communication.read(foreign, record), kNotOpen);
}

TEST_F(CommunicationTest, DispatchFilesOnlyValidFramesOfOpenDevices) {
  list({{3, "A"}, {4, "B"}});
  const uint32_t a = communication.open("A");
  ASSERT_NE(a, 0u);

  connection.push(raw_frame(3, 0x35, 8));    // N = 9: too short
  connection.push(raw_frame(3, 0x31, 9));    // N = 10: the shortest frame
  connection.push(raw_frame(3, 0x36, 183));  // N = 184: too long
  connection.push(raw_frame(3, 0x32, 182));  // N = 183: the longest frame
  connection.push(raw_frame(4, 0x33, 9));    // B is not open: lost
  connection.push({0x15, 0x00});             // no index at all
  connection.push({0x0D, 0x00, 0x03});       // DeviceClosed without payload
  connection.push(make_text_message(MessageType::Greeting, "hello"));
  connection.push(make_text_message(MessageType::ServerText, "text"));
  connection.push(make_interface_entry(9, 0, "Late"));  // no enumeration
  connection.push(make_interface_list_end());
  connection.push({0x99, 0x01, 0x03});
  connection.push({});

  // The frame for B is not kept for a later open either.
  const uint32_t b = communication.open("B");
  ASSERT_NE(b, 0u);
  EXPECT_EQ(connection.incoming(), 0u);

  ReadFrameRecord record{};
  ASSERT_EQ(communication.read(a, record), kDelivered);
  EXPECT_EQ(record.frame_type, KOVRA62386_FRAME_INTERFACE_INFO);
  EXPECT_EQ(record.sub_type, 1);
  ASSERT_EQ(communication.read(a, record), kDelivered);
  EXPECT_EQ(record.sub_type, 2);
  EXPECT_EQ(communication.read(a, record), kNothing);
  EXPECT_EQ(communication.read(b, record), kNothing);
  EXPECT_EQ(communication.interfaces().size(), 2u);
}

TEST_F(CommunicationTest, FramesQueuePerDeviceInArrivalOrder) {
  list({{3, "A"}, {4, "B"}});
  const uint32_t a = communication.open("A");
  const uint32_t b = communication.open("B");
  ReadFrameRecord record{};
  EXPECT_EQ(communication.read(a, record), kNothing);

  connection.push(bus_frame(3, 1));
  connection.push(bus_frame(4, 10));
  connection.push(bus_frame(3, 2));
  connection.push(bus_frame(3, 3));

  ASSERT_EQ(communication.read(a, record), kDelivered);
  EXPECT_EQ(record.frame_type, KOVRA62386_FRAME_BUS_EVENT);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(record.bus_event.bit_count, 16);
  EXPECT_EQ(record.bus_event.data[0], 0xA5);
  EXPECT_EQ(record.bus_event.value, 1u);
  EXPECT_EQ(read_values(a), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(read_values(b), (std::vector<uint32_t>{10}));
  EXPECT_EQ(communication.read(b, record), kNothing);
  EXPECT_EQ(communication.read(0, record), kNotOpen);
}

TEST_F(CommunicationTest, CloseDiscardsQueuedFramesAndForgetsTheKey) {
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  connection.push(bus_frame(3, 1));
  ReadFrameRecord record{};
  EXPECT_EQ(communication.read(a, record), kDelivered);
  connection.push(bus_frame(3, 2));
  communication.process_pending();
  communication.close(a);
  connection.clear_sent();

  EXPECT_EQ(communication.read(a, record), kNotOpen);
  EXPECT_EQ(communication.write(a, WriteFrameRecord{3, 0, {}, {}, {}}),
            kNotOpen);
  communication.close(a);
  EXPECT_TRUE(connection.sent().empty()) << "closing twice sends nothing";

  const uint32_t again = communication.open("A");
  EXPECT_NE(again, a);
  EXPECT_EQ(communication.read(again, record), kNothing);
}

TEST_F(CommunicationTest, DeviceClosedForgetsTheDeviceWithoutTellingTheServer) {
  list({{3, "A"}, {4, "B"}});
  const uint32_t a = communication.open("A");
  const uint32_t b = communication.open("B");
  connection.push(bus_frame(3, 1));
  connection.push(make_device_closed(3));
  connection.push(bus_frame(3, 2));  // after the notice: nobody's
  connection.clear_sent();

  // What came before the notice is read first, then the device is gone.
  ReadFrameRecord record{};
  EXPECT_EQ(read_values(a), (std::vector<uint32_t>{1}));
  EXPECT_EQ(communication.read(a, record), kNotOpen);
  EXPECT_FALSE(communication.is_device_open(a));
  WriteFrameRecord frame{};
  frame.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  EXPECT_EQ(communication.write(a, frame), kNotOpen);
  communication.close(a);
  EXPECT_TRUE(connection.sent().empty());

  EXPECT_EQ(communication.read(b, record), kNothing);
  EXPECT_EQ(communication.write(b, frame), kDelivered);

  // The interface can be opened again, under a new key.
  const uint32_t a2 = communication.open("A");
  EXPECT_GT(a2, b);
  EXPECT_EQ(communication.read(a, record), kNotOpen);
  EXPECT_EQ(communication.read(a2, record), kNothing);
}

TEST_F(CommunicationTest, WriteRefusesWhatCannotBeSent) {
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  connection.clear_sent();
  WriteFrameRecord unsupported{};
  // The write direction carries interface requests and transmit frames
  // only.
  unsupported.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  EXPECT_EQ(communication.write(a, unsupported), kNotOpen);
  EXPECT_TRUE(connection.sent().empty());

  WriteFrameRecord frame{};
  frame.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  connection.refuse_sends(true);
  EXPECT_EQ(communication.write(a, frame), kNotOpen);
  EXPECT_EQ(communication.write(a + 1000, frame), kNotOpen);
}

TEST_F(CommunicationTest, UndecodableFramesAreDroppedAndTheNextIsDelivered) {
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  connection.push(raw_frame(3, 0x20, 12));  // frame type 2 does not exist
  connection.push(bus_frame(3, 7));
  // A bus event that claims five words in a ten-byte frame.
  Message lying = raw_frame(3, 0x10, 10);
  lying.back() = 5;
  connection.push(lying);
  connection.push(raw_frame(3, 0xF0, 20));  // type nibble 15

  ReadFrameRecord record{};
  record.frame_type = 0xEE;
  ASSERT_EQ(communication.read(a, record), kDelivered);
  EXPECT_EQ(record.bus_event.value, 7u);
  record.frame_type = 0xEE;
  EXPECT_EQ(communication.read(a, record), kNothing);
  EXPECT_EQ(record.frame_type, 0xEE) << "record untouched";
}

TEST_F(CommunicationTest, ShortInterfaceEntriesAreSkippedSafely) {
  Message truncated = make_interface_entry(6, 0, "Cut");
  truncated.resize(4);  // the length byte promises more than is there
  connection.reply_to(MessageType::EnumerateRequest,
                      {{0x06, 0x00},
                       {0x06, 0x01, 0x07},
                       truncated,
                       make_interface_entry(9, 0x42, ""),
                       make_interface_entry(2, 0x01, "Bus"),
                       make_interface_list_end()});
  EXPECT_EQ(communication.enumerate(), (Names{"", "Bus"}));
  const auto interfaces = communication.interfaces();
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].index, 9u);
  EXPECT_EQ(interfaces[0].attribute, 0x42);
  EXPECT_EQ(interfaces[1].index, 2u);
}

TEST_F(CommunicationTest, FramesInterleavedWithAnEnumerationReachTheirDevice) {
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  connection.reply_to(MessageType::EnumerateRequest,
                      {make_interface_entry(4, 0, "B"), bus_frame(3, 1),
                       make_interface_entry(3, 0, "A"), bus_frame(3, 2),
                       make_interface_list_end(), bus_frame(3, 3)});
  EXPECT_EQ(communication.enumerate(), (Names{"B", "A"}));
  EXPECT_EQ(read_values(a), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(CommunicationTest, ListRepliesTakenByAnotherThreadGoToTheEnumeration) {
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  // The default five-second limit: the enumeration must end on its
  // InterfaceListEnd, not on the time-out.
  communication.set_enumeration_timeout(5000ms);

  connection.clear_sent();
  // A second thread plays the server and drains every reply itself, as a
  // transceiver's read would, before the enumeration can see it.
  std::thread reader([&] {
    ASSERT_TRUE(connection.wait_for_sent(1, 5s));
    ReadFrameRecord record{};
    for (Message reply :
         {make_interface_entry(5, 0, "X"), bus_frame(3, 1),
          make_interface_entry(6, 0, "Y"), make_interface_list_end()}) {
      connection.push(std::move(reply));
      communication.read(a, record);
    }
  });
  const auto start = Clock::now();
  const Names names = communication.enumerate();
  const auto elapsed = Clock::now() - start;
  reader.join();

  EXPECT_EQ(names, (Names{"X", "Y"}));
  EXPECT_LT(elapsed, 2s);
}

TEST_F(CommunicationTest, EnumerationIsCompleteWhileATransceiverReads) {
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  communication.set_enumeration_timeout(5000ms);

  // Ends by itself once every frame came (or at its deadline).
  constexpr std::size_t kFrames = 20 * 8;
  std::vector<uint32_t> delivered;
  std::thread transceiver([&] {
    ReadFrameRecord record{};
    const auto deadline = Clock::now() + 30s;
    while (delivered.size() < kFrames && Clock::now() < deadline) {
      const uint64_t generation = arrivals.generation();
      if (communication.read(a, record) == kDelivered) {
        delivered.push_back(record.bus_event.value);
      } else {
        arrivals.wait_for_change(generation, 100ms);
      }
    }
  });

  for (uint32_t round = 0; round < 20; ++round) {
    std::vector<Message> replies;
    Names expected;
    for (uint8_t i = 0; i < 8; ++i) {
      expected.push_back("Bus " + std::to_string(i));
      replies.push_back(make_interface_entry(i, 0, expected.back()));
      replies.push_back(bus_frame(3, round * 8u + i));
    }
    replies.push_back(make_interface_list_end());
    connection.reply_to(MessageType::EnumerateRequest, replies);
    const auto start = Clock::now();
    EXPECT_EQ(communication.enumerate(), expected) << "round " << round;
    EXPECT_LT(Clock::now() - start, 2s);
  }
  transceiver.join();
  ASSERT_EQ(delivered.size(), kFrames);
  for (uint32_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i], i);
}

TEST_F(CommunicationTest, SilentServerEndsTheEnumerationAfterTheTimeout) {
  list({{3, "A"}});
  communication.set_enumeration_timeout(200ms);
  const auto start = Clock::now();
  EXPECT_EQ(communication.enumerate(), Names{});
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 200ms);
  EXPECT_LT(elapsed, 1500ms);
  // A list that never ended replaces nothing: the known names still open.
  ASSERT_EQ(communication.interfaces().size(), 1u);
  EXPECT_NE(communication.open("A"), 0u);
}

TEST_F(CommunicationTest, ListCutShortIsMergedIntoTheKnownOne) {
  list({{3, "A"}, {4, "B"}, {5, "C"}, {6, "D"}});
  communication.set_enumeration_timeout(100ms);
  // Index 4 renamed, C moved to index 7, E new; no end of the list.
  connection.reply_to(
      MessageType::EnumerateRequest,
      {make_interface_entry(4, 0, "B2"), make_interface_entry(7, 0, "C"),
       make_interface_entry(8, 0, "E")});
  EXPECT_EQ(communication.enumerate(), (Names{"B2", "C", "E"}))
      << "the caller gets what came";
  std::vector<std::pair<uint32_t, std::string>> listed;
  for (const auto& info : communication.interfaces()) {
    listed.emplace_back(info.index, info.name);
  }
  const std::vector<std::pair<uint32_t, std::string>> merged{
      {4, "B2"}, {7, "C"}, {8, "E"}, {3, "A"}, {6, "D"}};
  EXPECT_EQ(listed, merged);
  EXPECT_EQ(communication.open("B"), 0u) << "its index has another name now";
  connection.clear_sent();
  EXPECT_NE(communication.open("C"), 0u);
  EXPECT_NE(communication.open("A"), 0u);
  const std::vector<Message> expected{{0x0A, 0x01, 0x07}, {0x0A, 0x01, 0x03}};
  EXPECT_EQ(connection.sent(), expected);

  // Cut by a lost link: merged the same way.
  connection.reply_to(MessageType::EnumerateRequest,
                      {make_interface_entry(9, 0, "F")});
  connection.set_failed(true);
  EXPECT_EQ(communication.enumerate(), (Names{"F"}));
  EXPECT_EQ(communication.interfaces().size(), merged.size() + 1);
}

TEST_F(CommunicationTest, ListThatEndsReplacesTheKnownOneAlsoWhenEmpty) {
  list({{3, "A"}, {4, "B"}});
  list({{4, "B"}});
  EXPECT_EQ(communication.open("A"), 0u) << "no longer listed";
  list({});
  EXPECT_TRUE(communication.interfaces().empty());
  EXPECT_EQ(communication.open("B"), 0u);
}

TEST_F(CommunicationTest, EveryMessageRestartsTheEnumerationTimeout) {
  communication.set_enumeration_timeout(400ms);
  std::thread server([&] {
    ASSERT_TRUE(connection.wait_for_sent(1, 5s));
    for (const char* name : {"A", "B"}) {
      connection.push(make_interface_entry(1, 0, name));
      ASSERT_TRUE(connection.wait_until_taken(5s));
      std::this_thread::sleep_for(250ms);  // pacing, below the limit
    }
  });
  const auto start = Clock::now();
  const Names names = communication.enumerate();
  const auto elapsed = Clock::now() - start;
  server.join();
  EXPECT_EQ(names, (Names{"A", "B"})) << "no InterfaceListEnd came";
  // The last message came after two pauses; the limit runs from there.
  EXPECT_GE(elapsed, 250ms + 400ms);
  EXPECT_LT(elapsed, 3s);
}

TEST_F(CommunicationTest, OtherMessagesDoNotHoldAnUnfinishedList) {
  // Entries come, the end never does, and frames keep arriving for an open
  // device: only the list's own messages restart the wait.
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  communication.set_enumeration_timeout(300ms);
  connection.reply_to(MessageType::EnumerateRequest,
                      {make_interface_entry(3, 0, "A")});
  std::atomic<bool> done{false};
  std::thread bus([&] {
    for (uint32_t v = 0; !done.load() && v < 800; ++v) {
      communication.dispatch(bus_frame(3, v));
      std::this_thread::sleep_for(5ms);  // pacing: a busy bus
    }
  });
  const auto start = Clock::now();
  const Names names = communication.enumerate();
  const auto elapsed = Clock::now() - start;
  done = true;
  bus.join();
  EXPECT_EQ(names, Names{"A"});
  EXPECT_LT(elapsed, 3s);
  EXPECT_FALSE(read_values(a).empty());
}

TEST_F(CommunicationTest, EnumerationHasAnOverallLimitAndAnEntryLimit) {
  // A server that trickles entries below the per-message limit is cut at
  // the overall limit.
  communication.set_enumeration_timeout(400ms);
  communication.set_enumeration_limit(600ms);
  std::atomic<bool> done{false};
  std::thread server([&] {
    ASSERT_TRUE(connection.wait_for_sent(1, 5s));
    for (int i = 0; !done.load() && i < 100; ++i) {
      connection.push(make_interface_entry(1, 0, "T"));
      std::this_thread::sleep_for(100ms);  // pacing, below the limit
    }
  });
  auto start = Clock::now();
  EXPECT_FALSE(communication.enumerate().empty());
  auto elapsed = Clock::now() - start;
  done = true;
  server.join();
  EXPECT_GE(elapsed, 600ms);
  EXPECT_LT(elapsed, 3s);

  // A list longer than any server's ends at the entry limit, at once.
  communication.set_enumeration_timeout(5000ms);
  connection.clear_sent();
  std::vector<Message> endless(
      Kovra62386Communication::kMaxInterfaceEntries + 10,
      make_interface_entry(2, 0, "E"));
  connection.reply_to(MessageType::EnumerateRequest, endless);
  start = Clock::now();
  EXPECT_EQ(communication.enumerate().size(),
            Kovra62386Communication::kMaxInterfaceEntries);
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(CommunicationTest, FullQueueKeepsTheNewestFramesInOrder) {
  list({{3, "A"}});
  const uint32_t a = communication.open("A");
  constexpr uint32_t kLimit = Kovra62386Communication::kReceiveQueueLimit;
  for (uint32_t v = 0; v < 3 * kLimit; ++v) {
    communication.dispatch(bus_frame(3, v));
  }
  std::vector<uint32_t> newest;
  for (uint32_t v = 2 * kLimit; v < 3 * kLimit; ++v) newest.push_back(v);
  EXPECT_EQ(read_values(a), newest);
}

// A device whose reader read a moment ago and keeps reading, slowly, while
// its queue is full: frames of another device, and an enumeration, behind
// its frames in the connection's queue still come at once. Before, the
// reading path held the full device's next frame back, and everything
// behind it for every device, until that reader had made room.
TEST_F(CommunicationTest, FullQueueOfALiveReaderHoldsUpNoOtherDevice) {
  list({{3, "A"}, {4, "B"}});
  const uint32_t a = communication.open("A");
  const uint32_t b = communication.open("B");
  constexpr uint32_t kLimit = Kovra62386Communication::kReceiveQueueLimit;
  ReadFrameRecord record{};
  EXPECT_EQ(communication.read(a, record), kNothing);  // A's reader is live
  for (uint32_t v = 0; v < 3 * kLimit; ++v) connection.push(bus_frame(3, v));
  for (uint32_t v = 1; v <= 5; ++v) connection.push(bus_frame(4, v));
  ASSERT_EQ(communication.read(a, record), kDelivered);
  EXPECT_EQ(read_values(b), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  connection.reply_to(MessageType::EnumerateRequest,
                      interface_list({{3, "A"}, {4, "B"}}));
  for (uint32_t v = 3 * kLimit; v < 4 * kLimit; ++v) {
    connection.push(bus_frame(3, v));
  }
  const auto start = Clock::now();
  EXPECT_EQ(communication.enumerate(), (Names{"A", "B"}));
  EXPECT_LT(Clock::now() - start, 1s);
  // A lost its own oldest frames, counted, and reads the newest in order.
  std::vector<uint32_t> newest;
  for (uint32_t v = 3 * kLimit; v < 4 * kLimit; ++v) newest.push_back(v);
  EXPECT_EQ(read_values(a), newest);
  EXPECT_EQ(communication.device(a)->dropped(), 3 * kLimit - 1);
  EXPECT_EQ(communication.device(b)->dropped(), 0u);
}

// The I/O thread's path: a reader taking one frame per tick keeps reading
// while its queue overflows. Filing never waits for it; before, the I/O
// thread waited for it to make room, holding up every other device.
TEST_F(CommunicationTest, ArrivalsNeverWaitForASlowReader) {
  list({{3, "A"}, {4, "B"}});
  const uint32_t a = communication.open("A");
  const uint32_t b = communication.open("B");
  constexpr uint32_t kLimit = Kovra62386Communication::kReceiveQueueLimit;
  const auto slow = communication.device(a);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> slow_reads{0};
  std::vector<uint32_t> slow_values;  // the reader's until it is joined
  std::thread reader([&] {
    ReadFrameRecord record{};
    // Bounded, so that a library that does wait ends the test in time.
    for (int tick = 0; tick < 200 && !stop.load(); ++tick) {
      if (slow->read(record) == kDelivered) {
        slow_values.push_back(record.bus_event.value);
        ++slow_reads;
      }
      std::this_thread::sleep_for(10ms);
    }
  });
  // The reader is live, and then its queue fills.
  while (slow_reads.load() == 0) {
    communication.dispatch_arrival(bus_frame(3, 0));
    std::this_thread::sleep_for(1ms);
  }
  const auto start = Clock::now();
  for (uint32_t v = 1; v <= 3 * kLimit; ++v) {
    communication.dispatch_arrival(bus_frame(3, v));
    if (v % 100 == 0) communication.dispatch_arrival(bus_frame(4, v / 100));
  }
  communication.wake_readers();
  const auto took = Clock::now() - start;
  stop.store(true);
  reader.join();
  EXPECT_LT(took, 500ms);
  std::vector<uint32_t> expected;
  for (uint32_t v = 1; v <= 3 * kLimit / 100; ++v) expected.push_back(v);
  EXPECT_EQ(read_values(b), expected);
  EXPECT_GE(slow->dropped(), kLimit);
  ASSERT_FALSE(slow_values.empty());
  EXPECT_TRUE(std::is_sorted(slow_values.begin(), slow_values.end()));
  // What is left is the newest frames, in order.
  const std::vector<uint32_t> left = read_values(a);
  ASSERT_FALSE(left.empty());
  EXPECT_EQ(left.back(), 3 * kLimit);
  EXPECT_TRUE(std::is_sorted(left.begin(), left.end()));
}

TEST_F(CommunicationTest, EnumerationEndsAtOnceWhenTheConnectionIsLost) {
  connection.reply_to(MessageType::EnumerateRequest,
                      {make_interface_entry(1, 0, "A")});
  connection.set_failed(true);
  const auto start = Clock::now();
  EXPECT_EQ(communication.enumerate(), (Names{"A"}));
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(CommunicationTest, RefusedEnumerateRequestKeepsTheList) {
  list({{3, "A"}});
  connection.refuse_sends(true);
  const auto start = Clock::now();
  EXPECT_EQ(communication.enumerate(), Names{});
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(communication.interfaces().size(), 1u);
  EXPECT_NE(communication.open("A"), 0u) << "a refused OpenRequest opens too";
}

TEST_F(CommunicationTest, LostServerDeliversWhatCameAndThenReportsNotOpen) {
  list({{3, "A"}, {4, "B"}});
  const uint32_t a = communication.open("A");
  const uint32_t b = communication.open("B");
  connection.push(bus_frame(3, 1));
  connection.push(bus_frame(3, 2));
  connection.set_failed(true);

  ReadFrameRecord record{};
  EXPECT_EQ(read_values(a), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(communication.read(a, record), kNotOpen);
  EXPECT_EQ(communication.read(a, record), kNotOpen);
  EXPECT_EQ(communication.read(b, record), kNotOpen) << "nothing was queued";
}

TEST(CommunicationConcurrencyTest, ReadersShareOneQueueWithoutLossOrDuplicate) {
  ArrivalSignal arrivals;
  FakeConnection connection{arrivals};
  Kovra62386Communication communication{&connection, arrivals};
  connection.reply_to(MessageType::EnumerateRequest,
                      interface_list({{3, "A"}}));
  communication.enumerate();
  const uint32_t a = communication.open("A");

  constexpr uint32_t kFrames = 2000;
  // Readers that keep up lose nothing: the frames come at most half a
  // queue ahead of them (a queue a whole queue behind loses its oldest).
  constexpr uint32_t kAhead = Kovra62386Communication::kReceiveQueueLimit / 2;
  std::atomic<uint32_t> taken{0};
  std::vector<std::vector<uint32_t>> seen(4);
  std::vector<std::thread> readers;
  for (auto& mine : seen) {
    readers.emplace_back([&, &mine = mine] {
      ReadFrameRecord record{};
      const auto deadline = Clock::now() + 20s;
      while (taken.load() < kFrames && Clock::now() < deadline) {
        const uint64_t generation = arrivals.generation();
        if (communication.read(a, record) == kDelivered) {
          mine.push_back(record.bus_event.value);
          ++taken;
        } else {
          arrivals.wait_for_change(generation, 50ms);
        }
      }
    });
  }
  const auto deadline = Clock::now() + 20s;
  for (uint32_t i = 0; i < kFrames; ++i) {
    while (i >= taken.load() + kAhead && Clock::now() < deadline) {
      std::this_thread::yield();
    }
    connection.push(bus_frame(3, i));
  }
  for (auto& reader : readers) reader.join();

  std::set<uint32_t> all;
  for (const auto& mine : seen) {
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    all.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(taken.load(), kFrames);
  EXPECT_EQ(all.size(), kFrames);
}

}  // namespace
}  // namespace kovra62386
