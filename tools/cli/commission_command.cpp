// `commission`: short addresses for every gear that has none.
#include <fmt/format.h>

#include <chrono>
#include <cstdio>

#include "bus_session.h"
#include "commands.h"
#include "commissioner.h"
#include "progress_bar.h"

namespace kovra62386::cli {

ExitCode run_commission(const Context& context,
                        const std::string& interface_name) {
  LibrarySession session;
  BusInterface bus(session, interface_name);
  const auto started = std::chrono::steady_clock::now();
  ProgressBar bar("Checking short addresses", 64, !context.json);
  Commissioner commissioner(
      bus,
      [&](const std::string& message) {
        bar.finish();
        if (!context.json) {
          fmt::print("{}\n", message);
          std::fflush(stdout);
        }
      },
      [&](int done, int found) {
        bar.update(done, fmt::format("in use {}", found));
      });
  if (!context.json) {
    fmt::print("Commissioning {}: addressing gear without a short address\n",
               interface_name);
    std::fflush(stdout);
  }
  const Commissioner::Result result = commissioner.run();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
          .count();

  if (context.json) {
    nlohmann::json assigned = nlohmann::json::array();
    for (const auto& a : result.assigned) {
      assigned.push_back({{"random_address", a.random_address},
                          {"short_address", a.short_address}});
    }
    print_json({{"interface", interface_name},
                {"already_used", result.already_used},
                {"assigned", assigned},
                {"left_unaddressed", result.left_unaddressed},
                {"problems", result.problems},
                {"seconds", seconds}});
  } else {
    for (const auto& problem : result.problems) {
      fmt::print("problem: {}\n", problem);
    }
    fmt::print("Done in {:.1f} s: {} gear newly addressed", seconds,
               result.assigned.size());
    if (result.left_unaddressed > 0) {
      fmt::print(", {} left without a short address", result.left_unaddressed);
    }
    fmt::print("\n");
  }
  return result.left_unaddressed > 0 || !result.problems.empty()
             ? ExitCode::kIncomplete
             : ExitCode::kOk;
}

}  // namespace kovra62386::cli
