// The CLI's side of the server's control channel (protocol/control_socket.h):
// one request, its answer lines. Unix sockets only; elsewhere every request
// fails as "no channel".
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kovra62386::cli {

struct ControlAnswer {
  // Every line before the last, and the last ("ok ..." or "error ...").
  std::vector<std::string> lines;
  std::string last;
};

// Connects within `connect_timeout` (a server the library just started
// opens its channel shortly after its port) and sends `request`. nullopt
// with `why` set when there is no channel or it does not answer in time;
// at most `max_lines` lines are taken before the last.
std::optional<ControlAnswer> ask_control_channel(
    const std::string& request, std::chrono::milliseconds connect_timeout,
    std::size_t max_lines, std::string& why);

}  // namespace kovra62386::cli
