// Runs the kovra62386 tool as a child process with its output captured,
// for the end-to-end tests. POSIX only.
#pragma once

#if !defined(_WIN32)

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kovra62386::testing {

struct CliResult {
  int exit_code = -1;  // -1: killed by a signal or timed out
  std::string out;
  std::string err;
  bool timed_out = false;
};

// A running child. Its stdout and stderr are read by a thread of its own
// until the child closes them.
class CliProcess {
 public:
  // `program` gets `arguments`; `environment` entries ("NAME=value") are
  // added to (or replace those of) the current environment.
  CliProcess(const std::string& program,
             const std::vector<std::string>& arguments,
             const std::vector<std::string>& environment = {});
  ~CliProcess();  // kills a child that still runs
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int signal_number);
  // Waits until `text` shows in stdout (or stderr), at most `timeout`.
  bool wait_for_output(const std::string& text, bool in_stderr,
                       std::chrono::milliseconds timeout);
  // Waits for the child to end (killing it after `timeout`) and returns
  // everything it printed.
  CliResult finish(std::chrono::milliseconds timeout);

 private:
  void read_output(int out_fd, int err_fd);

  pid_t pid_ = -1;
  int wake_pipe_[2] = {-1, -1};  // ends the reader when output stays open
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  bool output_closed_ = false;
};

// Runs the CLI built beside the tests with `arguments` and waits for it.
CliResult run_cli(const std::vector<std::string>& arguments,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60),
                  const std::vector<std::string>& environment = {});

}  // namespace kovra62386::testing

#endif
