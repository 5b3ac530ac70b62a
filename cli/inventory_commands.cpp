// `list` and `scan`: what the server offers and what is on a bus.
#include <fmt/format.h>

#include <cstdio>

#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/device_scanner.h"
#include "cli/gear_scanner.h"
#include "cli/progress_bar.h"

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

ExitCode run_list(const Context& context) {
  const Session session = open_session();
  const auto names = session.interfaces();
  if (names.empty()) {
    throw CliError(ExitCode::kNoInterface,
                   "the server offers no interfaces (or did not list them "
                   "in time)");
  }
  if (context.json) {
    print_json({{"interfaces", names}});
  } else {
    fmt::print("{} interface{}:\n", names.size(), names.size() == 1 ? "" : "s");
    for (const auto& name : names) fmt::print("  {}\n", name);
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
  std::vector<ControlDeviceInfo> devices;
  {
    ProgressBar bar("Scanning control devices", 64, !context.json);
    devices = find_control_devices(bus, [&](int done, int found) {
      bar.update(done, fmt::format("found {}", found));
    });
    bar.finish();
  }

  if (context.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& g : gear) list.push_back(g.to_json());
    nlohmann::json device_list = nlohmann::json::array();
    for (const auto& d : devices) device_list.push_back(d.to_json());
    print_json({{"interface", interface_name},
                {"gear", list},
                {"control_devices", device_list}});
    return ExitCode::kOk;
  }
  if (gear.empty()) {
    fmt::print("{}: no control gear answers on short addresses 0-63\n",
               interface_name);
  } else {
    fmt::print("{}: {} control gear\n", interface_name, gear.size());
    print_gear_table(gear);
  }
  if (devices.empty()) {
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
