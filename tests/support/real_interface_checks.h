// The checks every real interface's end-to-end test makes through the
// library, whatever the family: a query written and left unread survives
// the interface going away (its records, then DeviceClosed), and the
// interface comes back under its name and answers. Call them inside
// ASSERT_NO_FATAL_FAILURE.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "client/transport/arrival_signal.h"
#include "kovra62386/kovra62386.h"
#include "support/library_calls.h"

namespace kovra62386::test {

// Writes `query` and waits, bounded, until its confirmation, echo and
// answer have arrived, left unread.
inline void write_and_wait(uint32_t handle, const WriteFrameRecord& query) {
  using namespace std::chrono_literals;
  ArrivalSignal& arrivals = ArrivalSignal::global();
  const uint64_t before = arrivals.generation();
  ASSERT_EQ(KOVRA62386_write(handle, &query), 2);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (uint64_t seen = arrivals.generation();
       seen - before < 3 && std::chrono::steady_clock::now() < deadline;
       seen = arrivals.generation()) {
    arrivals.wait_for_change(seen, 100ms);
  }
}

// After the interface `name` went away: the query's records (its transmit
// report, its own echo, `answer`), then the handle is closed and the
// interface no longer listed.
inline void expect_query_then_closed(uint32_t handle, const std::string& name,
                                     uint8_t answer) {
  ReadFrameRecord record{};
  ASSERT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.frame_type, KOVRA62386_FRAME_TRANSMIT_REPORT);
  ASSERT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  EXPECT_EQ(record.bus_event.header_flag, 1);
  ASSERT_EQ(read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_BACKWARD);
  EXPECT_EQ(record.bus_event.data[0], answer);
  EXPECT_EQ(read_next(handle, record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_FALSE(listed(name));
}

// The interface `name` listed again, and `query` sent through a
// transceiver answered with `answer`.
inline void expect_back_and_answering(const std::string& name,
                                      const WriteFrameRecord& query,
                                      uint8_t answer) {
  ASSERT_TRUE(listed_soon(name));
  const uint32_t handle = KOVRA62386_open(name.c_str());
  ASSERT_NE(handle, 0u);
  ASSERT_EQ(
      KOVRA62386_start_transceiver(
          handle, [](uint32_t, const TransceiverEvent*, void*) {}, nullptr),
      1);
  const SendResult answered = KOVRA62386_send(handle, &query);
  EXPECT_EQ(answered.status, KOVRA62386_SEND_ANSWER);
  EXPECT_EQ(answered.answer, answer);
  KOVRA62386_stop_transceiver(handle);
}

}  // namespace kovra62386::test
