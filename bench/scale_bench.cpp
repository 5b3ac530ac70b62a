// Many interfaces in one process, as a gateway runs them: 64 interfaces
// open with a transceiver each. Idle, the process's CPU time per second of
// wall time (getrusage); under traffic, the process's CPU time per frame
// delivered to a callback on one of the interfaces, beside the same frames
// with only that one interface open. A bus carries a few dozen frames a
// second, so the frames come one at a time, each once the callback saw the
// one before: every frame pays for waking the library up, which a flood
// would share out over many frames. Both runs count the in-process server's
// and the benchmark's own work alike, so the ratio shows what the 63 quiet
// interfaces add to every frame.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "bench_support.h"
#include "library_session.h"

namespace kovra62386::bench {
namespace {

constexpr uint32_t kMany = 64;
constexpr uint32_t kFrames = 2000;
constexpr auto kSettle = std::chrono::milliseconds(500);
constexpr auto kWindow = std::chrono::seconds(5);
constexpr auto kGiveUpAfter = std::chrono::seconds(30);

IdleCost idle_many;
bool idle_ran = false;
struct FrameCost {
  double cpu_us_per_frame = 0;
  uint32_t received = 0;
};
std::map<uint32_t, FrameCost> frame_costs;  // by interfaces open

std::vector<std::string> interface_names(uint32_t count) {
  std::vector<std::string> names;
  for (uint32_t i = 1; i <= count; ++i) {
    names.push_back("SIM-" + std::to_string(i));
  }
  return names;
}

struct Counter {
  std::mutex mutex;
  std::condition_variable changed;
  uint32_t received = 0;
};

void count_frame(uint32_t, const TransceiverEvent* event, void* context) {
  if (event->code != KOVRA62386_EVENT_FORWARD_FRAME) return;
  auto& counter = *static_cast<Counter*>(context);
  std::lock_guard<std::mutex> lock(counter.mutex);
  ++counter.received;
  counter.changed.notify_all();
}

// Opens every interface of the session's server with a transceiver that
// counts into `counter`; false (and the benchmark skipped) on failure.
bool open_all(benchmark::State& state, LibrarySession& session,
              const std::vector<std::string>& names, Counter& counter) {
  bool ready = session.ok();
  for (std::size_t i = 0; ready && i < names.size(); ++i) {
    const uint32_t handle = session.open(names[i]);
    ready =
        handle != 0 && session.start_transceiver(handle, count_frame, &counter);
  }
  if (!ready) {
    state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                     : session.why_not().c_str());
  }
  return ready;
}

void BM_IdleManyInterfaces(benchmark::State& state) {
  for (auto _ : state) {
    sim::ServerOptions options;
    options.interfaces = interface_names(kMany);
    Counter counter;  // outlives the transceivers the session stops
    LibrarySession session(options);
    if (!open_all(state, session, options.interfaces, counter)) return;
    std::this_thread::sleep_for(kSettle);
    idle_many = measure_idle(kWindow);
    idle_ran = true;
    state.SetIterationTime(idle_many.wall.count());
    state.counters["cpu_percent"] = idle_many.cpu_percent;
    state.counters["wakeups_per_s"] = idle_many.wakeups_per_second;
  }
}

// The frames go to interface index 0 only, whatever else is open.
void BM_FrameCost(benchmark::State& state) {
  const uint32_t open = static_cast<uint32_t>(state.range(0));
  const std::vector<Message> singles = make_flood(kFrames, 1, 1);
  for (auto _ : state) {
    sim::ServerOptions options;
    options.interfaces = interface_names(open);
    Counter counter;  // outlives the transceivers the session stops
    LibrarySession session(options);
    if (!open_all(state, session, options.interfaces, counter)) return;
    const auto cpu_before = process_cpu_time();
    const auto start = Clock::now();
    uint32_t received = 0;
    for (const Message& frame : singles) {
      session.server().send_raw(frame);
      std::unique_lock<std::mutex> lock(counter.mutex);
      if (!counter.changed.wait_for(lock, kGiveUpAfter, [&] {
            return counter.received > received;
          })) {
        break;
      }
      received = counter.received;
    }
    const std::chrono::duration<double, std::micro> cpu =
        process_cpu_time() - cpu_before;
    FrameCost& cost = frame_costs[open];
    cost.received = received;
    cost.cpu_us_per_frame = received == 0 ? 0 : cpu.count() / received;
    state.SetIterationTime(
        std::chrono::duration<double>(Clock::now() - start).count());
    state.counters["cpu_us_per_frame"] = cost.cpu_us_per_frame;
    state.counters["lost"] = kFrames - received;
  }
}

void add_scale_rows() {
  if (idle_ran) {
    add_row({"idle CPU, " + std::to_string(kMany) +
                 " interfaces open with a transceiver each (" +
                 format_number(idle_many.wakeups_per_second, 0) +
                 " wake-ups/s)",
             format_number(idle_many.cpu_percent, 3) + "% of a core", "-", "-",
             "< 0.05% of a core",
             idle_many.cpu_percent < 0.05 ? Met::Yes : Met::No});
  }
  const auto one = frame_costs.find(1);
  const auto all = frame_costs.find(kMany);
  if (one == frame_costs.end() || all == frame_costs.end()) return;
  const bool whole =
      one->second.received == kFrames && all->second.received == kFrames;
  const double ratio =
      all->second.cpu_us_per_frame / one->second.cpu_us_per_frame;
  add_row(
      {"CPU per received frame (callback), " + std::to_string(kMany) +
           " interfaces open, frames on one (" +
           std::to_string(kFrames - all->second.received) + " of " +
           std::to_string(kFrames) + " lost)",
       format_number(all->second.cpu_us_per_frame, 2) + " us",
       format_number(one->second.cpu_us_per_frame, 2) +
           " us (1 interface open, " +
           std::to_string(kFrames - one->second.received) + " lost)",
       format_ratio(all->second.cpu_us_per_frame, one->second.cpu_us_per_frame),
       "<= 1.2x, none lost", whole && ratio <= 1.2 ? Met::Yes : Met::No});
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  using namespace kovra62386::bench;
  benchmark::RegisterBenchmark("BM_FrameCost", BM_FrameCost)
      ->ArgName("interfaces_open")
      ->Arg(1)
      ->Arg(kMany)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_IdleManyInterfaces", BM_IdleManyInterfaces)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  return run_benchmarks(argc, argv, add_scale_rows);
}
