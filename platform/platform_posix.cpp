// The POSIX platform: the file-backed registry store, posix_spawn, flock
// and /proc/self/exe.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_file_lock.h"
#include "platform/posix_registry_store.h"

namespace kovra62386::platform {
namespace {

class PosixNamedMutexLock final : public NamedMutexLock {
 public:
  PosixNamedMutexLock(const std::string& path,
                      std::chrono::milliseconds timeout)
      : file_(path, timeout, LockFileSharing::ThisUser) {}
  bool owned() const override { return file_.locked(); }

 private:
  PosixLockFile file_;
};

std::string absolute_env_directory(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || value[0] != '/') return {};
  return value;
}

// "<runtime or temp dir>/<name>-<uid>.lock", the name reduced to characters
// that are safe in a file name. The uid keeps users apart in a shared temp
// folder; a file of that name that another user made is refused, so it
// cannot hold anyone's start-up (the sequence then runs unlocked).
std::string named_mutex_path(const char* name) {
  std::string file_name;
  for (const char* c = name; c != nullptr && *c != '\0'; ++c) {
    const bool safe = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') ||
                      (*c >= '0' && *c <= '9') || *c == '-' || *c == '_';
    file_name += safe ? *c : '_';
  }
  file_name += "-" + std::to_string(::geteuid()) + ".lock";
  // The per-user runtime folder keeps users apart, as Windows sessions keep
  // local mutex names apart; the temp folder serves when there is none.
  std::string directory = absolute_env_directory("XDG_RUNTIME_DIR");
  struct stat info {};
  if (directory.empty() || ::stat(directory.c_str(), &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    directory = absolute_env_directory("TMPDIR");
    if (directory.empty()) directory = "/tmp";
  }
  return directory + "/" + file_name;
}

bool is_executable_file(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 &&
         S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

class PosixPlatform final : public Platform {
 public:
  std::optional<std::string> read_text(Hive hive, const char* name) override {
    if (name == nullptr) return std::nullopt;
    return PosixRegistryStore(registry_hive_root(hive))
        .read_text(kServerKey, name);
  }

  std::optional<uint32_t> read_dword(Hive hive, const char* name) override {
    if (name == nullptr) return std::nullopt;
    return PosixRegistryStore(registry_hive_root(hive))
        .read_dword(kServerKey, name);
  }

  void delete_values(Hive hive, const char* const* names,
                     std::size_t count) override {
    PosixRegistryStore(registry_hive_root(hive))
        .delete_values(kServerKey, names, count);
  }

  bool write_text(Hive hive, const char* name,
                  const std::string& value) override {
    if (name == nullptr) return false;
    return PosixRegistryStore(registry_hive_root(hive))
        .write_text(kServerKey, name, value);
  }

  bool write_dword(Hive hive, const char* name, uint32_t value) override {
    if (name == nullptr) return false;
    return PosixRegistryStore(registry_hive_root(hive))
        .write_dword(kServerKey, name, value);
  }

  std::string executable_path() override {
    std::string buffer(256, '\0');
    for (;;) {
      const ssize_t n =
          ::readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (n <= 0) return {};
      if (static_cast<std::size_t>(n) < buffer.size()) {
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
      }
      if (buffer.size() >= 65536) return {};
      buffer.resize(buffer.size() * 2);
    }
  }

  // The server gets a session of its own, so that it outlives the client
  // and its terminal, and neither the client's streams nor its other file
  // descriptors. Signals the client ignores or blocks are set back.
  //
  // The child is not waited for: it normally outlives the client. A child
  // that ends first (a server that finds its port taken) would stay a
  // zombie until the client exits, so each launch first reaps, without
  // waiting, those of its own earlier children that have ended. Other
  // children of the process are never touched.
  bool launch_program(const std::string& path) override {
    reap_ended_children();
    if (!is_executable_file(path)) return false;

    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawnattr_t attributes;
    if (::posix_spawnattr_init(&attributes) != 0) {
      ::posix_spawn_file_actions_destroy(&actions);
      return false;
    }
    bool prepared = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null",
                                                       O_RDONLY, 0) == 0 &&
                    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null",
                                                       O_WRONLY, 0) == 0 &&
                    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null",
                                                       O_WRONLY, 0) == 0;
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
    prepared = prepared &&
               ::posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
#endif
    sigset_t no_signals;
    sigemptyset(&no_signals);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE,
                                    SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) {
      sigaddset(&defaults, signal_number);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(POSIX_SPAWN_SETSID)
    flags |= POSIX_SPAWN_SETSID;
#else
    flags |= POSIX_SPAWN_SETPGROUP;
#endif
    prepared = prepared &&
               ::posix_spawnattr_setsigmask(&attributes, &no_signals) == 0 &&
               ::posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
               ::posix_spawnattr_setflags(&attributes, flags) == 0;

    bool started = false;
    if (prepared) {
      std::string program = path;
      char* const arguments[] = {program.data(), nullptr};
      pid_t child = 0;
      started = ::posix_spawn(&child, path.c_str(), &actions, &attributes,
                              arguments, environ) == 0;
      if (started) remember_child(child);
    }
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return started;
  }

  std::unique_ptr<NamedMutexLock> acquire_named_mutex(
      const char* name, std::chrono::milliseconds timeout) override {
    return std::make_unique<PosixNamedMutexLock>(named_mutex_path(name),
                                                 timeout);
  }

  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::now();
  }

  void sleep_for(std::chrono::milliseconds duration) override {
    if (duration.count() > 0) std::this_thread::sleep_for(duration);
  }

 private:
  void remember_child(pid_t child) {
    std::lock_guard lock(children_mutex_);
    children_.push_back(child);
  }

  void reap_ended_children() {
    std::lock_guard lock(children_mutex_);
    std::erase_if(children_, [](pid_t child) {
      int status = 0;
      pid_t result;
      do {
        result = ::waitpid(child, &status, WNOHANG);
      } while (result < 0 && errno == EINTR);
      // Reaped now, or no longer ours to reap (someone else waited for it).
      return result != 0;
    });
  }

  std::mutex children_mutex_;
  std::vector<pid_t> children_;
};

}  // namespace

Platform& system_platform() {
  // Never destroyed: it may be used from other objects' destructors at exit.
  // Static storage rather than the heap: a leak checker would report the
  // object after the library is unloaded.
  alignas(PosixPlatform) static unsigned char storage[sizeof(PosixPlatform)];
  static auto* const instance = new (storage) PosixPlatform;
  return *instance;
}

}  // namespace kovra62386::platform
