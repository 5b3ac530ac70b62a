// Commissioning and scanning at the bus's pace. On a real bus their time is
// bus time, so the figures are frames and the bus time they take:
//   - today's search (dali/commissioning) and the previous one
//     (previous_commissioning.cpp) on the same installations of 16 and 64
//     unaddressed gear, and eight gear with one random address among 64;
//     on the instant simulated bus, the bus time summed from each
//     transaction's outcome with the timing of dali/bus_timing.h;
//   - with KOVRA62386_BENCH_REAL_TIMING=1 the same through the tool's bus
//     layer (cli/bus) and the library to a real-timing server, by the clock
//     (about ten minutes);
//   - the tool's scan (cli/gear_scanner) of 64 gear on the real-timing
//     server, against the floor of its queries.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <map>
#include <set>

#include "bench_support.h"
#include "cli/bus.h"
#include "cli/gear_scanner.h"
#include "dali/bus_timing.h"
#include "dali/commissioning.h"
#include "previous_commissioning.h"
#include "server/dali_bus_model.h"
#include "server/server_core.h"
#include "simulator/simulated_bus.h"

namespace kovra62386::bench {
namespace {

namespace timing = dali::timing;
using Seconds = std::chrono::duration<double>;

enum class Search { Today, Previous };

struct Outcome {
  bool ran = false;
  unsigned gear = 0;
  unsigned frames = 0;  // a frame sent twice counts twice
  double seconds = 0;
  unsigned addressed = 0;      // gear holding a short address at the end
  bool each_once = false;      // no short address held by two gear
  unsigned installations = 1;  // averaged over (frames, seconds)
  double worst_seconds = 0;
};
std::map<std::string, Outcome>& outcomes() {
  static std::map<std::string, Outcome> all;
  return all;
}

// Counted figures are the mean over this many installations (their random
// addresses and answer delays drawn from other seeds); installation 0 is
// the one the real-timing bus runs.
constexpr unsigned kInstallations = 20;

// `count` unaddressed gear; with `twins`, eight of them drew 0x5A5A5A first.
std::vector<dali::GearConfig> installation(unsigned count, bool twins,
                                           unsigned number = 0) {
  std::vector<dali::GearConfig> gear(count);
  for (unsigned i = 0; i < count; ++i) gear[i].seed = 7000 + 1000 * number + i;
  if (twins) {
    for (unsigned i = 0; i < 8; ++i)
      gear[i * 8].first_random_address = 0x5A5A5A;
  }
  return gear;
}

void check_addresses(const dali::SimulatedBus& bus, Outcome& outcome) {
  std::set<uint8_t> seen;
  outcome.each_once = true;
  for (const dali::GearInfo& g : bus.gear()) {
    if (!g.state.has_short_address()) continue;
    ++outcome.addressed;
    outcome.each_once &= seen.insert(g.state.short_address).second;
  }
}

dali::CommissioningResult run_search(Search search,
                                     const dali::Transact& transact) {
  return search == Search::Today ? dali::commission(transact)
                                 : previous_commission(transact);
}

// The instant bus; the bus time each transaction would take.
void commission_counted(benchmark::State& state, const std::string& key,
                        Search search, unsigned count, bool twins) {
  for (auto _ : state) {
    Outcome outcome;
    outcome.addressed = count;
    outcome.each_once = true;
    for (unsigned number = 0; number < kInstallations; ++number) {
      dali::SimulatedBus bus(installation(count, twins, number),
                             dali::kDefaultCollisionPolicy,
                             dali::kDefaultSeed + number);
      Clock::time_point now{};
      const dali::Transact transact = [&](uint8_t a, uint8_t b, bool twice) {
        const uint8_t frame[2] = {a, b};
        dali::BusResponse r;
        for (int i = 0; i < (twice ? 2 : 1); ++i, ++outcome.frames) {
          r = bus.forward_frame(frame, 16, now);
          now += dali::transaction_duration(r, 16);
        }
        return r;
      };
      const dali::CommissioningResult result = run_search(search, transact);
      if (!result.ok) state.SkipWithError(result.error.c_str());
      const double seconds = Seconds(now - Clock::time_point{}).count();
      outcome.seconds += seconds / kInstallations;
      outcome.worst_seconds = std::max(outcome.worst_seconds, seconds);
      Outcome one;
      check_addresses(bus, one);
      outcome.addressed = std::min(outcome.addressed, one.addressed);
      outcome.each_once &= one.each_once;
    }
    outcome.ran = true;
    outcome.gear = count;
    outcome.installations = kInstallations;
    state.SetIterationTime(outcome.seconds);
    state.counters["frames_per_gear"] =
        double(outcome.frames) / count / kInstallations;
    outcomes()[key] = outcome;
  }
}

// A real-timing server on port 42000 with `gear` on SIM-1, published so
// that the library finds it.
std::unique_ptr<sim::ServerCore> real_timing_server(
    std::vector<dali::GearConfig> gear, sim::DaliBusModel** model) {
  sim::ServerOptions options;
  options.interfaces = {"SIM-1"};
  options.real_timing = true;
  options.port = KOVRA62386_SERVER_PORT;
  options.publish = true;
  options.bus_model = [gear, model](uint8_t) -> std::unique_ptr<sim::BusModel> {
    auto m = std::make_unique<sim::DaliBusModel>(gear);
    *model = m.get();
    return m;
  };
  auto server = std::make_unique<sim::ServerCore>(std::move(options));
  if (!server->start()) return nullptr;
  return server;
}

// Through the tool's bus layer and the library, by the clock.
void commission_real(benchmark::State& state, const std::string& key,
                     Search search, unsigned count, bool twins) {
  for (auto _ : state) {
    sim::DaliBusModel* model = nullptr;
    auto server = real_timing_server(installation(count, twins), &model);
    if (!server) {
      state.SkipWithError("port 42000 is in use");
      return;
    }
    Outcome outcome;
    try {
      const Session session = cli::open_session();
      cli::BusInterface bus(session, "SIM-1");
      const dali::Transact transact = [&](uint8_t a, uint8_t b, bool twice) {
        outcome.frames += twice ? 2 : 1;
        const cli::BusReply reply = bus.send(a, b, twice);
        switch (reply.status) {
          case SendStatus::answer:
            return dali::BusResponse::answered(reply.answer);
          case SendStatus::no_answer:
            return dali::BusResponse::no_answer();
          case SendStatus::framing_error:
            return dali::BusResponse::collision();
          default:
            return dali::BusResponse::not_transmitted();
        }
      };
      const auto start = Clock::now();
      const dali::CommissioningResult result = run_search(search, transact);
      outcome.seconds = Seconds(Clock::now() - start).count();
      if (!result.ok) state.SkipWithError(result.error.c_str());
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
    }
    server->stop();
    outcome.ran = true;
    outcome.gear = count;
    check_addresses(model->bus(), outcome);
    state.SetIterationTime(outcome.seconds);
    state.counters["frames_per_gear"] = double(outcome.frames) / count;
    outcomes()[key] = outcome;
  }
}

// The queries a scan of `gear` must send: QUERY STATUS on each of the 64
// addresses, then level, device type and both group bytes of each gear.
unsigned scan_floor_queries(unsigned gear) { return 64 + 4 * gear; }

void scan_real(benchmark::State& state) {
  for (auto _ : state) {
    // Every gear answers as soon as it may, so that the floor is the
    // bus's own: the shortest query transaction for each query.
    std::vector<dali::GearConfig> gear(64);
    for (uint8_t a = 0; a < 64; ++a) {
      gear[a].short_address = a;
      gear[a].answer_delay = timing::kAnswerDelay.min;
    }
    sim::DaliBusModel* model = nullptr;
    auto server = real_timing_server(gear, &model);
    if (!server) {
      state.SkipWithError("port 42000 is in use");
      return;
    }
    Outcome outcome;
    try {
      const Session session = cli::open_session();
      cli::BusInterface bus(session, "SIM-1");
      cli::GearScanner scanner(bus);
      const auto start = Clock::now();
      std::vector<cli::GearInfo> found = scanner.find_present();
      for (cli::GearInfo& g : found) scanner.read_details(g);
      outcome.seconds = Seconds(Clock::now() - start).count();
      outcome.addressed = static_cast<unsigned>(found.size());
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
    }
    server->stop();
    outcome.ran = true;
    outcome.gear = 64;
    state.SetIterationTime(outcome.seconds);
    outcomes()["scan"] = outcome;
  }
}

std::string per_gear(const Outcome& o) {
  const double frames = double(o.frames) / o.installations / o.gear;
  std::string text = format_number(frames, 1) + " frames and " +
                     format_number(o.seconds / o.gear, 2) + " s per gear, " +
                     format_number(o.seconds, 1) + " s in all";
  if (o.installations > 1) {
    text += " (mean of " + std::to_string(o.installations) +
            " installations, slowest " + format_number(o.worst_seconds, 1) +
            " s)";
  }
  return text;
}

// The information floor: COMPAREs per gear to find one of N random
// 24-bit addresses.
double compares_floor(unsigned n) { return 24 - std::log2(double(n)) + 1.4; }

void add_commission_rows(const std::string& how, const std::string& suffix) {
  for (const unsigned n : {16u, 64u}) {
    const auto today = outcomes().find("today" + std::to_string(n) + suffix);
    const auto before =
        outcomes().find("previous" + std::to_string(n) + suffix);
    if (today == outcomes().end() || !today->second.ran) continue;
    const Outcome& o = today->second;
    const double frames = double(o.frames) / o.installations / o.gear;
    const bool all = o.addressed == n && o.each_once;
    const double slowest = std::max(o.seconds, o.worst_seconds);
    const bool met = all && frames <= 52 && o.seconds / o.gear <= 1.6 &&
                     (n != 64 || slowest < 100);
    add_row({"commission " + std::to_string(n) + " unaddressed gear, " + how +
                 " (" + std::to_string(o.addressed) + " addressed" +
                 (o.each_once ? ", each address once" : ", SHARED") + ")",
             per_gear(o),
             "information floor: " + format_number(compares_floor(n), 1) +
                 " COMPAREs per gear, about 45-50 frames",
             "-",
             std::string("<= 52 frames and <= 1.6 s per gear") +
                 (n == 64 ? ", under 100 s" : ""),
             met ? Met::Yes : Met::No});
    if (before == outcomes().end() || !before->second.ran) continue;
    const Outcome& p = before->second;
    add_row({"commission " + std::to_string(n) +
                 " unaddressed gear: today's search beside the previous one, " +
                 how,
             format_number(o.seconds, 1) + " s",
             format_number(p.seconds, 1) + " s (previous: " + per_gear(p) + ")",
             format_ratio(p.seconds, o.seconds) + " faster", ">= 2.5x faster",
             p.seconds >= 2.5 * o.seconds ? Met::Yes : Met::No});
  }
  const auto twins = outcomes().find("twins" + suffix);
  if (twins != outcomes().end() && twins->second.ran) {
    const Outcome& o = twins->second;
    add_row({"commission 64 unaddressed gear, eight with one random address, " +
                 how,
             std::to_string(o.addressed) + " of 64 addressed" +
                 (o.each_once ? ", each address held by one gear, "
                              : ", SOME ADDRESS SHARED, ") +
                 format_number(o.seconds, 1) + " s" +
                 (o.installations > 1
                      ? " (mean of " + std::to_string(o.installations) +
                            " installations, slowest " +
                            format_number(o.worst_seconds, 1) + " s)"
                      : ""),
             "-", "-", "all addressed, each address held by one gear",
             o.addressed == 64 && o.each_once ? Met::Yes : Met::No});
  }
}

void add_rows() {
  add_commission_rows("bus time summed from counted frames", "");
  add_commission_rows("real-timing bus, by the clock", "_real");
  const auto scan = outcomes().find("scan");
  if (scan != outcomes().end() && scan->second.ran) {
    const Outcome& o = scan->second;
    const double floor = scan_floor_queries(64) *
                         Seconds(timing::shortest_query_transaction()).count();
    add_row({"scan 64 gear on the real-timing bus, by the clock (" +
                 std::to_string(o.addressed) + " found)",
             format_number(o.seconds, 2) + " s",
             format_number(floor, 2) +
                 " s (floor: " + std::to_string(scan_floor_queries(64)) +
                 " queries of 40.67 ms)",
             format_ratio(o.seconds, floor), "close to the floor",
             Met::NotApplicable});
  }
}

void register_commissioning(const std::string& suffix,
                            void (*run)(benchmark::State&, const std::string&,
                                        Search, unsigned, bool)) {
  for (const unsigned n : {16u, 64u}) {
    for (const auto& [name, search] :
         {std::pair{"today", Search::Today},
          std::pair{"previous", Search::Previous}}) {
      const std::string key = name + std::to_string(n) + suffix;
      benchmark::RegisterBenchmark(
          ("BM_Commission_" + key).c_str(),
          [key, run, search = search, n](benchmark::State& state) {
            run(state, key, search, n, false);
          })
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kSecond);
    }
  }
  const std::string key = "twins" + suffix;
  benchmark::RegisterBenchmark(("BM_Commission_" + key).c_str(),
                               [key, run](benchmark::State& state) {
                                 run(state, key, Search::Today, 64, true);
                               })
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kSecond);
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  using namespace kovra62386::bench;
  register_commissioning("", commission_counted);
  const char* real = std::getenv("KOVRA62386_BENCH_REAL_TIMING");
  if (real != nullptr && std::string(real) == "1") {
    register_commissioning("_real", commission_real);
  }
  benchmark::RegisterBenchmark("BM_ScanRealTiming", scan_real)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kSecond);
  return run_benchmarks(argc, argv, add_rows);
}
