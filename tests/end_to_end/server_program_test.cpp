// The server program end to end on port 42000: started by the client
// library when none runs, announced in the registry, ended by SIGTERM with
// its announcement withdrawn, and refusing to start on a taken port. Each
// test leaves no server process behind.
#if !defined(_WIN32)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/launcher/server_locator.h"
#include "client/transport/asio_connection.h"
#include "dali/bus_timing.h"
#include "dali/dali_commands.h"
#include "platform/platform.h"
#include "protocol/message.h"
#include "server/server_core.h"
#include "support/library_calls.h"
#include "support/scoped_registry_root.h"

extern char** environ;

namespace kovra62386 {
namespace {

using namespace std::chrono_literals;
using platform::Hive;

std::string server_program() {
  platform::Platform& system = platform::system_platform();
  return server_program_path(directory_of(system.executable_path()));
}

// Waits for a child of this process to end, at most `timeout`; the exit
// status, or nullopt when it still runs.
std::optional<int> wait_for_exit(pid_t pid, std::chrono::milliseconds timeout) {
  auto status = std::async(std::launch::async, [pid] {
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0) {
      if (errno != EINTR) return -1;  // not ours to wait for, or gone
    }
    return raw;
  });
  if (status.wait_for(timeout) != std::future_status::ready) {
    // Unblocks the waiter; the process must not outlive the test.
    ::kill(pid, SIGKILL);
    status.wait();
    return std::nullopt;
  }
  return status.get();
}

// Starts the server program with `arguments`, its error stream on
// /dev/null; the process id, or -1.
pid_t spawn_server(std::vector<std::string> arguments) {
  std::string program = server_program();
  std::vector<char*> argv{program.data()};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr,
                                    argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// A server process of this test; killed at scope exit if still running.
class ServerProcess {
 public:
  explicit ServerProcess(pid_t pid) : pid_(pid) {}
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait_for_exit(pid_, 10s);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The exit status once it ended by itself (nullopt: it had to be
  // killed). Either way the process is gone afterwards.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    const pid_t pid = std::exchange(pid_, 0);
    return pid > 0 ? wait_for_exit(pid, timeout) : std::nullopt;
  }

  std::optional<int> terminate() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    return wait(10s);
  }

 private:
  pid_t pid_;
};

TEST(ServerProgram, StartedByTheLibraryAndEndedBySigterm) {
  testing::ScopedRegistryRoot registry;  // nothing published yet
  platform::Platform& system = platform::system_platform();
  ASSERT_FALSE(system.read_dword(Hive::CurrentUser, "Port"));

  Kovra62386AsioConnection connection(system);
  const bool connected = connection.initialize();
  const auto process_id = system.read_dword(Hive::CurrentUser, "ProcessId");
  ASSERT_TRUE(process_id) << "no server was started";
  ServerProcess server(static_cast<pid_t>(*process_id));
  ASSERT_TRUE(connected);
  EXPECT_EQ(system.read_text(Hive::CurrentUser, "Host"), "127.0.0.1");
  EXPECT_EQ(system.read_dword(Hive::CurrentUser, "Port"),
            uint32_t{KOVRA62386_SERVER_PORT});

  // The real program answers: its greeting (kept in the queue), then its
  // default interfaces.
  Message message;
  ASSERT_TRUE(connection.receive(message, 5000));
  EXPECT_EQ(message.at(0), 0x02);
  ASSERT_TRUE(connection.send(make_enumerate_request()));
  ASSERT_TRUE(connection.receive(message, 5000));
  EXPECT_EQ(message, make_interface_entry(0, 0x01, "SIM-1"));
  ASSERT_TRUE(connection.receive(message, 5000));
  EXPECT_EQ(message, make_interface_entry(1, 0x01, "SIM-2"));
  ASSERT_TRUE(connection.receive(message, 5000));
  EXPECT_EQ(message, make_interface_list_end());
  connection.terminate();

  const auto status = server.terminate();
  ASSERT_TRUE(status) << "the server ignored SIGTERM";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_FALSE(system.read_dword(Hive::CurrentUser, "ProcessId"));
  EXPECT_FALSE(system.read_text(Hive::CurrentUser, "Host"));
  EXPECT_FALSE(system.read_dword(Hive::CurrentUser, "Port"));
}

TEST(ServerProgram, RefusesToStartWhenThePortIsTaken) {
  testing::ScopedRegistryRoot registry;
  sim::ServerCore holder;  // port 42000, not published
  ASSERT_TRUE(holder.start());

  const pid_t pid = spawn_server({"--instant"});
  ASSERT_GT(pid, 0);
  ServerProcess server(pid);

  const auto status = server.wait(10s);
  ASSERT_TRUE(status) << "the server kept running on a taken port";
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_NE(WEXITSTATUS(*status), 0);
  EXPECT_FALSE(
      platform::system_platform().read_dword(Hive::CurrentUser, "Port"));
}

TEST(ServerProgram, RejectsBadArguments) {
  testing::ScopedRegistryRoot registry;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--port", "70000"},
        std::vector<std::string>{"--port"},
        std::vector<std::string>{"--interfaces", ","},
        std::vector<std::string>{"--fast"},
        std::vector<std::string>{"--installation", "/nonexistent.json"},
        std::vector<std::string>{"--seed", "-1"},
        std::vector<std::string>{"--collisions", "sometimes"},
        std::vector<std::string>{"--priority", "6"}}) {
    const pid_t pid = spawn_server(arguments);
    ASSERT_GT(pid, 0);
    ServerProcess server(pid);
    const auto status = server.wait(10s);
    ASSERT_TRUE(status) << arguments[0];
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2)
        << arguments[0];
  }
  // A broken installation where the server looks by default, beside the
  // registry store, keeps it from starting.
  {
    std::ofstream file(registry.path() + "/installation.json");
    file << R"({"interfaces": [{"name": "A", "gear": [{"level": 255}]}]})";
  }
  ServerProcess server(spawn_server({"--instant", "--port", "0"}));
  const auto status = server.wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2);
  EXPECT_FALSE(
      platform::system_platform().read_dword(Hive::CurrentUser, "Port"));
}

// Any port, named interfaces, instant replies; found through the registry.
TEST(ServerProgram, CommandLineChoosesPortInterfacesAndTiming) {
  testing::ScopedRegistryRoot registry;
  platform::Platform& system = platform::system_platform();
  const pid_t pid =
      spawn_server({"--instant", "--port", "0", "--interfaces", "A,Bus-2"});
  ASSERT_GT(pid, 0);
  ServerProcess server(pid);
  // The registry store offers no change notification: poll, bounded.
  std::optional<uint32_t> port;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!(port = system.read_dword(Hive::CurrentUser, "Port")) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(port);
  EXPECT_NE(*port, 0u);
  EXPECT_EQ(system.read_dword(Hive::CurrentUser, "ProcessId"),
            static_cast<uint32_t>(pid));

  Kovra62386AsioConnection connection(system, static_cast<uint16_t>(*port));
  ASSERT_TRUE(connection.connect());
  Message message;
  ASSERT_TRUE(connection.receive(message, 5000));  // the greeting
  // Opened before the enumeration, whose replies acknowledge both requests:
  // the timed frame below then leaves at once, not held back by Nagle's
  // algorithm for an unacknowledged request.
  connection.send(make_open_request(0));
  connection.send(make_enumerate_request());
  ASSERT_TRUE(connection.receive(message, 5000));
  EXPECT_EQ(message, make_interface_entry(0, 0x01, "A"));
  ASSERT_TRUE(connection.receive(message, 5000));
  EXPECT_EQ(message, make_interface_entry(1, 0x01, "Bus-2"));

  // Instant mode: queries' records come at once, and the default gear
  // answer. On a real-timing bus each query takes at least its forward
  // frame, the answer delay and the backward frame (27 ms); eight of them
  // in less time than eight forward frames alone leave a wide margin for a
  // loaded machine on either side.
  // Short address 0, QUERY CONTROL GEAR PRESENT.
  const WriteFrameRecord query =
      test::forward_frame(0x01, dali::gear::kQueryControlGearPresent);
  ASSERT_TRUE(connection.receive(message, 5000));  // InterfaceListEnd
  constexpr int kQueries = 8;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kQueries; ++i) {
    connection.send(make_transmit_frame(0, query));
    std::vector<Message> records(3);
    for (Message& record : records) {
      ASSERT_TRUE(connection.receive(record, 5000));
    }
    EXPECT_EQ(records[2], (Message{0x15, 0x0C, 0x00, 0x12, 0, 0, 0, 0x08,
                                   dali::kYes, 0, 0, 0, 0, 0}));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            kQueries * dali::timing::forward_frame(16));
  connection.terminate();

  const auto status = server.terminate();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_FALSE(system.read_dword(Hive::CurrentUser, "Port"));
}

}  // namespace
}  // namespace kovra62386

#endif  // !_WIN32
