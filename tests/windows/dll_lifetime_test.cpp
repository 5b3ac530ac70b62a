// The library's threads against the end of their application: the process
// exits while another thread is inside initialize, and the library is
// unloaded while a transceiver's worker still runs, in both orders. Each
// case runs in dll_lifetime_probe.exe against a server in this process.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "server_core.h"

namespace {

using namespace std::chrono_literals;
using kovra62386::sim::ServerCore;
using kovra62386::sim::ServerObservation;
using kovra62386::sim::ServerOptions;

constexpr DWORD kHung = 0xDEAD;

class DllLifetime : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.publish = true;
    server = std::make_unique<ServerCore>(options);
    ASSERT_TRUE(server->start()) << "port 42000 is taken";
  }
  void TearDown() override {
    if (probe != nullptr) {
      TerminateProcess(probe, kHung);
      WaitForSingleObject(probe, 10000);
      CloseHandle(probe);
    }
    server->stop();
  }

  void start_probe(const std::string& arguments) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string program = path;
    program = program.substr(0, program.find_last_of('\\') + 1) +
              "dll_lifetime_probe.exe";
    std::string command = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessA(program.c_str(), command.data(), nullptr,
                               nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info))
        << GetLastError();
    CloseHandle(info.hThread);
    probe = info.hProcess;
  }

  // The probe's exit code once it ended within `timeout`; kHung otherwise.
  DWORD exit_code(DWORD timeout) {
    if (WaitForSingleObject(probe, timeout) != WAIT_OBJECT_0) return kHung;
    DWORD code = kHung;
    GetExitCodeProcess(probe, &code);
    return code;
  }

  std::unique_ptr<ServerCore> server;
  HANDLE probe = nullptr;
};

TEST_F(DllLifetime, ExitWhileInitializeWaitsForTheGreetingEndsAtOnce) {
  server->set_greeting_withheld(true);
  const std::string event_name =
      "Kovra62386ProbeExit" + std::to_string(GetCurrentProcessId());
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
  ASSERT_NE(go, nullptr);
  ASSERT_NO_FATAL_FAILURE(start_probe("exit-in-initialize " + event_name));
  // Connected and waiting for its greeting: initialize holds its locks.
  ASSERT_TRUE(server->wait_until(
      [](const ServerObservation& seen) { return seen.connections >= 1; },
      20000ms));
  const auto exited = std::chrono::steady_clock::now();
  SetEvent(go);
  ASSERT_EQ(exit_code(2000), 0u) << "still running 2 s after ExitProcess";
  std::cout << "gone "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - exited)
                   .count()
            << " ms after ExitProcess\n";
  CloseHandle(go);
}

TEST_F(DllLifetime, FreeLibraryRightAfterTerminateWhileTheWorkerCallsBack) {
  ASSERT_NO_FATAL_FAILURE(start_probe("free-after-terminate"));
  EXPECT_EQ(exit_code(30000), 0u);
}

TEST_F(DllLifetime, CallbackTerminateDropsTheLastReferenceOnItsWorker) {
  ASSERT_NO_FATAL_FAILURE(start_probe("terminate-in-callback"));
  EXPECT_EQ(exit_code(30000), 0u);
}

}  // namespace
