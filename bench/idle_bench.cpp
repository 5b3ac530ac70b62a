// Idle cost: the process's CPU time per second of wall time (getrusage)
// with the connection up and no traffic: with an open handle only (the
// baseline), and with 1 and 10 transceivers running. Voluntary context
// switches per second show how often the library's threads wake up.
#include <benchmark/benchmark.h>

#include <map>
#include <thread>

#include "bench_support.h"
#include "library_session.h"

namespace kovra62386::bench {
namespace {

constexpr auto kSettle = std::chrono::milliseconds(500);
constexpr auto kWindow = std::chrono::seconds(5);

struct Idle {
  double cpu_percent = 0;  // of one core
  double wakeups_per_second = 0;
};
std::map<int, Idle>& results() {
  static std::map<int, Idle> all;
  return all;
}

void ignore_event(uint32_t, const TransceiverEvent*, void*) {}

void BM_Idle(benchmark::State& state) {
  const int transceivers = static_cast<int>(state.range(0));
  for (auto _ : state) {
    sim::ServerOptions options;
    options.interfaces = {"SIM-1"};
    LibrarySession session(options);
    bool ready = session.ok();
    // One handle with no transceiver for the baseline; otherwise one handle
    // per transceiver, all on the one interface.
    for (int i = 0; ready && i < std::max(transceivers, 1); ++i) {
      const uint32_t handle = session.open("SIM-1");
      ready = handle != 0 &&
              (transceivers == 0 ||
               session.start_transceiver(handle, ignore_event, nullptr));
    }
    if (!ready) {
      state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                       : session.why_not().c_str());
      return;
    }
    std::this_thread::sleep_for(kSettle);
    const IdleCost cost = measure_idle(kWindow);
    Idle& idle = results()[transceivers];
    idle.cpu_percent = cost.cpu_percent;
    idle.wakeups_per_second = cost.wakeups_per_second;
    state.SetIterationTime(cost.wall.count());
    state.counters["cpu_percent"] = idle.cpu_percent;
    state.counters["wakeups_per_s"] = idle.wakeups_per_second;
  }
}

void add_idle_rows() {
  const auto baseline = results().find(0);
  const bool have_baseline = baseline != results().end();
  for (int transceivers : {1, 10}) {
    const auto found = results().find(transceivers);
    if (found == results().end()) continue;
    const Idle& idle = found->second;
    Row row;
    row.figure = "idle CPU, " + std::to_string(transceivers) +
                 (transceivers == 1 ? " transceiver" : " transceivers") + " (" +
                 format_number(idle.wakeups_per_second, 0) + " wake-ups/s)";
    row.measured = format_number(idle.cpu_percent, 3) + "% of a core";
    if (have_baseline) {
      row.baseline = format_number(baseline->second.cpu_percent, 3) +
                     "% (connection up, no transceiver, " +
                     format_number(baseline->second.wakeups_per_second, 0) +
                     " wake-ups/s)";
      row.ratio = format_ratio(idle.cpu_percent, baseline->second.cpu_percent);
    } else {
      row.baseline = row.ratio = "-";
    }
    if (transceivers == 10) {
      row.goal = "< 0.5% of a core";
      row.met = idle.cpu_percent < 0.5 ? Met::Yes : Met::No;
    } else {
      row.goal = "-";
    }
    add_row(row);
  }
  const auto ten = results().find(10);
  if (ten == results().end()) return;
  // Voluntary context switches of the whole process, the in-process
  // server's threads included (idle, they wake nobody: see the baseline).
  const double wakeups = ten->second.wakeups_per_second;
  add_row({"wake-ups/s, 10 idle transceivers (voluntary context switches)",
           format_number(wakeups, 1) + "/s",
           have_baseline
               ? format_number(baseline->second.wakeups_per_second, 1) +
                     "/s (connection up, no transceiver)"
               : "-",
           "-", "0 (< 0.5/s)", wakeups < 0.5 ? Met::Yes : Met::No});
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("BM_Idle", kovra62386::bench::BM_Idle)
      ->ArgName("transceivers")
      ->Arg(0)
      ->Arg(1)
      ->Arg(10)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  return kovra62386::bench::run_benchmarks(argc, argv,
                                           kovra62386::bench::add_idle_rows);
}
