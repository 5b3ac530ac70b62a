// The tool's thin layer over the C++ wrapper: a session and an opened
// interface with its transceiver, failures as the tool's errors, and the
// outcome of a frame in the tool's words and exit codes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/exit_codes.h"
#include "kovra62386/kovra62386.hpp"

namespace kovra62386::cli {

// Connects (the library starts the server when none runs); throws
// CliError(kNoServer) on failure.
Session open_session();

// The short key of a frame's outcome, for --json and the bridge's replies.
constexpr const char* outcome_key(SendStatus status) noexcept {
  switch (status) {
    case SendStatus::answer:
      return "answer";
    case SendStatus::no_answer:
      return "no_answer";
    case SendStatus::framing_error:
      return "collision";
    case SendStatus::no_result:
      return "not_confirmed";
    case SendStatus::not_echoed:
      return "not_echoed";
    case SendStatus::no_transceiver:
      return "no_transceiver";
  }
  return "unknown";
}

// What one frame met, with the reason the interface gave when it did not
// send the frame.
struct BusReply : SendOutcome {
  explicit BusReply(const SendOutcome& outcome) : SendOutcome(outcome) {}

  std::string bus_note;  // why it was not sent, when the interface said so

  bool answered() const { return status == SendStatus::answer; }
  // "answer 0xFE (254)", "no answer", "collision: several devices answered"
  std::string explain() const;
  // Short key for --json: answer, no_answer, collision, not_confirmed, ...
  const char* key() const { return outcome_key(status); }
  // The exit code of a command whose frame expected an answer.
  ExitCode exit_code_for_query() const;
};

// An opened interface with a running transceiver. Every event reaches the
// optional handler on the transceiver's thread. Destruction stops the
// transceiver, then closes the handle.
class BusInterface {
 public:
  // Throws CliError(kNoInterface) for a name the server does not offer.
  BusInterface(const Session& session, const std::string& name,
               Transceiver::Callback handler = {});

  const std::string& name() const { return name_; }

  // Sends one frame and waits for its outcome (at most 750 ms per
  // transmission). When the interface did not confirm, asks it for the bus
  // state to say why. Throws CliError(kNoServer) once the handle is gone.
  BusReply send(const WriteFrameRecord& frame);
  BusReply send(uint8_t address_byte, uint8_t second_byte, bool twice = false) {
    return send(forward_frame(address_byte, second_byte, twice));
  }

  // Asks the interface for its bus state; nothing when no report came
  // within `wait`. Never from the handler: its thread delivers the report.
  std::optional<BusState> bus_state(std::chrono::milliseconds wait) const {
    return transceiver_.query_bus_state(wait);
  }

 private:
  std::string name_;
  Interface interface_;
  Transceiver transceiver_;  // declared last: stops before the handle closes
};

}  // namespace kovra62386::cli
