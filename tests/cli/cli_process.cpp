#if !defined(_WIN32)

#include "cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

extern char** environ;

namespace kovra62386::testing {

CliProcess::CliProcess(const std::string& program,
                       const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) return;
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return;
  }
  // Everything the child needs is built before fork: only async-signal-safe
  // calls may follow it in a threaded parent.
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    merged[text.substr(0, text.find('='))] = text;
  }
  for (const auto& text : environment) {
    merged[text.substr(0, text.find('='))] = text;
  }
  std::vector<std::string> env_strings;
  for (auto& [name, text] : merged) env_strings.push_back(text);
  std::vector<char*> envp;
  for (auto& text : env_strings) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_strings{program};
  arg_strings.insert(arg_strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : arg_strings) argv.push_back(text.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0) ::dup2(null_fd, STDIN_FILENO);
    // The test runner may block signals; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (pid_ < 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return;
  }
  reader_ = std::thread(
      [this, out = out_pipe[0], err = err_pipe[0]] { read_output(out, err); });
}

CliProcess::~CliProcess() {
  if (pid_ > 0) finish(std::chrono::milliseconds(0));
  for (int fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void CliProcess::read_output(int out_fd, int err_fd) {
  pollfd fds[3] = {
      {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
  int open_count = 2;
  char buffer[4096];
  while (open_count > 0) {
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;
    for (int i = 0; i < 2; ++i) {
      pollfd& fd = fds[i];
      if (fd.fd < 0 || fd.revents == 0) continue;
      const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        (fd.fd == out_fd ? out_ : err_).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fd.fd);
        fd.fd = -1;
        --open_count;
      }
    }
    changed_.notify_all();
  }
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd >= 0) ::close(fds[i].fd);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    output_closed_ = true;
  }
  changed_.notify_all();
}

void CliProcess::signal(int signal_number) {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

bool CliProcess::wait_for_output(const std::string& text, bool in_stderr,
                                 std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return (in_stderr ? err_ : out_).find(text) != std::string::npos ||
           output_closed_;
  }) && (in_stderr ? err_ : out_).find(text) != std::string::npos;
}

CliResult CliProcess::finish(std::chrono::milliseconds timeout) {
  CliResult result;
  if (pid_ <= 0) return result;
  // The child's output closes when it ends, unless a program it started
  // inherited it; that one is cut off after a grace period.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return output_closed_; })) {
      result.timed_out = true;
    }
  }
  if (result.timed_out) ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(2),
                           [&] { return output_closed_; })) {
      const char byte = 1;
      (void)!::write(wake_pipe_[1], &byte, 1);
    }
  }
  if (reader_.joinable()) reader_.join();
  for (int& fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  result.out = out_;
  result.err = err_;
  if (!result.timed_out && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  return result;
}

CliResult run_cli(const std::vector<std::string>& arguments,
                  std::chrono::milliseconds timeout,
                  const std::vector<std::string>& environment) {
  CliProcess process(KOVRA62386_CLI_PATH, arguments, environment);
  return process.finish(timeout);
}

}  // namespace kovra62386::testing

#endif
