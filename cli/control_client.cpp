#include "cli/control_client.h"

#include <thread>

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
constexpr milliseconds kConnectRetry{50};

}  // namespace

#if !defined(_WIN32)

namespace {

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

bool final_line(const std::string& line) {
  return line.rfind("ok", 0) == 0 || line.rfind("error", 0) == 0;
}

}  // namespace

std::optional<ControlAnswer> ask_control_channel(const std::string& request,
                                                 milliseconds connect_timeout,
                                                 std::size_t max_lines,
                                                 std::string& why) {
  const std::string path = sim_control::socket_path();
  const auto connect_deadline = Clock::now() + connect_timeout;
  auto socket = std::make_unique<Socket>();
  while (!connect_to(*socket, path)) {
    if (Clock::now() >= connect_deadline) {
      why = "cannot reach the server's control channel at " + path + ": " +
            std::strerror(errno);
      return std::nullopt;
    }
    // Nothing to wait on: the socket does not exist yet.
    std::this_thread::sleep_for(kConnectRetry);
    socket = std::make_unique<Socket>();
  }
  const std::string line = request + "\n";
  if (::send(socket->fd(), line.data(), line.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(line.size())) {
    why = "the control channel closed";
    return std::nullopt;
  }
  ControlAnswer answer;
  std::string pending;
  const auto deadline = Clock::now() + kAnswerTimeout;
  for (;;) {
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string text = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (final_line(text)) {
        answer.last = std::move(text);
        return answer;
      }
      if (answer.lines.size() >= max_lines) {
        why = "the control channel answered too many lines";
        return std::nullopt;
      }
      answer.lines.push_back(std::move(text));
    }
    if (pending.size() > sim_control::kMaxAnswerLine) {
      why = "the control channel answered a line too long";
      return std::nullopt;
    }
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd p{socket->fd(), POLLIN, 0};
    if (left.count() <= 0 ||
        ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      why = "the server did not answer in time";
      return std::nullopt;
    }
    char buffer[1024];
    const ssize_t got = ::recv(socket->fd(), buffer, sizeof buffer, 0);
    if (got <= 0) {
      why = "the control channel closed without an answer";
      return std::nullopt;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
  }
}

#else

std::optional<ControlAnswer> ask_control_channel(const std::string&,
                                                 milliseconds, std::size_t,
                                                 std::string& why) {
  why = "the server's control channel is a Unix socket, not on Windows yet";
  return std::nullopt;
}

#endif

}  // namespace kovra62386::cli
