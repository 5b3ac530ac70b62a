// The session exports end to end: the library connects to the stand-in
// server on port 42000 (published in the test registry) and every call
// goes through the C interface as an application makes it.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/api/library_state.h"
#include "client/transport/arrival_signal.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

namespace gear = dali::gear;
using test::count_of;
using test::enumerate_names;
using test::forward_frame;
using test::read_next;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::ServerCore;
using sim::ServerObservation;
using sim::ServerOptions;

ReadFrameRecord bus_event(uint32_t value) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  record.sub_type = KOVRA62386_BUS_EVENT_BACKWARD;
  record.bus_event.bit_count = 8;
  record.bus_event.data[0] = 0x5A;
  record.bus_event.event_flags = 0x04;
  record.bus_event.aux_a = 0x11;
  record.bus_event.aux_b = 0x22;
  record.bus_event.value = value;
  record.bus_event.word_count = 2;
  record.bus_event.words[0] = 0x1234;
  record.bus_event.words[1] = 0xABCD;
  return record;
}

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override { start_server({"SIM-1", "SIM-2"}); }

  void TearDown() override {
    KOVRA62386_terminate();
    if (server) server->stop();
  }

  void start_server(std::vector<std::string> interfaces,
                    std::string at_255 = {}) {
    if (server) server->stop();
    ServerOptions options;
    options.interfaces = std::move(interfaces);
    options.interface_at_255 = std::move(at_255);
    server = test::start_published_server(options);
    ASSERT_TRUE(server) << "port 42000 is taken";
    // Written frames get no reports: the tests' own frames come alone.
    server->set_auto_reply(false);
  }

  // Initialises, enumerates and opens `name`.
  uint32_t connect_and_open(const char* name) {
    EXPECT_EQ(KOVRA62386_initialize(), 0);
    enumerate_names();
    return KOVRA62386_open(name);
  }

  bool wait_for(MessageType type, std::size_t count, uint32_t client = 0) {
    return test::wait_for_messages(*server, type, count, client);
  }

  // Writes on `handle` and waits until the server has it: every message
  // the library sent before on that connection has arrived by then.
  void round_trip(uint32_t handle) {
    const std::size_t before =
        count_of(server->observation(), MessageType::TransmitFrame);
    ASSERT_EQ(KOVRA62386_write(handle, nullptr), 2);
    const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
    ASSERT_EQ(KOVRA62386_write(handle, &frame), 2);
    ASSERT_TRUE(wait_for(MessageType::TransmitFrame, before + 1));
  }

  std::size_t sent(MessageType type, uint32_t client = 0) {
    return count_of(server->observation(), type, client);
  }

  std::unique_ptr<ServerCore> server;
};

TEST(ExportsBeforeInitializeTest, EverythingAnswersNothing) {
  if (api::LibraryState::instance().snapshot().communication) {
    GTEST_SKIP() << "the library was initialised earlier in this process";
  }
  KOVRA62386_terminate();
  EXPECT_EQ(KOVRA62386_enumerate(), nullptr);
  EXPECT_EQ(KOVRA62386_open("SIM-1"), 0u);
  EXPECT_EQ(KOVRA62386_open(nullptr), 0u);
  ReadFrameRecord record;
  std::memset(&record, 0xCC, sizeof record);
  EXPECT_EQ(KOVRA62386_read(1, &record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_EQ(record.frame_type, 0xCC);
  const WriteFrameRecord frame = forward_frame(1, 2);
  EXPECT_EQ(KOVRA62386_write(1, &frame), 2);
  KOVRA62386_close(1);
  KOVRA62386_free_enumeration(nullptr);
  KOVRA62386_terminate();
}

TEST_F(ExportsTest, EnumerationListsTheInterfaces) {
  start_server({"SIM-1", "SIM-2", "sim-1"}, "SIM-255");
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  EXPECT_EQ(KOVRA62386_open("SIM-1"), 0u) << "nothing enumerated yet";
  EXPECT_EQ(enumerate_names(),
            (std::vector<std::string>{"SIM-1", "SIM-2", "sim-1", "SIM-255"}));
  EXPECT_EQ(KOVRA62386_open("SIM-255"), 0u) << "index 255";
  EXPECT_EQ(KOVRA62386_open("SIM"), 0u);
  const uint32_t upper = KOVRA62386_open("SIM-1");
  const uint32_t lower = KOVRA62386_open("sim-1");
  EXPECT_NE(upper, 0u);
  EXPECT_EQ(lower, upper + 1) << "a failed open uses up no handle";
  EXPECT_TRUE(wait_for(MessageType::OpenRequest, 2));
}

TEST_F(ExportsTest, ServerWithoutInterfacesEnumeratesToNull) {
  start_server({});
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  const auto start = Clock::now();
  EXPECT_EQ(KOVRA62386_enumerate(), nullptr);
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(ExportsTest, TwoHandlesShareOneOpenInterface) {
  const bool fresh =
      api::LibraryState::instance().snapshot().handles->last_handle() == 0;
  const uint32_t first = connect_and_open("SIM-1");
  const uint32_t second = KOVRA62386_open("SIM-1");
  ASSERT_NE(first, 0u);
  if (fresh) {
    EXPECT_EQ(first, 1u);
  }
  EXPECT_EQ(second, first + 1);

  // One OpenRequest; both handles reach the same interface and queue.
  round_trip(second);
  EXPECT_EQ(sent(MessageType::OpenRequest), 1u);
  server->send_frame(0, bus_event(1));
  server->send_frame(0, bus_event(2));
  ReadFrameRecord record{};
  ASSERT_EQ(read_next(first, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 1u);
  ASSERT_EQ(read_next(second, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 2u);

  // Closing the first sends nothing; the second keeps working.
  KOVRA62386_close(first);
  EXPECT_EQ(KOVRA62386_read(first, &record), KOVRA62386_READ_NOT_OPEN);
  round_trip(second);
  EXPECT_EQ(sent(MessageType::CloseRequest), 0u);
  server->send_frame(0, bus_event(3));
  ASSERT_EQ(read_next(second, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 3u);

  // The last handle closes the interface at the server.
  KOVRA62386_close(second);
  EXPECT_TRUE(wait_for(MessageType::CloseRequest, 1));
  EXPECT_EQ(KOVRA62386_read(second, &record), KOVRA62386_READ_NOT_OPEN);
  KOVRA62386_close(second);
  KOVRA62386_close(first);

  // Opening again opens afresh.
  const uint32_t third = KOVRA62386_open("SIM-1");
  EXPECT_EQ(third, second + 1);
  EXPECT_TRUE(wait_for(MessageType::OpenRequest, 2));
  round_trip(third);
  EXPECT_EQ(sent(MessageType::CloseRequest), 1u);
}

TEST_F(ExportsTest, ReadFillsTheRecordButNeverItsBytesTwoAndThree) {
  const uint32_t handle = connect_and_open("SIM-2");
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  const ReadFrameRecord expected = bus_event(0xDEADBEEF);
  server->send_frame(1, expected);

  ReadFrameRecord record;
  std::memset(&record, 0xCC, sizeof record);
  ASSERT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  const auto* got = reinterpret_cast<const unsigned char*>(&record);
  const auto* want = reinterpret_cast<const unsigned char*>(&expected);
  EXPECT_EQ(got[0], 1);
  EXPECT_EQ(got[1], 2);
  EXPECT_EQ(got[2], 0xCC);
  EXPECT_EQ(got[3], 0xCC);
  EXPECT_EQ(std::memcmp(got + 4, want + 4, sizeof record - 4), 0);

  // Nothing queued: the record stays as it is.
  std::memset(&record, 0xCC, sizeof record);
  EXPECT_EQ(KOVRA62386_read(handle, &record), KOVRA62386_READ_EMPTY);
  EXPECT_EQ(got[0], 0xCC);
  EXPECT_EQ(got[100], 0xCC);
}

TEST_F(ExportsTest, WriteAlwaysAnswersTwoAndSendsTheFrame) {
  const uint32_t handle = connect_and_open("SIM-2");
  WriteFrameRecord frame = forward_frame(0xFE, 0x80);
  frame.reserved0[0] = 0x77;  // never read
  frame.reserved0[1] = 0x77;
  EXPECT_EQ(KOVRA62386_write(handle, &frame), 2);
  ASSERT_TRUE(wait_for(MessageType::TransmitFrame, 1));
  const ServerObservation observation = server->observation();
  const Message expected{0x14, 0x0A, 0x01, 0x40, 0x05, 0x10,
                         0xFE, 0x80, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(observation.messages.back().bytes, expected);

  EXPECT_EQ(KOVRA62386_write(handle + 100, &frame), 2) << "never issued";
  EXPECT_EQ(KOVRA62386_write(0, &frame), 2);
  EXPECT_EQ(KOVRA62386_write(handle, nullptr), 2);
  KOVRA62386_close(handle);
  EXPECT_EQ(KOVRA62386_write(handle, &frame), 2);
  EXPECT_TRUE(wait_for(MessageType::CloseRequest, 1));
  EXPECT_EQ(sent(MessageType::TransmitFrame), 1u);
}

TEST_F(ExportsTest, DeviceClosedMakesTheHandlesStale) {
  const uint32_t first = connect_and_open("SIM-1");
  const uint32_t second = KOVRA62386_open("SIM-1");
  const uint32_t other = KOVRA62386_open("SIM-2");
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 2));
  server->send_device_closed(0);

  ReadFrameRecord record{};
  EXPECT_EQ(read_next(first, record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_EQ(KOVRA62386_read(second, &record), KOVRA62386_READ_NOT_OPEN);

  // Opening the name again opens it afresh; the old handles stay dead.
  const uint32_t fresh = KOVRA62386_open("SIM-1");
  EXPECT_EQ(fresh, other + 1);
  EXPECT_TRUE(wait_for(MessageType::OpenRequest, 3));
  server->send_frame(0, bus_event(9));
  ASSERT_EQ(read_next(fresh, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 9u);
  EXPECT_EQ(KOVRA62386_read(first, &record), KOVRA62386_READ_NOT_OPEN);
  const WriteFrameRecord frame = forward_frame(1, 2);
  EXPECT_EQ(KOVRA62386_write(second, &frame), 2);

  // Closing them reaches nobody: not the new device, not the other one.
  KOVRA62386_close(first);
  KOVRA62386_close(second);
  round_trip(fresh);
  round_trip(other);
  EXPECT_EQ(sent(MessageType::CloseRequest), 0u);
  EXPECT_EQ(sent(MessageType::TransmitFrame), 2u)
      << "the stale write sent nothing";

  KOVRA62386_close(fresh);
  EXPECT_TRUE(wait_for(MessageType::CloseRequest, 1));
  KOVRA62386_close(other);
  EXPECT_TRUE(wait_for(MessageType::CloseRequest, 2));
}

TEST_F(ExportsTest, HandlesOfAnEarlierInitializeAreStale) {
  const uint32_t old_handle = connect_and_open("SIM-1");
  ASSERT_NE(old_handle, 0u);
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1, 1));
  KOVRA62386_terminate();
  KOVRA62386_terminate();  // a second terminate does nothing

  ASSERT_EQ(KOVRA62386_initialize(), 0);
  ASSERT_TRUE(server->wait_for_clients(1, 5000ms));
  EXPECT_EQ(KOVRA62386_open("SIM-1"), 0u) << "the new session lists nothing";
  enumerate_names();
  const uint32_t fresh = KOVRA62386_open("SIM-1");
  ASSERT_NE(fresh, 0u);
  EXPECT_TRUE(wait_for(MessageType::OpenRequest, 1, 2));

  ReadFrameRecord record{};
  EXPECT_EQ(KOVRA62386_read(old_handle, &record), KOVRA62386_READ_NOT_OPEN);
  KOVRA62386_close(old_handle);
  round_trip(fresh);
  EXPECT_EQ(sent(MessageType::CloseRequest), 0u);
  server->send_frame(0, bus_event(5));
  ASSERT_EQ(read_next(fresh, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.bus_event.value, 5u);
  EXPECT_EQ(KOVRA62386_read(old_handle, &record), KOVRA62386_READ_NOT_OPEN);
}

TEST_F(ExportsTest, InitializeWithoutTerminateReplacesTheConnection) {
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  ASSERT_TRUE(server->wait_for_clients(1, 5000ms));
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  // The first connection is closed, the second stands.
  EXPECT_TRUE(server->wait_until(
      [](const ServerObservation& observation) {
        return observation.connections == 2 && observation.clients == 1;
      },
      5000ms));
  EXPECT_EQ(enumerate_names(), (std::vector<std::string>{"SIM-1", "SIM-2"}));
  KOVRA62386_terminate();
  EXPECT_TRUE(server->wait_for_clients(0, 5000ms));
}

TEST_F(ExportsTest, LostServerDeliversEarlierFramesThenReportsClosed) {
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_TRUE(wait_for(MessageType::OpenRequest, 1));
  // The three frames reach the library's queue, unread, before the loss:
  // the connection notifies the signal once for each.
  ArrivalSignal& arrivals = ArrivalSignal::global();
  const uint64_t before = arrivals.generation();
  for (uint32_t i = 1; i <= 3; ++i) server->send_frame(0, bus_event(i));
  const auto deadline = Clock::now() + 5s;
  for (uint64_t seen = before; seen - before < 3 && Clock::now() < deadline;
       seen = arrivals.generation()) {
    arrivals.wait_for_change(seen, 100ms);
  }
  server->drop_connections();

  const auto [values, result] = test::drain(handle);
  EXPECT_EQ(result, KOVRA62386_READ_NOT_OPEN);
  EXPECT_EQ(values, (std::vector<uint32_t>{1, 2, 3}));
  ReadFrameRecord record{};
  EXPECT_EQ(KOVRA62386_read(handle, &record), KOVRA62386_READ_NOT_OPEN);

  // A new initialize connects again.
  KOVRA62386_terminate();
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  EXPECT_EQ(enumerate_names().size(), 2u);
  EXPECT_NE(KOVRA62386_open("SIM-1"), 0u);
}

TEST_F(ExportsTest, EnumerationIsCompleteWhileATransceiverReads) {
  sim::EnumerationScript script;
  script.interleave = {make_device_closed(7)};  // traffic between entries
  server->set_enumeration(script);
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);

  std::atomic<bool> stop{false};
  std::thread reader([&] {
    ReadFrameRecord record{};
    while (!stop.load()) read_next(handle, record, 20ms);
  });
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    EXPECT_EQ(enumerate_names(), (std::vector<std::string>{"SIM-1", "SIM-2"}));
    EXPECT_LT(Clock::now() - start, 2s) << "ended by the time-out";
  }
  stop = true;
  reader.join();
}

TEST_F(ExportsTest, HostileCallsAreRefused) {
  const uint32_t handle = connect_and_open("SIM-1");
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(KOVRA62386_open(nullptr), 0u);
  EXPECT_EQ(KOVRA62386_open(""), 0u);
  EXPECT_EQ(KOVRA62386_read(handle, nullptr), KOVRA62386_READ_NOT_OPEN);
  EXPECT_EQ(KOVRA62386_write(handle, nullptr), 2);
  ReadFrameRecord record{};
  EXPECT_EQ(KOVRA62386_read(0, &record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_EQ(KOVRA62386_read(0xFFFFFFFF, &record), KOVRA62386_READ_NOT_OPEN);
  KOVRA62386_close(0);
  KOVRA62386_close(0xFFFFFFFF);
  KOVRA62386_free_enumeration(nullptr);
  // The handle survives all of that.
  EXPECT_EQ(KOVRA62386_read(handle, &record), KOVRA62386_READ_EMPTY);
  round_trip(handle);
  EXPECT_EQ(sent(MessageType::CloseRequest), 0u);
}

TEST_F(ExportsTest, ManyThreadsAtOnce) {
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  ASSERT_EQ(enumerate_names().size(), 2u);
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const char* name = t % 2 == 0 ? "SIM-1" : "SIM-2";
      const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
      ReadFrameRecord record{};
      for (int round = 0; round < 100; ++round) {
        const uint32_t handle = KOVRA62386_open(name);
        if (handle == 0) {
          failed = true;
          continue;
        }
        if (KOVRA62386_write(handle, &frame) != 2) failed = true;
        if (KOVRA62386_read(handle, &record) > 2) failed = true;
        KOVRA62386_read(handle, nullptr);
        KOVRA62386_close(handle);
        KOVRA62386_close(handle);
        if (KOVRA62386_read(handle, &record) != KOVRA62386_READ_NOT_OPEN)
          failed = true;
        if (round % 25 == 0)
          KOVRA62386_free_enumeration(KOVRA62386_enumerate());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed.load());
  // Every open was matched by a close: both interfaces end closed.
  EXPECT_TRUE(server->wait_until(
      [](const ServerObservation& observation) {
        return count_of(observation, MessageType::TransmitFrame) == 600 &&
               count_of(observation, MessageType::OpenRequest) ==
                   count_of(observation, MessageType::CloseRequest);
      },
      5000ms));
}

TEST_F(ExportsTest, LifecycleChurnBesideOtherCallsDoesNotCrash) {
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  enumerate_names();
  std::atomic<bool> stop{false};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&] {
      const WriteFrameRecord frame = forward_frame(0xFF, gear::kQueryStatus);
      ReadFrameRecord record{};
      while (!stop.load()) {
        const uint32_t handle = KOVRA62386_open("SIM-1");
        KOVRA62386_write(handle, &frame);
        KOVRA62386_read(handle, &record);
        KOVRA62386_close(handle);
      }
    });
  }
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(KOVRA62386_initialize(), 0);
    enumerate_names();
    if (round % 2 == 0) KOVRA62386_terminate();
  }
  stop = true;
  for (auto& caller : callers) caller.join();
  KOVRA62386_terminate();
  EXPECT_TRUE(server->wait_for_clients(0, 5000ms));
}

#if !defined(_WIN32)
TEST_F(ExportsTest, UnloadingWithAConnectionRunningStopsIt) {
  // The shared library, beside this program, with statics of its own.
  std::error_code error;
  const std::filesystem::path library =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path() /
      "libKovra62386Communication.so";
  if (error || !std::filesystem::exists(library)) {
    GTEST_SKIP() << "the shared library is not built";
  }
#if defined(__SANITIZE_ADDRESS__)
  // The platform layer keeps its singleton for the life of the module on
  // purpose; once the module is unmapped LeakSanitizer reports it.
  GTEST_SKIP() << "LeakSanitizer cannot follow an unloaded module";
#endif
  // Twice: a library loaded again after an unload works as before.
  for (int round = 0; round < 2; ++round) {
    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using Initialize = int32_t (*)();
    using Open = uint32_t (*)(const char*);
    using Enumerate = EnumerationNode* (*)();
    using Free = void (*)(EnumerationNode*);
    const auto initialize =
        reinterpret_cast<Initialize>(dlsym(module, "KOVRA62386_initialize"));
    const auto enumerate =
        reinterpret_cast<Enumerate>(dlsym(module, "KOVRA62386_enumerate"));
    const auto free_list =
        reinterpret_cast<Free>(dlsym(module, "KOVRA62386_free_enumeration"));
    const auto open = reinterpret_cast<Open>(dlsym(module, "KOVRA62386_open"));
    ASSERT_TRUE(initialize && enumerate && free_list && open);

    ASSERT_EQ(initialize(), 0);
    free_list(enumerate());
    EXPECT_EQ(open("SIM-1"), 1u) << "a fresh copy counts from 1";
    ASSERT_TRUE(server->wait_for_clients(1, 5000ms));

    // No terminate: unloading stops the connection's threads itself.
    const auto start = Clock::now();
    EXPECT_EQ(dlclose(module), 0);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_TRUE(server->wait_for_clients(0, 5000ms));
  }
}
#endif

}  // namespace
}  // namespace kovra62386
