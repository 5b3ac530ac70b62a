// The SevenLab link on a pty: the driver opens the slave like any tty and
// the test plays the unit's firmware on the master.
#if !defined(_WIN32)
#include "server/drivers/sevenlab_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "server/drivers/device_access.h"
#include "server/drivers/write_queue.h"
#include "support/link_harness.h"

namespace kovra62386::sim::drivers {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kWaitLimit = 5s;

class SevenLabLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    int slave = -1;
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
    path_ = name;
    std::string error;
    ASSERT_TRUE(link_.open(path_, error)) << error;
    ::close(slave);
  }
  void TearDown() override {
    link_.close();
    if (master_ >= 0) ::close(master_);
  }

  bool run_until(const std::function<bool()>& done) {
    return test::run_until(io_, done);
  }
  // The unit reads until `command` has come.
  bool unit_reads(const std::string& command) {
    const auto deadline = Clock::now() + kWaitLimit;
    while (read_.find(command) == std::string::npos &&
           Clock::now() < deadline) {
      io_.poll();
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 10) == 1) {
        char bytes[64];
        const ssize_t n = ::read(master_, bytes, sizeof bytes);
        if (n > 0) read_.append(bytes, static_cast<std::size_t>(n));
      }
    }
    return read_.find(command) != std::string::npos;
  }
  void unit_says(const std::string& text) {
    ASSERT_EQ(::write(master_, text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
  }
  bool has(DriverEventKind kind) const { return recorder_.has(kind); }

  boost::asio::io_context io_;
  test::Recorder recorder_;
  SevenLabLink link_{io_, recorder_};
  int master_ = -1;
  std::string path_;
  std::string read_;
};

TEST_F(SevenLabLinkTest, QueryAnsweredThenUnplugged) {
  ASSERT_TRUE(unit_reads("?"));
  unit_says("DALI USB interface - SevenLab 2024\r\nVersion 3.5.1 \r\n");
  ASSERT_TRUE(run_until([&] { return has(DriverEventKind::FirmwareVersion); }));

  TransmitRequest query;
  query.frame.bit_count = 16;
  query.frame.data[0] = 0x03;
  query.frame.data[1] = 0xA0;
  ASSERT_TRUE(link_.can_transmit());
  link_.transmit(query);
  ASSERT_TRUE(unit_reads("Q1 10 03A0\r"));
  unit_says("{0000001a>10 000003a0}\r\n{00000030:08 000000c4}\r\n");
  ASSERT_TRUE(run_until([&] { return has(DriverEventKind::Over); }));
  const auto& answer = recorder_.events[recorder_.events.size() - 2];
  EXPECT_EQ(answer.kind, DriverEventKind::Completion);
  EXPECT_EQ(answer.completion, Completion::Answer);
  EXPECT_EQ(answer.answer, 0xC4);
  EXPECT_EQ(link_.firmware_version(), "3.5.1");

  // Unplug: the master goes, the slave reads EIO.
  ::close(master_);
  master_ = -1;
  ASSERT_TRUE(run_until([&] { return !recorder_.lost.empty(); }));
  EXPECT_FALSE(link_.is_open());
  // Nothing is left polling the dead descriptor.
  EXPECT_EQ(io_.poll(), 0u);
}

// A unit that stops reading: every transaction times out behind a write
// that cannot go, and the writes waiting are bounded; past the bound the
// link counts as lost instead of holding ever more.
TEST_F(SevenLabLinkTest, UnitThatStopsReadingIsLostAfterBoundedWrites) {
  ASSERT_TRUE(unit_reads("?"));
  unit_says("DALI USB interface - SevenLab 2024\r\nVersion 3.5.1 \r\n");
  ASSERT_TRUE(run_until([&] { return has(DriverEventKind::FirmwareVersion); }));
  // Output suspended on the tty: the driver's writes get EAGAIN from now on.
  const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  ASSERT_EQ(::tcflow(slave, TCOOFF), 0);

  TransmitRequest frame;
  frame.frame.bit_count = 16;
  frame.frame.data[0] = 0xFF;
  unsigned sent = 0;
  while (recorder_.lost.empty() && sent <= 2 * WriteQueue<std::string>::kMost) {
    ASSERT_TRUE(run_until(
        [&] { return link_.can_transmit() || !recorder_.lost.empty(); }));
    if (!recorder_.lost.empty()) break;
    link_.transmit(frame);
    ++sent;
  }
  EXPECT_EQ(recorder_.lost,
            std::vector<std::string>{"the unit takes nothing more"});
  EXPECT_EQ(sent, WriteQueue<std::string>::kMost + 1);
  EXPECT_FALSE(link_.is_open());
  ::tcflow(slave, TCOON);
  ::close(slave);
}

TEST(SevenLabLinkOpen, FailuresNameTheNodeAndTheReason) {
  boost::asio::io_context io;
  test::Recorder recorder;
  SevenLabLink link(io, recorder);
  std::string error;
  EXPECT_FALSE(link.open("/dev/null", error));
  EXPECT_NE(error.find("/dev/null: not a usable tty"), std::string::npos)
      << error;
  EXPECT_FALSE(link.open("/nonexistent/ttyUSB9", error));
  EXPECT_NE(error.find("/nonexistent/ttyUSB9: No such file"), std::string::npos)
      << error;
}

// A refused node says who may open it and what to do about it.
TEST(SevenLabLinkOpen, PermissionDeniedNamesTheGroupToJoin) {
  EXPECT_EQ(permission_denied("/dev/ttyUSB0", 020660, "root", "dialout"),
            "/dev/ttyUSB0: permission denied (the node is root:dialout, mode "
            "0660; this user needs read and write access: add the user to "
            "group dialout, then log in again)");
  // A group without read and write access is no way in.
  EXPECT_EQ(permission_denied("/dev/hidraw3", 0600, "root", "root")
                .find("add the user"),
            std::string::npos);
}

}  // namespace
}  // namespace kovra62386::sim::drivers
#endif
