// Isolation of interfaces: KOVRA62386_send on SIM-2 while SIM-1 is read
// slowly and keeps receiving, beside the same sends while SIM-1 receives
// nothing. SIM-1 gets a backlog of three queues' worth of frames (3 x
// KOVRA62386_RECEIVE_QUEUE_LIMIT) and is read one frame per 100 ms: by
// KOVRA62386_read polling (a dashboard's tick), or by a transceiver whose
// callback takes 100 ms. The one I/O thread files the frames of both
// interfaces, so a library that waits for the slow reader holds up every
// send on the other interface; one that does not answers them as fast as
// when SIM-1 is quiet.
//
// The sends run back to back for 6 s in slices of 200 ms that take turns:
// in a busy slice the server sends SIM-1 a frame every millisecond, in a
// quiet one nothing (the slow reader reads on). Each send counts for the
// slice it started in, so both meet the same load on the machine, as the
// round trips of the send benchmark do. Reported: the share of sends
// answered in the busy slices and their p99 against the quiet slices'.
// The benchmark's counters add the p99 of 1 s of sends before SIM-1 has
// a reader or a backlog (idle_p99_us).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "library_session.h"

namespace kovra62386::bench {
namespace {

using std::chrono::milliseconds;

constexpr int kWarmUp = 50;
constexpr milliseconds kSlice{200};
constexpr int kSlices = 30;  // 6 s, half of them busy
constexpr milliseconds kTick{100};
// After the backlog was sent, before the timed sends: the library takes it
// in meanwhile.
constexpr milliseconds kSettle{300};
constexpr uint32_t kBacklog = 3 * KOVRA62386_RECEIVE_QUEUE_LIMIT;
// Short address 0, QUERY ACTUAL LEVEL: the simulated gear answers.

enum class SlowReader { Polling, Callback };

struct Slices {
  int attempted = 0;
  int answered = 0;
  double p50_us = 0;
  double p99_us = 0;
};
struct Outcome {
  Slices idle;  // before SIM-1 has a reader or a backlog
  Slices busy;
  Slices quiet;
  uint64_t slow_reads = 0;  // frames the slow reader took
  bool ran = false;
};
std::map<SlowReader, Outcome>& outcomes() {
  static std::map<SlowReader, Outcome> all;
  return all;
}

std::atomic<uint64_t> slow_reads{0};

void ignore_event(uint32_t, const TransceiverEvent*, void*) {}

void slow_event(uint32_t, const TransceiverEvent* event, void*) {
  if (event->code != KOVRA62386_EVENT_FORWARD_FRAME) return;
  slow_reads.fetch_add(1);
  std::this_thread::sleep_for(kTick);
}

double elapsed_us(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start)
      .count();
}

Slices summarise(const std::vector<double>& samples, int answered) {
  Slices slices_outcome;
  slices_outcome.attempted = static_cast<int>(samples.size());
  slices_outcome.answered = answered;
  slices_outcome.p50_us = percentile(samples, 50);
  slices_outcome.p99_us = percentile(samples, 99);
  return slices_outcome;
}

void BM_SendBesideSlowReader(benchmark::State& state) {
  const auto mode = static_cast<SlowReader>(state.range(0));
  for (auto _ : state) {
    sim::ServerOptions options;
    options.interfaces = {"SIM-1", "SIM-2"};
    options.real_timing = false;
    // Nothing the client sends is kept: the server's memory stays flat.
    options.record_messages = false;
    LibrarySession session(options);
    const uint32_t slow = session.open("SIM-1");
    const uint32_t fast = session.open("SIM-2");
    if (!session.ok() || slow == 0 || fast == 0 ||
        !session.start_transceiver(fast, ignore_event, nullptr)) {
      state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                       : session.why_not().c_str());
      return;
    }
    const WriteFrameRecord query = answered_query();
    // Without a record of the client's messages the open cannot be
    // watched: the first sends' round trips order it before the frames.
    for (int i = 0; i < kWarmUp; ++i) KOVRA62386_send(fast, &query);
    std::vector<double> idle_samples;
    int idle_answered = 0;
    const auto idle_end = Clock::now() + 5 * kSlice;
    while (Clock::now() < idle_end) {
      const auto start = Clock::now();
      const SendResult result = KOVRA62386_send(fast, &query);
      idle_samples.push_back(elapsed_us(start));
      if (result.status == KOVRA62386_SEND_ANSWER) ++idle_answered;
    }

    slow_reads.store(0);
    std::atomic<bool> stop{false};
    std::atomic<bool> busy{true};
    std::atomic<bool> backlog_sent{false};
    std::thread reader;
    if (mode == SlowReader::Callback &&
        !session.start_transceiver(slow, slow_event, nullptr)) {
      state.SkipWithError("could not start the slow transceiver");
      return;
    }
    if (mode == SlowReader::Polling) {
      reader = std::thread([&] {
        ReadFrameRecord record{};
        while (!stop.load()) {
          if (KOVRA62386_read(slow, &record) == KOVRA62386_READ_FRAME) {
            slow_reads.fetch_add(1);
          }
          std::this_thread::sleep_for(kTick);
        }
      });
    }
    std::thread bus([&] {
      sim::ServerCore& server = session.server();
      uint32_t v = 0;
      while (v < kBacklog) server.send_frame(0, numbered_bus_frame(++v));
      backlog_sent.store(true);
      while (!stop.load()) {
        if (busy.load()) server.send_frame(0, numbered_bus_frame(++v));
        std::this_thread::sleep_for(milliseconds(1));
      }
    });
    while (!backlog_sent.load()) std::this_thread::sleep_for(kTick / 10);
    std::this_thread::sleep_for(kSettle);

    std::vector<double> busy_samples;
    std::vector<double> quiet_samples;
    busy_samples.reserve(100000);
    quiet_samples.reserve(100000);
    int busy_answered = 0;
    int quiet_answered = 0;
    const auto began = Clock::now();
    for (int i = 0; i < kSlices; ++i) {
      const bool busy_slice = i % 2 == 0;
      busy.store(busy_slice);
      std::vector<double>& samples = busy_slice ? busy_samples : quiet_samples;
      int& answered = busy_slice ? busy_answered : quiet_answered;
      const auto slice_end = began + (i + 1) * kSlice;
      while (Clock::now() < slice_end) {
        const auto start = Clock::now();
        const SendResult result = KOVRA62386_send(fast, &query);
        samples.push_back(elapsed_us(start));
        if (result.status == KOVRA62386_SEND_ANSWER) ++answered;
      }
    }
    state.SetIterationTime(
        std::chrono::duration<double>(Clock::now() - began).count());
    stop.store(true);
    bus.join();
    if (reader.joinable()) reader.join();
    if (mode == SlowReader::Callback) KOVRA62386_stop_transceiver(slow);

    Outcome& outcome = outcomes()[mode];
    outcome.ran = true;
    outcome.idle = summarise(idle_samples, idle_answered);
    outcome.busy = summarise(busy_samples, busy_answered);
    outcome.quiet = summarise(quiet_samples, quiet_answered);
    outcome.slow_reads = slow_reads.load();
    state.counters["busy_answered"] = outcome.busy.answered;
    state.counters["busy_sends"] = outcome.busy.attempted;
    state.counters["busy_p50_us"] = outcome.busy.p50_us;
    state.counters["busy_p99_us"] = outcome.busy.p99_us;
    state.counters["quiet_sends"] = outcome.quiet.attempted;
    state.counters["quiet_p99_us"] = outcome.quiet.p99_us;
    state.counters["idle_p99_us"] = outcome.idle.p99_us;
    state.counters["slow_reads"] = static_cast<double>(outcome.slow_reads);
  }
}

void register_benchmarks() {
  benchmark::RegisterBenchmark("BM_SendBesideSlowReader",
                               BM_SendBesideSlowReader)
      ->ArgName("slow_reader")
      ->Arg(static_cast<int>(SlowReader::Polling))
      ->Arg(static_cast<int>(SlowReader::Callback))
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

std::string share(const Slices& o) {
  return std::to_string(o.answered) + " of " + std::to_string(o.attempted) +
         " answered";
}

void add_isolation_rows() {
  for (const auto& [mode, label] :
       std::vector<std::pair<SlowReader, const char*>>{
           {SlowReader::Polling, "KOVRA62386_read polling"},
           {SlowReader::Callback, "a 100 ms transceiver callback"}}) {
    const auto found = outcomes().find(mode);
    if (found == outcomes().end() || !found->second.ran) continue;
    const Slices& busy = found->second.busy;
    const Slices& quiet = found->second.quiet;
    const bool all = busy.attempted > 0 && busy.answered == busy.attempted &&
                     quiet.answered == quiet.attempted;
    const bool met = all && busy.p99_us <= 2 * quiet.p99_us;
    add_row({std::string("send p99 on SIM-2 while SIM-1 receives 1000 "
                         "frames/s, read 1 frame/100 ms by ") +
                 label + " (" + share(busy) + ")",
             format_duration_us(busy.p99_us),
             format_duration_us(quiet.p99_us) + " (SIM-1 quiet, same run, " +
                 share(quiet) + ")",
             format_ratio(busy.p99_us, quiet.p99_us),
             "every send answered, p99 <= 2x SIM-1 quiet",
             met ? Met::Yes : Met::No});
  }
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  kovra62386::bench::register_benchmarks();
  return kovra62386::bench::run_benchmarks(
      argc, argv, kovra62386::bench::add_isolation_rows);
}
