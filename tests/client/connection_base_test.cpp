// The connect-or-start sequence against a fake registry, launcher and clock.
#include "client/transport/connection_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <deque>
#include <span>
#include <stdexcept>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "support/fake_platform.h"

namespace kovra62386 {
namespace {

using platform::Hive;
using test::FakePlatform;

#if defined(_WIN32)
constexpr const char* kInstallDir = "C:\\Programs\\Kovra";
constexpr const char* kInstalledServer =
    "C:\\Programs\\Kovra\\Kovra62386Server.exe";
constexpr const char* kLocalServer = "C:\\App\\Kovra62386Server.exe";
constexpr const char* kApplication = "C:\\App\\application.exe";
#else
constexpr const char* kInstallDir = "/opt/kovra";
constexpr const char* kInstalledServer = "/opt/kovra/Kovra62386Server";
constexpr const char* kLocalServer = "/usr/local/app/Kovra62386Server";
constexpr const char* kApplication = "/usr/local/app/application";
#endif

// A connection whose connect answers from a script and logs itself into the
// platform's call log, so the order of connects, launches and registry
// calls can be checked.
class ScriptedConnection : public Kovra62386ConnectionBase {
 public:
  explicit ScriptedConnection(FakePlatform& fake)
      : Kovra62386ConnectionBase(fake), fake_(fake) {}

  bool connect() override {
    fake_.record("connect");
    if (throw_on_connect) {
      throw boost::system::system_error(
          make_error_code(boost::system::errc::address_family_not_supported),
          "resolve");
    }
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }

  bool receive(Message& out, int32_t timeout_ms) override {
    timeouts.push_back(timeout_ms);
    if (incoming.empty()) return false;
    out = incoming.front();
    incoming.pop_front();
    return true;
  }

  std::deque<bool> answers;
  bool throw_on_connect = false;
  std::deque<Message> incoming;
  std::vector<int32_t> timeouts;

 private:
  FakePlatform& fake_;
};

std::ptrdiff_t position(const std::vector<std::string>& calls,
                        const std::string& entry) {
  const auto it = std::find(calls.begin(), calls.end(), entry);
  return it == calls.end() ? -1 : it - calls.begin();
}

// Reads of "Host" between two log positions: the registry polls.
int host_reads(const std::vector<std::string>& calls, std::size_t from,
               std::size_t to) {
  int reads = 0;
  for (std::size_t i = from; i < to && i < calls.size(); ++i) {
    if (calls[i] == "read_text HKCU Host") ++reads;
  }
  return reads;
}

class ConnectOrStartTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Whatever the path, the start-up mutex was taken once and given back.
    const auto calls = fake_.calls();
    EXPECT_EQ(fake_.mutexes_held(), 0);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(),
              "mutex acquire Kovra62386CommunicationClientStartServerMutex "
              "30000");
    EXPECT_EQ(calls.back(), "mutex release");
    EXPECT_EQ(fake_.count("mutex release"), 1u);
  }

  void publish(const std::string& host, uint32_t port) {
    fake_.set_value(Hive::CurrentUser, "Host", host);
    fake_.set_value(Hive::CurrentUser, "Port", port);
  }

  FakePlatform fake_;
  ScriptedConnection connection_{fake_};
};

TEST_F(ConnectOrStartTest, PublishedAddressMeansOneConnectAndNoStart) {
  publish("127.0.0.1", 43001);
  connection_.answers = {true};

  EXPECT_TRUE(connection_.connect_or_start());

  EXPECT_EQ(fake_.count("connect"), 1u);
  for (const auto& call : fake_.calls()) {
    EXPECT_EQ(call.rfind("launch", 0), std::string::npos) << call;
    EXPECT_EQ(call.rfind("delete", 0), std::string::npos) << call;
  }
  EXPECT_EQ(connection_.host(), "127.0.0.1");
  EXPECT_EQ(connection_.port(), 43001);
}

TEST_F(ConnectOrStartTest,
       NoAddressStartsInstalledServerAndPollsUntilPublished) {
  fake_.set_value(Hive::LocalMachine, "InstallLocation", kInstallDir);
  fake_.add_program(
      kInstalledServer,
      {.publishes_on_read = 4, .host = "localhost", .port = 43002});
  connection_.answers = {true};

  EXPECT_TRUE(connection_.connect_or_start());

  const auto calls = fake_.calls();
  const auto launch =
      position(calls, std::string("launch ") + kInstalledServer);
  const auto delete_host = position(calls, "delete HKCU Host");
  const auto delete_port = position(calls, "delete HKCU Port");
  const auto connect = position(calls, "connect");
  ASSERT_GE(launch, 0);
  // Without a published address the first connect is skipped.
  EXPECT_EQ(fake_.count("connect"), 1u);
  // The values are cleared after the launch, then polled.
  EXPECT_GT(delete_host, launch);
  EXPECT_GT(delete_port, delete_host);
  EXPECT_EQ(host_reads(calls, delete_port, connect), 4);
  EXPECT_EQ(fake_.count("sleep 200"), 3u);
  EXPECT_EQ(fake_.now() - fake_.start_time(), std::chrono::milliseconds(600));
  EXPECT_GT(connect, delete_port);
  // The process directory is not looked at when the install location served.
  EXPECT_EQ(fake_.count("executable_path"), 0u);
  EXPECT_EQ(connection_.host(), "localhost");
  EXPECT_EQ(connection_.port(), 43002);
}

TEST_F(ConnectOrStartTest, StaleAddressIsClearedOnlyAfterTheLaunch) {
  // A server that died left its values: the connect fails, a start follows.
  publish("127.0.0.1", KOVRA62386_SERVER_PORT);
  fake_.set_value(Hive::LocalMachine, "InstallLocation", kInstallDir);
  fake_.add_program(kInstalledServer, {.publishes_on_read = 1});
  connection_.answers = {false, true};

  EXPECT_TRUE(connection_.connect_or_start());

  const auto calls = fake_.calls();
  const auto first_connect = position(calls, "connect");
  const auto launch =
      position(calls, std::string("launch ") + kInstalledServer);
  ASSERT_GE(first_connect, 0);
  EXPECT_GT(launch, first_connect);
  EXPECT_GT(position(calls, "delete HKCU Host"), launch);
  EXPECT_EQ(fake_.count("connect"), 2u);
  EXPECT_EQ(fake_.count("sleep 200"), 0u);
}

TEST_F(ConnectOrStartTest, ServerThatNeverPublishesIsGivenFiveSeconds) {
  fake_.set_value(Hive::LocalMachine, "InstallLocation", kInstallDir);
  fake_.add_program(kInstalledServer, {.publishes_on_read = std::nullopt});
  // The install-location start answered false, so the process directory is
  // tried next; nothing is there.
  connection_.answers = {false};

  EXPECT_FALSE(connection_.connect_or_start());

  const auto calls = fake_.calls();
  const auto launch =
      position(calls, std::string("launch ") + kInstalledServer);
  ASSERT_GE(launch, 0);
  // Reads at 0, 200, ..., 4800 ms after the launch; false at 5000 ms.
  EXPECT_EQ(host_reads(calls, launch, calls.size()), 25);
  EXPECT_EQ(fake_.count("sleep 200"), 25u);
  EXPECT_EQ(fake_.now() - fake_.start_time(), std::chrono::milliseconds(5000));
  EXPECT_EQ(fake_.count("executable_path"), 1u);
  EXPECT_GT(position(calls, "executable_path"), launch);
  // Connect is tried once more whatever the starts answered.
  EXPECT_EQ(fake_.count("connect"), 1u);
  EXPECT_GT(position(calls, "connect"), position(calls, "executable_path"));
}

TEST_F(ConnectOrStartTest, FailedInstallLaunchFallsBackToProcessDirectory) {
  fake_.set_value(Hive::LocalMachine, "InstallLocation", kInstalledServer);
  fake_.add_program(kInstalledServer, {.starts = false});
  fake_.set_executable_path(kApplication);
  fake_.add_program(kLocalServer, {.publishes_on_read = 2});
  connection_.answers = {true};

  EXPECT_TRUE(connection_.connect_or_start());

  const auto calls = fake_.calls();
  const auto first = position(calls, std::string("launch ") + kInstalledServer);
  const auto second = position(calls, std::string("launch ") + kLocalServer);
  ASSERT_GE(first, 0);
  EXPECT_GT(second, first);
  // A launch that failed clears nothing and polls nothing.
  EXPECT_GT(position(calls, "delete HKCU Host"), second);
  EXPECT_EQ(fake_.count("delete HKCU Host"), 1u);
  EXPECT_EQ(fake_.count("sleep 200"), 1u);
  EXPECT_EQ(fake_.count("connect"), 1u);
}

TEST_F(ConnectOrStartTest, NothingToStartStillConnectsOnce) {
  // No install location, no executable path: the second connect decides.
  connection_.answers = {true};
  EXPECT_TRUE(connection_.connect_or_start());
  EXPECT_EQ(fake_.count("connect"), 1u);
  for (const auto& call : fake_.calls()) {
    EXPECT_EQ(call.rfind("launch", 0), std::string::npos) << call;
  }
}

TEST_F(ConnectOrStartTest, SuccessfulProcessDirectoryStartIsNotRepeated) {
  fake_.set_executable_path(kApplication);
  fake_.add_program(kLocalServer, {});
  EXPECT_FALSE(connection_.connect_or_start());
  EXPECT_EQ(fake_.count(std::string("launch ") + kLocalServer), 1u);
  EXPECT_EQ(fake_.count("connect"), 1u);
}

TEST_F(ConnectOrStartTest, MutexIsReleasedWhenConnectThrows) {
  publish("127.0.0.1", KOVRA62386_SERVER_PORT);
  connection_.throw_on_connect = true;
  EXPECT_THROW(connection_.connect_or_start(), boost::system::system_error);
  // TearDown checks the release.
}

TEST_F(ConnectOrStartTest, MutexNotOwnedInTimeStillRunsTheSequence) {
  fake_.set_mutex_owned(false);
  publish("127.0.0.1", KOVRA62386_SERVER_PORT);
  connection_.answers = {true};
  EXPECT_TRUE(connection_.connect_or_start());
  EXPECT_EQ(fake_.count("connect"), 1u);
}

TEST_F(ConnectOrStartTest, PortStoredAsTextCountsAsNoAddress) {
  fake_.set_value(Hive::CurrentUser, "Host", std::string("127.0.0.1"));
  fake_.set_value(Hive::CurrentUser, "Port", std::string("42000"));
  connection_.answers = {true};
  EXPECT_TRUE(connection_.connect_or_start());
  // Only the connect after the (empty) start path.
  EXPECT_EQ(fake_.count("connect"), 1u);
  EXPECT_EQ(connection_.host(), "localhost");
  EXPECT_EQ(connection_.port(), KOVRA62386_SERVER_PORT);
}

TEST(ConnectionBaseTest, ReceiveAllTakesEverythingQueuedWithoutWaiting) {
  FakePlatform fake;
  ScriptedConnection connection(fake);
  EXPECT_TRUE(connection.receive_all().empty());

  connection.incoming = {{0x01, 0x00}, {0x15, 0x01, 0x07}, {0x07, 0x00}};
  const auto all = connection.receive_all();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], (Message{0x01, 0x00}));
  EXPECT_EQ(all[1], (Message{0x15, 0x01, 0x07}));
  EXPECT_EQ(all[2], (Message{0x07, 0x00}));
  for (const int32_t timeout : connection.timeouts) EXPECT_EQ(timeout, 0);
}

// A connection without a transport of its own (no send, no receive) takes
// nothing and has nothing, on every path that reaches the two stubs.
TEST(ConnectionBaseTest, BaseSendAndReceiveRefuse) {
  FakePlatform fake;
  class Bare : public Kovra62386ConnectionBase {
   public:
    using Kovra62386ConnectionBase::Kovra62386ConnectionBase;
    bool connect() override { return false; }
  } bare(fake);
  const uint8_t request[] = {0x05, 0x00};
  EXPECT_FALSE(bare.send_bytes(request));
  EXPECT_TRUE(bare.receive_all().empty());
  Message out{0xAA};
  EXPECT_FALSE(bare.receive(out, 0));
  EXPECT_EQ(out, Message{0xAA});
  EXPECT_FALSE(bare.failed());
}

// A transport that overrides only send() gets send_bytes too, with the
// same bytes and its own answer.
TEST(ConnectionBaseTest, SendBytesGoesThroughSend) {
  FakePlatform fake;
  class Recording : public Kovra62386ConnectionBase {
   public:
    using Kovra62386ConnectionBase::Kovra62386ConnectionBase;
    bool connect() override { return false; }
    bool send(const Message& message) override {
      sent.push_back(message);
      return accept;
    }
    std::vector<Message> sent;
    bool accept = true;
  } connection(fake);
  const uint8_t open[] = {0x0A, 0x01, 0x02};
  EXPECT_TRUE(connection.send_bytes(open));
  connection.accept = false;
  EXPECT_FALSE(connection.send_bytes(std::span<const uint8_t>(open, 2)));
  EXPECT_EQ(connection.sent,
            (std::vector<Message>{{0x0A, 0x01, 0x02}, {0x0A, 0x01}}));
}

}  // namespace
}  // namespace kovra62386
