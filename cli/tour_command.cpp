// `tour`: the short demonstration: list, scan, set a level, read it back.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/dali_words.h"
#include "cli/gear_scanner.h"
#include "cli/interrupt.h"
#include "cli/progress_bar.h"
#include "dali/dali_commands.h"

namespace kovra62386::cli {
namespace {

// Gear may fade to a new level; read back for this long at most.
constexpr auto kFadeAllowance = std::chrono::seconds(3);
constexpr auto kReadBackPause = std::chrono::milliseconds(100);

// A level visibly different from the present one, within the gear's limits.
uint8_t pick_level(uint8_t current, uint8_t min, uint8_t max) {
  for (int candidate : {200, 100, 254, 50}) {
    const int level =
        std::clamp(candidate, static_cast<int>(min), static_cast<int>(max));
    if (level != current && level != 0) return static_cast<uint8_t>(level);
  }
  return max;
}

}  // namespace

ExitCode run_tour(const Context& context, const std::string& interface_name) {
  const bool text = !context.json;
  nlohmann::json report;
  const Session session = open_session();

  const auto names = session.interfaces();
  report["interfaces"] = names;
  if (text) {
    fmt::print("1. Interfaces of the DALI server: {}\n",
               names.empty() ? std::string("none")
                             : fmt::format("{}", fmt::join(names, ", ")));
    std::fflush(stdout);
  }

  BusInterface bus(session, interface_name);
  GearScanner scanner(bus);
  std::vector<GearInfo> gear;
  {
    ProgressBar bar("Scanning " + interface_name, 64, text);
    gear = scanner.find_present([&](int done, int found) {
      bar.update(done, fmt::format("found {}", found));
    });
  }
  for (auto& g : gear) scanner.read_details(g);
  report["interface"] = interface_name;
  report["gear"] = nlohmann::json::array();
  for (const auto& g : gear) report["gear"].push_back(g.to_json());
  if (text) {
    fmt::print("2. Scan of {}: {} control gear with a short address\n",
               interface_name, gear.size());
    if (!gear.empty()) print_gear_table(gear);
  }

  const auto chosen = std::find_if(gear.begin(), gear.end(), [](const auto& g) {
    return !g.shared && g.level.has_value();
  });
  if (chosen == gear.end()) {
    if (text) {
      fmt::print(
          "No gear to try a level on. Give the gear short addresses "
          "with: kovra62386 commission {}\n",
          interface_name);
    } else {
      print_json(report);
    }
    return ExitCode::kOk;
  }

  const int address = chosen->address;
  const uint8_t min =
      scanner.query(address, dali::gear::kQueryMinLevel).value_or(1);
  const uint8_t max =
      scanner.query(address, dali::gear::kQueryMaxLevel).value_or(254);
  const uint8_t target = pick_level(*chosen->level, min, max);
  const BusReply set = bus.send(arc_power(
      Address::short_address(static_cast<unsigned>(address)), target));
  if (!set.transmitted()) {
    throw CliError(set.exit_code_for_query(),
                   fmt::format("setting the level failed: {}", set.explain()));
  }
  report["set"] = {
      {"address", address}, {"from", *chosen->level}, {"level", target}};
  if (text) {
    fmt::print("3. Set short address {} from level {} to {} (DAPC)\n", address,
               *chosen->level, target);
    std::fflush(stdout);
  }

  std::optional<uint8_t> level;
  const auto give_up = std::chrono::steady_clock::now() + kFadeAllowance;
  for (;;) {
    level = scanner.query(address, dali::gear::kQueryActualLevel);
    if (level == target || std::chrono::steady_clock::now() >= give_up) break;
    if (Interrupt::wait(kReadBackPause, {})) Interrupt::check();
  }
  const bool ok = level == target;
  report["readback"] = {
      {"level", level ? nlohmann::json(*level) : nlohmann::json(nullptr)},
      {"ok", ok}};
  if (text) {
    fmt::print("4. QUERY ACTUAL LEVEL of short address {}: {}{}\n", address,
               level ? fmt::format("answer {}", *level) : "no answer",
               ok ? " - as set" : fmt::format(" - expected {}", target));
    fmt::print(
        "\nMore: kovra62386 monitor {0}   kovra62386 commission {0}   "
        "kovra62386 --help\n",
        interface_name);
  } else {
    print_json(report);
  }
  if (!level) {
    throw CliError(ExitCode::kNoAnswer,
                   fmt::format("short address {} did not answer QUERY ACTUAL "
                               "LEVEL",
                               address));
  }
  return ok ? ExitCode::kOk : ExitCode::kInternal;
}

}  // namespace kovra62386::cli
