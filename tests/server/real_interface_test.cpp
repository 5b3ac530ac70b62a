// RealInterface over a scripted driver: the records a simulated bus sends,
// the shared queues, a driver's timeout as an error, and the device going
// away and coming back.
#include "server/real_interface.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <string>
#include <vector>

namespace kovra62386::sim {
namespace {

using namespace std::chrono_literals;
using drivers::DriverEvent;
using drivers::DriverEventKind;

class FakeDriver final : public drivers::BusDriver {
 public:
  explicit FakeDriver(Handler& to) : handler(to) {}
  bool open(const std::string& where, std::string& error) override {
    opened = present;
    if (!present) error = where + ": No such file or directory";
    return opened;
  }
  bool is_open() const override { return opened; }
  void close() override { opened = false; }
  bool can_transmit() const override { return opened && ready; }
  void transmit(const drivers::TransmitRequest& request) override {
    sent.push_back(request);
  }
  std::string firmware_version() const override { return {}; }
  bool bus_powered() const override { return true; }

  void say(DriverEventKind kind, drivers::Completion completion = {},
           uint8_t answer = 0) {
    DriverEvent event;
    event.kind = kind;
    event.completion = completion;
    event.answer = answer;
    handler.on_event(event);
  }

  Handler& handler;
  bool present = true;
  bool opened = false;
  bool ready = true;
  std::vector<drivers::TransmitRequest> sent;
};

// Every record as "client:what" (client 0: the listeners but `except`).
class Sink final : public BusSink {
 public:
  void to_client(uint32_t client, uint8_t, const ReadFrameRecord& r) override {
    log.push_back(std::to_string(client) + ":" + what(r));
  }
  void to_listeners(uint8_t, const ReadFrameRecord& r, uint32_t) override {
    log.push_back("all:" + what(r));
  }
  void device_closed(uint8_t) override { log.push_back("closed"); }
  static std::string what(const ReadFrameRecord& r) {
    if (r.frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT) {
      return "confirm" + std::to_string(r.transmit_report.status);
    }
    switch (r.sub_type) {
      case KOVRA62386_BUS_EVENT_FORWARD:
        return r.bus_event.header_flag ? "own-echo" : "echo";
      case KOVRA62386_BUS_EVENT_BACKWARD:
        return "answer" + std::to_string(r.bus_event.data[0]);
      case KOVRA62386_BUS_EVENT_NO_ANSWER:
        return "no-answer";
      case KOVRA62386_BUS_EVENT_FRAMING_ERROR:
        return "framing-error";
      default:
        return "state";
    }
  }
  std::vector<std::string> log;
};

class RealInterfaceTest : public ::testing::Test {
 protected:
  RealInterfaceTest() { bus.start(); }

  WriteFrameRecord query(uint8_t low, uint8_t priority = 0) {
    WriteFrameRecord r{};
    r.frame_type = KOVRA62386_FRAME_TRANSMIT;
    r.sub_type = priority;
    r.frame.bit_count = 16;
    r.frame.data[0] = 0x03;
    r.frame.data[1] = low;
    return r;
  }
  // Answers the frame with the driver: confirmed, echo, `completion`, over.
  void complete(drivers::Completion completion, uint8_t answer = 0) {
    driver->say(DriverEventKind::Confirmed);
    driver->say(DriverEventKind::Echo);
    driver->say(DriverEventKind::Completion, completion, answer);
    driver->say(DriverEventKind::Over);
  }
  bool run_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      io.run_one_for(10ms);
    }
    return done();
  }

  boost::asio::io_context io;
  Sink sink;
  FakeDriver* driver = nullptr;
  RealInterface bus{io,
                    3,
                    "LAB",
                    "/dev/ttyLAB",
                    [this](drivers::BusDriver::Handler& h) {
                      auto made = std::make_unique<FakeDriver>(h);
                      driver = made.get();
                      return made;
                    },
                    sink,
                    1,
                    1ms};
};

TEST_F(RealInterfaceTest, RecordsAndSharingAsOnASimulatedBus) {
  bus.transmit(1, query(0xA0, 4));
  bus.transmit(1, query(0xA1));
  bus.transmit(2, query(0xA2));
  ASSERT_EQ(driver->sent.size(), 1u);  // one transaction at a time
  EXPECT_EQ(driver->sent[0].priority, 4u);
  complete(drivers::Completion::Answer, 0xC4);
  EXPECT_EQ(sink.log,
            (std::vector<std::string>{"1:confirm0", "1:own-echo", "all:echo",
                                      "1:answer196", "all:answer196"}));
  // Client 2's turn before client 1's second frame.
  ASSERT_EQ(driver->sent.size(), 2u);
  EXPECT_EQ(driver->sent[1].frame.data[1], 0xA2);
  EXPECT_EQ(driver->sent[1].priority, 1u);  // the interface's default
  sink.log.clear();
  complete(drivers::Completion::NoAnswer);
  EXPECT_EQ(sink.log.back(), "2:no-answer");  // the sender's only
  EXPECT_EQ(driver->sent.back().frame.data[1], 0xA1);

  // A full queue refuses as busy.
  for (std::size_t i = 0; i < BusInterface::kMaxQueuedFrames; ++i) {
    bus.transmit(2, query(0xA3));
  }
  sink.log.clear();
  bus.transmit(2, query(0xA4));
  EXPECT_EQ(sink.log, std::vector<std::string>{"2:confirm1"});
}

// A driver's timeout is an error the sender sees, never "no answer"; the
// next frame waits for the driver's Ready.
TEST_F(RealInterfaceTest, TimeoutIsAnErrorAndReadyResumes) {
  bus.transmit(1, query(0xA0));
  bus.transmit(1, query(0xA1));
  driver->say(DriverEventKind::Confirmed);
  driver->say(DriverEventKind::Timeout);
  driver->ready = false;  // its quiet time
  driver->say(DriverEventKind::Over);
  EXPECT_EQ(sink.log,
            (std::vector<std::string>{"1:confirm0", "1:framing-error"}));
  EXPECT_EQ(driver->sent.size(), 1u);
  driver->ready = true;
  driver->say(DriverEventKind::Ready);
  ASSERT_EQ(driver->sent.size(), 2u);
  // Unconfirmed: the frame was refused.
  sink.log.clear();
  driver->say(DriverEventKind::Timeout);
  EXPECT_EQ(sink.log, std::vector<std::string>{"1:confirm3"});
}

TEST_F(RealInterfaceTest, UnplugClosesAfterTheRecordsAndReplugReturns) {
  bus.transmit(1, query(0xA0));
  bus.transmit(1, query(0xA1));
  driver->say(DriverEventKind::Confirmed);
  driver->present = false;
  driver->opened = false;
  driver->handler.on_link_lost("end of file");
  EXPECT_EQ(sink.log, (std::vector<std::string>{"1:confirm0", "closed"}));
  EXPECT_FALSE(bus.available());
  EXPECT_EQ(bus.queued(1), 0u);
  EXPECT_EQ(bus.last_error(), "/dev/ttyLAB: end of file");
  const unsigned before = bus.open_attempts();
  ASSERT_TRUE(run_until([&] { return bus.open_attempts() >= before + 2; }));
  EXPECT_FALSE(bus.available());
  EXPECT_EQ(bus.last_error(), "/dev/ttyLAB: No such file or directory");

  driver->present = true;
  ASSERT_TRUE(run_until([&] { return bus.available(); }));
  EXPECT_EQ(bus.index(), 3);
  EXPECT_EQ(bus.name(), "LAB");
  bus.transmit(2, query(0xA2));
  EXPECT_EQ(driver->sent.back().frame.data[1], 0xA2);
}

// The back-off of a missing device is the one named.
TEST(RealInterfaceReopen, WaitsTheIntervalBetweenAttempts) {
  boost::asio::io_context io;
  Sink sink;
  RealInterface bus(
      io, 0, "LAB", "/dev/ttyLAB",
      [](drivers::BusDriver::Handler& h) {
        auto made = std::make_unique<FakeDriver>(h);
        made->present = false;
        return made;
      },
      sink, 1);
  const auto before = std::chrono::steady_clock::now();
  bus.start();
  EXPECT_EQ(bus.open_attempts(), 1u);
  EXPECT_GE(bus.reopen_at() - before, RealInterface::kReopenInterval);
  EXPECT_EQ(io.poll(), 0u);  // nothing runs until then
}

}  // namespace
}  // namespace kovra62386::sim
