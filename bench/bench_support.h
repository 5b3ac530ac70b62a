// Helpers shared by the benchmark programs: the result table every program
// prints after its Google Benchmark runs, latency statistics, CPU time, a
// private registry root, and a bare TCP peer that speaks the server's
// message framing without any of the library's threads or queues (the
// floor that the library's figures are compared against).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kovra62386/dali_commands.hpp"
#include "kovra62386/kovra62386.h"
#include "kovra62386/kovra62386.hpp"
#include "protocol/message.h"

namespace kovra62386::bench {

using Clock = std::chrono::steady_clock;

// ---- The result table ----------------------------------------------------

enum class Met { Yes, No, NotApplicable };

struct Row {
  std::string figure;    // what was measured
  std::string measured;  // the figure's value, with its unit
  std::string baseline;  // the baseline's value, with its unit, or "-"
  std::string ratio;     // measured / baseline, or "-"
  std::string goal;      // the goal in words, or "-"
  Met met = Met::NotApplicable;
};

// Rows are printed after the benchmarks ran, one line each, prefixed with
// "@row|" and separated by '|', so bench/run-benchmarks can collect the
// rows of every program into one table.
void add_row(Row row);
void print_rows();

// Runs the registered benchmarks, then `add_rows` (which turns what they
// measured into rows), and prints the rows; the main() of every benchmark
// program.
int run_benchmarks(int argc, char** argv,
                   const std::function<void()>& add_rows = {});

std::string format_number(double value, int decimals);
std::string format_ratio(double measured, double baseline);
std::string format_duration_us(double microseconds);

// ---- Statistics ------------------------------------------------------------

// The p-th percentile (0-100) of the samples by nearest rank; 0 when empty.
double percentile(std::vector<double> samples, double p);

// CPU time of the calling thread: figures of pure computation measured by it
// stay put while other processes share the cores.
std::chrono::nanoseconds thread_cpu_time();

// Whole-process CPU time (user + system) from getrusage.
std::chrono::microseconds process_cpu_time();

// The process's idle cost over `window` of wall time (the calling thread
// sleeps through it): CPU time in % of one core, and voluntary context
// switches per second (how often its threads wake up; the caller's own
// wake-up from the sleep is not counted).
struct IdleCost {
  double cpu_percent = 0;
  double wakeups_per_second = 0;
  std::chrono::duration<double> wall{};
};
IdleCost measure_idle(std::chrono::milliseconds window);

// ---- The environment -------------------------------------------------------

// Points KOVRA62386_REGISTRY_ROOT at a fresh temporary folder (unless the
// runner already set it), so a benchmark never touches the user's registry
// store. Call before the first library call.
void use_private_registry_root();

// True when something accepts connections on 127.0.0.1:port.
bool port_in_use(uint16_t port);

// ---- A bare TCP peer --------------------------------------------------------

// A blocking client socket with Nagle's delay off, reading whole messages
// (type, length N, N bytes) as the library's framing does.
class RawClient {
 public:
  RawClient();
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Connects to 127.0.0.1:port; false on failure.
  bool connect(uint16_t port);
  void write(const Message& message);
  void write(const uint8_t* bytes, std::size_t size);
  // Reads one whole message into `out`; false when the peer closed.
  bool read_message(Message& out);
  // Reads exactly `size` bytes; false when the peer closed.
  bool read_exact(uint8_t* bytes, std::size_t size);
  // Reads whatever is there (at least one byte); 0 when the peer closed.
  std::size_t read_some(uint8_t* bytes, std::size_t size);
  void close();

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
};

// Short address 0, QUERY ACTUAL LEVEL: the simulated gear answers.
inline WriteFrameRecord answered_query() {
  return kovra62386::command(kovra62386::Address::short_address(0),
                             kovra62386::gear::kQueryActualLevel);
}

// The messages of one transaction as the instant server reports a 16-bit
// query to present gear: the TransmitFrame the library sends and the three
// ReceivedFrames it gets back (confirmation, echo, answer 0xFE).
struct Transaction {
  WriteFrameRecord query{};
  Message request;                 // TransmitFrame for interface 0
  std::vector<Message> responses;  // confirmation, echo, answer
};
Transaction query_transaction(const WriteFrameRecord& query);

}  // namespace kovra62386::bench
