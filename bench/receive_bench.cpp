// Receive throughput: frames per second delivered by KOVRA62386_read
// (polling) and by transceiver callbacks while the in-process server floods
// one interface, and four at once, beside the server's own send rate (the
// same flood read by a bare TCP reader). Every frame carries its sequence
// number in `value`; the benchmarks count what arrives and report any frame
// lost or out of order. Heap allocations are counted over each flood, all
// threads together: the bare reader's run gives the server's own share.
//
// The library never waits for a reader: a reader that falls a whole queue
// (KOVRA62386_RECEIVE_QUEUE_LIMIT) behind loses its oldest frames. So the
// flood to the library keeps each interface at most kWindow frames ahead
// of its reader, as a bus far slower than the reader would, and the figure
// is the pace of a reader that keeps up; none may be lost. The bare reader
// takes the flood unpaced.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "allocation_counter.h"
#include "bench_support.h"
#include "library_session.h"

namespace kovra62386::bench {
namespace {

constexpr uint32_t kFrames = 200000;
constexpr auto kGiveUpAfter = std::chrono::seconds(30);
// The paced flood: batches of kStep frames per interface, each sent once
// every interface's reader is within kWindow frames of the batch's end.
constexpr uint32_t kStep = KOVRA62386_RECEIVE_QUEUE_LIMIT / 4;
constexpr uint32_t kWindow = 3 * kStep;
const std::vector<std::string> kInterfaceNames{"SIM-1", "SIM-2", "SIM-3",
                                               "SIM-4"};

// Heap allocations per frame from the start of a flood to its last frame
// at the receiver: only a count over the whole flood sees every frame's
// path, on every thread. One-off allocations (a thread, buffers
// growing) come to well under 0.001 per frame over 200 000 frames.
class FloodAllocations {
 public:
  double per_frame(uint32_t received) const {
    if (received == 0) return -1;
    return static_cast<double>(allocation_count() - from_) / received;
  }

 private:
  uint64_t from_ = allocation_count();
};

// How far each interface's reader got; the paced flood waits on it.
class ReadProgress {
 public:
  explicit ReadProgress(uint32_t interfaces) : taken_(interfaces) {}

  // The reader of `interface` has taken `count` frames in all.
  void taken(uint32_t interface, uint32_t count) {
    taken_[interface].store(count, std::memory_order_relaxed);
    if (count % kStep == 0) {
      { std::lock_guard<std::mutex> lock(mutex_); }
      moved_.notify_all();
    }
  }

  // Waits until every reader has taken `count` frames; false after
  // give_up_after without progress.
  bool wait_for_all(uint32_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return moved_.wait_for(lock, kGiveUpAfter, [&] {
      for (const auto& taken : taken_) {
        if (taken.load(std::memory_order_relaxed) < count) return false;
      }
      return true;
    });
  }

 private:
  std::vector<std::atomic<uint32_t>> taken_;
  std::mutex mutex_;
  std::condition_variable moved_;
};

// Sends the batches (kStep frames per interface each, round robin) from a
// thread of its own, each once every reader is within kWindow frames of
// the batch's end; the destructor waits until all went out.
class PacedFlood {
 public:
  PacedFlood(sim::ServerCore& server, const std::vector<Message>& batches,
             ReadProgress& progress)
      : thread_([&server, &batches, &progress] {
          uint32_t sent = 0;  // per interface
          for (const Message& batch : batches) {
            sent += kStep;
            if (sent > kWindow && !progress.wait_for_all(sent - kWindow)) {
              return;  // a reader stopped: the run reports what came
            }
            server.send_raw(batch);
          }
        }) {}
  ~PacedFlood() { thread_.join(); }
  PacedFlood(const PacedFlood&) = delete;
  PacedFlood& operator=(const PacedFlood&) = delete;

 private:
  std::thread thread_;
};

// What one flood produced at its receiver.
struct Outcome {
  double frames_per_second = 0;
  uint32_t received = 0;
  uint32_t out_of_order = 0;
  double allocations_per_frame = -1;
  bool ran = false;
};
std::map<std::string, Outcome>& outcomes() {
  static std::map<std::string, Outcome> all;
  return all;
}

void record_outcome(benchmark::State& state, const std::string& name,
                    uint32_t received, uint32_t out_of_order,
                    std::chrono::duration<double> elapsed,
                    double allocations_per_frame) {
  Outcome& outcome = outcomes()[name];
  outcome.ran = true;
  outcome.allocations_per_frame = allocations_per_frame;
  state.counters["allocs_per_frame"] = allocations_per_frame;
  outcome.received = received;
  outcome.out_of_order = out_of_order;
  outcome.frames_per_second = received / elapsed.count();
  state.SetIterationTime(elapsed.count());
  state.counters["frames_per_s"] = outcome.frames_per_second;
  state.counters["lost"] = kFrames - received;
  state.counters["out_of_order"] = out_of_order;
}

// Baseline: the server floods a bare TCP reader that only cuts messages,
// in batches of 1000 frames (the server's own pace); with the second
// argument 1 in the library's smaller batches, whose allocations per frame
// are the server's share in the library's runs.
void BM_ServerToRawReader(benchmark::State& state) {
  const uint32_t interfaces = static_cast<uint32_t>(state.range(0));
  const bool library_batches = state.range(1) != 0;
  const std::vector<Message> batches =
      library_batches ? make_flood(kFrames, interfaces, kStep * interfaces)
                      : make_flood(kFrames, interfaces);
  for (auto _ : state) {
    sim::ServerOptions options;
    options.port = 0;
    options.interfaces = kInterfaceNames;
    sim::ServerCore server(options);
    RawClient client;
    Message greeting;
    if (!server.start() || !client.connect(server.port()) ||
        !client.read_message(greeting)) {
      state.SkipWithError("no in-process server");
      return;
    }
    std::vector<uint8_t> buffer(1 << 16);
    uint32_t received = 0;
    std::size_t to_skip = 0;  // bytes of the message under way
    std::size_t header = 0;   // bytes of its 2-byte head seen so far
    double allocations_per_frame = -1;
    const auto start = Clock::now();
    {
      const FloodAllocations allocations;
      Flood flood(server, batches);
      while (received < kFrames) {
        const std::size_t got = client.read_some(buffer.data(), buffer.size());
        if (got == 0) break;
        for (std::size_t i = 0; i < got;) {
          if (to_skip > 0) {
            const std::size_t n = std::min(to_skip, got - i);
            to_skip -= n;
            i += n;
            if (to_skip == 0) ++received;
          } else if (header == 0) {
            header = 1;
            ++i;
          } else {
            header = 0;
            to_skip = buffer[i++];
            if (to_skip == 0) ++received;
          }
        }
      }
      allocations_per_frame = allocations.per_frame(received);
    }
    record_outcome(state,
                   "raw/" + std::to_string(interfaces) +
                       (library_batches ? "/library-batches" : ""),
                   received, 0, Clock::now() - start, allocations_per_frame);
    client.close();
    server.stop();
  }
}

// The library, polled with KOVRA62386_read on every handle in turn.
void BM_ReadPolling(benchmark::State& state) {
  const uint32_t interfaces = static_cast<uint32_t>(state.range(0));
  const std::vector<Message> batches =
      make_flood(kFrames, interfaces, kStep * interfaces);
  for (auto _ : state) {
    sim::ServerOptions options;
    options.interfaces = kInterfaceNames;
    LibrarySession session(options);
    std::vector<uint32_t> handles;
    for (uint32_t i = 0; i < interfaces; ++i) {
      handles.push_back(session.open(kInterfaceNames[i]));
    }
    if (!session.ok() || std::count(handles.begin(), handles.end(), 0u) > 0) {
      state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                       : session.why_not().c_str());
      return;
    }
    std::vector<uint32_t> expected(interfaces, 0);
    uint32_t received = 0;
    uint32_t out_of_order = 0;
    ReadFrameRecord record{};
    double allocations_per_frame = -1;
    ReadProgress progress(interfaces);
    std::vector<uint32_t> taken(interfaces, 0);
    auto last_frame = Clock::now();
    const auto start = Clock::now();
    {
      const FloodAllocations allocations;
      PacedFlood flood(session.server(), batches, progress);
      while (received < kFrames) {
        bool any = false;
        for (uint32_t i = 0; i < interfaces; ++i) {
          while (KOVRA62386_read(handles[i], &record) ==
                 KOVRA62386_READ_FRAME) {
            any = true;
            if (record.bus_event.value != expected[i]) ++out_of_order;
            expected[i] = record.bus_event.value + 1;
            ++received;
            progress.taken(i, ++taken[i]);
          }
        }
        if (any) {
          last_frame = Clock::now();
        } else if (Clock::now() - last_frame > kGiveUpAfter) {
          break;
        } else {
          std::this_thread::yield();
        }
      }
      allocations_per_frame = allocations.per_frame(received);
    }
    record_outcome(state, "read/" + std::to_string(interfaces), received,
                   out_of_order, last_frame - start, allocations_per_frame);
  }
}

// The library's transceivers, one per handle, counting in their callbacks.
struct CallbackCounter {
  explicit CallbackCounter(uint32_t interfaces) : progress(interfaces) {}

  std::mutex mutex;
  std::condition_variable done;
  std::map<uint32_t, uint32_t> expected;   // handle -> next sequence number
  std::map<uint32_t, uint32_t> interface;  // handle -> its interface
  std::map<uint32_t, uint32_t> taken;      // handle -> frames taken
  uint32_t received = 0;
  uint32_t out_of_order = 0;
  Clock::time_point last_frame;
  ReadProgress progress;
};

void count_frame(uint32_t handle, const TransceiverEvent* event,
                 void* context) {
  if (event->code != KOVRA62386_EVENT_FORWARD_FRAME) return;
  auto& counter = *static_cast<CallbackCounter*>(context);
  std::lock_guard<std::mutex> lock(counter.mutex);
  uint32_t& expected = counter.expected[handle];
  const uint32_t value = event->payload.record.bus_event.value;
  if (value != expected) ++counter.out_of_order;
  expected = value + 1;
  counter.progress.taken(counter.interface[handle], ++counter.taken[handle]);
  counter.last_frame = Clock::now();
  if (++counter.received == kFrames) counter.done.notify_all();
}

void BM_TransceiverCallback(benchmark::State& state) {
  const uint32_t interfaces = static_cast<uint32_t>(state.range(0));
  const std::vector<Message> batches =
      make_flood(kFrames, interfaces, kStep * interfaces);
  for (auto _ : state) {
    sim::ServerOptions options;
    options.interfaces = kInterfaceNames;
    CallbackCounter counter(interfaces);
    LibrarySession session(options);
    bool ready = session.ok();
    for (uint32_t i = 0; ready && i < interfaces; ++i) {
      const uint32_t handle = session.open(kInterfaceNames[i]);
      if (handle != 0) {
        std::lock_guard<std::mutex> lock(counter.mutex);
        counter.interface[handle] = i;
      }
      ready = handle != 0 &&
              session.start_transceiver(handle, count_frame, &counter);
    }
    if (!ready) {
      state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                       : session.why_not().c_str());
      return;
    }
    const auto start = Clock::now();
    counter.last_frame = start;
    uint32_t received = 0;
    uint32_t out_of_order = 0;
    Clock::time_point last_frame;
    double allocations_per_frame = -1;
    {
      const FloodAllocations allocations;
      PacedFlood flood(session.server(), batches, counter.progress);
      std::unique_lock<std::mutex> lock(counter.mutex);
      // Ends when every frame came, or when none came for a long time.
      while (counter.received < kFrames) {
        const uint32_t before = counter.received;
        counter.done.wait_for(lock, kGiveUpAfter);
        if (counter.received == before) break;
      }
      received = counter.received;
      out_of_order = counter.out_of_order;
      last_frame = counter.last_frame;
      allocations_per_frame = allocations.per_frame(received);
    }
    record_outcome(state, "callback/" + std::to_string(interfaces), received,
                   out_of_order, last_frame - start, allocations_per_frame);
  }
}

void register_benchmarks() {
  benchmark::RegisterBenchmark("BM_ServerToRawReader", BM_ServerToRawReader)
      ->ArgNames({"interfaces", "library_batches"})
      ->Args({1, 0})
      ->Args({4, 0})
      ->Args({1, 1})
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  for (const auto& [name, function] :
       std::vector<std::pair<const char*, void (*)(benchmark::State&)>>{
           {"BM_ReadPolling", BM_ReadPolling},
           {"BM_TransceiverCallback", BM_TransceiverCallback}}) {
    benchmark::RegisterBenchmark(name, function)
        ->ArgName("interfaces")
        ->Arg(1)
        ->Arg(4)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

// Allocations per frame on one interface; the bare reader's run is the
// server's own share, which the library's figure includes.
void add_allocation_rows() {
  const auto raw = outcomes().find("raw/1/library-batches");
  if (raw == outcomes().end() || raw->second.allocations_per_frame < 0) return;
  const double server_share = raw->second.allocations_per_frame;
  for (const char* mode : {"read", "callback"}) {
    const auto found = outcomes().find(std::string(mode) + "/1");
    if (found == outcomes().end() || found->second.allocations_per_frame < 0) {
      continue;
    }
    const double library = found->second.allocations_per_frame - server_share;
    add_row({"heap allocations per received frame (flood of " +
                 std::to_string(kFrames) + "), " +
                 (mode[0] == 'r' ? "KOVRA62386_read" : "transceiver callback") +
                 ", 1 interface",
             format_number(found->second.allocations_per_frame, 2) +
                 " per frame (library " + format_number(library, 2) + ")",
             format_number(server_share, 2) +
                 " (server to bare TCP reader, same batches)",
             "-", "0 (library's share < 0.01)",
             library < 0.01 ? Met::Yes : Met::No});
  }
}

// What a second, third and fourth interface add: callbacks on 4 interfaces
// against 1.
void add_scaling_row() {
  const auto one = outcomes().find("callback/1");
  const auto four = outcomes().find("callback/4");
  if (one == outcomes().end() || four == outcomes().end()) return;
  const double ratio =
      four->second.frames_per_second / one->second.frames_per_second;
  add_row(
      {"callback throughput, 4 interfaces against 1",
       format_number(four->second.frames_per_second / 1000, 0) + "k frames/s",
       format_number(one->second.frames_per_second / 1000, 0) +
           "k frames/s (1 interface)",
       format_ratio(four->second.frames_per_second,
                    one->second.frames_per_second),
       ">= 1.5x", ratio >= 1.5 ? Met::Yes : Met::No});
}

void add_receive_rows() {
  for (const char* interfaces : {"1", "4"}) {
    const auto raw = outcomes().find(std::string("raw/") + interfaces);
    const bool have_raw = raw != outcomes().end();
    const std::string baseline =
        have_raw ? format_number(raw->second.frames_per_second / 1000, 0) +
                       "k/s (server to bare TCP reader)"
                 : "-";
    for (const char* mode : {"read", "callback"}) {
      const auto found = outcomes().find(std::string(mode) + "/" + interfaces);
      if (found == outcomes().end()) continue;
      const Outcome& o = found->second;
      const uint32_t lost = kFrames - o.received;
      const bool polling = std::string(mode) == "read";
      Row row;
      row.figure =
          std::string("receive, ") +
          (polling ? "KOVRA62386_read polling" : "transceiver callback") +
          ", " + interfaces +
          (interfaces[0] == '1' ? " interface" : " interfaces") + " (" +
          std::to_string(lost) + " of " + std::to_string(kFrames) + " lost, " +
          std::to_string(o.out_of_order) + " out of order)";
      row.measured =
          format_number(o.frames_per_second / 1000, 0) + "k frames/s";
      row.baseline = baseline;
      row.ratio = have_raw ? format_ratio(o.frames_per_second,
                                          raw->second.frames_per_second)
                           : "-";
      const bool whole = lost == 0 && o.out_of_order == 0;
      if (polling) {
        row.goal = ">= 0.5x the bare reader, none lost";
        row.met =
            whole && have_raw &&
                    o.frames_per_second >= 0.5 * raw->second.frames_per_second
                ? Met::Yes
                : Met::No;
      } else {
        row.goal = "none lost";
        row.met = whole ? Met::Yes : Met::No;
      }
      add_row(row);
    }
  }
  add_allocation_rows();
  add_scaling_row();
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  kovra62386::bench::register_benchmarks();
  return kovra62386::bench::run_benchmarks(argc, argv,
                                           kovra62386::bench::add_receive_rows);
}
