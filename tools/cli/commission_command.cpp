// `commission`: short addresses for every gear that has none, through the
// random-address search of tools/dali run over the library's send.
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include "bus_session.h"
#include "commands.h"
#include "interrupt.h"
#include "progress_bar.h"
#include "tools/dali/commissioning.h"

namespace kovra62386::cli {
namespace {

constexpr uint8_t kQueryControlGearPresent = 0x91;
constexpr uint8_t kTerminate = 0xA1;
constexpr uint8_t kProgramShortAddress = 0xB7;
constexpr uint8_t kVerifyShortAddress = 0xB9;

// Carries the search's frames over the library and watches them to tell
// what was found as it happens.
class CommissionObserver {
 public:
  CommissionObserver(BusInterface& bus, bool text) : bus_(bus), text_(text) {}

  dali::BusResponse transact(uint8_t address_byte, uint8_t data, bool twice) {
    Interrupt::check();  // passes through the search; TERMINATE follows
    const BusReply reply = bus_.send(ForwardFrame{{address_byte, data}, twice});
    const bool yes =
        reply.kind == ReplyKind::kAnswer || reply.kind == ReplyKind::kCollision;
    if (scanning_ && address_byte < 0x80 && (address_byte & 1) != 0 &&
        data == kQueryControlGearPresent && yes) {
      used_.push_back(address_byte >> 1);
    } else if (address_byte == kProgramShortAddress) {
      programmed_ = data;
    } else if (address_byte == kVerifyShortAddress && yes &&
               programmed_ == data && text_) {
      bar_.finish();
      fmt::print("gear addressed: short address {}\n", data >> 1);
      std::fflush(stdout);
    }
    switch (reply.kind) {
      case ReplyKind::kAnswer:
        return dali::BusResponse::answered(reply.answer);
      case ReplyKind::kNoAnswer:
        return dali::BusResponse::no_answer();
      case ReplyKind::kCollision:
        return dali::BusResponse::collision();
      default:
        failure_ = reply.explain();
        return dali::BusResponse::not_transmitted();
    }
  }

  void progress(const dali::CommissioningProgress& progress) {
    using Stage = dali::CommissioningProgress::Stage;
    scanning_ = progress.stage == Stage::Scanning;
    if (scanning_) {
      bar_.update(static_cast<int>(progress.step),
                  fmt::format("in use {}", used_.size()));
      return;
    }
    bar_.finish();
    if (progress.stage != stage_ && text_) {
      if (progress.stage == Stage::Searching) {
        fmt::print(
            "{} short address{} in use; searching for gear without "
            "one\n",
            used_.size(), used_.size() == 1 ? "" : "es");
      } else if (progress.stage == Stage::Verifying && progress.assigned > 0) {
        fmt::print("checking that no two gear share a new address\n");
      }
      std::fflush(stdout);
    }
    stage_ = progress.stage;
  }

  const std::vector<int>& used() const { return used_; }
  const std::string& failure() const { return failure_; }

 private:
  BusInterface& bus_;
  const bool text_;
  ProgressBar bar_{"Checking short addresses", 64, text_};
  bool scanning_ = true;
  std::optional<dali::CommissioningProgress::Stage> stage_;
  std::vector<int> used_;
  std::optional<uint8_t> programmed_;
  std::string failure_;
};

}  // namespace

ExitCode run_commission(const Context& context,
                        const std::string& interface_name) {
  LibrarySession session;
  BusInterface bus(session, interface_name);
  const bool text = !context.json;
  if (text) {
    fmt::print("Commissioning {}: short addresses for gear without one\n",
               interface_name);
    std::fflush(stdout);
  }
  const auto started = std::chrono::steady_clock::now();
  CommissionObserver observer(bus, text);
  dali::CommissioningOptions options;
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
      bus.send(kTerminate, 0x00);
    } catch (...) {
    }
    throw;
  }
  if (!result.ok) {
    bus.send(kTerminate, 0x00);
    throw CliError(
        ExitCode::kNotSent,
        "commissioning stopped: " +
            (observer.failure().empty() ? result.error : observer.failure()));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
          .count();

  if (context.json) {
    print_json({{"interface", interface_name},
                {"already_used", observer.used()},
                {"assigned", result.assigned},
                {"left_without_address", result.left_without_address},
                {"transactions", result.transactions},
                {"seconds", seconds}});
  } else {
    fmt::print("Done in {:.1f} s ({} frames): {} gear newly addressed", seconds,
               result.transactions, result.assigned.size());
    if (result.left_without_address > 0) {
      fmt::print(", {} left without a short address (all 64 in use)",
                 result.left_without_address);
    }
    fmt::print("\n");
  }
  return result.left_without_address > 0 ? ExitCode::kIncomplete
                                         : ExitCode::kOk;
}

}  // namespace kovra62386::cli
