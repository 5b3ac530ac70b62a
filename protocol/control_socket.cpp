#include "protocol/control_socket.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace kovra62386::sim_control {

namespace {

constexpr std::string_view kInterfaceTag = "interface";
constexpr char kSeparator = '\t';
constexpr std::size_t kFields = 8;

void append_field(std::string& out, std::string_view field) {
  out.push_back(kSeparator);
  for (const char c : field) {
    out.push_back(c == kSeparator || c == '\n' || c == '\r' ? ' ' : c);
  }
}

}  // namespace

std::string format_interface_line(const InterfaceLine& line) {
  std::string out(kInterfaceTag);
  append_field(out, std::to_string(line.index));
  for (const std::string* field :
       {&line.name, &line.driver, &line.state, &line.where, &line.firmware}) {
    append_field(out, *field);
  }
  // The error comes last: cut, it leaves the other fields whole.
  const std::size_t room =
      out.size() + 1 < kMaxAnswerLine ? kMaxAnswerLine - out.size() - 1 : 0;
  append_field(out, std::string_view(line.error).substr(0, room));
  if (out.size() > kMaxAnswerLine) out.resize(kMaxAnswerLine);
  return out;
}

std::optional<InterfaceLine> parse_interface_line(std::string_view text) {
  if (text.size() > kMaxAnswerLine) return std::nullopt;
  std::string_view fields[kFields];
  std::size_t count = 0;
  for (;;) {
    const std::size_t end = text.find(kSeparator);
    if (count == kFields) return std::nullopt;
    fields[count++] = text.substr(0, end);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  if (count != kFields || fields[0] != kInterfaceTag) return std::nullopt;
  InterfaceLine line;
  if (fields[1].empty() || fields[1].size() > 3) return std::nullopt;
  for (const char c : fields[1]) {
    if (c < '0' || c > '9') return std::nullopt;
    line.index = line.index * 10 + static_cast<unsigned>(c - '0');
  }
  if (line.index > 255 || fields[2].empty()) return std::nullopt;
  line.name = fields[2];
  line.driver = fields[3];
  line.state = fields[4];
  line.where = fields[5];
  line.firmware = fields[6];
  line.error = fields[7];
  return line;
}

#if defined(_WIN32)

std::string socket_directory() { return {}; }
std::string socket_path() { return {}; }
std::string prepare_private_directory(const std::string&) {
  return "the control channel needs Unix sockets";
}

#else

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

uint64_t fnv1a(std::string_view text) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

}  // namespace

std::string socket_directory() {
  const std::string runtime = environment("XDG_RUNTIME_DIR");
  if (!runtime.empty() && runtime.front() == '/') {
    return runtime + "/kovra62386";
  }
  return "/tmp/kovra62386-" + std::to_string(::geteuid());
}

std::string socket_path() {
  const std::string root = environment("KOVRA62386_REGISTRY_ROOT");
  if (root.empty()) return socket_directory() + "/control.sock";
  char name[40];
  std::snprintf(name, sizeof name, "/control-%016llx.sock",
                static_cast<unsigned long long>(fnv1a(root)));
  return socket_directory() + name;
}

std::string prepare_private_directory(const std::string& directory) {
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    return "cannot create " + directory + ": " + std::strerror(errno);
  }
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) {
    return "cannot inspect " + directory + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(info.st_mode)) return directory + " is not a folder";
  if (info.st_uid != ::geteuid()) {
    return directory + " belongs to another user";
  }
  if ((info.st_mode & 077) != 0 && ::chmod(directory.c_str(), 0700) != 0) {
    return "cannot make " + directory + " private: " + std::strerror(errno);
  }
  return {};
}

#endif

}  // namespace kovra62386::sim_control
