#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

namespace kovra62386::bench {
namespace {

std::mutex rows_mutex;
std::vector<Row>& rows() {
  static std::vector<Row> all;
  return all;
}

// Removes the registry folder this process made, at exit.
struct PrivateRegistryRoot {
  std::string path;
  ~PrivateRegistryRoot() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

const char* met_text(Met met) {
  switch (met) {
    case Met::Yes:
      return "yes";
    case Met::No:
      return "NO";
    case Met::NotApplicable:
      break;
  }
  return "-";
}

}  // namespace

void add_row(Row row) {
  std::lock_guard<std::mutex> lock(rows_mutex);
  rows().push_back(std::move(row));
}

void print_rows() {
  std::lock_guard<std::mutex> lock(rows_mutex);
  for (const Row& row : rows()) {
    std::printf("@row|%s|%s|%s|%s|%s|%s\n", row.figure.c_str(),
                row.measured.c_str(), row.baseline.c_str(), row.ratio.c_str(),
                row.goal.c_str(), met_text(row.met));
  }
  std::fflush(stdout);
}

int run_benchmarks(int argc, char** argv,
                   const std::function<void()>& add_rows) {
  use_private_registry_root();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (add_rows) add_rows();
  print_rows();
  return 0;
}

std::string format_number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string format_ratio(double measured, double baseline) {
  if (!(baseline > 0) || !std::isfinite(measured)) return "-";
  const double ratio = measured / baseline;
  return format_number(ratio, ratio < 10 ? 2 : 1) + "x";
}

std::string format_duration_us(double microseconds) {
  if (microseconds >= 1e6) return format_number(microseconds / 1e6, 2) + " s";
  if (microseconds >= 1e3) return format_number(microseconds / 1e3, 2) + " ms";
  return format_number(microseconds, 1) + " us";
}

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double rank =
      std::ceil(p / 100.0 * static_cast<double>(samples.size()));
  const std::size_t index =
      static_cast<std::size_t>(std::clamp(rank, 1.0, double(samples.size()))) -
      1;
  return samples[index];
}

std::chrono::nanoseconds thread_cpu_time() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) +
         std::chrono::nanoseconds(now.tv_nsec);
}

std::chrono::microseconds process_cpu_time() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto to_us = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) +
           std::chrono::microseconds(t.tv_usec);
  };
  return to_us(usage.ru_utime) + to_us(usage.ru_stime);
}

IdleCost measure_idle(std::chrono::milliseconds window) {
  const auto voluntary_switches = [] {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
  };
  const auto cpu_before = process_cpu_time();
  const long switches_before = voluntary_switches();
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(window);
  IdleCost cost;
  cost.wall = Clock::now() - wall_before;
  const std::chrono::duration<double> cpu = process_cpu_time() - cpu_before;
  const long switches = voluntary_switches() - switches_before - 1;
  cost.cpu_percent = 100 * cpu.count() / cost.wall.count();
  cost.wakeups_per_second = static_cast<double>(switches) / cost.wall.count();
  return cost;
}

void use_private_registry_root() {
  static PrivateRegistryRoot own;
  const char* set = ::getenv("KOVRA62386_REGISTRY_ROOT");
  if (set != nullptr && *set != '\0') return;
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kovra62386-bench-XXXXXX")
          .string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "cannot create a private registry folder\n");
    std::exit(1);
  }
  own.path = pattern;
  ::setenv("KOVRA62386_REGISTRY_ROOT", pattern.c_str(), 1);
}

bool port_in_use(uint16_t port) {
  RawClient probe;
  return probe.connect(port);
}

// ---- RawClient -------------------------------------------------------------

RawClient::RawClient() : socket_(io_) {}

RawClient::~RawClient() { close(); }

bool RawClient::connect(uint16_t port) {
  boost::system::error_code error;
  socket_.connect({boost::asio::ip::address_v4::loopback(), port}, error);
  if (error) return false;
  socket_.set_option(boost::asio::ip::tcp::no_delay(true), error);
  return true;
}

void RawClient::write(const Message& message) {
  write(message.data(), message.size());
}

void RawClient::write(const uint8_t* bytes, std::size_t size) {
  boost::system::error_code ignored;
  boost::asio::write(socket_, boost::asio::buffer(bytes, size), ignored);
}

bool RawClient::read_exact(uint8_t* bytes, std::size_t size) {
  boost::system::error_code error;
  boost::asio::read(socket_, boost::asio::buffer(bytes, size), error);
  return !error;
}

std::size_t RawClient::read_some(uint8_t* bytes, std::size_t size) {
  boost::system::error_code error;
  const std::size_t got =
      socket_.read_some(boost::asio::buffer(bytes, size), error);
  return error ? 0 : got;
}

bool RawClient::read_message(Message& out) {
  uint8_t head[2];
  if (!read_exact(head, 2)) return false;
  out.resize(2 + head[1]);
  out[0] = head[0];
  out[1] = head[1];
  return head[1] == 0 || read_exact(out.data() + 2, head[1]);
}

void RawClient::close() {
  boost::system::error_code ignored;
  if (socket_.is_open()) {
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }
}

// ---- The query transaction
// ---------------------------------------------------

Transaction query_transaction(const WriteFrameRecord& query) {
  Transaction t;
  t.query = query;
  t.request = make_transmit_frame(0, t.query);

  ReadFrameRecord confirmation{};
  confirmation.frame_type = KOVRA62386_FRAME_TRANSMIT_REPORT;
  confirmation.transmit_report.status = KOVRA62386_STATUS_SENT;
  confirmation.transmit_report.frame = t.query.frame;

  ReadFrameRecord echo{};
  echo.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  echo.sub_type = KOVRA62386_BUS_EVENT_FORWARD;
  echo.bus_event.header_flag = 1;
  echo.bus_event.bit_count = 16;
  echo.bus_event.data[0] = query.frame.data[0];
  echo.bus_event.data[1] = query.frame.data[1];

  ReadFrameRecord answer{};
  answer.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  answer.sub_type = KOVRA62386_BUS_EVENT_BACKWARD;
  answer.bus_event.bit_count = 8;
  answer.bus_event.data[0] = 0xFE;

  for (const ReadFrameRecord* record : {&confirmation, &echo, &answer}) {
    t.responses.push_back(make_received_frame(0, *record));
  }
  return t;
}

}  // namespace kovra62386::bench
