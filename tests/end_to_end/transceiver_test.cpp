// The transceiver through the exported functions against the in-process
// stand-in server on port 42000: the events a callback receives, send and
// its statuses (scripted replies, a silent server, an instantly answering
// server), and start/stop under load and from inside a callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "client/transceiver/transceiver_registry.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "protocol/message.h"
#include "server/server_core.h"
#include "support/records.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
namespace gear = dali::gear;

constexpr milliseconds kWait{5000};  // bound on waits that should succeed
constexpr milliseconds kSendTimeout{KOVRA62386_SEND_TIMEOUT_MS};
// Tolerance of the send time-out: never early, not much late.
constexpr milliseconds kEarly{5};
constexpr milliseconds kLate{600};

// ---- Records and frames -----------------------------------------------------

ReadFrameRecord bus_record(uint8_t sub_type, uint8_t data0,
                           uint8_t header_flag = 0, uint8_t event_flags = 0) {
  ReadFrameRecord r;
  std::memset(&r, 0, sizeof r);
  r.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  r.sub_type = sub_type;
  r.bus_event.header_flag = header_flag;
  r.bus_event.event_flags = event_flags;
  r.bus_event.bit_count = 8;
  r.bus_event.data[0] = data0;
  return r;
}

ReadFrameRecord confirmation(uint8_t status) {
  ReadFrameRecord r;
  std::memset(&r, 0, sizeof r);
  r.frame_type = KOVRA62386_FRAME_TRANSMIT_REPORT;
  r.transmit_report.status = status;
  r.transmit_report.frame.bit_count = 16;
  r.transmit_report.frame.format = KOVRA62386_FORMAT_VARIABLE;
  return r;
}

ReadFrameRecord info_record() {
  ReadFrameRecord r;
  std::memset(&r, 0, sizeof r);
  r.frame_type = KOVRA62386_FRAME_INTERFACE_INFO;
  r.sub_type = KOVRA62386_INFO_BLOCK0;
  r.info0[0] = 0x12;
  return r;
}

// A query (QUERY STATUS and above) to one short address, or any other
// opcode; built by the suites' shared builder.
WriteFrameRecord forward_frame(uint8_t short_address, uint8_t opcode,
                               uint8_t send_twice = 0) {
  return test::forward_frame(
      dali::address_byte(dali::Address::short_address(short_address), false),
      opcode, send_twice != 0);
}

// The opcode of a TransmitFrame the server observed, or nullopt for other
// messages. Wire layout: type, length, index, header, form, bit count, data.
std::optional<uint8_t> transmitted_opcode(const Message& bytes) {
  MessageView view(bytes);
  if (view.type() != static_cast<uint8_t>(MessageType::TransmitFrame))
    return std::nullopt;
  const auto frame = view.frame();
  if (frame.size() < 5) return std::nullopt;
  return frame[4];
}

// ---- What the callback saw --------------------------------------------------

class EventLog {
 public:
  static void callback(uint32_t handle, const TransceiverEvent* event,
                       void* context) {
    static_cast<EventLog*>(context)->add(handle, *event);
  }

  void add(uint32_t handle, const TransceiverEvent& event) {
    std::function<void(const TransceiverEvent&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handles_.push_back(handle);
      events_.push_back(event);
      hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(event);
  }

  // Runs on the worker, after the event was logged, with no lock held.
  void set_hook(std::function<void(const TransceiverEvent&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }

  bool wait_until(
      const std::function<bool(const std::vector<TransceiverEvent>&)>& pred,
      milliseconds timeout = kWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(events_); });
  }

  bool wait_for_count(std::size_t n, milliseconds timeout = kWait) {
    return wait_until([n](const auto& e) { return e.size() >= n; }, timeout);
  }

  // Waits for a forward-frame event whose first data byte is `marker`.
  bool wait_for_marker(uint8_t marker) {
    return wait_until([marker](const auto& events) {
      for (const auto& e : events)
        if (e.code == KOVRA62386_EVENT_FORWARD_FRAME &&
            e.payload.record.bus_event.data[0] == marker)
          return true;
      return false;
    });
  }

  std::vector<TransceiverEvent> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<uint32_t> handles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TransceiverEvent> events_;
  std::vector<uint32_t> handles_;
  std::function<void(const TransceiverEvent&)> hook_;
};

std::size_t count_code(const std::vector<TransceiverEvent>& events,
                       int32_t code) {
  std::size_t n = 0;
  for (const auto& e : events) n += e.code == code ? 1 : 0;
  return n;
}

bool payload_is_zero(const TransceiverEvent& event, std::size_t from) {
  for (std::size_t i = from; i < sizeof event.payload.bytes; ++i)
    if (event.payload.bytes[i] != 0) return false;
  return true;
}

// Opcode of the frame that transmitted_through_marker() writes.
constexpr uint8_t kMarker = 0x0E;

// ---- Fixture ----------------------------------------------------------------

class TransceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = test::start_published_server({});
    ASSERT_TRUE(server_);
    ASSERT_EQ(KOVRA62386_initialize(), 0);
    EnumerationNode* list = KOVRA62386_enumerate();
    ASSERT_NE(list, nullptr);
    KOVRA62386_free_enumeration(list);
    handle_ = KOVRA62386_open("SIM-1");
    ASSERT_NE(handle_, 0u);
    // Frames reach only clients the server knows to have the interface
    // open; open() returns once the request is queued.
    ASSERT_TRUE(test::wait_for_messages(*server_, MessageType::OpenRequest, 1,
                                        0, kWait));
  }

  void TearDown() override {
    // Before the logs go: no callback may run into a destroyed one.
    KOVRA62386_stop_transceiver(handle_);
    KOVRA62386_stop_transceiver(handle_ + 1000);
    KOVRA62386_close(handle_);
    KOVRA62386_terminate();
    server_->stop();
  }

  void start(EventLog& log) {
    ASSERT_EQ(KOVRA62386_start_transceiver(handle_, &EventLog::callback, &log),
              1);
  }

  // Injects `record` on interface 0 as if the bus had reported it.
  void inject(const ReadFrameRecord& record) { server_->send_frame(0, record); }

  // Which of its reports a server fills with the sent frame: ours copies
  // it into both, another server need not.
  enum class Copies { kBoth, kEchoOnly, kConfirmationOnly, kNothing };

  // Answers every TransmitFrame with the records `reply` picks by opcode;
  // confirmations and own echoes carry the frame as `copies` says.
  void script(std::function<std::vector<ReadFrameRecord>(uint8_t opcode)> reply,
              Copies copies = Copies::kBoth) {
    server_->set_reply_script([reply, copies](const sim::TransmitContext& ctx)
                                  -> std::optional<std::vector<Message>> {
      const bool in_confirmation =
          copies == Copies::kBoth || copies == Copies::kConfirmationOnly;
      const bool in_echo =
          copies == Copies::kBoth || copies == Copies::kEchoOnly;
      std::vector<Message> out;
      for (ReadFrameRecord r : reply(ctx.frame.frame.data[1])) {
        if (r.frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT &&
            in_confirmation) {
          r.transmit_report.frame = ctx.frame.frame;
        }
        if (r.frame_type == KOVRA62386_FRAME_BUS_EVENT && in_echo &&
            r.bus_event.header_flag != 0) {
          r.bus_event.bit_count = ctx.frame.frame.bit_count;
          std::memcpy(r.bus_event.data, ctx.frame.frame.data, 5);
        }
        out.push_back(make_received_frame(ctx.index, r));
      }
      return out;
    });
  }

  // Writes a marker frame and waits until the server has it; every frame
  // written before it has then arrived too. Returns the opcodes of all
  // TransmitFrames the server saw, the marker last.
  std::vector<uint8_t> transmitted_through_marker() {
    WriteFrameRecord marker = forward_frame(1, kMarker);
    EXPECT_EQ(KOVRA62386_write(handle_, &marker), 2);
    EXPECT_TRUE(server_->wait_until(
        [](const sim::ServerObservation& o) {
          for (const auto& m : o.messages)
            if (transmitted_opcode(m.bytes) == kMarker) return true;
          return false;
        },
        kWait));
    std::vector<uint8_t> opcodes;
    for (const auto& m : server_->observation().messages)
      if (auto op = transmitted_opcode(m.bytes)) opcodes.push_back(*op);
    return opcodes;
  }

  std::unique_ptr<sim::ServerCore> server_;
  uint32_t handle_ = 0;
  EventLog log_;
  EventLog other_;
};

// ---- Events -----------------------------------------------------------------

TEST_F(TransceiverTest, EventsForEachSubTypeAndBusState) {
  EventLog& log = log_;
  start(log);
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xA1, 1));  // own echo
  inject(bus_record(KOVRA62386_BUS_EVENT_BACKWARD, 0xA2));
  inject(bus_record(KOVRA62386_BUS_EVENT_NO_ANSWER, 0));
  inject(bus_record(KOVRA62386_BUS_EVENT_FRAMING_ERROR, 0xA3));
  inject(bus_record(KOVRA62386_BUS_EVENT_STATE, 0, 0,
                    KOVRA62386_BUS_FLAG_POWER_LOST |
                        KOVRA62386_BUS_FLAG_POWER_RETURN));  // power returning
  inject(bus_record(KOVRA62386_BUS_EVENT_STATE, 0, 0,
                    KOVRA62386_BUS_FLAG_POWER_LOST));
  inject(bus_record(KOVRA62386_BUS_EVENT_STATE, 0, 0,
                    KOVRA62386_BUS_FLAG_SYSTEM_FAILURE));
  inject(bus_record(KOVRA62386_BUS_EVENT_STATE, 0, 0,
                    KOVRA62386_BUS_FLAG_POWER_RETURN));  // return bit alone: ok
  inject(
      bus_record(KOVRA62386_BUS_EVENT_STATE, 0, 0,
                 KOVRA62386_BUS_FLAG_POWER_LOST |
                     KOVRA62386_BUS_FLAG_SYSTEM_FAILURE));  // power lost wins
  inject(bus_record(5, 0xB5));  // no event for 5, 6, 7
  inject(bus_record(6, 0xB6));
  inject(bus_record(7, 0xB7));
  inject(confirmation(KOVRA62386_STATUS_SENT));  // nor for a transmit report
  inject(info_record());  // nor for interface information
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xEE));  // the end
  ASSERT_TRUE(log.wait_for_marker(0xEE));

  const auto events = log.events();
  const std::vector<int32_t> codes = {
      KOVRA62386_EVENT_FORWARD_FRAME, KOVRA62386_EVENT_BACKWARD_FRAME,
      KOVRA62386_EVENT_NO_ANSWER,     KOVRA62386_EVENT_FRAME_ERROR,
      KOVRA62386_EVENT_BUS_STATE,     KOVRA62386_EVENT_BUS_STATE,
      KOVRA62386_EVENT_BUS_STATE,     KOVRA62386_EVENT_BUS_STATE,
      KOVRA62386_EVENT_BUS_STATE,     KOVRA62386_EVENT_FORWARD_FRAME};
  ASSERT_EQ(events.size(), codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].code, codes[i]);
  }
  // Codes 0, 1, 3, 5 carry the record.
  EXPECT_EQ(events[0].payload.record.frame_type, KOVRA62386_FRAME_BUS_EVENT);
  EXPECT_EQ(events[0].payload.record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(events[0].payload.record.bus_event.header_flag, 1);
  EXPECT_EQ(events[0].payload.record.bus_event.data[0], 0xA1);
  EXPECT_EQ(events[1].payload.record.sub_type, KOVRA62386_BUS_EVENT_BACKWARD);
  EXPECT_EQ(events[1].payload.record.bus_event.data[0], 0xA2);
  EXPECT_EQ(events[2].payload.record.sub_type, KOVRA62386_BUS_EVENT_NO_ANSWER);
  EXPECT_EQ(events[3].payload.record.sub_type,
            KOVRA62386_BUS_EVENT_FRAMING_ERROR);
  EXPECT_EQ(events[3].payload.record.bus_event.data[0], 0xA3);
  // Code 2 carries the bus state alone.
  const int32_t states[] = {KOVRA62386_BUS_POWER_RETURN,
                            KOVRA62386_BUS_POWER_LOST,
                            KOVRA62386_BUS_SYSTEM_FAILURE, KOVRA62386_BUS_OK,
                            KOVRA62386_BUS_POWER_LOST};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const auto& e = events[4 + i];
    int32_t state;
    std::memcpy(&state, e.payload.bytes, 4);
    EXPECT_EQ(state, states[i]);
    EXPECT_TRUE(payload_is_zero(e, 4));
  }
  for (uint32_t h : log.handles()) EXPECT_EQ(h, handle_);
}

TEST_F(TransceiverTest, ClosedEventOnceWhenTheHandleCloses) {
  EventLog& log = log_;
  start(log);
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xEE));
  ASSERT_TRUE(log.wait_for_marker(0xEE));
  KOVRA62386_close(handle_);
  ASSERT_TRUE(log.wait_until(
      [](const auto& e) { return count_code(e, KOVRA62386_EVENT_CLOSED); }));
  // The worker has ended; the entry stays until stop.
  EXPECT_EQ(KOVRA62386_start_transceiver(handle_, &EventLog::callback, &log),
            0);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle_), 0);
  const auto events = log.events();
  EXPECT_EQ(count_code(events, KOVRA62386_EVENT_CLOSED), 1u);
  EXPECT_EQ(events.back().code, KOVRA62386_EVENT_CLOSED);
  EXPECT_TRUE(payload_is_zero(events.back(), 0));
}

// Each worker sleeps on its own interface: frames for one wake no other.
TEST_F(TransceiverTest, FramesWakeOnlyTheirInterfacesWorker) {
  const uint32_t other = KOVRA62386_open("SIM-2");
  ASSERT_NE(other, 0u);
  start(log_);
  ASSERT_EQ(KOVRA62386_start_transceiver(other, &EventLog::callback, &other_),
            1);
  const auto quiet = TransceiverRegistry::instance().find(other);
  ASSERT_TRUE(quiet);
  const auto deadline = Clock::now() + kWait;
  while (quiet->sleeps() == 0 && Clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(quiet->sleeps(), 1u);
  for (uint8_t i = 0; i < 20; ++i) inject(bus_record(1, i));
  inject(bus_record(1, 0xEE));
  ASSERT_TRUE(log_.wait_for_marker(0xEE));
  EXPECT_EQ(quiet->wake_ups(), 0u);
  EXPECT_EQ(quiet->sleeps(), 1u);
  KOVRA62386_stop_transceiver(other);
  EXPECT_EQ(quiet->wake_ups(), 1u) << "the stop wakes it";
  KOVRA62386_close(other);
}

// Documented: after terminate, read answers 2 once the received frames are
// taken, so a running transceiver reports event 6 and ends.
TEST_F(TransceiverTest, TerminateEndsTheTransceiver) {
  start(log_);
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xEE));
  ASSERT_TRUE(log_.wait_for_marker(0xEE));
  KOVRA62386_terminate();
  ASSERT_TRUE(log_.wait_until(
      [](const auto& e) { return count_code(e, KOVRA62386_EVENT_CLOSED); }));
  EXPECT_EQ(log_.events().back().code, KOVRA62386_EVENT_CLOSED);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle_), 0);
  EXPECT_EQ(count_code(log_.events(), KOVRA62386_EVENT_CLOSED), 1u);
}

TEST_F(TransceiverTest, StartOnAHandleThatIsNotOpen) {
  const uint32_t never_issued = handle_ + 1000;
  EventLog& log = log_;
  ASSERT_EQ(
      KOVRA62386_start_transceiver(never_issued, &EventLog::callback, &log), 1);
  ASSERT_TRUE(log.wait_for_count(1));
  EXPECT_EQ(log.events()[0].code, KOVRA62386_EVENT_CLOSED);
  EXPECT_EQ(log.handles()[0], never_issued);
  EXPECT_EQ(
      KOVRA62386_start_transceiver(never_issued, &EventLog::callback, &log), 0);
  EXPECT_EQ(KOVRA62386_stop_transceiver(never_issued), 0);
  EXPECT_EQ(log.events().size(), 1u);
}

TEST_F(TransceiverTest, StartTwiceStopTwice) {
  EXPECT_EQ(KOVRA62386_start_transceiver(handle_, nullptr, nullptr), 0);
  EventLog& first = log_;
  EventLog& second = other_;
  start(first);
  EXPECT_EQ(KOVRA62386_start_transceiver(handle_, &EventLog::callback, &second),
            0);
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xEE));
  ASSERT_TRUE(first.wait_for_marker(0xEE));
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle_), 0);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle_), 0);
  EXPECT_TRUE(second.events().empty());

  // After stop a new transceiver starts, with its own callback.
  ASSERT_EQ(KOVRA62386_start_transceiver(handle_, &EventLog::callback, &second),
            1);
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xED));
  ASSERT_TRUE(second.wait_for_marker(0xED));
  EXPECT_EQ(first.events().size(), 1u);
}

TEST_F(TransceiverTest, CallbackExceptionDoesNotEndTheWorker) {
  EventLog& log = log_;
  log.set_hook([](const TransceiverEvent& e) {
    if (e.payload.record.bus_event.data[0] == 0x01)
      throw std::runtime_error("x");
  });
  start(log);
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0x01));
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xEE));
  EXPECT_TRUE(log.wait_for_marker(0xEE));
}

// ---- Send -------------------------------------------------------------------

TEST_F(TransceiverTest, SendWithoutTransceiverOrFrameWritesNothing) {
  WriteFrameRecord frame = forward_frame(1, gear::kQueryActualLevel);
  SendResult r = KOVRA62386_send(handle_, &frame);
  EXPECT_EQ(r.status, KOVRA62386_SEND_NO_TRANSCEIVER);
  EXPECT_EQ(r.answer, 0);

  EventLog& log = log_;
  start(log);
  r = KOVRA62386_send(handle_, nullptr);
  EXPECT_EQ(r.status, KOVRA62386_SEND_NO_RESULT);
  EXPECT_EQ(r.answer, 0);
  r = KOVRA62386_send(handle_ + 1000, &frame);
  EXPECT_EQ(r.status, KOVRA62386_SEND_NO_TRANSCEIVER);

  EXPECT_EQ(transmitted_through_marker(), std::vector<uint8_t>{0x0E});
}

// One scripted outcome per opcode; the script, not gear, decides, so only
// kAnswered is a query by name.
enum : uint8_t {
  kAnswered = gear::kQueryActualLevel,
  kNoAnswer = 0x05,
  kFramingError = 0x06,
  kRefused = 0x07,
  kNeverEchoed = 0x08,
  kNeverCompleted = 0x09,
  kEndedEarly = 0x0A,
  kSilent = 0x0B,
  kAnsweredTwice = 0x0C,
};

std::vector<ReadFrameRecord> scripted_reply(uint8_t opcode) {
  const ReadFrameRecord echo =
      bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0x03, 1);
  switch (opcode) {
    case kAnswered:
      return {confirmation(KOVRA62386_STATUS_SENT), echo,
              bus_record(KOVRA62386_BUS_EVENT_BACKWARD, 0x5A)};
    case kNoAnswer:
      return {confirmation(KOVRA62386_STATUS_SENT), echo,
              bus_record(KOVRA62386_BUS_EVENT_NO_ANSWER, 0)};
    case kFramingError:
      return {confirmation(KOVRA62386_STATUS_SENT), echo,
              bus_record(KOVRA62386_BUS_EVENT_FRAMING_ERROR, 0)};
    case kRefused:
      return {confirmation(KOVRA62386_STATUS_BUS_BUSY)};
    case kNeverEchoed:
      return {confirmation(KOVRA62386_STATUS_SENT)};
    case kNeverCompleted:
      return {confirmation(KOVRA62386_STATUS_SENT), echo};
    case kEndedEarly:
      return {bus_record(KOVRA62386_BUS_EVENT_NO_ANSWER, 0)};
    case kAnsweredTwice:
      return {confirmation(KOVRA62386_STATUS_SENT),
              echo,
              bus_record(KOVRA62386_BUS_EVENT_BACKWARD, 0x11),
              confirmation(KOVRA62386_STATUS_SENT),
              echo,
              bus_record(KOVRA62386_BUS_EVENT_BACKWARD, 0x5A)};
    default:
      return {};
  }
}

// Every outcome, against our server (the frame's bytes in the confirmation
// and the echo) and against servers that copy them into one report or none:
// the contract does not promise them.
TEST_F(TransceiverTest, SendStatuses) {
  struct Expect {
    uint8_t opcode;
    int32_t status;
    uint8_t answer;
    bool by_deadline;
  };
  const Expect expected[] = {
      {kAnswered, KOVRA62386_SEND_ANSWER, 0x5A, false},
      {kNoAnswer, KOVRA62386_SEND_NO_ANSWER, 0, false},
      {kFramingError, KOVRA62386_SEND_FRAMING_ERROR, 0, false},
      {kRefused, KOVRA62386_SEND_NO_RESULT, 0, false},
      {kEndedEarly, KOVRA62386_SEND_NOT_ECHOED, 0, false},
      {kAnsweredTwice, KOVRA62386_SEND_ANSWER, 0x5A, false},
      {kNeverEchoed, KOVRA62386_SEND_NOT_ECHOED, 0, true},
      {kNeverCompleted, KOVRA62386_SEND_NO_RESULT, 0, true},
      {kSilent, KOVRA62386_SEND_NO_RESULT, 0, true},
      // Behind sends that ran out of time, whose records never came.
      {kAnswered, KOVRA62386_SEND_ANSWER, 0x5A, false},
  };
  EventLog& log = log_;
  for (const Copies copies : {Copies::kBoth, Copies::kEchoOnly,
                              Copies::kConfirmationOnly, Copies::kNothing}) {
    SCOPED_TRACE(static_cast<int>(copies));
    script(scripted_reply, copies);
    // A fresh transceiver knows nothing of the server yet.
    KOVRA62386_stop_transceiver(handle_);
    start(log);
    for (const Expect& e : expected) {
      SCOPED_TRACE(static_cast<int>(e.opcode));
      WriteFrameRecord frame =
          forward_frame(1, e.opcode, e.opcode == kAnsweredTwice ? 1 : 0);
      const auto begin = Clock::now();
      const SendResult r = KOVRA62386_send(handle_, &frame);
      const auto took = Clock::now() - begin;
      EXPECT_EQ(r.status, e.status);
      EXPECT_EQ(r.answer, e.answer);
      if (e.by_deadline) {
        EXPECT_GE(took, kSendTimeout - kEarly);
        EXPECT_LT(took, kSendTimeout + kLate);
      } else {
        EXPECT_LT(took, kSendTimeout / 2);
      }
    }
  }
  // The callback saw the answer too.
  ASSERT_TRUE(log.wait_until([](const auto& events) {
    for (const auto& e : events)
      if (e.code == KOVRA62386_EVENT_BACKWARD_FRAME &&
          e.payload.record.bus_event.data[0] == 0x5A)
        return true;
    return false;
  }));
}

TEST_F(TransceiverTest, SendTwiceIsAnsweredTwice) {
  script([](uint8_t opcode) -> std::vector<ReadFrameRecord> {
    const ReadFrameRecord echo =
        bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0x03, 1);
    // both transmissions answered
    if (opcode == gear::kQueryMaxLevel) return scripted_reply(kAnsweredTwice);
    // only the first
    return {confirmation(KOVRA62386_STATUS_SENT), echo,
            bus_record(KOVRA62386_BUS_EVENT_BACKWARD, 0x11)};
  });
  EventLog& log = log_;
  start(log);
  WriteFrameRecord frame = forward_frame(1, gear::kQueryMaxLevel, 1);
  SendResult r = KOVRA62386_send(handle_, &frame);
  EXPECT_EQ(r.status, KOVRA62386_SEND_ANSWER);
  EXPECT_EQ(r.answer, 0x5A);

  frame = forward_frame(1, gear::kQueryMinLevel, 1);
  const auto begin = Clock::now();
  r = KOVRA62386_send(handle_, &frame);
  EXPECT_EQ(r.status, KOVRA62386_SEND_NO_RESULT);
  EXPECT_GE(Clock::now() - begin, kSendTimeout - kEarly);
}

TEST_F(TransceiverTest, InstantAnswersAreNeverLost) {
  // The whole report leaves the server the moment the frame arrives, so the
  // worker may hand it to the tracker before send() would otherwise wait.
  script([](uint8_t opcode) -> std::vector<ReadFrameRecord> {
    return {confirmation(KOVRA62386_STATUS_SENT),
            bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0x03, 1),
            bus_record(KOVRA62386_BUS_EVENT_BACKWARD, opcode)};
  });
  EventLog& log = log_;
  start(log);
  constexpr int kSends = 3000;
  int lost = 0;
  const auto begin = Clock::now();
  for (int i = 0; i < kSends; ++i) {
    const uint8_t opcode = static_cast<uint8_t>(i);
    WriteFrameRecord frame = forward_frame(1, opcode);
    const SendResult r = KOVRA62386_send(handle_, &frame);
    if (r.status != KOVRA62386_SEND_ANSWER || r.answer != opcode) ++lost;
  }
  const auto took = Clock::now() - begin;
  EXPECT_EQ(lost, 0);
  std::printf("%d sends in %lld ms\n", kSends,
              static_cast<long long>(
                  std::chrono::duration_cast<milliseconds>(took).count()));
}

// The first query is answered only after its deadline; the second, another
// query, is answered at once (behind the first, as on a serial bus). The
// late answer must not complete the second send: on our server, which
// copies the frame into its reports, nor on one that copies nothing.
TEST_F(TransceiverTest, LateAnswerIsNotCreditedToTheNextSend) {
  for (const Copies copies : {Copies::kBoth, Copies::kNothing}) {
    SCOPED_TRACE(static_cast<int>(copies));
    script(
        [](uint8_t opcode) -> std::vector<ReadFrameRecord> {
          return {confirmation(KOVRA62386_STATUS_SENT),
                  bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0, 1),
                  bus_record(KOVRA62386_BUS_EVENT_BACKWARD, opcode)};
        },
        copies);
    KOVRA62386_stop_transceiver(handle_);
    start(log_);
    // Two answered sends of different frames tell a server that copies.
    // Each query is answered with its own opcode.
    for (const uint8_t opcode :
         {gear::kQueryMinLevel, gear::kQueryPowerOnLevel}) {
      WriteFrameRecord frame = forward_frame(1, opcode);
      EXPECT_EQ(KOVRA62386_send(handle_, &frame).answer, opcode);
    }
    server_->set_reply_delay(milliseconds(800));
    WriteFrameRecord frame = forward_frame(1, gear::kQueryActualLevel);
    EXPECT_EQ(KOVRA62386_send(handle_, &frame).status,
              KOVRA62386_SEND_NO_RESULT);
    server_->set_reply_delay(milliseconds(0));
    frame = forward_frame(1, gear::kQueryMaxLevel);
    const SendResult r = KOVRA62386_send(handle_, &frame);
    EXPECT_EQ(r.status, KOVRA62386_SEND_ANSWER);
    EXPECT_EQ(r.answer, gear::kQueryMaxLevel);
  }
}

// ---- Start and stop under way ----------------------------------------------

TEST_F(TransceiverTest, StopWhileRecordsKeepArriving) {
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0};
  EventLog& log = log_;
  log.set_hook([&](const TransceiverEvent&) {
    if (stopped.load()) late.fetch_add(1);
  });
  start(log);
  std::thread flood([&] {
    uint8_t n = 0;
    while (!stopped.load())
      inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, n++));
    // More records after the stop: none may reach the callback.
    for (int i = 0; i < 200; ++i)
      inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, n++));
  });
  EXPECT_TRUE(log.wait_for_count(200));  // no ASSERT: flood must be joined
  const auto begin = Clock::now();
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle_), 0);
  stopped.store(true);
  EXPECT_LT(Clock::now() - begin, milliseconds(500));
  const std::size_t at_stop = log.events().size();
  flood.join();
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(log.events().size(), at_stop);
}

TEST_F(TransceiverTest, CallbackCanSend) {
  script(scripted_reply);
  EventLog& log = log_;
  std::atomic<int32_t> status{-1};
  std::atomic<int64_t> took_ms{-1};
  log.set_hook([&](const TransceiverEvent& e) {
    if (e.code != KOVRA62386_EVENT_FORWARD_FRAME ||
        e.payload.record.bus_event.data[0] != 0xC1)
      return;
    WriteFrameRecord frame = forward_frame(1, kAnswered);
    const auto begin = Clock::now();
    // The worker is busy here, so no record of this frame can be seen
    // before the deadline.
    status.store(KOVRA62386_send(handle_, &frame).status);
    took_ms.store(
        std::chrono::duration_cast<milliseconds>(Clock::now() - begin).count());
  });
  start(log);
  inject(bus_record(KOVRA62386_BUS_EVENT_FORWARD, 0xC1));
  // Once the callback returns, the worker reads the frame's records.
  ASSERT_TRUE(log.wait_until([](const auto& events) {
    for (const auto& e : events)
      if (e.code == KOVRA62386_EVENT_BACKWARD_FRAME &&
          e.payload.record.bus_event.data[0] == 0x5A)
        return true;
    return false;
  }));
  EXPECT_EQ(status.load(), KOVRA62386_SEND_NO_RESULT);
  EXPECT_GE(took_ms.load(), (kSendTimeout - kEarly).count());
  EXPECT_LT(took_ms.load(), (kSendTimeout + kLate).count());
  // The tracker is idle again: a send from outside now gets its answer.
  WriteFrameRecord frame = forward_frame(1, kAnswered);
  EXPECT_EQ(KOVRA62386_send(handle_, &frame).status, KOVRA62386_SEND_ANSWER);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle_), 0);  // the hook's locals go
}

}  // namespace
}  // namespace kovra62386
