// The tool's commands. Each returns its exit code or throws CliError.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/exit_codes.h"

namespace kovra62386::cli {

struct Context {
  bool json = false;  // one JSON document on stdout instead of text
};

// One line of JSON; invalid UTF-8 is replaced, never thrown about.
std::string json_text(const nlohmann::json& document);
// Prints a JSON document (one line) on stdout.
void print_json(const nlohmann::json& document);

ExitCode run_list(const Context& context);

ExitCode run_scan(const Context& context, const std::string& interface_name);

struct SendArguments {
  std::string interface_name;
  std::vector<std::string> frame;  // hex tokens, joined
  bool twice = false;
  int bits = 0;  // 0: from the number of bytes
};
ExitCode run_send(const Context& context, const SendArguments& arguments);

struct QueryArguments {
  std::string interface_name;
  std::string address;
  std::vector<std::string> command;  // words of the name, or one opcode
};
ExitCode run_query(const Context& context, const QueryArguments& arguments);

ExitCode run_set(const Context& context, const std::string& interface_name,
                 const std::string& address, const std::string& level);

struct MonitorArguments {
  std::string interface_name;
  double seconds = 0;  // 0: until Ctrl-C
  long count = 0;      // 0: no limit
};
ExitCode run_monitor(const Context& context, const MonitorArguments& arguments);

// Sets the colour temperature of tunable white gear (kelvin, sent as
// mirek) and reads it back from a single gear.
ExitCode run_colour(const Context& context, const std::string& interface_name,
                    const std::string& address, const std::string& kelvin);

struct CommissionArguments {
  std::string interface_name;
  bool readdress = false;  // every gear and device, not only those without
  std::string addresses;   // the short addresses that may be given; all
};
ExitCode run_commission(const Context& context,
                        const CommissionArguments& arguments);

ExitCode run_tour(const Context& context, const std::string& interface_name);

// A person's hand on the simulated installation: the words of one action
// ("press SIM-1 7 2"), sent to the simulated server's control channel.
ExitCode run_sim(const Context& context, const std::vector<std::string>& words);

}  // namespace kovra62386::cli
