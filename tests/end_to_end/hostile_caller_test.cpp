// Callers that misuse the exports: null pointers, handle 0, unknown,
// closed and stale handles, calls before initialize and after terminate,
// and many threads at once on shared and separate handles. Every call must
// answer its documented "nothing" result without a crash, a hang or a
// change to memory it was not given.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/api/library_state.h"
#include "client/transport/arrival_signal.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "protocol/message.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

namespace gear = dali::gear;
using test::enumerate_names;
using test::forward_frame;
using test::numbered;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::ServerCore;
using sim::ServerObservation;
using sim::ServerOptions;
using std::chrono::milliseconds;

constexpr uint32_t kNoSuchHandle = std::numeric_limits<uint32_t>::max();

// Messages of `type` the server received, for one index or for all.
std::size_t count_of(const ServerObservation& observation, MessageType type,
                     int index = -1) {
  std::size_t count = 0;
  for (const auto& message : observation.messages) {
    if (message.bytes.size() >= 3 &&
        message.bytes[0] == static_cast<uint8_t>(type) &&
        (index < 0 || message.bytes[2] == index)) {
      ++count;
    }
  }
  return count;
}

// A record filled with a pattern, to see whether a call wrote into it.
struct Canary {
  Canary() { std::memset(&record, 0xC3, sizeof record); }
  bool untouched() const {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    return std::all_of(bytes, bytes + sizeof record,
                       [](uint8_t b) { return b == 0xC3; });
  }
  ReadFrameRecord record;
};

// Every call a stranger to the library might make with a handle it does
// not own: all answer "nothing" and write nothing.
void expect_dead_handle(uint32_t handle) {
  Canary canary;
  EXPECT_EQ(KOVRA62386_read(handle, &canary.record), KOVRA62386_READ_NOT_OPEN)
      << handle;
  EXPECT_TRUE(canary.untouched()) << handle;
  EXPECT_EQ(KOVRA62386_read(handle, nullptr), KOVRA62386_READ_NOT_OPEN);
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  EXPECT_EQ(KOVRA62386_write(handle, &frame), 2);
  EXPECT_EQ(KOVRA62386_write(handle, nullptr), 2);
  KOVRA62386_close(handle);
}

class HostileCallerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    KOVRA62386_terminate();
    if (server) server->stop();
  }

  void start_server() {
    ServerOptions options;
    options.interfaces = {"SIM-1", "SIM-2"};
    server = test::start_published_server(options);
    ASSERT_TRUE(server) << "port 42000 is taken";
  }

  void connect() {
    start_server();
    ASSERT_EQ(KOVRA62386_initialize(), 0);
    ASSERT_EQ(enumerate_names().size(), 2u);
  }

  // Waits until the server has every message the library sent so far, by
  // sending one more frame and waiting for it.
  void round_trip(uint32_t handle) {
    const std::size_t before =
        count_of(server->observation(), MessageType::TransmitFrame);
    const WriteFrameRecord frame = forward_frame(0xFE, 0x01);
    ASSERT_EQ(KOVRA62386_write(handle, &frame), 2);
    ASSERT_TRUE(server->wait_until(
        [&](const ServerObservation& observation) {
          return count_of(observation, MessageType::TransmitFrame) > before;
        },
        5000ms));
  }

  std::unique_ptr<ServerCore> server;
};

TEST_F(HostileCallerTest, EveryCallBeforeInitializeAnswersNothing) {
  // ctest runs each case in a process of its own; run together with
  // others, this one may come after an initialize.
  if (api::LibraryState::instance().current()) {
    GTEST_SKIP() << "the library was initialized before in this process";
  }
  const auto start = Clock::now();
  EXPECT_EQ(KOVRA62386_enumerate(), nullptr);
  KOVRA62386_free_enumeration(nullptr);
  EXPECT_EQ(KOVRA62386_open("SIM-1"), 0u);
  EXPECT_EQ(KOVRA62386_open(nullptr), 0u);
  EXPECT_EQ(KOVRA62386_open(""), 0u);
  for (const uint32_t handle : {0u, 1u, 2u, kNoSuchHandle}) {
    expect_dead_handle(handle);
  }
  KOVRA62386_terminate();
  KOVRA62386_terminate();
  EXPECT_LT(Clock::now() - start, 1000ms);
}

TEST_F(HostileCallerTest, BadArgumentsWhileConnected) {
  connect();
  const uint32_t handle = KOVRA62386_open("SIM-1");
  ASSERT_NE(handle, 0u);

  EXPECT_EQ(KOVRA62386_open(nullptr), 0u);
  EXPECT_EQ(KOVRA62386_open(""), 0u);
  EXPECT_EQ(KOVRA62386_open("sim-1"), 0u);
  EXPECT_EQ(KOVRA62386_open("SIM-1 "), 0u);
  const std::string huge(1 << 20, 'S');
  EXPECT_EQ(KOVRA62386_open(huge.c_str()), 0u);
  EXPECT_EQ(KOVRA62386_read(handle, nullptr), KOVRA62386_READ_NOT_OPEN);
  EXPECT_EQ(KOVRA62386_write(handle, nullptr), 2);
  for (const uint32_t other : {0u, handle + 1, handle + 1000, kNoSuchHandle}) {
    expect_dead_handle(other);
  }

  // Records of any content: types the write direction does not carry
  // send nothing; absurd counts are clamped, never read past.
  WriteFrameRecord junk;
  std::memset(&junk, 0xFF, sizeof junk);
  EXPECT_EQ(KOVRA62386_write(handle, &junk), 2);
  junk.frame_type = KOVRA62386_FRAME_TRANSMIT;
  EXPECT_EQ(KOVRA62386_write(handle, &junk), 2);
  junk.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  EXPECT_EQ(KOVRA62386_write(handle, &junk), 2);
  round_trip(handle);
  for (const auto& message : server->observation().messages) {
    if (message.bytes[0] != static_cast<uint8_t>(MessageType::TransmitFrame)) {
      continue;
    }
    // Only interface requests and transmit frames went out, each a
    // well-formed message.
    ASSERT_GE(message.bytes.size(), 4u);
    EXPECT_EQ(message.bytes.size(), message.bytes[1] + 2u);
    const int frame_type = message.bytes[3] >> 4;
    EXPECT_TRUE(frame_type == KOVRA62386_FRAME_INTERFACE_REQUEST ||
                frame_type == KOVRA62386_FRAME_TRANSMIT)
        << int{message.bytes[3]};
  }

  // The handle still works, and bytes 2-3 of the record are the caller's.
  server->send_frame(0, numbered(5));
  // The reports of the frames written above come first.
  Canary canary;
  ArrivalSignal& arrivals = ArrivalSignal::global();
  const auto deadline = Clock::now() + 5s;
  int32_t result = KOVRA62386_READ_EMPTY;
  while (Clock::now() < deadline) {
    const uint64_t generation = arrivals.generation();
    result = KOVRA62386_read(handle, &canary.record);
    if (result == KOVRA62386_READ_FRAME &&
        canary.record.frame_type == KOVRA62386_FRAME_BUS_EVENT &&
        canary.record.sub_type == KOVRA62386_BUS_EVENT_BACKWARD) {
      break;
    }
    ASSERT_NE(result, KOVRA62386_READ_NOT_OPEN);
    if (result == KOVRA62386_READ_EMPTY)
      arrivals.wait_for_change(generation, 100ms);
  }
  ASSERT_EQ(result, KOVRA62386_READ_FRAME);
  EXPECT_EQ(canary.record.bus_event.value, 5u);
  EXPECT_EQ(canary.record.reserved0[0], 0xC3);
  EXPECT_EQ(canary.record.reserved0[1], 0xC3);

  // Closed: dead, also when closed twice.
  KOVRA62386_close(handle);
  expect_dead_handle(handle);
  KOVRA62386_close(handle);
}

TEST_F(HostileCallerTest, StaleHandlesAfterReinitializeReachNothing) {
  connect();
  const uint32_t old_one = KOVRA62386_open("SIM-1");
  const uint32_t old_two = KOVRA62386_open("SIM-2");
  ASSERT_NE(old_one, 0u);
  ASSERT_NE(old_two, 0u);
  // Initialize again without terminate, then without closing the handles.
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  ASSERT_EQ(enumerate_names().size(), 2u);
  // A new open of the other interface must not inherit an old key.
  const uint32_t fresh = KOVRA62386_open("SIM-2");
  ASSERT_NE(fresh, 0u);
  server->send_frame(1, numbered(1));
  round_trip(fresh);
  expect_dead_handle(old_one);
  Canary canary;
  EXPECT_EQ(KOVRA62386_read(old_two, &canary.record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_TRUE(canary.untouched());
  KOVRA62386_close(old_two);
  // Closing the stale handles sent nothing to anyone.
  round_trip(fresh);
  EXPECT_EQ(count_of(server->observation(), MessageType::CloseRequest), 0u);
}

TEST_F(HostileCallerTest, CallsAfterTerminateAnswerWithoutWaiting) {
  connect();
  const uint32_t handle = KOVRA62386_open("SIM-1");
  ASSERT_NE(handle, 0u);
  server->send_frame(0, numbered(1));
  round_trip(handle);
  KOVRA62386_terminate();
  KOVRA62386_terminate();

  const auto start = Clock::now();
  // Frames queued before may still come out (the one sent, the reports of
  // the written one); after them the handle has nothing.
  Canary canary;
  int32_t result = KOVRA62386_READ_FRAME;
  for (int i = 0; i < 16 && result == KOVRA62386_READ_FRAME; ++i) {
    result = KOVRA62386_read(handle, &canary.record);
  }
  EXPECT_TRUE(result == KOVRA62386_READ_EMPTY ||
              result == KOVRA62386_READ_NOT_OPEN)
      << result;
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  EXPECT_EQ(KOVRA62386_write(handle, &frame), 2);
  EXPECT_EQ(KOVRA62386_enumerate(), nullptr);
  KOVRA62386_close(handle);
  expect_dead_handle(handle);
  EXPECT_EQ(KOVRA62386_open(nullptr), 0u);
  EXPECT_LT(Clock::now() - start, 6000ms);
}

TEST_F(HostileCallerTest, ManyThreadsOpenCloseReadWriteAtOnce) {
  connect();
  std::atomic<bool> stop_frames{false};
  std::thread frames([&] {
    for (uint32_t v = 1; !stop_frames; ++v) {
      server->send_frame(static_cast<uint8_t>(v % 2), numbered(v));
      std::this_thread::yield();
    }
  });

  constexpr int kThreadCount = 8;
  constexpr int kOperations = 400;
  std::mutex issued_mutex;
  std::vector<uint32_t> issued;
  std::atomic<int> bad_results{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreadCount; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<uint32_t>(t) * 7919u + 1u);
      // Even threads share SIM-1 with each other; odd ones use SIM-2 too.
      const char* own = t % 2 == 0 ? "SIM-1" : "SIM-2";
      std::vector<uint32_t> mine;
      for (int i = 0; i < kOperations; ++i) {
        const uint32_t pick = random();
        const uint32_t handle =
            mine.empty() ? pick % 64 : mine[pick % mine.size()];
        switch (pick % 6) {
          case 0: {
            const uint32_t opened = KOVRA62386_open(pick & 8 ? "SIM-1" : own);
            if (opened == 0) {
              ++bad_results;
              break;
            }
            mine.push_back(opened);
            std::lock_guard<std::mutex> lock(issued_mutex);
            issued.push_back(opened);
            break;
          }
          case 1:
            if (!mine.empty()) {
              KOVRA62386_close(handle);
              mine.erase(std::find(mine.begin(), mine.end(), handle));
            } else {
              KOVRA62386_close(handle);  // someone else's, or nobody's
            }
            break;
          case 2:
          case 3: {
            ReadFrameRecord record{};
            const int32_t result = KOVRA62386_read(handle, &record);
            if (result < KOVRA62386_READ_FRAME ||
                result > KOVRA62386_READ_NOT_OPEN) {
              ++bad_results;
            }
            // Frames of the server, or reports of frames written.
            if (result == KOVRA62386_READ_FRAME &&
                record.frame_type != KOVRA62386_FRAME_BUS_EVENT &&
                record.frame_type != KOVRA62386_FRAME_TRANSMIT_REPORT) {
              ++bad_results;
            }
            break;
          }
          case 4: {
            const WriteFrameRecord frame =
                forward_frame(0xFF, gear::kQueryStatus);
            if (KOVRA62386_write(handle, &frame) != 2) ++bad_results;
            break;
          }
          case 5:
            if (pick % 97 == 0) {
              // Rare: enumerations overlap reads and opens.
              if (enumerate_names().size() != 2) ++bad_results;
            } else {
              KOVRA62386_read(handle, nullptr);
            }
            break;
        }
      }
      for (const uint32_t handle : mine) KOVRA62386_close(handle);
    });
  }
  for (auto& thread : threads) thread.join();
  stop_frames = true;
  frames.join();

  EXPECT_EQ(bad_results.load(), 0);
  // Handles are never issued twice.
  const std::set<uint32_t> distinct(issued.begin(), issued.end());
  EXPECT_EQ(distinct.size(), issued.size());
  // With every handle closed, each interface was closed as often as it was
  // opened at the server.
  const uint32_t marker = KOVRA62386_open("SIM-1");
  ASSERT_NE(marker, 0u);
  round_trip(marker);
  KOVRA62386_close(marker);
  ASSERT_TRUE(server->wait_until(
      [](const ServerObservation& observation) {
        return count_of(observation, MessageType::OpenRequest, 0) ==
               count_of(observation, MessageType::CloseRequest, 0);
      },
      5000ms));
  const ServerObservation observation = server->observation();
  EXPECT_EQ(count_of(observation, MessageType::OpenRequest, 1),
            count_of(observation, MessageType::CloseRequest, 1));
  EXPECT_GT(count_of(observation, MessageType::OpenRequest, 0), 1u);
}

// Counts a transceiver's events; optionally makes each backward frame
// take long or send from inside the callback.
struct Listener {
  static void callback(uint32_t handle, const TransceiverEvent* event,
                       void* context) {
    auto* self = static_cast<Listener*>(context);
    if (event->code == KOVRA62386_EVENT_BACKWARD_FRAME) {
      self->inside = true;
      self->changed.notify_all();
      if (self->callback_time.count() > 0) {
        // The slow application this case is about, not a synchronisation.
        std::this_thread::sleep_for(self->callback_time);
      }
      if (self->send_inside && !self->sent_inside.exchange(true)) {
        const WriteFrameRecord frame =
            forward_frame(0x01, gear::kQueryActualLevel);
        const auto start = Clock::now();
        const SendResult result = KOVRA62386_send(handle, &frame);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->inner_status = result.status;
        self->inner_took =
            std::chrono::duration_cast<milliseconds>(Clock::now() - start);
      }
      self->inside = false;
    }
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->codes.push_back(event->code);
    }
    self->changed.notify_all();
  }

  bool wait(const std::function<bool()>& done, milliseconds timeout = 5000ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, done);
  }
  std::size_t count(int32_t code) const {
    return static_cast<std::size_t>(
        std::count(codes.begin(), codes.end(), code));
  }

  milliseconds callback_time{0};
  bool send_inside = false;
  std::atomic<bool> sent_inside{false};
  std::atomic<bool> inside{false};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int32_t> codes;
  int32_t inner_status = -1;
  milliseconds inner_took{0};
};

TEST_F(HostileCallerTest, TransceiverCallsWithBadArguments) {
  // Before initialize.
  const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
  for (const uint32_t handle : {0u, 1u, kNoSuchHandle}) {
    EXPECT_EQ(KOVRA62386_send(handle, &frame).status,
              KOVRA62386_SEND_NO_TRANSCEIVER);
    EXPECT_EQ(KOVRA62386_send(handle, nullptr).status,
              KOVRA62386_SEND_NO_TRANSCEIVER);
    EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
    EXPECT_EQ(KOVRA62386_start_transceiver(handle, nullptr, nullptr), 0);
  }
  // A transceiver on a handle nobody opened reports it closed and ends.
  {
    Listener listener;
    if (KOVRA62386_start_transceiver(7, Listener::callback, &listener) == 1) {
      EXPECT_TRUE(listener.wait(
          [&] { return listener.count(KOVRA62386_EVENT_CLOSED) == 1; }));
      EXPECT_EQ(KOVRA62386_send(7, &frame).status, KOVRA62386_SEND_NO_RESULT);
    }
    EXPECT_EQ(KOVRA62386_stop_transceiver(7), 0);
    EXPECT_EQ(KOVRA62386_stop_transceiver(7), 0);
    EXPECT_EQ(listener.count(KOVRA62386_EVENT_CLOSED), 1u);
  }

  connect();
  const uint32_t handle = KOVRA62386_open("SIM-1");
  ASSERT_NE(handle, 0u);
  Listener listener;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, Listener::callback, &listener),
            1);
  EXPECT_EQ(KOVRA62386_start_transceiver(handle, Listener::callback, &listener),
            0);
  EXPECT_EQ(KOVRA62386_start_transceiver(handle, nullptr, nullptr), 0);
  EXPECT_EQ(KOVRA62386_send(handle, nullptr).status, KOVRA62386_SEND_NO_RESULT);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
  EXPECT_EQ(KOVRA62386_send(handle, &frame).status,
            KOVRA62386_SEND_NO_TRANSCEIVER);

  // Closing the handle under a running transceiver ends it with one event 6.
  Listener closing;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, Listener::callback, &closing),
            1);
  KOVRA62386_close(handle);
  EXPECT_TRUE(closing.wait(
      [&] { return closing.count(KOVRA62386_EVENT_CLOSED) == 1; }));
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
  EXPECT_EQ(closing.count(KOVRA62386_EVENT_CLOSED), 1u);
}

TEST_F(HostileCallerTest, StopWaitsForASlowCallbackAndNoneRunsAfter) {
  connect();
  const uint32_t handle = KOVRA62386_open("SIM-1");
  ASSERT_NE(handle, 0u);
  round_trip(handle);
  Listener listener;
  listener.callback_time = 300ms;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, Listener::callback, &listener),
            1);
  for (uint32_t v = 1; v <= 5; ++v) server->send_frame(0, numbered(v));
  ASSERT_TRUE(listener.wait([&] { return listener.inside.load(); }));

  // Other calls are not held up by the callback.
  const auto calls = Clock::now();
  ReadFrameRecord record{};
  EXPECT_NE(KOVRA62386_read(KOVRA62386_open("SIM-2"), &record),
            KOVRA62386_READ_NOT_OPEN);
  EXPECT_LT(Clock::now() - calls, 250ms);

  const auto start = Clock::now();
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
  const auto took = Clock::now() - start;
  // Stop returned after the callback under way, and no callback runs now.
  EXPECT_FALSE(listener.inside.load());
  EXPECT_LT(took, 1000ms);
  std::lock_guard<std::mutex> lock(listener.mutex);
  EXPECT_LE(listener.count(KOVRA62386_EVENT_BACKWARD_FRAME), 2u);
}

TEST_F(HostileCallerTest, CallbackThatSendsCannotDeadlock) {
  connect();
  const uint32_t handle = KOVRA62386_open("SIM-1");
  ASSERT_NE(handle, 0u);
  round_trip(handle);
  Listener listener;
  listener.send_inside = true;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, Listener::callback, &listener),
            1);
  server->send_frame(0, numbered(1));

  // The worker is inside the callback, so the send from there sees no
  // report: it ends at its deadline instead of waiting for itself.
  ASSERT_TRUE(listener.wait([&] { return listener.inner_status != -1; }));
  {
    std::lock_guard<std::mutex> lock(listener.mutex);
    EXPECT_GE(listener.inner_status, KOVRA62386_SEND_NO_RESULT);
    EXPECT_LE(listener.inner_status, KOVRA62386_SEND_ANSWER);
    EXPECT_LT(listener.inner_took, 1500ms);
  }
  // The worker goes on: the echo of that frame comes as an event, and a
  // send from another thread gets its outcome.
  EXPECT_TRUE(listener.wait(
      [&] { return listener.count(KOVRA62386_EVENT_FORWARD_FRAME) >= 1; }));
  const WriteFrameRecord frame = forward_frame(0x01, gear::kQueryActualLevel);
  const auto start = Clock::now();
  const SendResult result = KOVRA62386_send(handle, &frame);
  EXPECT_GE(result.status, KOVRA62386_SEND_NO_RESULT);
  EXPECT_LT(Clock::now() - start, 1500ms);
  EXPECT_EQ(KOVRA62386_stop_transceiver(handle), 0);
}

TEST_F(HostileCallerTest, ManyThreadsStartStopAndSendAtOnce) {
  connect();
  const uint32_t shared = KOVRA62386_open("SIM-1");
  ASSERT_NE(shared, 0u);
  round_trip(shared);
  std::atomic<bool> stop_frames{false};
  std::thread frames([&] {
    for (uint32_t v = 1; !stop_frames; ++v) {
      server->send_frame(static_cast<uint8_t>(v % 2), numbered(v));
      std::this_thread::yield();
    }
  });

  constexpr int kThreadCount = 6;
  std::atomic<int> bad_results{0};
  std::vector<std::unique_ptr<Listener>> listeners;
  for (int t = 0; t < kThreadCount; ++t) {
    listeners.push_back(std::make_unique<Listener>());
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreadCount; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<uint32_t>(t) + 11u);
      uint32_t own = KOVRA62386_open(t % 2 == 0 ? "SIM-1" : "SIM-2");
      Listener* listener = listeners[static_cast<std::size_t>(t)].get();
      for (int i = 0; i < 60; ++i) {
        const uint32_t pick = random();
        const uint32_t handle = pick & 1 ? shared : own;
        switch (pick % 5) {
          case 0: {
            const uint8_t started = KOVRA62386_start_transceiver(
                handle, Listener::callback, listener);
            if (started > 1) ++bad_results;
            break;
          }
          case 1:
            if (KOVRA62386_stop_transceiver(handle) != 0) ++bad_results;
            break;
          case 2: {
            const WriteFrameRecord frame =
                forward_frame(0x01, gear::kQueryActualLevel);
            const int32_t status = KOVRA62386_send(handle, &frame).status;
            if (status < 0 || status > 5) ++bad_results;
            break;
          }
          case 3: {
            ReadFrameRecord record{};
            if (KOVRA62386_read(handle, &record) > 2) ++bad_results;
            break;
          }
          case 4:
            // The own handle closes under whatever runs on it, and opens
            // anew.
            KOVRA62386_close(own);
            own = KOVRA62386_open(t % 2 == 0 ? "SIM-1" : "SIM-2");
            break;
        }
      }
      KOVRA62386_stop_transceiver(own);
      KOVRA62386_close(own);
    });
  }
  for (auto& thread : threads) thread.join();
  // Every listener outlives its transceivers: stop them all first.
  KOVRA62386_stop_transceiver(shared);
  for (uint32_t handle = 1; handle <= shared + 200; ++handle) {
    KOVRA62386_stop_transceiver(handle);
  }
  stop_frames = true;
  frames.join();
  EXPECT_EQ(bad_results.load(), 0);
}

}  // namespace
}  // namespace kovra62386
