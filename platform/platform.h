// The operating system as the library sees it: the registry values of the
// server key, process creation, the named start-up mutex, the executable's
// own path, and the clock used while waiting for a started server.
//
// One interface, two implementations: Win32 (the real registry, the
// CreateProcessA family) and POSIX (a file-backed registry store, posix_spawn,
// flock). Tests substitute their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kovra62386::platform {

enum class Hive { CurrentUser, LocalMachine };

// "SOFTWARE\Tessivo\KOVRA-62386-Server"
inline constexpr const char* kServerKey =
    "SOFTWARE\\Tessivo\\KOVRA-62386-Server";
inline constexpr const char* kStartMutexName =
    "Kovra62386CommunicationClientStartServerMutex";
// Registry text values longer than this (terminator included) count as missing.
inline constexpr std::size_t kRegistryTextLimit = 1024;

#if defined(_WIN32)
inline constexpr const char* kServerProgramName = "Kovra62386Server.exe";
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr const char* kServerProgramName = "Kovra62386Server";
inline constexpr char kPathSeparator = '/';
#endif

// Held ownership of the named mutex; releasing and closing happen in the
// destructor, on every path. Destroy it on the thread that acquired it (a
// Win32 mutex belongs to a thread), and do not acquire the same name twice
// in one thread: the POSIX lock is not recursive.
class NamedMutexLock {
 public:
  virtual ~NamedMutexLock() = default;
  // True when this process owns the mutex (false: it timed out waiting).
  virtual bool owned() const = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Values under kServerKey in `hive`. A value of another type, or a text
  // that does not fit kRegistryTextLimit bytes with its terminator, counts
  // as missing (nullopt).
  virtual std::optional<std::string> read_text(Hive hive, const char* name) = 0;
  virtual std::optional<uint32_t> read_dword(Hive hive, const char* name) = 0;
  // Deletes the values; missing values and a missing key are no error.
  virtual void delete_values(Hive hive, const char* const* names,
                             std::size_t count) = 0;
  // Used by the server program and by tests; the library never writes.
  virtual bool write_text(Hive hive, const char* name,
                          const std::string& value) = 0;
  virtual bool write_dword(Hive hive, const char* name, uint32_t value) = 0;

  // Path of the current process's executable, empty when unknown.
  virtual std::string executable_path() = 0;

  // Starts the program with no arguments, detached from this process.
  virtual bool launch_program(const std::string& path) = 0;

  // Creates or opens the named mutex and waits up to `timeout` for it.
  virtual std::unique_ptr<NamedMutexLock> acquire_named_mutex(
      const char* name, std::chrono::milliseconds timeout) = 0;

  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

// The process's real platform (Win32 or POSIX).
Platform& system_platform();

}  // namespace kovra62386::platform
