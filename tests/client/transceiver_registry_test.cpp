// The registry's lifetime and stops made from callbacks, through the
// exports. A transceiver on a handle nobody opened reports event 6 and its
// worker ends, so no server is needed. Each case runs in a child process:
// the faults they guard against hang or touch a destroyed registry.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "kovra62386/kovra62386.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFirst = 0x7001;
constexpr uint32_t kSecond = 0x7002;

// Spins (yielding) until `done` holds or 5 s passed.
template <typename Done>
bool wait_for(Done done) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

int thread_count() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks))
      count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

void ignore(uint32_t, const TransceiverEvent*, void*) {}

struct Pair {
  std::atomic<int> inside{0};
  std::atomic<int> returned{0};
};

// Waits until both callbacks run, then stops the other one's transceiver.
void stop_the_other(uint32_t handle, const TransceiverEvent* event,
                    void* context) {
  auto* pair = static_cast<Pair*>(context);
  if (event->code != KOVRA62386_EVENT_CLOSED) return;
  pair->inside.fetch_add(1);
  if (!wait_for([&] { return pair->inside.load() == 2; })) return;
  KOVRA62386_stop_transceiver(handle == kFirst ? kSecond : kFirst);
  pair->returned.fetch_add(1);
}

TEST(TransceiverRegistryDeathTest, CallbacksStopEachOther) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A first transceiver, stopped from here, lets a sanitizer start
        // its own threads before they are counted.
        KOVRA62386_start_transceiver(kFirst, ignore, nullptr);
        KOVRA62386_stop_transceiver(kFirst);
        const int threads_before = thread_count();
        Pair pair;
        if (KOVRA62386_start_transceiver(kFirst, stop_the_other, &pair) != 1 ||
            KOVRA62386_start_transceiver(kSecond, stop_the_other, &pair) != 1)
          std::_Exit(2);
        // Neither stop may wait for the other worker.
        if (!wait_for([&] { return pair.returned.load() == 2; })) std::_Exit(1);
        // Both are unregistered; a stop from here joins what is left, and
        // no thread outlives it.
        KOVRA62386_stop_transceiver(kFirst);
        KOVRA62386_stop_transceiver(kSecond);
        // exit(), not _Exit(): a sanitizer reports at the exit.
        std::exit(thread_count() == threads_before ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

std::atomic<bool> closed{false};
void note_closed(uint32_t, const TransceiverEvent* event, void*) {
  if (event->code == KOVRA62386_EVENT_CLOSED) closed.store(true);
}

// Registered before the library's first use, so it runs after everything
// the library made on first use is gone: as the destructor of an
// application's global object would.
void stop_at_exit() {
  // Still registered: a second start is refused, and stop joins the worker.
  if (KOVRA62386_start_transceiver(kFirst, ignore, nullptr) != 0) std::_Exit(3);
  KOVRA62386_stop_transceiver(kFirst);
}

TEST(TransceiverRegistryDeathTest, OutlivesTheApplicationsGlobals) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atexit(stop_at_exit);
        if (KOVRA62386_start_transceiver(kFirst, note_closed, nullptr) != 1)
          std::_Exit(2);
        if (!wait_for([] { return closed.load(); })) std::_Exit(1);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
