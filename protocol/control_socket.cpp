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
