// kovra62386: try a DALI bus from the command line through the C++ wrapper
// of the Kovra62386Communication library's public C interface.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#ifdef KOVRA62386_WITH_BRIDGE
#include "cli/bridge/bridge.h"
#endif

namespace {

using kovra62386::cli::CliError;
using kovra62386::cli::ExitCode;

constexpr const char* kExamples =
    "Examples:\n"
    "  kovra62386 tour SIM-1                      list, scan, set, query\n"
    "  kovra62386 scan SIM-1                      who answers on 0-63\n"
    "  kovra62386 query SIM-1 5 QUERY ACTUAL LEVEL\n"
    "  kovra62386 query SIM-1 g3 0xA0             raw opcode to group 3\n"
    "  kovra62386 set SIM-1 broadcast 254\n"
    "  kovra62386 colour SIM-1 10 3000            tunable white to 3000 K\n"
    "  kovra62386 send SIM-1 FF 00                broadcast OFF\n"
    "  kovra62386 send SIM-1 0x0120 --twice       RESET short address 0\n"
    "  kovra62386 monitor SIM-1                   until Ctrl-C\n"
    "  kovra62386 commission SIM-1\n"
    "  kovra62386 sim press SIM-1 7 2             press button 2 of device 7\n"
#ifdef KOVRA62386_WITH_BRIDGE
    "  kovra62386 bridge --broker mqtt.local      every bus on MQTT\n"
#endif
    "Addresses: 0-63 (short), g0-g15 or group:0-15, broadcast, unaddressed.\n"
    "Add --json for one JSON document on stdout (monitor: one per line).\n\n";

void report_error(bool json, ExitCode code, const std::string& message) {
  fmt::print(stderr, "kovra62386: {}\n", message);
  if (json) {
    kovra62386::cli::print_json(
        {{"error",
          {{"exit_code", static_cast<int>(code)},
           {"kind", kovra62386::cli::exit_code_name(code)},
           {"message", message}}}});
  }
}

}  // namespace

int main(int argc, char** argv) {
  // First, before the library starts any thread.
  kovra62386::cli::Interrupt interrupt;

  CLI::App app{
      "kovra62386 - look at and drive DALI buses through the Kovra62386 "
      "server.\nThe library starts the (simulated) server when none runs."};
  app.footer(std::string(kExamples) + kovra62386::cli::kExitCodeHelp);
  app.require_subcommand(1, 1);
  app.fallthrough();
  kovra62386::cli::Context context;
  app.add_flag("--json", context.json,
               "print JSON for scripts instead of text");

  std::string iface;
  std::string address;
  std::string level;
  std::string kelvin;
  kovra62386::cli::SendArguments send;
  kovra62386::cli::QueryArguments query;
  kovra62386::cli::MonitorArguments monitor;

  auto* list = app.add_subcommand("list", "list the server's interfaces");
  auto* scan = app.add_subcommand(
      "scan", "find the gear on short addresses 0-63 and show their state");
  scan->add_option("IFACE", iface, "interface name, e.g. SIM-1")->required();

  auto* send_cmd = app.add_subcommand(
      "send", "send one raw forward frame and explain what came back");
  send_cmd->add_option("IFACE", send.interface_name, "interface name")
      ->required();
  send_cmd
      ->add_option("FRAME", send.frame,
                   "hex bytes, address byte first: FF 00, 0xFF00, ff:00")
      ->required();
  send_cmd->add_flag("--twice", send.twice,
                     "send the frame twice (configuration commands)");
  send_cmd->add_option("--bits", send.bits, "frame length: 16 or 24")
      ->check(CLI::IsMember({16, 24}));

  auto* query_cmd = app.add_subcommand(
      "query",
      "send a named command or opcode to an address and show the "
      "answer");
  query_cmd->add_option("IFACE", query.interface_name, "interface name")
      ->required();
  query_cmd
      ->add_option("ADDRESS", query.address,
                   "5, g3, group:3, broadcast or unaddressed")
      ->required();
  query_cmd
      ->add_option("COMMAND", query.command,
                   "command name (QUERY ACTUAL LEVEL, query_status, GO TO "
                   "SCENE 2) or opcode (0xA0)")
      ->required();

  auto* set_cmd = app.add_subcommand("set", "set the arc power level (DAPC)");
  set_cmd->add_option("IFACE", iface, "interface name")->required();
  set_cmd->add_option("ADDRESS", address, "5, g3, group:3 or broadcast")
      ->required();
  set_cmd->add_option("LEVEL", level, "0-254, off or max")->required();

  auto* colour_cmd = app.add_subcommand(
      "colour",
      "set the colour temperature of tunable white gear (device type 8)");
  colour_cmd->alias("color");
  colour_cmd->add_option("IFACE", iface, "interface name")->required();
  colour_cmd->add_option("ADDRESS", address, "10, g3, group:3 or broadcast")
      ->required();
  colour_cmd
      ->add_option("KELVIN", kelvin, "colour temperature in kelvin, e.g. 3000")
      ->required();

  auto* monitor_cmd = app.add_subcommand(
      "monitor", "print every frame and bus-state change until Ctrl-C");
  monitor_cmd->add_option("IFACE", monitor.interface_name, "interface name")
      ->required();
  monitor_cmd
      ->add_option("--seconds", monitor.seconds, "stop after this many seconds")
      ->check(CLI::NonNegativeNumber);
  monitor_cmd
      ->add_option("--count", monitor.count, "stop after this many events")
      ->check(CLI::NonNegativeNumber);

  auto* commission = app.add_subcommand(
      "commission",
      "give every gear without a short address the lowest free "
      "one (random-address search)");
  commission->add_option("IFACE", iface, "interface name")->required();

  std::vector<std::string> sim_words;
  auto* sim = app.add_subcommand(
      "sim",
      "act on the simulated installation as a person would:\n"
      "  press IFACE DEVICE BUTTON [HOLD_MS]   release IFACE DEVICE BUTTON\n"
      "  occupancy IFACE DEVICE on|off [INSTANCE]\n"
      "  light IFACE DEVICE VALUE [INSTANCE]   (0-1023)\n"
      "  lamp IFACE GEAR fail|repair           silent IFACE GEAR on|off\n"
      "  power IFACE off|on\n"
      "DEVICE: a control device's short address, or #N for the N-th device "
      "(0-based) of the bus; GEAR: a control gear's short address");
  sim->add_option("ACTION", sim_words, "the action and its words")
      ->required()
      ->expected(2, 6);

  auto* tour = app.add_subcommand(
      "tour", "a short tour: list, scan, set a level and read it back");
  tour->add_option("IFACE", iface, "interface name, e.g. SIM-1")->required();

#ifdef KOVRA62386_WITH_BRIDGE
  kovra62386::cli::bridge::BridgeArguments bridge_arguments;
  auto* bridge =
      kovra62386::cli::bridge::add_bridge_command(app, bridge_arguments);
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int shown = app.exit(e);
    return shown == 0 ? 0 : static_cast<int>(ExitCode::kUsage);
  }

  using namespace kovra62386::cli;
  try {
    ExitCode code = ExitCode::kOk;
    if (list->parsed()) {
      code = run_list(context);
    } else if (scan->parsed()) {
      code = run_scan(context, iface);
    } else if (send_cmd->parsed()) {
      code = run_send(context, send);
    } else if (query_cmd->parsed()) {
      code = run_query(context, query);
    } else if (set_cmd->parsed()) {
      code = run_set(context, iface, address, level);
    } else if (colour_cmd->parsed()) {
      code = run_colour(context, iface, address, kelvin);
    } else if (monitor_cmd->parsed()) {
      code = run_monitor(context, monitor);
    } else if (commission->parsed()) {
      code = run_commission(context, iface);
    } else if (tour->parsed()) {
      code = run_tour(context, iface);
    } else if (sim->parsed()) {
      code = run_sim(context, sim_words);
    }
#ifdef KOVRA62386_WITH_BRIDGE
    if (bridge->parsed()) code = bridge::run_bridge(bridge_arguments);
#endif
    return static_cast<int>(code);
  } catch (const CliError& e) {
    report_error(context.json, e.code(), e.what());
    return static_cast<int>(e.code());
  } catch (const std::exception& e) {
    report_error(context.json, ExitCode::kInternal,
                 std::string("unexpected error: ") + e.what());
    return static_cast<int>(ExitCode::kInternal);
  }
}
