// The C++ wrapper (include/kovra62386/kovra62386.hpp) as an application
// uses it: over the shared library alone, against the server program that
// the library starts beside this program. What read() answers for a frame,
// an empty queue and a terminated session; the interface list.
//
// Its own program, not one of the server tests: those link the library's
// internals, and the wrapper's classes share their namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kovra62386/kovra62386.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kWait{5000};
constexpr std::uint8_t kQueryActualLevel = 0xA0;

// Leaves a pattern on the stack below the caller, where the next call's
// locals lie.
[[gnu::noinline]] void dirty_the_stack() {
  volatile unsigned char junk[4096];
  for (auto& byte : junk) byte = 0xA5;
}

// Interface::read on a dirty stack: a record the wrapper did not
// initialise would carry the pattern.
[[gnu::noinline]] std::optional<ReadFrameRecord> read_on_a_dirty_stack(
    const kovra62386::Interface& bus) {
  return bus.read();
}

std::optional<ReadFrameRecord> read_dirty(const kovra62386::Interface& bus) {
  dirty_the_stack();
  return read_on_a_dirty_stack(bus);
}

TEST(CppWrapper, ReadGivesAFrameNothingWhenEmptyAndThrowsOnceClosed) {
  std::optional<kovra62386::Session> session;
  session.emplace();
  ASSERT_FALSE(session->interfaces().empty());  // open takes listed names
  kovra62386::Interface bus = session->open("SIM-1");

  EXPECT_EQ(read_dirty(bus), std::nullopt) << "nothing queued is no error";

  // The bus reports the frame (its echo), the confirmation and an answer.
  bus.write(kovra62386::command(kovra62386::Address::short_address(0),
                                kQueryActualLevel));
  std::optional<ReadFrameRecord> frame;
  for (const auto deadline = Clock::now() + kWait;
       !frame && Clock::now() < deadline;) {
    frame = read_dirty(bus);
    if (!frame) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(frame);
  EXPECT_NE(frame->frame_type, 0);
  // The library never writes bytes 2-3 of a record: they are the
  // wrapper's, and zero.
  EXPECT_EQ(frame->reserved0[0], 0);
  EXPECT_EQ(frame->reserved0[1], 0);

  session.reset();  // KOVRA62386_terminate: the handle is dead from here
  // The frames received before come out, then Closed.
  bool closed = false;
  for (int frames = 0; !closed && frames < 100; ++frames) {
    try {
      (void)bus.read();
    } catch (const kovra62386::Closed&) {
      closed = true;
    }
  }
  EXPECT_TRUE(closed);
  EXPECT_THROW(bus.read(), kovra62386::Closed) << "and Closed it stays";
  EXPECT_THROW(kovra62386::Interface().read(), kovra62386::Closed)
      << "a handle that was never open";
}

TEST(CppWrapper, InterfacesListsTheServersNamesAndFreesTheList) {
  kovra62386::Session session;
  EXPECT_EQ(session.interfaces(), (std::vector<std::string>{"SIM-1", "SIM-2"}));
  // The same list, held by the wrapper's owner type.
  const kovra62386::EnumerationList list(KOVRA62386_enumerate());
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list->name, "SIM-1");
  EXPECT_EQ(kovra62386::EnumerationList(nullptr), nullptr)
      << "an empty list frees nothing";
}

}  // namespace
