// Start-up: KOVRA62386_initialize against a running in-process server
// (found through its registry publication) beside a bare TCP connect that
// waits for the same greeting; and KOVRA62386_initialize with no server
// running and none to start (nothing published, or a stale publication),
// which must fail within seconds, beside a bare connect that is refused.
#include <benchmark/benchmark.h>

#include <map>

#include "bench_support.h"
#include "platform/platform.h"
#include "server/server_core.h"

namespace kovra62386::bench {
namespace {

constexpr int kConnects = 30;
constexpr int kFailures = 3;
constexpr uint16_t kDefaultPort = KOVRA62386_SERVER_PORT;

std::map<std::string, double>& medians_us() {
  static std::map<std::string, double> all;
  return all;
}

double elapsed_us(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start)
      .count();
}

void clear_publication() {
  static const char* const names[] = {"Host", "Port", "ProcessId"};
  platform::system_platform().delete_values(platform::Hive::CurrentUser, names,
                                            3);
}

void report(benchmark::State& state, const std::string& name,
            const std::vector<double>& samples) {
  const double median = percentile(samples, 50);
  medians_us()[name] = median;
  state.counters["median_us"] = median;
  state.counters["max_us"] = percentile(samples, 100);
}

void BM_RawConnectAndGreeting(benchmark::State& state) {
  sim::ServerOptions options;
  options.port = 0;
  options.interfaces = {"SIM-1"};
  sim::ServerCore server(options);
  if (!server.start()) {
    state.SkipWithError("no in-process server");
    return;
  }
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = Clock::now();
    RawClient client;
    Message greeting;
    if (!client.connect(server.port()) || !client.read_message(greeting)) {
      state.SkipWithError("no greeting");
      return;
    }
    samples.push_back(elapsed_us(start));
  }
  server.stop();
  report(state, "raw", samples);
}

// The library always connects to port 42000; the publication tells it that
// a server runs there.
void BM_InitializeRunningServer(benchmark::State& state) {
  sim::ServerOptions options;
  options.port = kDefaultPort;
  options.publish = true;
  options.interfaces = {"SIM-1"};
  sim::ServerCore server(options);
  if (!server.start()) {
    state.SkipWithError("port 42000 is in use (are tests running?)");
    return;
  }
  std::vector<double> samples;
  int refused = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (KOVRA62386_initialize() != 0) ++refused;
    samples.push_back(elapsed_us(start));
    state.PauseTiming();
    KOVRA62386_terminate();
    state.ResumeTiming();
  }
  server.stop();
  state.counters["failed"] = refused;
  if (refused > 0) {
    state.SkipWithError("KOVRA62386_initialize failed against the server");
    return;
  }
  report(state, "initialize", samples);
}

void BM_RawConnectRefused(benchmark::State& state) {
  if (port_in_use(kDefaultPort)) {
    state.SkipWithError("port 42000 is in use (are tests running?)");
    return;
  }
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = Clock::now();
    RawClient client;
    benchmark::DoNotOptimize(client.connect(kDefaultPort));
    samples.push_back(elapsed_us(start));
  }
  report(state, "refused", samples);
}

// stale == 1: a publication left by a server that is gone.
void BM_InitializeNoServer(benchmark::State& state) {
  const bool stale = state.range(0) == 1;
  if (port_in_use(kDefaultPort)) {
    state.SkipWithError("port 42000 is in use (are tests running?)");
    return;
  }
  std::vector<double> samples;
  int connected = 0;
  for (auto _ : state) {
    state.PauseTiming();
    clear_publication();
    if (stale) {
      platform::Platform& p = platform::system_platform();
      p.write_text(platform::Hive::CurrentUser, "Host", "127.0.0.1");
      p.write_dword(platform::Hive::CurrentUser, "Port", kDefaultPort);
    }
    state.ResumeTiming();
    const auto start = Clock::now();
    if (KOVRA62386_initialize() == 0) ++connected;
    samples.push_back(elapsed_us(start));
    state.PauseTiming();
    KOVRA62386_terminate();
    state.ResumeTiming();
  }
  clear_publication();
  state.counters["connected"] = connected;
  if (connected > 0) {
    state.SkipWithError("KOVRA62386_initialize found a server");
    return;
  }
  report(state, stale ? "stale" : "none", samples);
}

void add_startup_rows() {
  const auto& m = medians_us();
  const auto value = [&](const char* name) {
    const auto found = m.find(name);
    return found == m.end() ? -1.0 : found->second;
  };
  if (value("initialize") >= 0) {
    const double raw = value("raw");
    add_row(
        {"start-up: KOVRA62386_initialize, server running (median)",
         format_duration_us(value("initialize")),
         raw >= 0 ? format_duration_us(raw) + " (TCP connect + greeting)" : "-",
         format_ratio(value("initialize"), raw), "-", Met::NotApplicable});
  }
  const double refused = value("refused");
  for (const auto& [name, text] : {std::pair{"none", "nothing published"},
                                   std::pair{"stale", "stale publication"}}) {
    const double failure = value(name);
    if (failure < 0) continue;
    add_row(
        {std::string("start-up failure, no server and none startable, ") +
             text + " (median)",
         format_duration_us(failure),
         refused >= 0 ? format_duration_us(refused) + " (TCP connect refused)"
                      : "-",
         format_ratio(failure, refused), "< 5 s (not the 20 s greeting wait)",
         failure < 5e6 ? Met::Yes : Met::No});
  }
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  using namespace kovra62386::bench;
  benchmark::RegisterBenchmark("BM_RawConnectAndGreeting",
                               BM_RawConnectAndGreeting)
      ->Iterations(kConnects)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_InitializeRunningServer",
                               BM_InitializeRunningServer)
      ->Iterations(kConnects)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_RawConnectRefused", BM_RawConnectRefused)
      ->Iterations(kConnects)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_InitializeNoServer", BM_InitializeNoServer)
      ->ArgName("stale")
      ->Arg(0)
      ->Arg(1)
      ->Iterations(kFailures)
      ->Unit(benchmark::kMillisecond);
  return run_benchmarks(argc, argv, add_startup_rows);
}
