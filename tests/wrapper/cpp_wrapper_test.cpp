// The C++ wrapper (include/kovra62386/kovra62386.hpp) as an application
// uses it: over the shared library alone, against the server program that
// the library starts beside this program. The records its builders lay out;
// what read() answers for a frame, an empty queue and a terminated session;
// the interface list; send outcomes as the simulated bus gives them; what a
// transceiver hears; moves that hand a handle over and release it once.
//
// Its own program, not one of the server tests: those link the library's
// internals, and the wrapper's classes share their namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kovra62386/kovra62386.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kovra62386::Address;
using kovra62386::SendStatus;
constexpr std::chrono::milliseconds kWait{5000};
using kovra62386::device::op::kQueryDeviceStatus;
using kovra62386::gear::kQueryActualLevel;
// IEC 62386-103: the instance byte that addresses the device itself.
constexpr std::uint8_t kInstanceDevice = 0xFE;

// The simulated installation of SIM-1: a push-button device at short
// address 7, gear 1 (level 128) and 9 (level 85) both in group 0, nobody
// at 63.
constexpr unsigned kButtonDevice = 7;
constexpr unsigned kSharedGroup = 0;
constexpr unsigned kNobody = 63;

std::uint8_t device_address_byte(unsigned address) {
  return static_cast<std::uint8_t>(address << 1 | 1u);
}

SendResult send_result(std::int32_t status, std::uint8_t answer) {
  SendResult result{};
  result.status = status;
  result.answer = answer;
  return result;
}

// KOVRA62386_read's answer for a handle, without taking a frame off it
// when none is queued.
std::int32_t read_result(std::uint32_t handle) {
  ReadFrameRecord record{};
  return KOVRA62386_read(handle, &record);
}

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
  bus.write(kovra62386::command(Address::short_address(0), kQueryActualLevel));
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

TEST(CppWrapper, BuildersLayOutTheBytesLengthPriorityAndRequest) {
  const WriteFrameRecord five = kovra62386::raw_frame({1, 2, 3, 4, 5}, true);
  EXPECT_EQ(five.frame.bit_count, 40) << "8 bits a byte";
  EXPECT_EQ(five.frame.data[4], 5) << "first byte first";
  EXPECT_EQ(five.frame.send_twice, 1);
  EXPECT_THROW(kovra62386::raw_frame({}), std::length_error);
  EXPECT_THROW(kovra62386::raw_frame({1, 2, 3, 4, 5, 6}), std::length_error);

  const WriteFrameRecord device = kovra62386::device_frame(
      device_address_byte(kButtonDevice), kInstanceDevice, kQueryDeviceStatus);
  EXPECT_EQ(device.frame.bit_count, 24);
  EXPECT_EQ(device.frame.data[1], kInstanceDevice) << "the instance second";

  const WriteFrameRecord level = kovra62386::arc_power(Address::group(3), 100);
  EXPECT_EQ(level.frame.data[0], 0x86) << "a level: selector bit clear";
  const WriteFrameRecord late =
      kovra62386::with_priority(level, kovra62386::Priority::p5);
  EXPECT_EQ(late.sub_type, KOVRA62386_PRIORITY_LOWEST);
  EXPECT_EQ(std::memcmp(&late.frame, &level.frame, sizeof late.frame), 0)
      << "the priority changes nothing else";

  const WriteFrameRecord request = kovra62386::bus_state_request();
  EXPECT_EQ(request.frame_type, KOVRA62386_FRAME_INTERFACE_REQUEST);
  EXPECT_EQ(request.sub_type, KOVRA62386_REQUEST_BUS_STATE);
}

TEST(CppWrapper, SendOutcomeKeepsTheAnswerOnlyWithAnAnswer) {
  const auto answered =
      kovra62386::SendOutcome::from(send_result(KOVRA62386_SEND_ANSWER, 0x42));
  EXPECT_EQ(answered.answer_byte(), 0x42);
  const auto silent = kovra62386::SendOutcome::from(
      send_result(KOVRA62386_SEND_NO_ANSWER, 0x42));
  EXPECT_EQ(silent.status, SendStatus::no_answer);
  EXPECT_EQ(silent.answer, 0) << "a stray byte is no answer";
  EXPECT_EQ(kovra62386::SendOutcome::from(send_result(9, 0)).status,
            SendStatus::no_result)
      << "a status the header does not list";
}

TEST(CppWrapper, SendGivesWhatTheBusDid) {
  kovra62386::Session session;
  ASSERT_FALSE(session.interfaces().empty());
  const kovra62386::Interface bus = session.open("SIM-1");
  const auto query = [&](Address address) {
    return bus.send(kovra62386::command(address, kQueryActualLevel));
  };
  const kovra62386::SendOutcome alone = query(Address::short_address(0));
  EXPECT_EQ(alone.status, SendStatus::no_transceiver);
  EXPECT_FALSE(alone.transmitted());

  const kovra62386::Transceiver transceiver(bus, {});
  EXPECT_EQ(query(Address::short_address(kNobody)).status,
            SendStatus::no_answer);
  const kovra62386::SendOutcome collided = query(Address::group(kSharedGroup));
  EXPECT_EQ(collided.status, SendStatus::framing_error)
      << "two gear answer 128 and 85 at once";
  EXPECT_TRUE(collided.transmitted()) << "a collision is on the bus too";
  // A 24-bit frame reaches the control device, which answers.
  EXPECT_EQ(
      bus.send(kovra62386::device_frame(device_address_byte(kButtonDevice),
                                        kInstanceDevice, kQueryDeviceStatus))
          .status,
      SendStatus::answer);
}

TEST(CppWrapper, TransceiverHearsTheBusStateAndTheEndOfTheSession) {
  std::optional<kovra62386::Session> session;
  session.emplace();
  ASSERT_FALSE(session->interfaces().empty());
  const kovra62386::Interface bus = session->open("SIM-1");
  const kovra62386::Transceiver transceiver(bus, {});
  EXPECT_EQ(transceiver.query_bus_state(kWait), kovra62386::BusState::ok);
  EXPECT_FALSE(transceiver.closed());

  session.reset();
  EXPECT_TRUE(transceiver.wait_closed(kWait));
  const auto asked = Clock::now();
  EXPECT_EQ(transceiver.query_bus_state(kWait), std::nullopt);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                  asked)
                .count(),
            kWait.count())
      << "a closed handle is not waited on";
}

TEST(CppWrapper, MovesHandOverHandlesAndReleaseEachOnce) {
  // A moved-from session does not terminate the connection.
  std::optional<kovra62386::Session> first;
  first.emplace();
  const kovra62386::Session session(std::move(*first));
  first.reset();
  ASSERT_FALSE(session.interfaces().empty());

  kovra62386::Interface kept = session.open("SIM-1");
  kovra62386::Interface given = session.open("SIM-1");
  const std::uint32_t replaced = kept.handle();
  const std::uint32_t moved = given.handle();
  kept = std::move(given);
  EXPECT_EQ(read_result(replaced), KOVRA62386_READ_NOT_OPEN)
      << "assignment closes the handle it replaces";
  EXPECT_EQ(kept.handle(), moved);
  EXPECT_NE(read_result(moved), KOVRA62386_READ_NOT_OPEN);
  EXPECT_FALSE(given);
  EXPECT_THROW(given.send(kovra62386::bus_state_request()), kovra62386::Closed);
  {
    const kovra62386::Interface last(std::move(kept));
    EXPECT_EQ(last.handle(), moved);
  }
  EXPECT_EQ(read_result(moved), KOVRA62386_READ_NOT_OPEN)
      << "the last owner closes it";

  const kovra62386::Interface one = session.open("SIM-1");
  const kovra62386::Interface two = session.open("SIM-2");
  const auto probe = [](const kovra62386::Interface& bus) {
    return bus
        .send(kovra62386::command(Address::short_address(kNobody),
                                  kQueryActualLevel))
        .status;
  };
  kovra62386::Transceiver on_one(one, {});
  kovra62386::Transceiver moved_to(std::move(on_one));
  on_one.stop();
  EXPECT_EQ(probe(one), SendStatus::no_answer)
      << "stopping a moved-from transceiver stops nothing";
  moved_to = kovra62386::Transceiver(two, {});
  EXPECT_EQ(probe(one), SendStatus::no_transceiver)
      << "assignment stops the worker it replaces";
  EXPECT_EQ(probe(two), SendStatus::no_answer);
}

}  // namespace
