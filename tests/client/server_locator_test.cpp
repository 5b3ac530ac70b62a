// Finding the server: the published address, the install location, the
// process directory, and how the program's path is formed.
#include "client/launcher/server_locator.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "platform/platform.h"
#include "support/scoped_registry_root.h"

namespace kovra62386 {
namespace {

using platform::Hive;

// A registry, an executable path and a launcher in memory.
class FakePlatform : public platform::Platform {
 public:
  using Value = std::variant<std::string, uint32_t>;

  std::optional<std::string> read_text(Hive hive, const char* name) override {
    reads.emplace_back(hive, name);
    const auto it = values.find({hive, name});
    if (it == values.end()) return std::nullopt;
    const auto* text = std::get_if<std::string>(&it->second);
    if (text == nullptr) return std::nullopt;
    return *text;
  }
  std::optional<uint32_t> read_dword(Hive hive, const char* name) override {
    reads.emplace_back(hive, name);
    const auto it = values.find({hive, name});
    if (it == values.end()) return std::nullopt;
    const auto* number = std::get_if<uint32_t>(&it->second);
    if (number == nullptr) return std::nullopt;
    return *number;
  }
  void delete_values(Hive hive, const char* const* names,
                     std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) {
      deleted.emplace_back(hive, names[i]);
      values.erase({hive, names[i]});
    }
  }
  bool write_text(Hive hive, const char* name,
                  const std::string& value) override {
    values[{hive, name}] = value;
    return true;
  }
  bool write_dword(Hive hive, const char* name, uint32_t value) override {
    values[{hive, name}] = value;
    return true;
  }
  std::string executable_path() override { return executable; }
  bool launch_program(const std::string& path) override {
    launched.push_back(path);
    return launch_result;
  }
  std::unique_ptr<platform::NamedMutexLock> acquire_named_mutex(
      const char*, std::chrono::milliseconds) override {
    return nullptr;
  }
  std::chrono::steady_clock::time_point now() override { return {}; }
  void sleep_for(std::chrono::milliseconds) override {}

  std::map<std::pair<Hive, std::string>, Value> values;
  std::vector<std::pair<Hive, std::string>> reads;
  std::vector<std::pair<Hive, std::string>> deleted;
  std::vector<std::string> launched;
  std::string executable;
  bool launch_result = true;
};

std::string windows_path(std::string_view p) {
  return server_program_path(p, "Kovra62386Server.exe", '\\');
}

std::string posix_path(std::string_view p) {
  return server_program_path(p, "Kovra62386Server", '/');
}

TEST(ServerProgramPath, WindowsInstallLocations) {
  EXPECT_EQ(windows_path("C:\\Programs\\Srv"),
            "C:\\Programs\\Srv\\Kovra62386Server.exe");
  EXPECT_EQ(windows_path("C:\\Programs\\Srv\\"),
            "C:\\Programs\\Srv\\Kovra62386Server.exe");
  EXPECT_EQ(windows_path("C:\\Programs\\Srv/"),
            "C:\\Programs\\Srv/Kovra62386Server.exe");
  // Only ".exe" and ".EXE" name a program; mixed case is a folder.
  EXPECT_EQ(windows_path("C:\\Programs\\Srv\\Server.EXE"),
            "C:\\Programs\\Srv\\Server.EXE");
  EXPECT_EQ(windows_path("C:\\Programs\\Srv\\Server.exe"),
            "C:\\Programs\\Srv\\Server.exe");
  EXPECT_EQ(windows_path("C:\\Programs\\Srv.Exe"),
            "C:\\Programs\\Srv.Exe\\Kovra62386Server.exe");
  EXPECT_EQ(windows_path("C:\\Programs\\Srv.eXE"),
            "C:\\Programs\\Srv.eXE\\Kovra62386Server.exe");
  // An empty location is the root of the current drive.
  EXPECT_EQ(windows_path(""), "\\Kovra62386Server.exe");
  EXPECT_EQ(windows_path(".exe"), ".exe");
}

TEST(ServerProgramPath, PosixLocations) {
  EXPECT_EQ(posix_path("/opt/kovra"), "/opt/kovra/Kovra62386Server");
  EXPECT_EQ(posix_path("/opt/kovra/"), "/opt/kovra/Kovra62386Server");
  EXPECT_EQ(posix_path("/opt/kovra/Kovra62386Server"),
            "/opt/kovra/Kovra62386Server");
  EXPECT_EQ(posix_path("Kovra62386Server"), "Kovra62386Server");
  // Only the whole last component names the program.
  EXPECT_EQ(posix_path("/opt/MyKovra62386Server"),
            "/opt/MyKovra62386Server/Kovra62386Server");
  EXPECT_EQ(posix_path("/opt/Kovra62386Server/"),
            "/opt/Kovra62386Server/Kovra62386Server");
  EXPECT_EQ(posix_path(""), "/Kovra62386Server");
  EXPECT_EQ(server_program_path("/opt", "", '/'), "/opt/");
}

TEST(DirectoryOf, CutsAtTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(directory_of("C:\\Apps\\Client\\client.exe"), "C:\\Apps\\Client");
  EXPECT_EQ(directory_of("C:/Apps/Client/client.exe"), "C:/Apps/Client");
  EXPECT_EQ(directory_of("C:\\Apps/Client\\client.exe"), "C:\\Apps/Client");
  EXPECT_EQ(directory_of("C:\\Apps\\Client/client.exe"), "C:\\Apps\\Client");
  EXPECT_EQ(directory_of("C:\\Apps\\"), "C:\\Apps");
  EXPECT_EQ(directory_of("\\client.exe"), "");
  EXPECT_EQ(directory_of("client.exe"), "");
  EXPECT_EQ(directory_of(""), "");
  // An executable path without a separator leads to the root path.
  EXPECT_EQ(windows_path(directory_of("client.exe")), "\\Kovra62386Server.exe");
}

TEST(ReadPublishedAddress, NeedsBothValuesWithTheirTypes) {
  FakePlatform fake;
  std::string host = "unchanged";
  uint16_t port = 7;

  EXPECT_FALSE(read_published_address(fake, host, port));
  fake.write_text(Hive::CurrentUser, "Host", "127.0.0.1");
  fake.reads.clear();
  EXPECT_FALSE(read_published_address(fake, host, port));
  // The second read is made whatever the first gave.
  EXPECT_EQ(fake.reads.size(), 2u);
  EXPECT_EQ(host, "unchanged");
  EXPECT_EQ(port, 7);

  fake.write_text(Hive::CurrentUser, "Port", "42000");  // wrong type
  EXPECT_FALSE(read_published_address(fake, host, port));
  fake.write_dword(Hive::LocalMachine, "Port", 42000);  // wrong hive
  EXPECT_FALSE(read_published_address(fake, host, port));
  EXPECT_EQ(host, "unchanged");

  fake.write_dword(Hive::CurrentUser, "Port", 0x1A410);  // low 16 bits: 42000
  EXPECT_TRUE(read_published_address(fake, host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 42000);

  fake.values.erase({Hive::CurrentUser, "Host"});
  fake.reads.clear();
  host = "unchanged";
  EXPECT_FALSE(read_published_address(fake, host, port));
  EXPECT_EQ(fake.reads.size(), 2u);
  EXPECT_EQ(host, "unchanged");
}

TEST(ClearPublishedAddress, DeletesHostAndPortOfTheUserOnly) {
  FakePlatform fake;
  fake.write_text(Hive::CurrentUser, "Host", "localhost");
  fake.write_dword(Hive::CurrentUser, "Port", KOVRA62386_SERVER_PORT);
  fake.write_dword(Hive::CurrentUser, "Pid", 99);
  fake.write_text(Hive::LocalMachine, "Host", "machine");
  clear_published_address(fake);
  EXPECT_EQ(fake.deleted,
            (std::vector<std::pair<Hive, std::string>>{
                {Hive::CurrentUser, "Host"}, {Hive::CurrentUser, "Port"}}));
  EXPECT_EQ(fake.values.count({Hive::CurrentUser, "Pid"}), 1u);
  EXPECT_EQ(fake.values.count({Hive::LocalMachine, "Host"}), 1u);
}

TEST(ServerLocations, FromTheInstallLocationAndTheProcessDirectory) {
  FakePlatform fake;
  const std::string program =
      std::string(1, platform::kPathSeparator) + platform::kServerProgramName;
  EXPECT_EQ(install_location_server_path(fake), "");
  fake.write_text(Hive::CurrentUser, "InstallLocation", "/user/only");
  EXPECT_EQ(install_location_server_path(fake), "");
  fake.write_dword(Hive::LocalMachine, "InstallLocation", 1);
  EXPECT_EQ(install_location_server_path(fake), "");
  fake.write_text(Hive::LocalMachine, "InstallLocation", "/opt/kovra");
  EXPECT_EQ(install_location_server_path(fake), "/opt/kovra" + program);
  fake.write_text(Hive::LocalMachine, "InstallLocation", "");
  EXPECT_EQ(install_location_server_path(fake), program);

  EXPECT_EQ(process_directory_server_path(fake), "");  // path unknown
  fake.executable = "/usr/lib/app/client";
  EXPECT_EQ(process_directory_server_path(fake), "/usr/lib/app" + program);
  fake.executable = "client";
  EXPECT_EQ(process_directory_server_path(fake), program);

  EXPECT_TRUE(launch_program(fake, "/opt/kovra/x"));
  fake.launch_result = false;
  EXPECT_FALSE(launch_program(fake, "/opt/kovra/y"));
  EXPECT_EQ(fake.launched,
            (std::vector<std::string>{"/opt/kovra/x", "/opt/kovra/y"}));
}

#if !defined(_WIN32)
TEST(ServerLocator, PublishReadAndClearThroughTheRegistryStore) {
  kovra62386::testing::ScopedRegistryRoot root;
  platform::Platform& system = platform::system_platform();
  std::string host;
  uint16_t port = 0;
  EXPECT_FALSE(read_published_address(system, host, port));
  ASSERT_TRUE(system.write_text(Hive::CurrentUser, "Host", "localhost"));
  ASSERT_TRUE(
      system.write_dword(Hive::CurrentUser, "Port", KOVRA62386_SERVER_PORT));
  ASSERT_TRUE(system.write_text(Hive::LocalMachine, "InstallLocation",
                                "/opt/kovra/Kovra62386Server"));
  EXPECT_TRUE(read_published_address(system, host, port));
  EXPECT_EQ(host, "localhost");
  EXPECT_EQ(port, KOVRA62386_SERVER_PORT);
  EXPECT_EQ(install_location_server_path(system),
            "/opt/kovra/Kovra62386Server");

  clear_published_address(system);
  EXPECT_FALSE(read_published_address(system, host, port));
  EXPECT_EQ(install_location_server_path(system),
            "/opt/kovra/Kovra62386Server");
  EXPECT_EQ(process_directory_server_path(system),
            directory_of(system.executable_path()) + "/Kovra62386Server");
}
#endif

}  // namespace
}  // namespace kovra62386
