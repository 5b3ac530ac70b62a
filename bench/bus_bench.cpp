// Real-timing bus: answered 16-bit queries per second through
// KOVRA62386_send on one simulated bus that keeps DALI timing, beside the
// same queries sent back to back by a bare TCP client, both against the
// physical maximum of a conforming bus: 1 / (forward frame + answer delay +
// backward frame + settling time), 24.6/s with the fastest gear (5.5 ms)
// and the shortest settling time (13.5 ms). The bus's one gear answers
// after 5.5 ms, so the maximum is the bus's own.
#include <benchmark/benchmark.h>

#include <map>
#include <optional>

#include "bench_support.h"
#include "dali/bus_timing.h"
#include "library_session.h"
#include "server/dali_bus_model.h"

namespace kovra62386::bench {
namespace {

namespace timing = dali::timing;

constexpr auto kWindow = std::chrono::seconds(3);

// Answered queries per second a conforming bus allows at most.
double physical_maximum() {
  return 1.0 /
         std::chrono::duration<double>(timing::shortest_query_transaction())
             .count();
}

struct Pace {
  double per_second = 0;
  int answered = 0;
  int transactions = 0;
};
std::map<std::string, Pace>& paces() {
  static std::map<std::string, Pace> all;
  return all;
}

// Counts transactions and times the steady pace: from the end of the first
// to the end of the last (the first one has no settling time before it).
class PaceMeter {
 public:
  void completed(bool answered) {
    const auto now = Clock::now();
    if (!first_) first_ = now;
    last_ = now;
    ++transactions_;
    if (answered) ++answered_;
  }
  void record(benchmark::State& state, const std::string& name) const {
    Pace& pace = paces()[name];
    pace.answered = answered_;
    pace.transactions = transactions_;
    const std::chrono::duration<double> span =
        first_ ? last_ - *first_ : Clock::duration{};
    pace.per_second =
        span.count() > 0 ? (transactions_ - 1) / span.count() : 0.0;
    state.SetIterationTime(span.count());
    state.counters["answered_per_s"] = pace.per_second;
    state.counters["answered"] = answered_;
  }

 private:
  std::optional<Clock::time_point> first_;
  Clock::time_point last_{};
  int transactions_ = 0;
  int answered_ = 0;
};

sim::ServerOptions real_timing_options() {
  sim::ServerOptions options;
  options.interfaces = {"SIM-1"};
  options.real_timing = true;
  options.bus_model = [](uint8_t) -> std::unique_ptr<sim::BusModel> {
    dali::GearConfig gear;
    gear.short_address = 0;
    gear.actual_level = 254;
    gear.answer_delay = timing::kAnswerDelay.min;
    return std::make_unique<sim::DaliBusModel>(
        std::vector<dali::GearConfig>{gear});
  };
  return options;
}

// A bus event that ends a transaction: no answer, an answer or a collision,
// without the echo flag. `answer` is set for an answer.
bool completion(const Message& message, bool& answer) {
  if (message.size() < 4 ||
      message[0] != static_cast<uint8_t>(MessageType::ReceivedFrame)) {
    return false;
  }
  const uint8_t header = message[3];
  const uint8_t type = header >> 4;
  const uint8_t sub_type = header & 0x07;
  const bool echo_flag = (header & 0x08) != 0;
  if (type != KOVRA62386_FRAME_BUS_EVENT || echo_flag) return false;
  answer = sub_type == KOVRA62386_BUS_EVENT_BACKWARD;
  return sub_type == KOVRA62386_BUS_EVENT_NO_ANSWER || answer ||
         sub_type == KOVRA62386_BUS_EVENT_FRAMING_ERROR;
}

void BM_RawClientQueries(benchmark::State& state) {
  const Transaction transaction = query_transaction(answered_query());
  for (auto _ : state) {
    sim::ServerOptions options = real_timing_options();
    options.port = 0;
    sim::ServerCore server(options);
    RawClient client;
    Message message;
    if (!server.start() || !client.connect(server.port()) ||
        !client.read_message(message)) {
      state.SkipWithError("no in-process server");
      return;
    }
    client.write(make_open_request(0));
    PaceMeter meter;
    const auto start = Clock::now();
    while (Clock::now() - start < kWindow) {
      client.write(transaction.request);
      bool answer = false;
      while (client.read_message(message) && !completion(message, answer)) {
      }
      meter.completed(answer);
    }
    meter.record(state, "raw");
    client.close();
    server.stop();
  }
}

void ignore_event(uint32_t, const TransceiverEvent*, void*) {}

void BM_LibraryQueries(benchmark::State& state) {
  const Transaction transaction = query_transaction(answered_query());
  for (auto _ : state) {
    LibrarySession session(real_timing_options());
    const uint32_t handle = session.open("SIM-1");
    if (!session.ok() || handle == 0 ||
        !session.start_transceiver(handle, ignore_event, nullptr)) {
      state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                       : session.why_not().c_str());
      return;
    }
    PaceMeter meter;
    const auto start = Clock::now();
    while (Clock::now() - start < kWindow) {
      const SendResult result = KOVRA62386_send(handle, &transaction.query);
      meter.completed(result.status == KOVRA62386_SEND_ANSWER);
    }
    meter.record(state, "library");
  }
}

void add_bus_rows() {
  const double maximum = physical_maximum();
  const std::string baseline =
      format_number(maximum, 1) +
      "/s (physical maximum: forward frame, 5.5 ms, backward frame, 13.5 ms)";
  for (const auto& [name, label] :
       {std::pair{"library", "through KOVRA62386_send"},
        std::pair{"raw", "from a bare TCP client"}}) {
    const auto found = paces().find(name);
    if (found == paces().end()) continue;
    const Pace& p = found->second;
    const double ratio = p.per_second / maximum;
    const bool met =
        p.answered == p.transactions && ratio >= 0.97 && ratio <= 1.0;
    add_row({std::string("real-timing bus: answered 16-bit queries ") + label +
                 " (" + std::to_string(p.answered) + " of " +
                 std::to_string(p.transactions) + " answered)",
             format_number(p.per_second, 2) + "/s", baseline,
             format_ratio(p.per_second, maximum),
             "0.97-1.00x the physical maximum, every query answered",
             met ? Met::Yes : Met::No});
  }
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  using namespace kovra62386::bench;
  for (const auto& [name, function] :
       std::vector<std::pair<const char*, void (*)(benchmark::State&)>>{
           {"BM_RawClientQueries", BM_RawClientQueries},
           {"BM_LibraryQueries", BM_LibraryQueries}}) {
    benchmark::RegisterBenchmark(name, function)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return run_benchmarks(argc, argv, add_bus_rows);
}
