// `commission`: short addresses for every gear that has none (or, with
// --readdress, for every gear), through the random-address search of
// dali/commissioning run over the library's send.
#include <fmt/format.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include "cli/arguments.h"
#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/progress_bar.h"
#include "dali/commissioning.h"
#include "dali/dali_commands.h"
#include "dali/device_commands.h"

namespace kovra62386::cli {
namespace {

// The search's view of what one frame met on the bus; `failure` says why
// when the frame did not go out.
dali::BusResponse to_bus_response(const BusReply& reply, std::string& failure) {
  switch (reply.status) {
    case SendStatus::answer:
      return dali::BusResponse::answered(reply.answer);
    case SendStatus::no_answer:
      return dali::BusResponse::no_answer();
    case SendStatus::framing_error:
      return dali::BusResponse::collision();
    default:
      failure = reply.explain();
      return dali::BusResponse::not_transmitted();
  }
}

// Control devices: the same search on 24-bit frames, after the gear.
dali::CommissioningResult commission_control_devices(
    BusInterface& bus, bool text, dali::CommissioningOptions options) {
  if (text) {
    fmt::print("Control devices: {}\n",
               options.readdress ? "new short addresses for every device"
                                 : "short addresses for devices without one");
    std::fflush(stdout);
  }
  options.progress = {};
  std::string failure;
  const auto terminate = [&] {
    try {
      bus.send(device_frame(dali::device::kSpecial,
                            dali::device::special::kTerminate, 0x00));
    } catch (...) {
    }
  };
  dali::CommissioningResult result;
  try {
    result = dali::commission_devices(
        [&](std::array<uint8_t, 3> frame, bool twice) {
          Interrupt::check();
          return to_bus_response(
              bus.send(device_frame(frame[0], frame[1], frame[2], twice)),
              failure);
        },
        options);
  } catch (...) {
    terminate();  // leave no device in initialisation state
    throw;
  }
  if (!result.ok) {
    terminate();
    throw CliError(ExitCode::kNotSent,
                   "commissioning of control devices stopped: " +
                       (failure.empty() ? result.error : failure));
  }
  if (text) {
    for (const uint8_t a : result.assigned) {
      fmt::print("control device addressed: short address {}\n", a);
    }
  }
  return result;
}

// Carries the search's frames over the library and watches them to tell
// what was found as it happens.
class CommissionObserver {
 public:
  CommissionObserver(BusInterface& bus, bool text, bool readdress)
      : bus_(bus), text_(text), readdress_(readdress) {}

  dali::BusResponse transact(uint8_t address_byte, uint8_t data, bool twice) {
    Interrupt::check();  // passes through the search; TERMINATE follows
    return to_bus_response(bus_.send(address_byte, data, twice), failure_);
  }

  void progress(const dali::CommissioningProgress& progress) {
    using Stage = dali::CommissioningProgress::Stage;
    if (progress.assigned > addressed_ && text_) {
      search_bar_.clear();
      fmt::print("gear addressed: short address {}\n", progress.last_assigned);
      std::fflush(stdout);
    }
    addressed_ = progress.assigned;
    if (progress.stage == Stage::Searching) {
      show_search(progress);
    } else {
      search_bar_.finish();
    }
    if (progress.stage != stage_ && text_) {
      if (progress.stage == Stage::Searching && readdress_) {
        fmt::print("searching for every gear\n");
      } else if (progress.stage == Stage::Searching) {
        fmt::print("searching for gear without a short address\n");
      } else if (progress.stage == Stage::Verifying && progress.assigned > 0) {
        fmt::print("checking that no two gear share a new address\n");
      }
      std::fflush(stdout);
    }
    stage_ = progress.stage;
  }

  // The number found and, from the gear the search expects still and the
  // time each took so far, about how long it has to go.
  void show_search(const dali::CommissioningProgress& progress) {
    const auto now = std::chrono::steady_clock::now();
    if (progress.stage != stage_) search_started_ = now;
    if (progress.assigned == 0) {
      search_bar_.update(0, "searching");
      return;
    }
    const double each =
        std::chrono::duration<double>(now - search_started_).count() /
        progress.assigned;
    search_bar_.update(
        static_cast<int>(progress.assigned),
        static_cast<int>(progress.assigned + progress.estimated_left),
        fmt::format("found {}, about {:.0f} s left", progress.assigned,
                    each * progress.estimated_left));
  }

  const std::string& failure() const { return failure_; }

 private:
  BusInterface& bus_;
  const bool text_;
  const bool readdress_;
  ProgressBar search_bar_{"Addressing gear", 1, text_};
  std::chrono::steady_clock::time_point search_started_;
  std::optional<dali::CommissioningProgress::Stage> stage_;
  unsigned addressed_ = 0;  // the gear shown as addressed
  std::string failure_;
};

// Per gear: its random and short address and its device type (null when it
// did not answer QUERY DEVICE TYPE).
nlohmann::json gear_json(BusInterface& bus,
                         const std::vector<dali::CommissionedGear>& gear) {
  nlohmann::json list = nlohmann::json::array();
  for (const dali::CommissionedGear& g : gear) {
    Interrupt::check();
    const BusReply reply =
        bus.send(dali::address_byte(
                     dali::Address::short_address(g.short_address), false),
                 dali::gear::kQueryDeviceType);
    list.push_back({{"short_address", g.short_address},
                    {"random_address", g.random_address},
                    {"device_type", reply.status == SendStatus::answer
                                        ? nlohmann::json(reply.answer)
                                        : nlohmann::json(nullptr)}});
  }
  return list;
}

nlohmann::json device_json(const std::vector<dali::CommissionedGear>& found) {
  nlohmann::json list = nlohmann::json::array();
  for (const dali::CommissionedGear& d : found) {
    list.push_back({{"short_address", d.short_address},
                    {"random_address", d.random_address}});
  }
  return list;
}

}  // namespace

ExitCode run_commission(const Context& context,
                        const CommissionArguments& arguments) {
  dali::CommissioningOptions options;
  options.readdress = arguments.readdress;
  if (!arguments.addresses.empty()) {
    options.allowed = parse_short_address_set(arguments.addresses);
  }
  const std::string& interface_name = arguments.interface_name;
  const Session session = open_session();
  BusInterface bus(session, interface_name);
  const bool text = !context.json;
  if (text) {
    fmt::print("Commissioning {}: {}\n", interface_name,
               arguments.readdress ? "new short addresses for every gear"
                                   : "short addresses for gear without one");
    std::fflush(stdout);
  }
  const auto started = std::chrono::steady_clock::now();
  CommissionObserver observer(bus, text, arguments.readdress);
  const dali::CommissioningOptions device_options = options;
  options.progress = [&](const dali::CommissioningProgress& progress) {
    observer.progress(progress);
  };
  dali::CommissioningResult result;
  try {
    result = dali::commission(
        [&](uint8_t a, uint8_t b, bool twice) {
          return observer.transact(a, b, twice);
        },
        options);
  } catch (...) {
    // Ctrl-C or a lost server: leave no gear in initialisation state.
    try {
      bus.send(dali::special::kTerminate, 0x00);
    } catch (...) {
    }
    throw;
  }
  if (!result.ok) {
    bus.send(dali::special::kTerminate, 0x00);
    throw CliError(
        ExitCode::kNotSent,
        "commissioning stopped: " +
            (observer.failure().empty() ? result.error : observer.failure()));
  }
  const dali::CommissioningResult devices =
      commission_control_devices(bus, text, device_options);
  // Asked only for the JSON: one query per gear.
  const nlohmann::json gear =
      context.json ? gear_json(bus, result.gear) : nlohmann::json();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
          .count();

  if (context.json) {
    print_json({{"interface", interface_name},
                {"already_used", result.already_used},
                {"assigned", result.assigned},
                {"gear", gear},
                {"left_without_address", result.left_without_address},
                {"inseparable", result.inseparable},
                {"control_devices",
                 {{"already_used", devices.already_used},
                  {"assigned", devices.assigned},
                  {"devices", device_json(devices.gear)},
                  {"left_without_address", devices.left_without_address}}},
                {"transactions", result.transactions + devices.transactions},
                {"seconds", seconds}});
  } else {
    fmt::print(
        "Done in {:.1f} s ({} frames): {} gear and {} control device{} newly "
        "addressed",
        seconds, result.transactions + devices.transactions,
        result.assigned.size(), devices.assigned.size(),
        devices.assigned.size() == 1 ? "" : "s");
    const unsigned left =
        result.left_without_address + devices.left_without_address;
    if (left > 0) {
      fmt::print(", {} left without a short address ({})", left,
                 arguments.addresses.empty()
                     ? "all 64 in use"
                     : "none free in " + arguments.addresses);
    }
    fmt::print("\n");
    for (const uint8_t a : result.inseparable) {
      fmt::print(
          "gear that took short address {} keep drawing one random address "
          "and cannot be told apart: none of them keeps it\n",
          a);
    }
  }
  return result.left_without_address + devices.left_without_address > 0
             ? ExitCode::kIncomplete
             : ExitCode::kOk;
}

}  // namespace kovra62386::cli
