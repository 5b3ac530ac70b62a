// `sim`: a person's hand on the simulated installation. The request goes to
// the simulated server's own control channel (a Unix socket of this user,
// see protocol/control_socket.h), not through the library: a real bus
// has no command for "someone pressed a button".
#include <fmt/format.h>

#include <chrono>
#include <string>

#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/control_client.h"
#include "protocol/control_socket.h"

namespace kovra62386::cli {
namespace {

// A server the library just started opens its channel shortly after.
constexpr std::chrono::milliseconds kConnectTimeout{3'000};

// Sends one request line and returns the answer line.
std::string ask_server(const std::string& request) {
  std::string why;
  const auto answer = ask_control_channel(request, kConnectTimeout, 0, why);
  if (!answer) {
#if defined(_WIN32)
    throw CliError(ExitCode::kNoServer,
                   "`sim` is not available on Windows yet: the simulated "
                   "server's control channel is a Unix socket");
#else
    throw CliError(ExitCode::kNoServer,
                   why +
                       " (only the simulated server, run by this user, has "
                       "one)");
#endif
  }
  return answer->last;
}

// "error KIND TEXT": the exit code for KIND.
ExitCode exit_code_for(const std::string& kind) {
  if (kind == "interface") return ExitCode::kNoInterface;
  if (kind == "power") return ExitCode::kNotSent;
  return ExitCode::kUsage;  // usage, target: the arguments name nothing
}

}  // namespace

ExitCode run_sim(const Context& context,
                 const std::vector<std::string>& words) {
  std::string request;
  for (const auto& word : words) {
    if (word.find_first_of(" \t\r\n") != std::string::npos || word.empty()) {
      throw CliError(
          ExitCode::kUsage,
          fmt::format("'{}': words of a sim action have no spaces", word));
    }
    request += (request.empty() ? "" : " ") + word;
  }
  if (request.size() >= sim_control::kMaxLine) {
    throw CliError(ExitCode::kUsage, "the sim action is too long");
  }
  // Starts the server when none runs, as every command does.
  const Session session = open_session();
  const std::string answer = ask_server(request);
  if (answer.rfind("ok", 0) == 0) {
    const std::string text = answer.size() > 3 ? answer.substr(3) : "done";
    if (context.json) {
      print_json({{"action", words}, {"result", text}});
    } else {
      fmt::print("{}\n", text);
    }
    return ExitCode::kOk;
  }
  // "error KIND TEXT"
  const std::size_t kind_end = answer.find(' ', 6);
  const std::string kind =
      answer.rfind("error ", 0) == 0 ? answer.substr(6, kind_end - 6) : "";
  const std::string text =
      kind_end == std::string::npos ? answer : answer.substr(kind_end + 1);
  throw CliError(exit_code_for(kind), text);
}

}  // namespace kovra62386::cli
