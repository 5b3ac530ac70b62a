// FakePlatform: an in-memory stand-in for the operating system, for tests
// of the connect-or-start sequence and of anything else that takes a
// Platform. The registry is a map, launching a program follows a script,
// the clock only moves when someone sleeps, and every call is logged.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "platform/platform.h"

namespace kovra62386::test {

class FakePlatform : public platform::Platform {
 public:
  // What happens when a program path is launched.
  struct Program {
    bool starts = true;
    // The started server publishes its address on this read of "Host"
    // after the launch (1: the first read finds it); nullopt: never.
    std::optional<int> publishes_on_read = 1;
    std::string host = "127.0.0.1";
    uint32_t port = KOVRA62386_SERVER_PORT;
  };

  FakePlatform();

  // ---- Scripting ----
  void add_program(const std::string& path, Program program);
  void set_executable_path(std::string path);
  // Whether acquire_named_mutex hands out ownership.
  void set_mutex_owned(bool owned);
  // Stores a value of any type, as an installer or a server would.
  void set_value(platform::Hive hive, const std::string& name,
                 std::variant<std::string, uint32_t> value);
  void remove_value(platform::Hive hive, const std::string& name);
  bool has_value(platform::Hive hive, const std::string& name) const;
  // Appends an entry to the call log (for test doubles of other classes,
  // so their calls interleave with the platform's).
  void record(std::string entry);

  // ---- Observation ----
  // Entries: "read_text H name", "read_dword H name", "delete H name",
  // "write H name", "executable_path", "launch <path>", "mutex acquire
  // <name> <timeout ms>", "mutex release", "sleep <ms>", plus what
  // record() added. H is HKCU or HKLM.
  std::vector<std::string> calls() const;
  std::size_t count(const std::string& entry) const;
  int mutexes_held() const;
  std::chrono::steady_clock::time_point start_time() const { return start_; }

  // ---- Platform ----
  std::optional<std::string> read_text(platform::Hive hive,
                                       const char* name) override;
  std::optional<uint32_t> read_dword(platform::Hive hive,
                                     const char* name) override;
  void delete_values(platform::Hive hive, const char* const* names,
                     std::size_t count) override;
  bool write_text(platform::Hive hive, const char* name,
                  const std::string& value) override;
  bool write_dword(platform::Hive hive, const char* name,
                   uint32_t value) override;
  std::string executable_path() override;
  bool launch_program(const std::string& path) override;
  std::unique_ptr<platform::NamedMutexLock> acquire_named_mutex(
      const char* name, std::chrono::milliseconds timeout) override;
  std::chrono::steady_clock::time_point now() override;
  void sleep_for(std::chrono::milliseconds duration) override;

 private:
  class Lock;
  using Key = std::pair<platform::Hive, std::string>;
  using Value = std::variant<std::string, uint32_t>;

  void log(std::string entry);  // mutex_ held
  void release_mutex();

  mutable std::mutex mutex_;
  std::map<Key, Value> registry_;
  std::map<std::string, Program> programs_;
  std::string executable_path_;
  bool mutex_owned_ = true;
  int mutexes_held_ = 0;
  // The launched program that has yet to publish, and how many more reads
  // of "Host" until it does.
  std::optional<Program> publishing_;
  int reads_until_publish_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point now_;
  std::vector<std::string> calls_;
};

}  // namespace kovra62386::test
