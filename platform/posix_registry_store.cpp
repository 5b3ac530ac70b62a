#include "platform/posix_registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/posix_file_lock.h"

namespace kovra62386::platform {
namespace {

constexpr std::string_view kHeader = "# kovra62386 registry key\n";
constexpr std::string_view kTextType = "sz";
constexpr std::string_view kDwordType = "dword";
constexpr char kHexDigits[] = "0123456789ABCDEF";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

void append_escaped(std::string& out, std::string_view field) {
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0xf];
    } else {
      out += c;
    }
  }
}

std::optional<std::string> unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (i + 1 < field.size() && field[i + 1] == '\\') {
      out += '\\';
      i += 1;
    } else if (i + 3 < field.size() && field[i + 1] == 'x' &&
               hex_value(field[i + 2]) >= 0 && hex_value(field[i + 3]) >= 0) {
      out += static_cast<char>(hex_value(field[i + 2]) * 16 +
                               hex_value(field[i + 3]));
      i += 3;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<uint32_t> parse_dword(std::string_view digits) {
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > 0xffffffffu) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<RegistryValue> parse_line(std::string_view line) {
  const auto first_tab = line.find('\t');
  if (first_tab == std::string_view::npos) return std::nullopt;
  const auto second_tab = line.find('\t', first_tab + 1);
  if (second_tab == std::string_view::npos) return std::nullopt;
  if (line.find('\t', second_tab + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  const auto type = line.substr(0, first_tab);
  auto name = unescape(line.substr(first_tab + 1, second_tab - first_tab - 1));
  const auto data = line.substr(second_tab + 1);
  if (!name) return std::nullopt;

  RegistryValue value;
  value.name = std::move(*name);
  if (type == kTextType) {
    auto text = unescape(data);
    if (!text) return std::nullopt;
    value.type = RegistryValueType::Text;
    value.text = std::move(*text);
  } else if (type == kDwordType) {
    const auto number = parse_dword(data);
    if (!number) return std::nullopt;
    value.type = RegistryValueType::Dword;
    value.dword = *number;
  } else {
    return std::nullopt;
  }
  return value;
}

void put(std::vector<RegistryValue>& values, RegistryValue value) {
  for (auto& existing : values) {
    if (same_name(existing.name, value.name)) {
      existing = std::move(value);
      return;
    }
  }
  values.push_back(std::move(value));
}

enum class LoadResult { Loaded, NoKey, Failed };

// Reads at most kMaxFileSize bytes of a regular file. A file cut at the
// limit loses its last partial line, so a cut text never reads as whole.
LoadResult load_file(const std::string& path, std::string& contents) {
  contents.clear();
  // O_NONBLOCK: a FIFO in place of the key file must not block the reader.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? LoadResult::NoKey : LoadResult::Failed;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return LoadResult::Failed;
  }
  const std::size_t limit = PosixRegistryStore::kMaxFileSize;
  // Sized from the file, not from the limit; one byte more tells a file
  // beyond the limit (or one that grew meanwhile) from one that fits.
  const auto expected = static_cast<std::size_t>(std::min<off_t>(
      std::max<off_t>(info.st_size, 0), static_cast<off_t>(limit)));
  contents.resize(expected + 1);
  std::size_t used = 0;
  while (used < limit + 1) {
    if (used == contents.size()) {
      contents.resize(std::min(contents.size() * 2, limit + 1));
    }
    const ssize_t n =
        ::read(fd, contents.data() + used, contents.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      contents.clear();
      return LoadResult::Failed;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  contents.resize(used);
  if (used > limit) {
    const auto last_newline = contents.rfind('\n', limit - 1);
    contents.resize(last_newline == std::string::npos ? 0 : last_newline + 1);
  }
  return LoadResult::Loaded;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Writes a complete temporary file beside `path` and renames it over `path`.
bool replace_file(const std::string& path, std::string_view contents) {
  std::string temp = path + ".tmp.XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // mkostemp creates 0600; the machine hive must stay readable for every
  // user, as registry keys are.
  bool ok = ::fchmod(fd, 0644) == 0 && write_all(fd, contents) &&
            ::fdatasync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

std::string home_directory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) ==
          0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::vector<RegistryValue> parse_registry_key(std::string_view contents) {
  std::vector<RegistryValue> values;
  while (!contents.empty()) {
    const auto end = contents.find('\n');
    auto line = contents.substr(0, end);
    contents.remove_prefix(end == std::string_view::npos ? contents.size()
                                                         : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (auto value = parse_line(line)) put(values, std::move(*value));
  }
  return values;
}

std::string format_registry_key(const std::vector<RegistryValue>& values) {
  std::string out(kHeader);
  for (const auto& value : values) {
    if (value.type == RegistryValueType::Text) {
      out += kTextType;
      out += '\t';
      append_escaped(out, value.name);
      out += '\t';
      append_escaped(out, value.text);
    } else {
      out += kDwordType;
      out += '\t';
      append_escaped(out, value.name);
      out += '\t';
      out += std::to_string(value.dword);
    }
    out += '\n';
  }
  return out;
}

std::string registry_key_file_name(std::string_view key) {
  std::string name;
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') || c == '-' || c == '_') {
      name += c;
    } else {
      name += '%';
      name += kHexDigits[byte >> 4];
      name += kHexDigits[byte & 0xf];
    }
  }
  return name + ".key";
}

std::string registry_hive_root(Hive hive) {
  const char* hive_name =
      hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
  const char* override_root = std::getenv("KOVRA62386_REGISTRY_ROOT");
  if (override_root != nullptr && override_root[0] != '\0') {
    return std::string(override_root) + "/" + hive_name;
  }
  if (hive == Hive::LocalMachine) {
    return std::string("/etc/kovra62386/registry/") + hive_name;
  }
  std::string config;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    config = xdg;
  } else {
    const auto home = home_directory();
    if (home.empty()) return {};
    config = home + "/.config";
  }
  return config + "/kovra62386/registry/" + hive_name;
}

PosixRegistryStore::PosixRegistryStore(std::string hive_root)
    : root_(std::move(hive_root)) {}

std::string PosixRegistryStore::key_path(std::string_view key) const {
  return root_ + "/" + registry_key_file_name(key);
}

std::optional<RegistryValue> PosixRegistryStore::find(
    std::string_view key, std::string_view name) const {
  if (root_.empty()) return std::nullopt;
  std::string contents;
  if (load_file(key_path(key), contents) != LoadResult::Loaded) {
    return std::nullopt;
  }
  for (auto& value : parse_registry_key(contents)) {
    if (same_name(value.name, name)) return std::move(value);
  }
  return std::nullopt;
}

std::optional<std::string> PosixRegistryStore::read_text(
    std::string_view key, std::string_view name) const {
  auto value = find(key, name);
  if (!value || value->type != RegistryValueType::Text) return std::nullopt;
  if (value->text.size() + 1 > kRegistryTextLimit) return std::nullopt;
  const auto zero = value->text.find('\0');
  if (zero != std::string::npos) value->text.resize(zero);
  return std::move(value->text);
}

std::optional<uint32_t> PosixRegistryStore::read_dword(
    std::string_view key, std::string_view name) const {
  const auto value = find(key, name);
  if (!value || value->type != RegistryValueType::Dword) return std::nullopt;
  return value->dword;
}

bool PosixRegistryStore::write_text(std::string_view key, std::string_view name,
                                    std::string_view value) {
  RegistryValue entry;
  entry.name = std::string(name);
  entry.type = RegistryValueType::Text;
  entry.text = std::string(value);
  return write_value(key, std::move(entry));
}

bool PosixRegistryStore::write_dword(std::string_view key,
                                     std::string_view name, uint32_t value) {
  RegistryValue entry;
  entry.name = std::string(name);
  entry.type = RegistryValueType::Dword;
  entry.dword = value;
  return write_value(key, std::move(entry));
}

bool PosixRegistryStore::write_value(std::string_view key,
                                     RegistryValue value) {
  if (root_.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(root_, error);
  if (error) return false;
  const auto path = key_path(key);
  PosixLockFile lock(path + ".lock", kWriterLockTimeout);
  if (!lock.locked()) return false;
  std::string contents;
  // A key file that exists but cannot be read is not overwritten: its
  // values would be lost.
  if (load_file(path, contents) == LoadResult::Failed) return false;
  auto values = parse_registry_key(contents);
  put(values, std::move(value));
  return replace_file(path, format_registry_key(values));
}

bool PosixRegistryStore::delete_values(std::string_view key,
                                       const char* const* names,
                                       std::size_t count) {
  if (root_.empty()) return true;
  const auto path = key_path(key);
  // Nothing to delete without a key; the lock file is not created for it.
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  PosixLockFile lock(path + ".lock", kWriterLockTimeout);
  if (!lock.locked()) return false;
  std::string contents;
  switch (load_file(path, contents)) {
    case LoadResult::NoKey:
      return true;
    case LoadResult::Failed:
      return false;
    case LoadResult::Loaded:
      break;
  }
  auto values = parse_registry_key(contents);
  const auto before = values.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (names == nullptr || names[i] == nullptr) continue;
    const std::string_view name = names[i];
    std::erase_if(values, [&](const RegistryValue& value) {
      return same_name(value.name, name);
    });
  }
  if (values.size() == before) return true;
  return replace_file(path, format_registry_key(values));
}

}  // namespace kovra62386::platform
