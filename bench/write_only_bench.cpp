// Memory of a write-only application: one million KOVRA62386_write calls
// against the in-process instant server, which reports every frame
// (confirmation, echo, answer), and not one read. The resident size after
// the run is compared with the size before it: the library keeps at most a
// bounded queue per interface and a bounded send queue, so it must stay
// flat.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "bench_support.h"
#include "library_session.h"

namespace kovra62386::bench {
namespace {

constexpr int kWrites = 1000000;
// Enough to fill the interface's queue, the send queue and the allocator's
// pools once (measured: the size stops moving within 100 000 writes); the
// steady state starts here.
constexpr int kWarmUpWrites = 100000;

struct Memory {
  double before_kib = 0;
  double after_kib = 0;
  double writes_per_second = 0;
  bool connected = false;
  bool ran = false;
};
Memory& memory() {
  static Memory result;
  return result;
}

// VmRSS of this process in KiB, 0 when unknown.
double resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6));
  }
  return 0;
}

void BM_WriteOnly(benchmark::State& state) {
  for (auto _ : state) {
    sim::ServerOptions options;
    options.interfaces = {"SIM-1"};
    // The server shares the process: it must not keep what it received.
    options.record_messages = false;
    LibrarySession session(options);
    const uint32_t handle = session.open("SIM-1");
    if (!session.ok() || handle == 0) {
      state.SkipWithError(session.ok() ? "could not open SIM-1"
                                       : session.why_not().c_str());
      return;
    }
    const WriteFrameRecord frame = answered_query();
    ReadFrameRecord unread{};
    for (int i = 0; i < kWarmUpWrites; ++i) KOVRA62386_write(handle, &frame);
    Memory& result = memory();
    result.before_kib = resident_kib();
    const auto start = Clock::now();
    for (int i = 0; i < kWrites; ++i) KOVRA62386_write(handle, &frame);
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    result.after_kib = resident_kib();
    // Flat memory counts only while the link stands: a dropped client
    // writes nothing.
    result.connected =
        session.server().client_count() == 1 &&
        KOVRA62386_read(handle, &unread) != KOVRA62386_READ_NOT_OPEN;
    result.writes_per_second = kWrites / elapsed.count();
    result.ran = true;
    state.SetIterationTime(elapsed.count());
    state.counters["rss_before_kib"] = result.before_kib;
    state.counters["rss_after_kib"] = result.after_kib;
    state.counters["writes_per_s"] = result.writes_per_second;
  }
}

void add_write_only_rows() {
  const Memory& result = memory();
  if (!result.ran) return;
  constexpr double kGoalKib = 2048;
  const double growth = result.after_kib - result.before_kib;
  Row row;
  row.figure = "write-only: 1M KOVRA62386_write, no read (" +
               format_number(result.writes_per_second / 1000, 0) +
               "k writes/s, " + (result.connected ? "link kept" : "LINK LOST") +
               "), resident size after";
  row.measured = format_number(result.after_kib / 1024, 1) + " MB (" +
                 (growth >= 0 ? "+" : "") + format_number(growth, 0) + " KiB)";
  row.baseline = format_number(result.before_kib / 1024, 1) +
                 " MB (before, after 100k writes)";
  row.ratio = format_ratio(result.after_kib, result.before_kib);
  row.goal = "flat: grows < 2 MB, link kept";
  row.met = growth < kGoalKib && result.connected ? Met::Yes : Met::No;
  add_row(row);
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("BM_WriteOnly", kovra62386::bench::BM_WriteOnly)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  return kovra62386::bench::run_benchmarks(
      argc, argv, kovra62386::bench::add_write_only_rows);
}
