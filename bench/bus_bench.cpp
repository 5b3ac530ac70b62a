// Real-timing bus: query transactions per second through KOVRA62386_send on
// one simulated bus that keeps DALI timing, beside the same queries sent
// back to back by a bare TCP client (the pace of the simulated bus itself),
// and the nominal limit of about 24 per second for 16-bit queries.
#include <benchmark/benchmark.h>

#include <map>

#include "bench_support.h"
#include "library_session.h"

namespace kovra62386::bench {
namespace {

constexpr auto window = std::chrono::seconds(3);
// Short address 0, QUERY ACTUAL LEVEL: the gear answers.
constexpr uint8_t address_byte = 0x01;
constexpr uint8_t query_actual_level = 0xA0;

struct Pace {
  double per_second = 0;
  int answered = 0;
  int transactions = 0;
};
std::map<std::string, Pace>& paces() {
  static std::map<std::string, Pace> all;
  return all;
}

void record(benchmark::State& state, const std::string& name, int answered,
            int transactions, std::chrono::duration<double> elapsed) {
  Pace& pace = paces()[name];
  pace.answered = answered;
  pace.transactions = transactions;
  pace.per_second = transactions / elapsed.count();
  state.SetIterationTime(elapsed.count());
  state.counters["transactions_per_s"] = pace.per_second;
  state.counters["answered"] = answered;
}

sim::ServerOptions real_timing_options() {
  sim::ServerOptions options;
  options.interfaces = {"SIM-1"};
  options.real_timing = true;
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
  if (type != 1 || echo_flag) return false;
  answer = sub_type == 2;
  return sub_type == 0 || sub_type == 2 || sub_type == 3;
}

void BM_RawClientQueries(benchmark::State& state) {
  const Transaction transaction =
      query_transaction(address_byte, query_actual_level);
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
    int transactions = 0;
    int answered = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < window) {
      client.write(transaction.request);
      bool answer = false;
      while (client.read_message(message) && !completion(message, answer)) {
      }
      ++transactions;
      if (answer) ++answered;
    }
    record(state, "raw", answered, transactions, Clock::now() - start);
    client.close();
    server.stop();
  }
}

void ignore_event(uint32_t, const TransceiverEvent*, void*) {}

void BM_LibraryQueries(benchmark::State& state) {
  const Transaction transaction =
      query_transaction(address_byte, query_actual_level);
  for (auto _ : state) {
    LibrarySession session(real_timing_options());
    const uint32_t handle = session.open("SIM-1");
    if (!session.ok() || handle == 0 ||
        !session.start_transceiver(handle, ignore_event, nullptr)) {
      state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                       : session.why_not().c_str());
      return;
    }
    int transactions = 0;
    int answered = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < window) {
      const SendResult result = KOVRA62386_send(handle, &transaction.query);
      ++transactions;
      if (result.status == KOVRA62386_SEND_ANSWER) ++answered;
    }
    record(state, "library", answered, transactions, Clock::now() - start);
  }
}

void add_bus_rows() {
  const auto library = paces().find("library");
  if (library == paces().end()) return;
  const auto raw = paces().find("raw");
  const bool have_raw = raw != paces().end();
  const Pace& l = library->second;
  const bool all_answered = l.answered == l.transactions;
  const double ratio = have_raw ? l.per_second / raw->second.per_second : 0;
  add_row({"real-timing bus: 16-bit queries through KOVRA62386_send (" +
               std::to_string(l.answered) + " of " +
               std::to_string(l.transactions) + " answered)",
           format_number(l.per_second, 1) + "/s",
           have_raw ? format_number(raw->second.per_second, 1) +
                          "/s (bare TCP client; nominal bus limit ~24/s)"
                    : "-",
           have_raw ? format_ratio(l.per_second, raw->second.per_second) : "-",
           ">= 0.95x the bare client's pace, every query answered",
           all_answered && ratio >= 0.95 ? Met::Yes : Met::No});
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
