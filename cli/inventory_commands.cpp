// `list` and `scan`: what the server offers and what is on a bus. `list`
// takes the names from the library and each interface's driver, place,
// state and firmware from the server's control channel, where it has one.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>

#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/control_client.h"
#include "cli/device_scanner.h"
#include "cli/gear_scanner.h"
#include "cli/progress_bar.h"
#include "protocol/control_socket.h"

namespace kovra62386::cli {

std::string json_text(const nlohmann::json& document) {
  // Names come from the server; bytes that are not UTF-8 must not throw.
  return document.dump(-1, ' ', false,
                       nlohmann::json::error_handler_t::replace);
}

void print_json(const nlohmann::json& document) {
  fmt::print("{}\n", json_text(document));
  std::fflush(stdout);
}

namespace {

// A server that has a control channel opens it as it starts; one without
// (another build, Windows) costs `list` no more than this.
constexpr std::chrono::milliseconds kListConnectTimeout{500};

struct Listed {
  std::string name;
  std::optional<sim_control::InterfaceLine> detail;  // from the server
};

// The library's names in its order, with the server's detail where it
// gives one; then the interfaces the library does not list because they
// are lost, so that a device that cannot be opened never goes unmentioned.
std::vector<Listed> merge(
    const std::vector<std::string>& names,
    const std::vector<sim_control::InterfaceLine>& lines) {
  std::vector<Listed> listed;
  for (const auto& name : names) {
    Listed entry{name, std::nullopt};
    for (const auto& line : lines) {
      if (line.name == name) entry.detail = line;
    }
    listed.push_back(std::move(entry));
  }
  for (const auto& line : lines) {
    const bool known =
        std::any_of(names.begin(), names.end(),
                    [&](const auto& n) { return n == line.name; });
    if (!known) listed.push_back({line.name, line});
  }
  return listed;
}

std::string state_text(const sim_control::InterfaceLine& line) {
  if (line.state == sim_control::kStateLost) {
    return line.error.empty() ? "lost" : "lost: " + line.error;
  }
  if (line.state == sim_control::kStatePowerOff) return "bus power off";
  return line.state;
}

std::string state_key(const sim_control::InterfaceLine& line) {
  std::string key = line.state;
  std::replace(key.begin(), key.end(), '-', '_');
  return key;
}

}  // namespace

ExitCode run_list(const Context& context) {
  const Session session = open_session();
  const auto names = session.interfaces();
  std::vector<sim_control::InterfaceLine> lines;
  std::string why;
  if (const auto answer = ask_control_channel(
          std::string(sim_control::kInterfacesRequest), kListConnectTimeout,
          sim_control::kMaxInterfaceLines, why);
      answer && answer->last.rfind("ok", 0) == 0) {
    for (const auto& text : answer->lines) {
      if (auto line = sim_control::parse_interface_line(text)) {
        lines.push_back(std::move(*line));
      }
    }
  }
  // A channel that does not know every name the library lists belongs to
  // another server than the one on the port: names only, then.
  const bool same_server =
      std::all_of(names.begin(), names.end(), [&](const std::string& name) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const auto& line) { return line.name == name; });
      });
  if (!same_server) lines.clear();
  const std::vector<Listed> listed = merge(names, lines);
  if (listed.empty()) {
    throw CliError(ExitCode::kNoInterface,
                   "the server offers no interfaces (or did not list them "
                   "in time)");
  }
  if (context.json) {
    nlohmann::json details = nlohmann::json::array();
    for (const auto& entry : listed) {
      nlohmann::json item{{"name", entry.name}};
      if (entry.detail) {
        const auto& d = *entry.detail;
        item["driver"] = d.driver;
        item["state"] = state_key(d);
        if (!d.where.empty()) item["where"] = d.where;
        if (!d.firmware.empty()) item["firmware"] = d.firmware;
        if (!d.error.empty()) item["error"] = d.error;
      }
      details.push_back(std::move(item));
    }
    // "interfaces" keeps the names the library lists, as before.
    print_json({{"interfaces", names}, {"details", details}});
    return ExitCode::kOk;
  }
  fmt::print("{} interface{}:\n", listed.size(), listed.size() == 1 ? "" : "s");
  std::size_t width = 0;
  for (const auto& entry : listed) width = std::max(width, entry.name.size());
  for (const auto& entry : listed) {
    if (!entry.detail) {
      fmt::print("  {}\n", entry.name);
      continue;
    }
    const auto& d = *entry.detail;
    std::string what = d.driver;
    if (!d.where.empty()) what += " at " + d.where;
    if (!d.firmware.empty()) what += ", firmware " + d.firmware;
    fmt::print("  {:<{}}  {}: {}\n", entry.name, width, what, state_text(d));
  }
  return ExitCode::kOk;
}

ExitCode run_scan(const Context& context, const std::string& interface_name) {
  const Session session = open_session();
  BusInterface bus(session, interface_name);
  GearScanner scanner(bus);
  std::vector<GearInfo> gear;
  {
    ProgressBar bar("Scanning " + interface_name, 64, !context.json);
    gear = scanner.find_present([&](int done, int found) {
      bar.update(done, fmt::format("found {}", found));
    });
    bar.finish();
  }
  for (auto& g : gear) scanner.read_details(g);
  ControlDeviceScan scan;
  {
    ProgressBar bar("Scanning control devices", 64, !context.json);
    scan = find_control_devices(bus, [&](int done, int found) {
      bar.update(done, fmt::format("found {}", found));
    });
    bar.finish();
  }
  const std::vector<ControlDeviceInfo>& devices = scan.devices;

  if (context.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& g : gear) list.push_back(g.to_json());
    nlohmann::json device_list = nlohmann::json::array();
    for (const auto& d : devices) device_list.push_back(d.to_json());
    nlohmann::json result{{"interface", interface_name},
                          {"gear", list},
                          {"control_devices", device_list}};
    if (!scan.not_sent.empty())
      result["control_devices_not_sent"] = scan.not_sent;
    print_json(result);
    return ExitCode::kOk;
  }
  if (gear.empty()) {
    fmt::print("{}: no control gear answers on short addresses 0-63\n",
               interface_name);
  } else {
    fmt::print("{}: {} control gear\n", interface_name, gear.size());
    print_gear_table(gear);
  }
  if (!scan.not_sent.empty()) {
    fmt::print(
        "{}: control devices not asked: the interface did not send a 24-bit "
        "frame ({})\n",
        interface_name, scan.not_sent);
  } else if (devices.empty()) {
    fmt::print("{}: no control device answers on short addresses 0-63\n",
               interface_name);
  } else {
    fmt::print("{}: {} control device{}\n", interface_name, devices.size(),
               devices.size() == 1 ? "" : "s");
    print_control_device_table(devices);
  }
  return ExitCode::kOk;
}

}  // namespace kovra62386::cli
