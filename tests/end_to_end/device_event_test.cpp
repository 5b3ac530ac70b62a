// Events of simulated control devices through the exported functions, with
// real bus timing: they reach the callback as other senders' frames and
// leave a send that waits behind them untouched.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "protocol/message.h"
#include "server/dali_bus_model.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

using std::chrono::milliseconds;

class Events {
 public:
  static void callback(uint32_t, const TransceiverEvent* event, void* self) {
    auto* events = static_cast<Events*>(self);
    std::lock_guard<std::mutex> lock(events->mutex_);
    events->log_.push_back(*event);
  }
  std::vector<TransceiverEvent> log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  std::mutex mutex_;
  std::vector<TransceiverEvent> log_;
};

TEST(DeviceEventTest, EventsWhileASendWaitsLeaveItsAnswerAlone) {
  sim::ServerOptions options;
  options.publish = true;
  options.real_timing = true;
  sim::ServerCore server(options);
  ASSERT_TRUE(server.start());
  ASSERT_EQ(KOVRA62386_initialize(), 0);
  ASSERT_EQ(test::enumerate_names().size(), 2u);
  const uint32_t handle = KOVRA62386_open("SIM-1");
  ASSERT_NE(handle, 0u);
  Events events;
  ASSERT_EQ(KOVRA62386_start_transceiver(handle, &Events::callback, &events),
            1);
  // Frames reach a client once the server has its OpenRequest.
  ASSERT_TRUE(server.wait_until(
      [](const sim::ServerObservation& o) {
        return test::count_of(o, MessageType::OpenRequest) > 0;
      },
      milliseconds(5000)));

  // A light sensor reports six changes at once (priority 4): they hold
  // the bus for about 200 ms. A query at priority 5 waits behind them all;
  // one at priority 1 goes before them, or at the latest after the one
  // already on the bus.
  constexpr int kEvents = 6;
  unsigned level = 0;
  auto events_before_answer = [&](uint8_t priority) {
    EXPECT_TRUE(server.with_bus_model(0, [&](sim::BusModel& model) {
      auto& bus = dynamic_cast<sim::DaliBusModel&>(model).bus();
      for (int i = 0; i < kEvents; ++i) {
        level += 100;
        bus.act_on_device({13, 0}, [&](dali::ControlDevice& d) {
          return d.set_illuminance(0, level, dali::Clock::now());
        });
      }
    }));
    const std::size_t seen = events.log().size();
    WriteFrameRecord query =
        test::forward_frame(0x0B, dali::gear::kQueryActualLevel);  // short 5
    query.sub_type = priority;
    const SendResult result = KOVRA62386_send(handle, &query);
    EXPECT_EQ(result.status, KOVRA62386_SEND_ANSWER);
    EXPECT_EQ(result.answer, 200);
    // Events come as another sender's 24-bit frames; count those before
    // the query's own echo.
    const std::vector<TransceiverEvent> log = events.log();
    int before_own_echo = 0;
    for (std::size_t i = seen; i < log.size(); ++i) {
      const BusEvent& bus = log[i].payload.record.bus_event;
      if (log[i].code != KOVRA62386_EVENT_FORWARD_FRAME) continue;
      if (bus.header_flag != 0) break;
      EXPECT_EQ(bus.bit_count, 24);
      ++before_own_echo;
    }
    return before_own_echo;
  };
  EXPECT_EQ(events_before_answer(KOVRA62386_PRIORITY_LOWEST), kEvents);
  EXPECT_LE(events_before_answer(KOVRA62386_PRIORITY_HIGHEST), 1);

  KOVRA62386_stop_transceiver(handle);
  KOVRA62386_close(handle);
  KOVRA62386_terminate();
  server.stop();
}

}  // namespace
}  // namespace kovra62386
