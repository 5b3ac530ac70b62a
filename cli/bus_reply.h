// The outcome of one forward frame sent with KOVRA62386_send, in words.
#ifndef KOVRA62386_TOOLS_CLI_BUS_REPLY_H
#define KOVRA62386_TOOLS_CLI_BUS_REPLY_H

#include <cstdint>
#include <string>

#include "cli/exit_codes.h"

namespace kovra62386::cli {

enum class ReplyKind {
  kAnswer,         // a backward frame came back
  kNoAnswer,       // the frame went out; nobody answered
  kCollision,      // several devices answered at once, or a framing error
  kNotConfirmed,   // the interface never confirmed the frame (or refused it)
  kNotEchoed,      // confirmed, but the frame was never seen on the bus
  kNoTransceiver,  // the tool's own transceiver was missing
};

struct BusReply {
  ReplyKind kind = ReplyKind::kNotConfirmed;
  uint8_t answer = 0;    // valid for kAnswer
  std::string bus_note;  // why it was not sent, when the interface said so

  static BusReply from_send_status(int32_t status, uint8_t answer);

  bool answered() const { return kind == ReplyKind::kAnswer; }
  // The frame reached the bus (answered or not, or collided).
  bool transmitted() const {
    return kind == ReplyKind::kAnswer || kind == ReplyKind::kNoAnswer ||
           kind == ReplyKind::kCollision;
  }
  // "answer 0xFE (254)", "no answer", "collision: several devices answered"
  std::string explain() const;
  // Short key for --json: answer, no_answer, collision, not_confirmed, ...
  const char* key() const;
  // The exit code of a command whose frame expected an answer.
  ExitCode exit_code_for_query() const;
};

}  // namespace kovra62386::cli

#endif  // KOVRA62386_TOOLS_CLI_BUS_REPLY_H
