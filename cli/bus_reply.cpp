#include "cli/bus_reply.h"

#include <fmt/format.h>
#include <kovra62386/kovra62386.h>

namespace kovra62386::cli {

BusReply BusReply::from_send_status(int32_t status, uint8_t answer) {
  BusReply reply;
  switch (status) {
    case KOVRA62386_SEND_ANSWER:
      reply.kind = ReplyKind::kAnswer;
      reply.answer = answer;
      break;
    case KOVRA62386_SEND_NO_ANSWER:
      reply.kind = ReplyKind::kNoAnswer;
      break;
    case KOVRA62386_SEND_FRAMING_ERROR:
      reply.kind = ReplyKind::kCollision;
      break;
    case KOVRA62386_SEND_NOT_ECHOED:
      reply.kind = ReplyKind::kNotEchoed;
      break;
    case KOVRA62386_SEND_NO_TRANSCEIVER:
      reply.kind = ReplyKind::kNoTransceiver;
      break;
    default:
      reply.kind = ReplyKind::kNotConfirmed;
      break;
  }
  return reply;
}

std::string BusReply::explain() const {
  std::string text;
  switch (kind) {
    case ReplyKind::kAnswer:
      text = fmt::format("answer 0x{:02X} ({})", answer, answer);
      break;
    case ReplyKind::kNoAnswer:
      text = "no answer";
      break;
    case ReplyKind::kCollision:
      text = "collision: several devices answered (or a framing error)";
      break;
    case ReplyKind::kNotConfirmed:
      text = "no confirmation from the interface";
      break;
    case ReplyKind::kNotEchoed:
      text =
          "the interface confirmed the frame but it never appeared on "
          "the bus";
      break;
    case ReplyKind::kNoTransceiver:
      text = "internal error: no transceiver runs on the handle";
      break;
  }
  if (!bus_note.empty()) text += " (" + bus_note + ")";
  return text;
}

const char* BusReply::key() const {
  switch (kind) {
    case ReplyKind::kAnswer:
      return "answer";
    case ReplyKind::kNoAnswer:
      return "no_answer";
    case ReplyKind::kCollision:
      return "collision";
    case ReplyKind::kNotConfirmed:
      return "not_confirmed";
    case ReplyKind::kNotEchoed:
      return "not_echoed";
    case ReplyKind::kNoTransceiver:
      return "no_transceiver";
  }
  return "unknown";
}

ExitCode BusReply::exit_code_for_query() const {
  switch (kind) {
    case ReplyKind::kAnswer:
      return ExitCode::kOk;
    case ReplyKind::kNoAnswer:
      return ExitCode::kNoAnswer;
    case ReplyKind::kCollision:
      return ExitCode::kCollision;
    case ReplyKind::kNotConfirmed:
    case ReplyKind::kNotEchoed:
      return ExitCode::kNotSent;
    case ReplyKind::kNoTransceiver:
      return ExitCode::kInternal;
  }
  return ExitCode::kInternal;
}

}  // namespace kovra62386::cli
