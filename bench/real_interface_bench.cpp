// A real interface: the SevenLab driver over a pty, with the tests' fake
// unit (tests/support/fake_interface) playing the firmware from the
// simulator's default bus in this process.
//
// Per transaction (an answered 16-bit query through KOVRA62386_send), four
// instants on one clock: the send starts (t0), the fake has read the
// command (t1), the fake has written its reports (t2), the answer is back
// (t3). The server's path is (t1 - t0) + (t3 - t2): the library, TCP, the
// server and its driver, and the pty, both ways; the fake's own time
// (t2 - t1) is left out. Its baseline is the whole round trip of the same
// query on an instant simulated bus of the same server, taken in turn
// with it: the same library and TCP, no driver. What the real interface
// adds is the difference.
//
// Then the cost of an unplugged interface: the process's wake-ups and CPU
// while the device is gone (the server probes for it every 2 s), beside
// the same server with the interface plugged in and idle.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <thread>

#include "bench_support.h"
#include "library_session.h"
#include "server/real_interface.h"
#include "simulator/simulated_bus.h"
#include "support/fake_interface/pty_unit.h"
#include "support/fake_interface/sevenlab_firmware.h"

namespace kovra62386::bench {
namespace {

constexpr int kWarmUp = 50;
constexpr int kTransactions = 2000;
constexpr auto kIdleWindow = std::chrono::seconds(20);
constexpr auto kSettle = std::chrono::milliseconds(500);
// The goal: what the real interface may add at p99.
constexpr double kAddedGoalUs = 500;

struct Latency {
  std::vector<double> path_us, fake_us, simulated_us;
  int answered = 0;
};
Latency& latency() {
  static Latency all;
  return all;
}
std::map<std::string, IdleCost>& idle() {
  static std::map<std::string, IdleCost> all;
  return all;
}

void ignore_event(uint32_t, const TransceiverEvent*, void*) {}

double us(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// A private folder for the unit's link.
std::filesystem::path link_path() {
  std::string folder =
      (std::filesystem::temp_directory_path() / "kovra62386-bench-XXXXXX")
          .string();
  if (::mkdtemp(folder.data()) == nullptr) return {};
  return std::filesystem::path(folder) / "lab";
}

std::unique_ptr<test::PtyUnit> plug_in(const std::filesystem::path& link) {
  return std::make_unique<test::PtyUnit>(
      link, std::make_unique<test::SevenLabFirmware>(
                std::make_unique<dali::SimulatedBus>()));
}

sim::ServerOptions options_with(const std::filesystem::path& link) {
  sim::ServerOptions options;
  options.interfaces = {"SIM-1"};
  options.real_timing = false;
  options.real_interfaces = {{"LAB", "sevenlab", link.string()}};
  return options;
}

// Waits until the server reports LAB connected or not, at most 10 s.
bool wait_for_lab(sim::ServerCore& server, bool connected) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    for (const auto& state : server.interface_states()) {
      if (state.name == "LAB" && state.connected == connected) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void BM_RealInterfaceTransactions(benchmark::State& state) {
  const WriteFrameRecord query = answered_query();
  for (auto _ : state) {
    const auto link = link_path();
    auto unit = plug_in(link);
    LibrarySession session(options_with(link));
    if (!session.ok() || !unit->error().empty() ||
        !unit->wait_until_opened(std::chrono::seconds(10))) {
      state.SkipWithError("the server did not open the fake unit");
      return;
    }
    const uint32_t lab = session.open("LAB");
    const uint32_t simulated = session.open("SIM-1");
    if (lab == 0 || simulated == 0 ||
        !session.start_transceiver(lab, ignore_event, nullptr) ||
        !session.start_transceiver(simulated, ignore_event, nullptr)) {
      state.SkipWithError("could not open LAB and SIM-1");
      return;
    }
    for (int i = 0; i < kWarmUp; ++i) {
      KOVRA62386_send(lab, &query);
      KOVRA62386_send(simulated, &query);
    }
    unit->take_replies();
    Latency& l = latency();
    const auto start = Clock::now();
    for (int i = 0; i < kTransactions; ++i) {
      auto t = Clock::now();
      KOVRA62386_send(simulated, &query);
      l.simulated_us.push_back(us(Clock::now() - t));

      const auto t0 = Clock::now();
      const SendResult result = KOVRA62386_send(lab, &query);
      const auto t3 = Clock::now();
      const auto replies = unit->take_replies();
      if (result.status != KOVRA62386_SEND_ANSWER || replies.size() != 1) {
        continue;
      }
      ++l.answered;
      const auto& reply = replies.front();
      l.path_us.push_back(us(reply.read - t0) + us(t3 - reply.written));
      l.fake_us.push_back(us(reply.written - reply.read));
    }
    state.SetIterationTime(us(Clock::now() - start) / 1e6);
    session.server().stop();
    unit.reset();
    std::error_code ignored;
    std::filesystem::remove_all(link.parent_path(), ignored);
  }
}

// One run per state: "plugged" (connected, idle) and "unplugged".
void BM_UnpluggedIdle(benchmark::State& state) {
  const bool unplugged = state.range(0) != 0;
  for (auto _ : state) {
    const auto link = link_path();
    auto unit = plug_in(link);
    LibrarySession session(options_with(link));
    if (!session.ok() || !unit->wait_until_opened(std::chrono::seconds(10)) ||
        session.open("SIM-1") == 0) {
      state.SkipWithError("the server did not open the fake unit");
      return;
    }
    if (unplugged) {
      unit.reset();  // the master closes: the driver reads a hang-up
      std::error_code ignored;
      std::filesystem::remove(link, ignored);
      if (!wait_for_lab(session.server(), false)) {
        state.SkipWithError("the server did not see the unit go");
        return;
      }
    }
    std::this_thread::sleep_for(kSettle);
    const IdleCost cost = measure_idle(kIdleWindow);
    idle()[unplugged ? "unplugged" : "plugged"] = cost;
    state.SetIterationTime(cost.wall.count());
    state.counters["wakeups_per_s"] = cost.wakeups_per_second;
    state.counters["cpu_percent"] = cost.cpu_percent;
    session.server().stop();
    unit.reset();
    std::error_code ignored;
    std::filesystem::remove_all(link.parent_path(), ignored);
  }
}

void add_rows() {
  const Latency& l = latency();
  if (!l.path_us.empty() && !l.simulated_us.empty()) {
    const std::string fake =
        "; the fake's own reply " +
        format_duration_us(percentile(l.fake_us, 50)) + " p50, " +
        format_duration_us(percentile(l.fake_us, 99)) + " p99";
    for (const double p : {50.0, 99.0}) {
      const double path = percentile(l.path_us, p);
      const double base = percentile(l.simulated_us, p);
      const bool p99 = p == 99.0;
      add_row(
          {"real interface (SevenLab driver, pty, fake unit): the "
           "server's path per answered query, p" +
               format_number(p, 0) + " (" + std::to_string(l.answered) +
               " of " + std::to_string(kTransactions) + " answered" + fake +
               ")",
           format_duration_us(path),
           format_duration_us(base) +
               " (round trip on an instant simulated bus, in turn)",
           format_ratio(path, base), p99 ? "at most 0.5 ms added at p99" : "-",
           p99 ? (path - base <= kAddedGoalUs && l.answered == kTransactions
                      ? Met::Yes
                      : Met::No)
               : Met::NotApplicable});
    }
  }
  const auto plugged = idle().find("plugged");
  const auto unplugged = idle().find("unplugged");
  if (unplugged == idle().end()) return;
  // One probe per back-off interval, one wake-up each, at most.
  const double probes =
      1.0 / std::chrono::duration<double>(sim::RealInterface::kReopenInterval)
                .count();
  const double base =
      plugged != idle().end() ? plugged->second.wakeups_per_second : 0.0;
  const IdleCost& gone = unplugged->second;
  add_row(
      {"unplugged real interface: wake-ups/s of the process (voluntary "
       "context switches, " +
           format_number(gone.cpu_percent, 3) + "% of a core, " +
           std::to_string(kIdleWindow.count()) + " s)",
       format_number(gone.wakeups_per_second, 2) + "/s",
       plugged != idle().end()
           ? format_number(base, 2) + "/s (plugged in and idle, " +
                 format_number(plugged->second.cpu_percent, 3) + "% of a core)"
           : "-",
       "-",
       "0 but the back-off probes (" + format_number(probes, 1) +
           "/s): <= baseline + " + format_number(probes, 1) + "/s",
       gone.wakeups_per_second <= base + probes + 0.05 ? Met::Yes : Met::No});
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  using namespace kovra62386::bench;
  benchmark::RegisterBenchmark("BM_RealInterfaceTransactions",
                               BM_RealInterfaceTransactions)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_UnpluggedIdle", BM_UnpluggedIdle)
      ->ArgName("unplugged")
      ->Arg(0)
      ->Arg(1)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  return run_benchmarks(argc, argv, add_rows);
}
