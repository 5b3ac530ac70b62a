// The Win32 platform layer against Wine's registry and process model: value
// types and sizes as the server and installer write them, the start-up mutex
// between two processes, and starting the server program from the process
// folder and from "InstallLocation".
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "client/launcher/server_locator.h"
#include "client/transport/asio_connection.h"
#include "kovra62386/kovra62386.h"
#include "platform/platform.h"

namespace {

using kovra62386::platform::Hive;
namespace platform = kovra62386::platform;

const wchar_t* kKeyPath = L"SOFTWARE\\Tessivo\\KOVRA-62386-Server";

void set_raw(HKEY hive, const char* name, DWORD type, const void* data,
             DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(hive, kKeyPath, 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(
      RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
      ERROR_SUCCESS);
  RegCloseKey(key);
}

void clear_all() {
  auto& p = platform::system_platform();
  const char* user[] = {"Host", "Port", "ProcessId"};
  p.delete_values(Hive::CurrentUser, user, 3);
  const char* machine[] = {"InstallLocation"};
  p.delete_values(Hive::LocalMachine, machine, 1);
}

std::string program_folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return kovra62386::directory_of(path);
}

void stop_published_server() {
  auto& p = platform::system_platform();
  if (auto pid = p.read_dword(Hive::CurrentUser, "ProcessId")) {
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     static_cast<DWORD>(*pid))) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
  }
}

class Win32Platform : public ::testing::Test {
 protected:
  void SetUp() override { clear_all(); }
  void TearDown() override {
    stop_published_server();
    clear_all();
  }
};

TEST_F(Win32Platform, ValuesOfTheWrongTypeCountAsMissing) {
  auto& p = platform::system_platform();
  const char port_text[] = "42000";
  set_raw(HKEY_CURRENT_USER, "Port", REG_SZ, port_text, sizeof port_text);
  const char host[] = "127.0.0.1";
  set_raw(HKEY_CURRENT_USER, "Host", REG_SZ, host, sizeof host);
  EXPECT_FALSE(p.read_dword(Hive::CurrentUser, "Port").has_value());
  std::string h;
  uint16_t port = 7;
  EXPECT_FALSE(kovra62386::read_published_address(p, h, port));
  EXPECT_EQ(port, 7);

  const DWORD big = 0x0001A410;  // 107536: only the low 16 bits count
  set_raw(HKEY_CURRENT_USER, "Port", REG_DWORD, &big, sizeof big);
  ASSERT_TRUE(kovra62386::read_published_address(p, h, port));
  EXPECT_EQ(h, "127.0.0.1");
  EXPECT_EQ(port, 0xA410);

  const DWORD number = 5;
  set_raw(HKEY_CURRENT_USER, "Host", REG_DWORD, &number, sizeof number);
  EXPECT_FALSE(p.read_text(Hive::CurrentUser, "Host").has_value());
}

TEST_F(Win32Platform, TextLimitIs1024BytesWithTerminator) {
  auto& p = platform::system_platform();
  const std::string fits(1023, 'a');
  set_raw(HKEY_LOCAL_MACHINE, "InstallLocation", REG_SZ, fits.c_str(),
          static_cast<DWORD>(fits.size() + 1));
  auto read = p.read_text(Hive::LocalMachine, "InstallLocation");
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, fits);

  const std::string too_long(1024, 'b');
  set_raw(HKEY_LOCAL_MACHINE, "InstallLocation", REG_SZ, too_long.c_str(),
          static_cast<DWORD>(too_long.size() + 1));
  EXPECT_FALSE(p.read_text(Hive::LocalMachine, "InstallLocation").has_value());
  EXPECT_EQ(kovra62386::install_location_server_path(p), "");
}

TEST_F(Win32Platform, ClearDeletesBothPublishedValues) {
  auto& p = platform::system_platform();
  ASSERT_TRUE(p.write_text(Hive::CurrentUser, "Host", "127.0.0.1"));
  ASSERT_TRUE(p.write_dword(Hive::CurrentUser, "Port", 42000));
  kovra62386::clear_published_address(p);
  EXPECT_FALSE(p.read_text(Hive::CurrentUser, "Host").has_value());
  EXPECT_FALSE(p.read_dword(Hive::CurrentUser, "Port").has_value());
  kovra62386::clear_published_address(p);  // missing values: no error
}

// The holder program tries the mutex for 300 ms: exit code 0 when it got it,
// 1 when another process holds it.
DWORD run_mutex_probe() {
  const std::string path = program_folder() + "\\kovra62386_mutex_probe.exe";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &info))
    return 99;
  WaitForSingleObject(info.hProcess, 20000);
  DWORD code = 98;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return code;
}

TEST_F(Win32Platform, StartMutexExcludesAnotherProcess) {
  auto& p = platform::system_platform();
  {
    auto held = p.acquire_named_mutex(platform::kStartMutexName,
                                      std::chrono::milliseconds(1000));
    ASSERT_TRUE(held && held->owned());
    EXPECT_EQ(run_mutex_probe(), 1u);
  }
  EXPECT_EQ(run_mutex_probe(), 0u);
}

TEST_F(Win32Platform, InstallLocationStartsTheServer) {
  auto& p = platform::system_platform();
  ASSERT_TRUE(p.write_text(Hive::LocalMachine, "InstallLocation",
                           program_folder() + "\\"));
  EXPECT_EQ(kovra62386::install_location_server_path(p),
            program_folder() + "\\Kovra62386Server.exe");

  kovra62386::Kovra62386AsioConnection connection;
  EXPECT_TRUE(connection.initialize());
  connection.terminate();
  std::string host;
  uint16_t port = 0;
  EXPECT_TRUE(kovra62386::read_published_address(p, host, port));
  EXPECT_EQ(port, KOVRA62386_SERVER_PORT);
}

TEST_F(Win32Platform, ProcessFolderStartsTheServerWithoutInstallLocation) {
  auto& p = platform::system_platform();
  EXPECT_EQ(kovra62386::process_directory_server_path(p),
            program_folder() + "\\Kovra62386Server.exe");
  kovra62386::Kovra62386AsioConnection connection;
  EXPECT_TRUE(connection.initialize());
  connection.terminate();
}

TEST_F(Win32Platform, MissingProgramIsNotStarted) {
  auto& p = platform::system_platform();
  EXPECT_FALSE(
      kovra62386::launch_program(p, program_folder() + "\\nothing.exe"));
}

}  // namespace
