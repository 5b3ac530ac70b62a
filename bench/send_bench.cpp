// Send round trip: KOVRA62386_send with a running transceiver against an
// in-process server that answers every query at once with a confirmation,
// the echo and the answer, beside the floor: a bare TCP ping-pong over
// loopback with the same messages (one 12-byte TransmitFrame out, three
// ReceivedFrames of 13, 15 and 14 bytes back, each written on its own).
// A bare client against the in-process server shows how much of the gap is
// the server's and how much the library's.
#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <thread>

#include "bench_support.h"

#if defined(KOVRA62386_BENCH_WITH_LIBRARY)
#include "library_session.h"
#endif

namespace kovra62386::bench {
namespace {

constexpr int kWarmUp = 200;
constexpr int kSends = 5000;
// Short address 0, QUERY ACTUAL LEVEL.

struct Latency {
  double p50_us = 0;
  double p99_us = 0;
};
Latency floor_latency;
Latency server_latency;  // bare client against the in-process server
Latency send_latency;
int send_failures = -1;  // -1: the send benchmark did not run

void report(benchmark::State& state, const std::string& name,
            const std::vector<double>& samples, Latency& out) {
  out.p50_us = percentile(samples, 50);
  out.p99_us = percentile(samples, 99);
  state.counters[name + "_p50_us"] = out.p50_us;
  state.counters[name + "_p99_us"] = out.p99_us;
}

// The floor's server: answers every request with the three responses, one
// write each, as a server that reports three records does.
class PingPongServer {
 public:
  explicit PingPongServer(const Transaction& transaction)
      : transaction_(transaction),
        acceptor_(io_, {boost::asio::ip::address_v4::loopback(), 0}) {
    thread_ = std::thread([this] { serve(); });
  }
  ~PingPongServer() { thread_.join(); }
  uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  void serve() {
    boost::asio::ip::tcp::socket socket(io_);
    boost::system::error_code error;
    acceptor_.accept(socket, error);
    if (error) return;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
    std::vector<uint8_t> request(transaction_.request.size());
    for (;;) {
      boost::asio::read(socket, boost::asio::buffer(request), error);
      if (error) return;
      for (const Message& response : transaction_.responses) {
        boost::asio::write(socket, boost::asio::buffer(response), error);
        if (error) return;
      }
    }
  }

  const Transaction& transaction_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
};

double elapsed_us(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start)
      .count();
}

#if defined(KOVRA62386_BENCH_WITH_LIBRARY)
void ignore_event(uint32_t, const TransceiverEvent*, void*) {}
#endif

// One exchange of the bare client: the request out, the three responses in.
bool exchange(RawClient& client, const Transaction& transaction,
              Message& reply) {
  client.write(transaction.request);
  for (std::size_t i = 0; i < transaction.responses.size(); ++i) {
    if (!client.read_message(reply)) return false;
  }
  return true;
}

// The three ways of one round trip take turns, one each per iteration, so
// that all three meet the same load on the machine: the floor (bare client,
// bare server), the bare client against the in-process server, and
// KOVRA62386_send through the library against the same server.
void BM_SendRoundTrip(benchmark::State& state) {
  const Transaction transaction = query_transaction(answered_query());
  PingPongServer floor_server(transaction);
  RawClient floor_client;
  if (!floor_client.connect(floor_server.port())) {
    state.SkipWithError("cannot connect to the ping-pong server");
    return;
  }
  Message reply;
  std::vector<double> floor_samples;
  floor_samples.reserve(kSends);
#if defined(KOVRA62386_BENCH_WITH_LIBRARY)
  sim::ServerOptions options;
  options.interfaces = {"SIM-1"};
  options.real_timing = false;
  LibrarySession session(options);
  // The server answers at once with exactly the floor's three messages.
  session.server().set_reply_script([&transaction](const sim::TransmitContext&)
                                        -> std::optional<std::vector<Message>> {
    return transaction.responses;
  });
  const uint32_t handle = session.open("SIM-1");
  if (!session.ok() || handle == 0 ||
      !session.start_transceiver(handle, ignore_event, nullptr)) {
    state.SkipWithError(session.ok() ? "could not open or start a transceiver"
                                     : session.why_not().c_str());
    return;
  }
  RawClient server_client;
  if (!server_client.connect(session.server().port()) ||
      !server_client.read_message(reply)) {
    state.SkipWithError("no greeting from the in-process server");
    return;
  }
  // TCP keeps the order: the open is handled before the first transmit.
  server_client.write(make_open_request(0));
  int failures = 0;
  const auto send = [&] {
    const SendResult result = KOVRA62386_send(handle, &transaction.query);
    if (result.status != KOVRA62386_SEND_ANSWER || result.answer != 0xFE) {
      ++failures;
    }
  };
  std::vector<double> server_samples;
  std::vector<double> send_samples;
  server_samples.reserve(kSends);
  send_samples.reserve(kSends);
#endif
  for (int i = 0; i < kWarmUp; ++i) {
    exchange(floor_client, transaction, reply);
#if defined(KOVRA62386_BENCH_WITH_LIBRARY)
    exchange(server_client, transaction, reply);
    send();
#endif
  }
#if defined(KOVRA62386_BENCH_WITH_LIBRARY)
  failures = 0;
#endif
  for (auto _ : state) {
    auto start = Clock::now();
    exchange(floor_client, transaction, reply);
    floor_samples.push_back(elapsed_us(start));
#if defined(KOVRA62386_BENCH_WITH_LIBRARY)
    start = Clock::now();
    exchange(server_client, transaction, reply);
    server_samples.push_back(elapsed_us(start));
    start = Clock::now();
    send();
    send_samples.push_back(elapsed_us(start));
#endif
  }
  floor_client.close();
  report(state, "floor", floor_samples, floor_latency);
#if defined(KOVRA62386_BENCH_WITH_LIBRARY)
  server_client.close();
  report(state, "server", server_samples, server_latency);
  report(state, "send", send_samples, send_latency);
  state.counters["failures"] = failures;
  send_failures = failures;
#endif
}

void register_benchmarks() {
  benchmark::RegisterBenchmark("BM_SendRoundTrip", BM_SendRoundTrip)
      ->Iterations(kSends)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
}

void add_send_rows() {
  if (floor_latency.p50_us == 0) return;
  const std::string floor_p50 = format_duration_us(floor_latency.p50_us);
  const std::string floor_p99 = format_duration_us(floor_latency.p99_us);
  if (send_failures < 0) {
    add_row({"send round trip: TCP floor p50 / p99",
             floor_p50 + " / " + floor_p99, "-", "-", "-", Met::NotApplicable});
    return;
  }
  const bool p50_met = send_latency.p50_us <= 2 * floor_latency.p50_us &&
                       send_latency.p50_us < 200 && send_failures == 0;
  add_row({"send round trip p50 (" + std::to_string(kSends) + " sends, " +
               std::to_string(send_failures) + " without answer)",
           format_duration_us(send_latency.p50_us),
           floor_p50 + " (TCP ping-pong p50)",
           format_ratio(send_latency.p50_us, floor_latency.p50_us),
           "<= 2x floor and < 200 us, every send answered",
           p50_met ? Met::Yes : Met::No});
  add_row({"send round trip p99", format_duration_us(send_latency.p99_us),
           floor_p99 + " (TCP ping-pong p99)",
           format_ratio(send_latency.p99_us, floor_latency.p99_us), "-",
           Met::NotApplicable});
  // The library's own share: the same server answering a bare client.
  const auto share_row = [](const char* figure, double library_us,
                            double bare_us, double goal_ratio) {
    const bool met = send_failures == 0 && library_us <= goal_ratio * bare_us;
    add_row(
        {figure, format_duration_us(library_us),
         format_duration_us(bare_us) + " (bare client, same in-process server)",
         format_ratio(library_us, bare_us),
         "<= " + format_number(goal_ratio, 2) + "x", met ? Met::Yes : Met::No});
  };
  share_row("send round trip p50, library's share", send_latency.p50_us,
            server_latency.p50_us, 1.15);
  share_row("send round trip p99, library's share", send_latency.p99_us,
            server_latency.p99_us, 2.0);
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  kovra62386::bench::register_benchmarks();
  return kovra62386::bench::run_benchmarks(argc, argv,
                                           kovra62386::bench::add_send_rows);
}
