// A real interface end to end: the server drives a SevenLab interface
// whose firmware this test plays on a pty, and an application uses it
// through the library as any bus: a query is answered, unplugging gives
// DeviceClosed after the frames before, and replugging lists it again
// under its name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "client/transport/arrival_signal.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/server_observation.h"

namespace kovra62386 {
namespace {

namespace gear = dali::gear;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The unit's firmware on the master side of a pty, reachable under `link`
// (a symlink, so that a replugged unit has the same path): answers `?`
// with its version and every `Q` with its loopback, then 0xC4 to QUERY
// ACTUAL LEVEL and no answer to anything else.
class FakeUnit {
 public:
  explicit FakeUnit(const std::filesystem::path& link) {
    char name[128] = {};
    int slave = -1;
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    ::close(slave);
    std::error_code ignored;
    std::filesystem::remove(link, ignored);
    std::filesystem::create_symlink(name, link);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeUnit() { unplug(); }
  // Whether the server opened the unit (it asks for the version first).
  bool wait_until_opened(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return asked_changed_.wait_for(lock, timeout, [this] { return asked_; });
  }
  void unplug() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  void run() {
    std::string line;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      // No slave open yet reads as a hang-up; poll again shortly.
      if (::poll(&p, 1, 20) != 1) continue;
      char bytes[64];
      const ssize_t n = ::read(master_, bytes, sizeof bytes);
      if (n <= 0) continue;
      for (ssize_t i = 0; i < n; ++i) {
        if (bytes[i] == '?') {
          say("Version 1.0\r\n");
          {
            std::lock_guard<std::mutex> lock(mutex_);
            asked_ = true;
          }
          asked_changed_.notify_all();
          continue;
        }
        if (bytes[i] == 'Q') line.clear();  // a command letter starts anew
        if (bytes[i] != '\r') {
          line.push_back(bytes[i]);
          continue;
        }
        // "Q1 10 03A0": loopback, then the answer or none.
        if (line.size() == 10 && line[0] == 'Q') {
          const std::string data = line.substr(6);
          say("{00000010>10 0000" + data + "}\r\n");
          say(data == "03A0" ? "{00000020:08 000000c4}\r\n"
                             : "{00000020:81 00000000}\r\n");
        }
        line.clear();
      }
    }
  }
  void say(const std::string& text) {
    (void)!::write(master_, text.data(), text.size());
  }

  int master_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable asked_changed_;
  bool asked_ = false;
  std::thread thread_;
};

void ignore_events(uint32_t, const TransceiverEvent*, void*) {}

bool listed(const std::string& name) {
  const auto names = test::enumerate_names();
  return std::find(names.begin(), names.end(), name) != names.end();
}

class RealInterfaceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    link_ = std::filesystem::temp_directory_path() /
            ("kovra62386-lab-" + std::to_string(::getpid()));
    unit_ = std::make_unique<FakeUnit>(link_);
    sim::ServerOptions options;
    options.interfaces = {"SIM-1"};
    options.real_interfaces = {{"LAB", "sevenlab", link_.string()}};
    server_ = test::start_published_server(options);
    ASSERT_TRUE(server_) << "port 42000 is taken";
    ASSERT_EQ(KOVRA62386_initialize(), 0);
  }
  void TearDown() override {
    KOVRA62386_terminate();
    if (server_) server_->stop();
    unit_.reset();
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
  }
  std::filesystem::path link_;
  std::unique_ptr<FakeUnit> unit_;
  std::unique_ptr<sim::ServerCore> server_;
};

TEST_F(RealInterfaceEndToEnd, AnsweredUnpluggedAndBackUnderItsName) {
  EXPECT_EQ(test::enumerate_names(),
            (std::vector<std::string>{"SIM-1", "LAB"}));
  // A query written and left unread: its confirmation, echo and answer.
  const uint32_t handle = KOVRA62386_open("LAB");
  ASSERT_NE(handle, 0u);
  ArrivalSignal& arrivals = ArrivalSignal::global();
  const uint64_t before = arrivals.generation();
  const WriteFrameRecord frame = forward_frame(0x03, gear::kQueryActualLevel);
  ASSERT_EQ(KOVRA62386_write(handle, &frame), 2);
  const auto deadline = Clock::now() + 5s;
  for (uint64_t seen = arrivals.generation();
       seen - before < 3 && Clock::now() < deadline;
       seen = arrivals.generation()) {
    arrivals.wait_for_change(seen, 100ms);
  }

  // Unplugged: the frames that came before, then the notice.
  unit_->unplug();
  ReadFrameRecord record{};
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.frame_type, KOVRA62386_FRAME_TRANSMIT_REPORT);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FORWARD);
  ASSERT_EQ(test::read_next(handle, record), KOVRA62386_READ_FRAME);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_BACKWARD);
  EXPECT_EQ(record.bus_event.data[0], 0xC4);
  EXPECT_EQ(test::read_next(handle, record), KOVRA62386_READ_NOT_OPEN);
  EXPECT_FALSE(listed("LAB"));

  // Replugged: the server finds it again within its back-off, and a send
  // through a transceiver is answered.
  unit_ = std::make_unique<FakeUnit>(link_);
  ASSERT_TRUE(
      unit_->wait_until_opened(3 * sim::RealInterface::kReopenInterval));
  ASSERT_TRUE(listed("LAB"));
  const uint32_t again = KOVRA62386_open("LAB");
  ASSERT_NE(again, 0u);
  ASSERT_EQ(KOVRA62386_start_transceiver(again, ignore_events, nullptr), 1);
  const SendResult answered = KOVRA62386_send(again, &frame);
  EXPECT_EQ(answered.status, KOVRA62386_SEND_ANSWER);
  EXPECT_EQ(answered.answer, 0xC4);
  KOVRA62386_stop_transceiver(again);
}

}  // namespace
}  // namespace kovra62386
