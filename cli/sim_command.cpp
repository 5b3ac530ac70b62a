// `sim`: a person's hand on the simulated installation. The request goes to
// the simulated server's own control channel (a Unix socket of this user,
// see protocol/control_socket.h), not through the library: a real bus
// has no command for "someone pressed a button".
#include <fmt/format.h>

#include <chrono>
#include <string>
#include <thread>

#include "cli/bus.h"
#include "cli/commands.h"
#include "protocol/control_socket.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace kovra62386::cli {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The server acts on its own thread; its answer may take a moment.
constexpr milliseconds kAnswerTimeout{15'000};
// A server the library just started opens its channel shortly after.
constexpr milliseconds kConnectTimeout{3'000};

#if !defined(_WIN32)

class Socket {
 public:
  Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool connect_to(const Socket& socket, const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address),
                   sizeof address) == 0;
}

// Sends one request line and returns the answer line.
std::string ask_server(const std::string& request) {
  const std::string path = sim_control::socket_path();
  const auto connect_deadline = Clock::now() + kConnectTimeout;
  auto socket = std::make_unique<Socket>();
  while (!connect_to(*socket, path)) {
    if (Clock::now() >= connect_deadline) {
      throw CliError(ExitCode::kNoServer,
                     fmt::format("cannot reach the simulated server's control "
                                 "channel at {}: {} (only the simulated "
                                 "server, run by this user, has one)",
                                 path, std::strerror(errno)));
    }
    std::this_thread::sleep_for(milliseconds(50));
    socket = std::make_unique<Socket>();
  }
  const std::string line = request + "\n";
  if (::send(socket->fd(), line.data(), line.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(line.size())) {
    throw CliError(ExitCode::kNoServer, "the control channel closed");
  }
  std::string answer;
  const auto deadline = Clock::now() + kAnswerTimeout;
  while (answer.find('\n') == std::string::npos &&
         answer.size() <= sim_control::kMaxLine) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd p{socket->fd(), POLLIN, 0};
    if (left.count() <= 0 ||
        ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      throw CliError(ExitCode::kNoServer,
                     "the simulated server did not answer in time");
    }
    char buffer[256];
    const ssize_t got = ::recv(socket->fd(), buffer, sizeof buffer, 0);
    if (got <= 0) {
      throw CliError(ExitCode::kNoServer,
                     "the control channel closed without an answer");
    }
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  return answer.substr(0, answer.find('\n'));
}

#else

std::string ask_server(const std::string&) {
  throw CliError(ExitCode::kNoServer,
                 "`sim` is not available on Windows yet: the simulated "
                 "server's control channel is a Unix socket");
}

#endif

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
