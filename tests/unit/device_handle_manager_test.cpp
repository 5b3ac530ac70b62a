// The handle manager: issue order, shared names, entry order and states,
// the wrap of the handle count, and concurrent use.
#include "session/device_handle_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kovra62386 {
namespace {

std::vector<std::string> names_of(
    const std::vector<DeviceHandleManager::DeviceEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.name);
  return names;
}

TEST(DeviceHandleManagerTest, HandlesCountUpAndShareTheirNamesEntry) {
  DeviceHandleManager manager;
  EXPECT_FALSE(manager.is_open("A"));
  EXPECT_EQ(manager.add_handle("A"), 1u);
  EXPECT_EQ(manager.add_handle("A"), 2u);
  EXPECT_EQ(manager.add_handle("B"), 3u);
  EXPECT_FALSE(manager.is_open("A")) << "until set_state says so";

  manager.set_state("A", 7, true);
  EXPECT_TRUE(manager.is_open("A"));
  EXPECT_EQ(manager.device_key_of(1), 7u);
  EXPECT_EQ(manager.device_key_of(2), 7u);
  EXPECT_EQ(manager.device_key_of(3), 0u);
  EXPECT_EQ(manager.device_key_of(0), 0u);
  EXPECT_EQ(manager.device_key_of(4), 0u);

  const auto entry = manager.entry("A");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->name, "A");
  EXPECT_EQ(entry->handles, (std::vector<uint32_t>{1, 2}));
  EXPECT_FALSE(manager.entry("C").has_value());
}

TEST(DeviceHandleManagerTest, RemovingHandlesLeavesEntriesToClose) {
  DeviceHandleManager manager;
  manager.add_handle("A");  // 1
  manager.add_handle("A");  // 2
  manager.add_handle("B");  // 3
  EXPECT_TRUE(manager.entries_without_handles().empty());

  EXPECT_TRUE(manager.remove_handle(1));
  EXPECT_FALSE(manager.remove_handle(1)) << "already removed";
  EXPECT_FALSE(manager.remove_handle(0));
  EXPECT_FALSE(manager.remove_handle(99));
  EXPECT_TRUE(manager.entries_without_handles().empty());

  EXPECT_TRUE(manager.remove_handle(2));
  EXPECT_TRUE(manager.remove_handle(3));
  // Closed entries stay and are listed on every later call.
  EXPECT_EQ(names_of(manager.entries_without_handles()),
            (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(manager.add_handle("A"), 4u) << "handles are never reused";
  EXPECT_EQ(names_of(manager.entries_without_handles()),
            (std::vector<std::string>{"B"}));
}

TEST(DeviceHandleManagerTest, SetStateNeverCreatesAnEntry) {
  DeviceHandleManager manager;
  manager.set_state("A", 5, true);
  EXPECT_FALSE(manager.is_open("A"));
  EXPECT_FALSE(manager.entry("A").has_value());
  EXPECT_TRUE(manager.entries_without_handles().empty());
}

TEST(DeviceHandleManagerTest, NamesAreOrderedByUnsignedBytes) {
  DeviceHandleManager manager;
  for (const std::string& name : std::vector<std::string>{
           "b", "a", "B", "ab", "", "\xff", std::string("a\0b", 3)}) {
    manager.remove_handle(manager.add_handle(name));
  }
  EXPECT_EQ(names_of(manager.entries_without_handles()),
            (std::vector<std::string>{"", "B", "a", std::string("a\0b", 3),
                                      "ab", "b", "\xff"}));
  manager.set_state("a", 1, true);
  EXPECT_TRUE(manager.is_open("a"));
  EXPECT_FALSE(manager.is_open("A")) << "case-sensitive";
}

TEST(DeviceHandleManagerTest, ForgottenHandlesBecomeUnknown) {
  DeviceHandleManager manager;
  const uint32_t first = manager.add_handle("A");
  manager.set_state("A", 3, true);
  manager.forget_handles("A");
  EXPECT_EQ(manager.device_key_of(first), 0u);
  EXPECT_FALSE(manager.remove_handle(first));
  const uint32_t second = manager.add_handle("A");
  manager.set_state("A", 9, true);
  EXPECT_EQ(manager.device_key_of(second), 9u);
  EXPECT_EQ(manager.device_key_of(first), 0u);
}

TEST(DeviceHandleManagerTest, TheCountWrapsPastZeroAndLiveHandles) {
  DeviceHandleManager manager(0xFFFFFFFDu);
  const uint32_t before_wrap = manager.add_handle("A");
  EXPECT_EQ(before_wrap, 0xFFFFFFFEu);
  EXPECT_EQ(manager.add_handle("A"), 0xFFFFFFFFu);
  // 0 is skipped; after the wrap a number still held is skipped too.
  DeviceHandleManager wrapped(0xFFFFFFFFu);
  EXPECT_EQ(wrapped.add_handle("A"), 1u);
  EXPECT_EQ(wrapped.add_handle("B"), 2u);
  // Another full cycle later, numbers still held are passed over.
  wrapped.remove_handle(1);
  wrapped.restart_count(0);
  EXPECT_EQ(wrapped.add_handle("C"), 1u);
  EXPECT_EQ(wrapped.add_handle("C"), 3u) << "2 is still held";
}

TEST(DeviceHandleManagerTest, ConcurrentOpensClosesAndLookupsStayConsistent) {
  DeviceHandleManager manager;
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::atomic<bool> failed{false};
  std::vector<std::vector<uint32_t>> issued(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Two threads share each name, as two opens of one interface would.
      const std::string name = "Bus " + std::to_string(t % 2);
      const uint32_t key = 100 + t % 2;
      for (int round = 0; round < kRounds; ++round) {
        uint32_t handle = 0;
        {
          // Open as the export does it: check and update in one step.
          const auto held = manager.lock();
          handle = manager.add_handle(name);
          manager.set_state(name, key, true);
        }
        issued[t].push_back(handle);
        if (manager.device_key_of(handle) != key) failed = true;
        {
          const auto held = manager.lock();
          if (!manager.remove_handle(handle)) failed = true;
          for (const auto& entry : manager.entries_without_handles()) {
            manager.set_state(entry.name, 0, false);
          }
        }
        if (manager.device_key_of(handle) != 0) failed = true;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed.load());

  std::set<uint32_t> all;
  for (const auto& mine : issued) {
    all.insert(mine.begin(), mine.end());
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kRounds));
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), static_cast<uint32_t>(kThreads * kRounds));
  EXPECT_FALSE(manager.is_open("Bus 0"));
  EXPECT_FALSE(manager.is_open("Bus 1"));
}

}  // namespace
}  // namespace kovra62386
