// The frame codec: nanoseconds per encode and decode for every wire layout,
// beside a plain copy of the record (what any call that hands a record over
// costs at least), and the heap allocations per call, counted by replacing
// the global operator new of this program.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "allocation_counter.h"
#include "bench_support.h"
#include "protocol/frame_codec.h"

namespace kovra62386::bench {
namespace {

// ns per call and allocations per call of the last (reported) run of each
// benchmark.
struct Measure {
  double ns = 0;
  double allocations_per_call = 0;
};
std::map<std::string, Measure>& measures() {
  static std::map<std::string, Measure> all;
  return all;
}

// Runs the loop body, timing the whole loop itself so the figure is at hand
// for the table. The time is the thread's CPU time (Google Benchmark's CPU
// column): the codec only computes, and wall time would also count the
// other processes that share the cores.
template <typename Body>
void measure(benchmark::State& state, const std::string& name, Body body) {
  const uint64_t allocations_before = allocation_count();
  const auto start = thread_cpu_time();
  for (auto _ : state) body();
  const auto elapsed = thread_cpu_time() - start;
  const double calls = static_cast<double>(state.iterations());
  const double allocated =
      static_cast<double>(allocation_count() - allocations_before);
  state.counters["allocs_per_call"] = allocated / calls;
  measures()[name] = {
      std::chrono::duration<double, std::nano>(elapsed).count() / calls,
      allocated / calls};
}

// ---- The layouts
// -------------------------------------------------------------

struct Layout {
  const char* name;
  Direction direction;
  FrameHolder holder;
};

FrameHolder write_holder(uint8_t type, uint8_t format) {
  FrameHolder h;
  h.direction = static_cast<uint32_t>(Direction::Write);
  h.write = answered_query();
  h.write.frame_type = type;
  h.write.frame.format = format;
  h.write.frame.value = 0x12345678;
  return h;
}

FrameHolder read_holder() {
  FrameHolder h;
  h.direction = static_cast<uint32_t>(Direction::Read);
  h.read = ReadFrameRecord{};
  return h;
}

const std::vector<Layout>& layouts() {
  static const std::vector<Layout> all = [] {
    std::vector<Layout> list;
    list.push_back(
        {"write type 4 variable (16 bit)", Direction::Write,
         write_holder(KOVRA62386_FRAME_TRANSMIT, KOVRA62386_FORMAT_VARIABLE)});
    list.push_back({"write type 4 fixed", Direction::Write,
                    write_holder(KOVRA62386_FRAME_TRANSMIT, 0)});
    FrameHolder request = write_holder(KOVRA62386_FRAME_INTERFACE_REQUEST, 0);
    list.push_back({"write type 3", Direction::Write, request});

    FrameHolder answer = read_holder();
    answer.read.frame_type = KOVRA62386_FRAME_BUS_EVENT;
    answer.read.sub_type = KOVRA62386_BUS_EVENT_BACKWARD;
    answer.read.bus_event.bit_count = 8;
    answer.read.bus_event.data[0] = 0xFE;
    list.push_back({"read type 1 answer (8 bit)", Direction::Read, answer});

    FrameHolder full = read_holder();
    full.read.frame_type = KOVRA62386_FRAME_BUS_EVENT;
    full.read.sub_type = KOVRA62386_BUS_EVENT_FORWARD;
    full.read.bus_event.bit_count = 40;
    full.read.bus_event.word_count = 83;
    for (int i = 0; i < 83; ++i)
      full.read.bus_event.words[i] = static_cast<uint16_t>(i * 257);
    list.push_back(
        {"read type 1 full (40 bit, 83 words)", Direction::Read, full});

    FrameHolder info0 = read_holder();
    info0.read.frame_type = KOVRA62386_FRAME_INTERFACE_INFO;
    info0.read.sub_type = KOVRA62386_INFO_BLOCK0;
    std::memset(info0.read.info0, 0x5A, sizeof info0.read.info0);
    list.push_back({"read type 3 sub-type 0", Direction::Read, info0});

    FrameHolder info3 = read_holder();
    info3.read.frame_type = KOVRA62386_FRAME_INTERFACE_INFO;
    info3.read.sub_type = KOVRA62386_INFO_BLOCK3;
    std::memset(info3.read.info3, 0xA5, sizeof info3.read.info3);
    list.push_back({"read type 3 sub-type 3", Direction::Read, info3});

    FrameHolder confirmation = read_holder();
    confirmation.read.frame_type = KOVRA62386_FRAME_TRANSMIT_REPORT;
    confirmation.read.transmit_report.frame.bit_count = 16;
    confirmation.read.transmit_report.frame.format = KOVRA62386_FORMAT_VARIABLE;
    list.push_back(
        {"read type 4 confirmation (16 bit)", Direction::Read, confirmation});
    return list;
  }();
  return all;
}

void BM_Encode(benchmark::State& state) {
  const Layout& layout = layouts()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(layout.name);
  uint8_t out[FrameCodec::kMaxFrameLength];
  uint32_t length = 0;
  measure(state, std::string("encode ") + layout.name, [&] {
    benchmark::DoNotOptimize(&layout.holder);
    FrameCodec::encode(layout.holder, out, length);
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(length);
  });
  state.counters["bytes"] = length;
}

void BM_Decode(benchmark::State& state) {
  const Layout& layout = layouts()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(layout.name);
  uint8_t wire[FrameCodec::kMaxFrameLength];
  uint32_t length = 0;
  FrameCodec::encode(layout.holder, wire, length);
  FrameHolder holder;
  measure(state, std::string("decode ") + layout.name, [&] {
    benchmark::DoNotOptimize(wire);
    FrameCodec::decode(layout.direction, wire, length, holder);
    benchmark::DoNotOptimize(&holder);
  });
  state.counters["bytes"] = length;
}

// The baseline: copying a record of the same size as the call hands over.
template <typename Record>
void BM_CopyRecord(benchmark::State& state) {
  Record from{};
  Record to{};
  // Both records escape, so the copy must really be made every time.
  benchmark::DoNotOptimize(&from);
  benchmark::DoNotOptimize(&to);
  measure(state, "copy " + std::to_string(sizeof(Record)), [&] {
    std::memcpy(&to, &from, sizeof to);
    benchmark::ClobberMemory();
  });
}

void register_benchmarks() {
  const int count = static_cast<int>(layouts().size());
  benchmark::RegisterBenchmark("BM_CopyRecord/write_record_72",
                               BM_CopyRecord<WriteFrameRecord>);
  benchmark::RegisterBenchmark("BM_CopyRecord/read_record_264",
                               BM_CopyRecord<ReadFrameRecord>);
  benchmark::RegisterBenchmark("BM_Encode", BM_Encode)
      ->DenseRange(0, count - 1);
  benchmark::RegisterBenchmark("BM_Decode", BM_Decode)
      ->DenseRange(0, count - 1);
}

void add_codec_rows() {
  for (const Layout& layout : layouts()) {
    const bool write = layout.direction == Direction::Write;
    const std::string copy_name =
        write ? "copy " + std::to_string(sizeof(WriteFrameRecord))
              : "copy " + std::to_string(sizeof(ReadFrameRecord));
    const auto copy = measures().find(copy_name);
    for (const char* operation : {"encode ", "decode "}) {
      const auto found = measures().find(operation + std::string(layout.name));
      if (found == measures().end()) continue;
      const Measure& m = found->second;
      Row row;
      row.figure = "codec: " + std::string(operation) + layout.name;
      row.measured = format_number(m.ns, 1) + " ns CPU, " +
                     format_number(m.allocations_per_call, 0) + " allocs";
      if (copy != measures().end()) {
        row.baseline = format_number(copy->second.ns, 1) + " ns (" +
                       copy_name.substr(5) + "-byte record copy)";
        row.ratio = format_ratio(m.ns, copy->second.ns);
      } else {
        row.baseline = row.ratio = "-";
      }
      row.goal = "0 allocations per call";
      row.met = m.allocations_per_call == 0 ? Met::Yes : Met::No;
      add_row(row);
    }
  }
}

}  // namespace
}  // namespace kovra62386::bench

int main(int argc, char** argv) {
  kovra62386::bench::register_benchmarks();
  return kovra62386::bench::run_benchmarks(argc, argv,
                                           kovra62386::bench::add_codec_rows);
}
