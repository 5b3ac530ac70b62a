// The registry as a small file-backed store, the POSIX stand-in for the
// Windows registry values the library and the server share.
//
// One text file per key below a folder per hive. Each line holds one value
// with its type, so a value of the wrong type reads as missing exactly as the
// typed Windows reads do:
//
//   # kovra62386 registry key
//   sz<TAB>Host<TAB>localhost
//   dword<TAB>Port<TAB>42000
//
// Names and texts escape '\\' as "\\\\" and every control byte (TAB and
// newline included) as "\xHH". Value names compare without regard to ASCII
// case, as registry value names do. Files are untrusted input: lines that do
// not parse are skipped, and only the first kMaxFileSize bytes are read.
//
// Writers lock "<key file>.lock" for their read-modify-write and replace the
// key file by renaming a finished temporary file over it, so readers never
// see a half-written file and concurrent writers keep each other's values.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kovra62386::platform {

enum class RegistryValueType { Text, Dword };

struct RegistryValue {
  std::string name;
  RegistryValueType type = RegistryValueType::Text;
  std::string text;
  uint32_t dword = 0;
};

// The values of a key file's contents; unparsable lines are skipped and a
// later line for the same name replaces an earlier one.
std::vector<RegistryValue> parse_registry_key(std::string_view contents);
std::string format_registry_key(const std::vector<RegistryValue>& values);

// A key path as one file name: letters, digits, '-' and '_' stay, every other
// byte becomes "%HH"; ".key" is appended.
std::string registry_key_file_name(std::string_view key);

// Folder of a hive: $KOVRA62386_REGISTRY_ROOT/<hive name> when that variable
// is set and not empty; otherwise $XDG_CONFIG_HOME (or ~/.config)
// /kovra62386/registry/HKEY_CURRENT_USER and
// /etc/kovra62386/registry/HKEY_LOCAL_MACHINE. Empty when no home is known.
std::string registry_hive_root(Hive hive);

class PosixRegistryStore {
 public:
  explicit PosixRegistryStore(std::string hive_root);

  // nullopt for a missing key or value, a value of the other type, and a
  // text that does not fit kRegistryTextLimit bytes with its terminator.
  // A text ends at its first zero byte, as a C string read back would.
  std::optional<std::string> read_text(std::string_view key,
                                       std::string_view name) const;
  std::optional<uint32_t> read_dword(std::string_view key,
                                     std::string_view name) const;

  // Create the hive folder and the key as needed.
  bool write_text(std::string_view key, std::string_view name,
                  std::string_view value);
  bool write_dword(std::string_view key, std::string_view name, uint32_t value);

  // Missing values and a missing key are no failure.
  bool delete_values(std::string_view key, const char* const* names,
                     std::size_t count);

  std::string key_path(std::string_view key) const;

  // Writers hold the key's lock for a few file operations; a lock held
  // longer than this (a stuck process) makes the write fail instead of
  // hanging the caller.
  static constexpr std::chrono::milliseconds kWriterLockTimeout{2000};
  static constexpr std::size_t kMaxFileSize = 1 << 20;

 private:
  std::optional<RegistryValue> find(std::string_view key,
                                    std::string_view name) const;
  bool write_value(std::string_view key, RegistryValue value);

  std::string root_;
};

}  // namespace kovra62386::platform
