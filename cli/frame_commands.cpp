// `send`, `query` and `set`: one transaction each, explained in words.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/arguments.h"
#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/dali_words.h"
#include "dali/dali_commands.h"

namespace kovra62386::cli {
namespace {

dali::Address to_dali(const DaliAddress& address) {
  switch (address.kind) {
    case DaliAddress::Kind::kShort:
      return dali::Address::short_address(static_cast<uint8_t>(address.index));
    case DaliAddress::Kind::kGroup:
      return dali::Address::group(static_cast<uint8_t>(address.index));
    case DaliAddress::Kind::kBroadcastUnaddressed:
      return dali::Address::broadcast_unaddressed();
    case DaliAddress::Kind::kBroadcast:
      break;
  }
  return dali::Address::broadcast();
}

// The command table entry a 16-bit frame carries, if any.
const dali::Command* command_of(const std::vector<uint8_t>& bytes) {
  if (bytes.size() != 2) return nullptr;
  const dali::DecodedAddress decoded = dali::decode_address_byte(bytes[0]);
  if (decoded.address.kind == dali::AddressKind::Special) {
    return dali::special_command_in(bytes[0], bytes[1]);
  }
  // Every other address byte with the selector bit, reserved ones too, is
  // followed by an opcode.
  if (decoded.selector) return dali::find_standard_command(bytes[1]);
  return nullptr;
}

std::string describe(const std::vector<uint8_t>& bytes) {
  return dali::describe_forward_frame(bytes.data(),
                                      static_cast<unsigned>(8 * bytes.size()));
}

nlohmann::json reply_json(const BusReply& reply) {
  nlohmann::json j;
  j["result"] = reply.key();
  j["answer"] =
      reply.answered() ? nlohmann::json(reply.answer) : nlohmann::json(nullptr);
  j["text"] = reply.explain();
  return j;
}

// Exit code of a frame sent for its effect: silence is success.
ExitCode exit_code_for_command(const BusReply& reply) {
  if (reply.status == SendStatus::answer ||
      reply.status == SendStatus::no_answer) {
    return ExitCode::kOk;
  }
  return reply.exit_code_for_query();
}

}  // namespace

ExitCode run_send(const Context& context, const SendArguments& arguments) {
  const std::vector<uint8_t> bytes = parse_frame_bytes(arguments.frame);
  if (arguments.bits != 0 &&
      static_cast<int>(bytes.size()) * 8 != arguments.bits) {
    throw CliError(ExitCode::kUsage,
                   fmt::format("--bits {} needs {} bytes, but {} given ({})",
                               arguments.bits, arguments.bits / 8, bytes.size(),
                               hex_bytes(bytes)));
  }
  if (bytes.size() != 2 && bytes.size() != 3) {
    throw CliError(ExitCode::kUsage,
                   fmt::format("a forward frame has 2 bytes (16 bits, control "
                               "gear) or 3 bytes (24 bits, control devices), "
                               "not {} ({})",
                               bytes.size(), hex_bytes(bytes)));
  }
  const dali::Command* command = command_of(bytes);
  const std::string description = describe(bytes);

  const Session session = open_session();
  BusInterface bus(session, arguments.interface_name);
  const BusReply reply = bus.send(raw_frame(bytes, arguments.twice));

  if (context.json) {
    nlohmann::json j = reply_json(reply);
    j["interface"] = arguments.interface_name;
    j["frame"] = hex_bytes(bytes);
    j["bits"] = 8 * bytes.size();
    j["twice"] = arguments.twice;
    j["description"] = description;
    print_json(j);
  } else {
    fmt::print("{}: sent {}{} ({})\n", arguments.interface_name,
               hex_bytes(bytes), arguments.twice ? " twice" : "", description);
    fmt::print("{}\n", reply.explain());
    if (command != nullptr && command->send_twice && !arguments.twice) {
      fmt::print(
          "note: {} takes effect only when received twice; add --twice\n",
          command->name);
    }
  }
  return exit_code_for_command(reply);
}

ExitCode run_query(const Context& context, const QueryArguments& arguments) {
  const DaliAddress address = parse_address(arguments.address);
  const std::string text = fmt::format("{}", fmt::join(arguments.command, " "));
  dali::ParsedCommand parsed;
  std::vector<uint8_t> bytes;
  if (const auto number = try_parse_number(text)) {
    if (*number > 0xFF) {
      throw CliError(ExitCode::kUsage,
                     fmt::format("an opcode is one byte, not '{}'", text));
    }
    const auto opcode = static_cast<uint8_t>(*number);
    parsed.command = dali::find_standard_command(opcode);
    bytes = {address.command_byte(), opcode};
  } else {
    const auto found = dali::parse_command(text);
    if (!found || found->command == nullptr) {
      throw CliError(ExitCode::kUsage,
                     fmt::format("unknown DALI command '{}' (try a name like "
                                 "'QUERY ACTUAL LEVEL' or an opcode like 0xA0)",
                                 text));
    }
    parsed = *found;
    const auto frame =
        dali::encode_frame(to_dali(address), *parsed.command, parsed.value);
    bytes = {frame[0], frame[1]};
  }
  const bool twice = parsed.command != nullptr && parsed.command->send_twice;
  // Raw opcodes without a table entry are treated as queries.
  const bool expects_answer =
      parsed.command == nullptr || parsed.command->query;
  const std::string description = describe(bytes);

  const Session session = open_session();
  BusInterface bus(session, arguments.interface_name);
  const BusReply reply = bus.send(raw_frame(bytes, twice));

  const bool standard = parsed.command == nullptr ||
                        parsed.command->kind == dali::CommandKind::Standard;
  std::string meaning;
  if (reply.answered() && standard)
    meaning = answer_meaning(bytes[1], reply.answer);
  if (reply.answered() && !standard && reply.answer == 0xFF) meaning = "yes";
  const bool yes_no =
      (standard && is_yes_no_query(bytes[1])) ||
      (!standard && parsed.command != nullptr && parsed.command->query);

  if (context.json) {
    nlohmann::json j = reply_json(reply);
    j["interface"] = arguments.interface_name;
    j["address"] = address.key();
    j["command"] = parsed.command != nullptr
                       ? nlohmann::json(std::string(parsed.command->name))
                       : nlohmann::json(nullptr);
    j["frame"] = hex_bytes(bytes);
    j["twice"] = twice;
    j["description"] = description;
    j["meaning"] = meaning;
    print_json(j);
  } else {
    fmt::print("{}: {} (frame {}{})\n", arguments.interface_name, description,
               hex_bytes(bytes), twice ? ", sent twice" : "");
    std::string line = reply.explain();
    if (!meaning.empty()) line += ": " + meaning;
    if (reply.status == SendStatus::no_answer) {
      if (yes_no) {
        line += ": no";
      } else if (!expects_answer) {
        line += " (none expected)";
      }
    }
    fmt::print("{}\n", line);
  }
  return expects_answer ? reply.exit_code_for_query()
                        : exit_code_for_command(reply);
}

ExitCode run_set(const Context& context, const std::string& interface_name,
                 const std::string& address_text,
                 const std::string& level_text) {
  const DaliAddress address = parse_address(address_text);
  const uint8_t level = parse_level(level_text);

  const Session session = open_session();
  BusInterface bus(session, interface_name);
  if (address.kind == DaliAddress::Kind::kShort) {
    // DAPC is never answered; ask first so that a wrong address shows.
    const BusReply present =
        bus.send(address.command_byte(), dali::gear::kQueryControlGearPresent);
    if (present.status == SendStatus::no_answer) {
      throw CliError(
          ExitCode::kNoAnswer,
          fmt::format("no control gear answers at {}", address.text()));
    }
    if (!present.transmitted()) {
      throw CliError(present.exit_code_for_query(),
                     fmt::format("querying {} failed: {}", address.text(),
                                 present.explain()));
    }
  }
  const BusReply reply = bus.send(address.dapc_byte(), level);
  const ExitCode code = exit_code_for_command(reply);
  if (code != ExitCode::kOk) {
    throw CliError(code, fmt::format("setting {} to level {} failed: {}",
                                     address.text(), level, reply.explain()));
  }
  if (context.json) {
    nlohmann::json j = reply_json(reply);
    j["interface"] = interface_name;
    j["address"] = address.key();
    j["level"] = level;
    print_json(j);
  } else {
    fmt::print("{}: {} set to level {} (DAPC)\n", interface_name,
               address.text(), level);
  }
  return code;
}

}  // namespace kovra62386::cli
