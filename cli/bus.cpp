#include "cli/bus.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kovra62386::cli {
namespace {

// How long a frame that was not sent waits for the bus state that says why.
constexpr std::chrono::milliseconds kBusStateWait{300};

Interface open_interface(const Session& session, const std::string& name) {
  const std::vector<std::string> names = session.interfaces();
  if (names.empty()) {
    throw CliError(ExitCode::kNoInterface,
                   "the server offers no interfaces (or did not list them "
                   "in time)");
  }
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    throw CliError(ExitCode::kNoInterface,
                   fmt::format("unknown interface '{}' (available: {})", name,
                               fmt::join(names, ", ")));
  }
  try {
    return session.open(name);
  } catch (const UnknownInterface&) {
    throw CliError(ExitCode::kNoInterface,
                   fmt::format("the server refused to open '{}'", name));
  }
}

Transceiver start_transceiver(const Interface& bus,
                              Transceiver::Callback handler) {
  try {
    return Transceiver(bus, std::move(handler));
  } catch (const Error&) {
    throw CliError(ExitCode::kInternal,
                   "could not start a transceiver on the interface");
  }
}

}  // namespace

Session open_session() {
  try {
    return Session();
  } catch (const NoServer&) {
    throw CliError(ExitCode::kNoServer,
                   "cannot reach the DALI server on 127.0.0.1:" +
                       std::to_string(KOVRA62386_SERVER_PORT) +
                       ", and it could not be started (is Kovra62386Server "
                       "installed beside this tool?)");
  }
}

std::string BusReply::explain() const {
  std::string text;
  switch (status) {
    case SendStatus::answer:
      text = fmt::format("answer 0x{:02X} ({})", answer, answer);
      break;
    case SendStatus::no_answer:
      text = "no answer";
      break;
    case SendStatus::framing_error:
      text = "collision: several devices answered (or a framing error)";
      break;
    case SendStatus::no_result:
      text = "no confirmation from the interface";
      break;
    case SendStatus::not_echoed:
      text =
          "the interface confirmed the frame but it never appeared on "
          "the bus";
      break;
    case SendStatus::no_transceiver:
      text = "internal error: no transceiver runs on the handle";
      break;
  }
  if (!bus_note.empty()) text += " (" + bus_note + ")";
  return text;
}

ExitCode BusReply::exit_code_for_query() const {
  switch (status) {
    case SendStatus::answer:
      return ExitCode::kOk;
    case SendStatus::no_answer:
      return ExitCode::kNoAnswer;
    case SendStatus::framing_error:
      return ExitCode::kCollision;
    case SendStatus::no_result:
    case SendStatus::not_echoed:
      return ExitCode::kNotSent;
    case SendStatus::no_transceiver:
      return ExitCode::kInternal;
  }
  return ExitCode::kInternal;
}

BusInterface::BusInterface(const Session& session, const std::string& name,
                           Transceiver::Callback handler)
    : name_(name),
      interface_(open_interface(session, name)),
      transceiver_(start_transceiver(interface_, std::move(handler))) {}

BusReply BusInterface::send(const WriteFrameRecord& frame) {
  if (transceiver_.closed()) {
    throw CliError(ExitCode::kNoServer,
                   fmt::format("interface '{}' is no longer open: the server "
                               "closed it or the connection was lost",
                               name_));
  }
  BusReply reply(interface_.send(frame));
  if (reply.status == SendStatus::no_result) {
    if (transceiver_.closed()) {
      throw CliError(ExitCode::kNoServer,
                     fmt::format("lost interface '{}': the server closed it "
                                 "or the connection was lost",
                                 name_));
    }
    const auto state = transceiver_.query_bus_state(kBusStateWait);
    if (state && *state != BusState::ok) reply.bus_note = to_string(*state);
  }
  return reply;
}

}  // namespace kovra62386::cli
