// Exit codes of the kovra62386 tool and the error that carries one.
#pragma once

#include <stdexcept>
#include <string>

namespace kovra62386::cli {

enum class ExitCode : int {
  kOk = 0,
  kInternal = 1,      // unexpected failure inside the tool
  kUsage = 2,         // bad arguments
  kNoServer = 3,      // the server is not reachable and could not be started
  kNoInterface = 4,   // unknown interface, or it could not be opened
  kNoAnswer = 5,      // the addressed gear did not answer
  kCollision = 6,     // several devices answered at once (or framing error)
  kNotSent = 7,       // the interface did not confirm or transmit the frame
  kIncomplete = 8,    // commissioning could not address every gear
  kInterrupted = 130  // stopped by Ctrl-C before finishing
};

// The table shown by --help and kept in the README.
inline constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0    success\n"
    "  1    unexpected internal error\n"
    "  2    bad arguments\n"
    "  3    no server: the DALI server is not running and could not be "
    "started\n"
    "  4    unknown interface, or the interface could not be opened\n"
    "  5    no answer from the addressed gear\n"
    "  6    collision: several devices answered at once\n"
    "  7    the interface did not confirm or transmit the frame\n"
    "  8    commissioning left gear without a short address\n"
    "  130  interrupted by Ctrl-C (monitor: 0, Ctrl-C is its normal end)\n";

// Thrown by commands; main prints the message and exits with the code.
class CliError : public std::runtime_error {
 public:
  CliError(ExitCode code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

 private:
  ExitCode code_;
};

// Short machine-readable names for --json error objects.
inline const char* exit_code_name(ExitCode code) {
  switch (code) {
    case ExitCode::kOk:
      return "ok";
    case ExitCode::kInternal:
      return "internal";
    case ExitCode::kUsage:
      return "usage";
    case ExitCode::kNoServer:
      return "no_server";
    case ExitCode::kNoInterface:
      return "no_interface";
    case ExitCode::kNoAnswer:
      return "no_answer";
    case ExitCode::kCollision:
      return "collision";
    case ExitCode::kNotSent:
      return "not_sent";
    case ExitCode::kIncomplete:
      return "incomplete";
    case ExitCode::kInterrupted:
      return "interrupted";
  }
  return "unknown";
}

}  // namespace kovra62386::cli
