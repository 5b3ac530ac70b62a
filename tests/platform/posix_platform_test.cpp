// The POSIX platform's operating-system side: the named mutex, starting a
// program, the executable's own path and the clock.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/scoped_registry_root.h"

namespace kovra62386::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kovra62386::testing::ScopedEnvironment;
using kovra62386::testing::TempDirectory;

// One name per test process, so parallel test processes do not contend.
std::string unique_mutex_name(const char* test) {
  return std::string("Kovra62386Test-") + test + "-" +
         std::to_string(::getpid());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// Waits, bounded, for a file that another process renames into place.
bool wait_for_file(const std::string& path, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!std::filesystem::exists(path)) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(PosixPlatform, NamedMutexExcludesASecondHolderUntilReleased) {
  Platform& platform = system_platform();
  const auto name = unique_mutex_name("exclude");
  auto first = platform.acquire_named_mutex(name.c_str(), 1000ms);
  ASSERT_TRUE(first->owned());

  // A second holder, even in this process, waits out its time-out.
  const auto start = Clock::now();
  auto second = platform.acquire_named_mutex(name.c_str(), 150ms);
  const auto waited = Clock::now() - start;
  EXPECT_FALSE(second->owned());
  EXPECT_GE(waited, 140ms);
  EXPECT_LT(waited, 2000ms);
  second.reset();
  EXPECT_FALSE(platform.acquire_named_mutex(name.c_str(), 0ms)->owned());

  // Released by the destructor: a waiter gets it well before its limit.
  std::unique_ptr<NamedMutexLock> waiter_lock;
  Clock::duration waiter_took{};
  std::thread waiter([&] {
    const auto asked = Clock::now();
    waiter_lock = platform.acquire_named_mutex(name.c_str(), 10000ms);
    waiter_took = Clock::now() - asked;
  });
  std::this_thread::sleep_for(50ms);  // lets the waiter start waiting
  first.reset();
  waiter.join();
  EXPECT_TRUE(waiter_lock->owned());
  EXPECT_LT(waiter_took, 2000ms);

  // A different name is a different mutex.
  const auto other = unique_mutex_name("other");
  EXPECT_TRUE(platform.acquire_named_mutex(other.c_str(), 0ms)->owned());
}

TEST(PosixPlatform, NamedMutexFileIsThisUsersAlone) {
  TempDirectory runtime;
  ScopedEnvironment folder("XDG_RUNTIME_DIR", runtime.path().c_str());
  Platform& platform = system_platform();
  const auto name = unique_mutex_name("owner");
  ASSERT_TRUE(platform.acquire_named_mutex(name.c_str(), 0ms)->owned());

  // One file, named for this user, that nobody else may open.
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(runtime.path()))
    files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  const std::string file = files.front().string();
  EXPECT_EQ(files.front().filename().string(),
            name + "-" + std::to_string(::geteuid()) + ".lock");
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A file of that name that another user owns is refused at once, not
  // waited on. Only root can give a file away.
  if (::chown(file.c_str(), 65534, 65534) != 0) {
    GTEST_SKIP() << "cannot give the lock file to another user";
  }
  const auto start = Clock::now();
  EXPECT_FALSE(platform.acquire_named_mutex(name.c_str(), 5000ms)->owned());
  EXPECT_LT(Clock::now() - start, 1000ms);
}

class LaunchProgram : public ::testing::Test {
 protected:
  // A script that records what it was started with, then renames its report
  // into place so the test never reads half of it.
  std::string write_probe(int inherited_fd) {
    const std::string script = directory_.path() + "/probe.sh";
    std::ofstream out(script);
    out << "#!/bin/sh\n"
           "report=\"$0.report\"\n"
           "stdin=$(readlink /proc/$$/fd/0)\n"
           "stdout=$(readlink /proc/$$/fd/1)\n"
           "stderr=$(readlink /proc/$$/fd/2)\n"
           "inherited=$([ -e /proc/$$/fd/"
        << inherited_fd
        << " ] && echo yes)\n"
           "argc=$#\n"
           "argv0=$0\n"
           "set -- $(cat /proc/$$/stat)\n"
           "own_session=$([ \"$1\" = \"$6\" ] && echo yes)\n"
           "for name in argc argv0 stdin stdout stderr own_session "
           "inherited; do\n"
           "  eval echo \"$name=\\$$name\"\n"
           "done > \"$report.tmp\"\n"
           "echo \"pid=$$\" >> \"$report.tmp\"\n"
           "mv \"$report.tmp\" \"$report\"\n";
    out.close();
    ::chmod(script.c_str(), 0755);
    return script;
  }

  TempDirectory directory_;
};

TEST_F(LaunchProgram, StartsTheProgramBareAndDetached) {
  // A descriptor without close-on-exec must still not reach the program.
  // A high number keeps clear of the descriptors the shell opens itself.
  const int opened = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(opened, 0);
  const int leaky = ::dup2(opened, 57);
  ::close(opened);
  ASSERT_EQ(leaky, 57);
  const auto script = write_probe(leaky);
  const bool started = system_platform().launch_program(script);
  ::close(leaky);
  ASSERT_TRUE(started);
  ASSERT_TRUE(wait_for_file(script + ".report", 10s));

  const auto report = read_file(script + ".report");
  EXPECT_NE(report.find("argc=0\n"), std::string::npos) << report;
  EXPECT_NE(report.find("argv0=" + script + "\n"), std::string::npos) << report;
  EXPECT_NE(report.find("stdin=/dev/null\n"), std::string::npos) << report;
  EXPECT_NE(report.find("stdout=/dev/null\n"), std::string::npos) << report;
  EXPECT_NE(report.find("stderr=/dev/null\n"), std::string::npos) << report;
  EXPECT_NE(report.find("own_session=yes\n"), std::string::npos) << report;
  EXPECT_NE(report.find("inherited=\n"), std::string::npos) << report;

  // The ended program is reaped by the next launch, not left a zombie.
  const auto pid_at = report.find("pid=");
  ASSERT_NE(pid_at, std::string::npos);
  const pid_t pid = std::stoi(report.substr(pid_at + 4));
  const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
  const auto deadline = Clock::now() + 10s;
  for (;;) {
    const auto stat = read_file(stat_path);
    const auto state_at = stat.rfind(')');
    if (state_at != std::string::npos && stat.size() > state_at + 2 &&
        stat[state_at + 2] == 'Z') {
      break;
    }
    ASSERT_LT(Clock::now(), deadline) << "program did not end: " << stat;
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(system_platform().launch_program(""));
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(LaunchProgram, AnswersFalseAtOnceForWhatCannotRun) {
  Platform& platform = system_platform();
  const auto plain = directory_.path() + "/not-executable";
  std::ofstream(plain) << "#!/bin/sh\n";
  const auto start = Clock::now();
  EXPECT_FALSE(platform.launch_program(directory_.path() + "/missing"));
  EXPECT_FALSE(platform.launch_program(""));
  EXPECT_FALSE(platform.launch_program(directory_.path()));  // a folder
  EXPECT_FALSE(platform.launch_program(plain));
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(PosixPlatform, ExecutablePathNamesThisProgram) {
  const auto path = system_platform().executable_path();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(std::filesystem::path(path).filename(),
            std::filesystem::path(program_invocation_name).filename());
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

TEST(PosixPlatform, ClockIsMonotonicAndSleepLastsAtLeastItsDuration) {
  Platform& platform = system_platform();
  const auto before = platform.now();
  platform.sleep_for(20ms);
  const auto slept = platform.now() - before;
  EXPECT_GE(slept, 20ms);
  EXPECT_LT(slept, 2000ms);
  const auto again = platform.now();
  platform.sleep_for(-5ms);  // nothing to wait for
  EXPECT_LT(platform.now() - again, 100ms);
  EXPECT_EQ(&platform, &system_platform());
}

}  // namespace
}  // namespace kovra62386::platform

#endif  // !_WIN32
