// One application of the soak: opens both interfaces of the server, runs a
// transceiver on each and sends from one thread per interface until the
// time is up. Then it checks what a long run must not change: every send
// got an outcome, every completed send's own echo reached the callback, the
// process's memory did not grow after warm-up, and the server still
// answers. Prints one line of figures (key=value) and exits 0 when every
// check held.
//
//   soak_client ID SECONDS
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What one handle's transceiver saw.
struct HandleCounts {
  std::atomic<uint64_t> own_echoes{0};
  std::atomic<uint64_t> foreign_frames{0};
  std::atomic<uint64_t> answers{0};
  std::atomic<uint64_t> no_answers{0};
  std::atomic<uint64_t> frame_errors{0};
  std::atomic<uint64_t> bus_states{0};
  std::atomic<uint64_t> closed{0};
  // What its sends returned, by status 0-5, and the slowest one.
  std::atomic<uint64_t> statuses[6] = {};
  std::atomic<uint64_t> other_status{0};
  std::atomic<int64_t> slowest_us{0};
};

void on_event(uint32_t, const TransceiverEvent* event, void* context) {
  auto* counts = static_cast<HandleCounts*>(context);
  switch (event->code) {
    case KOVRA62386_EVENT_FORWARD_FRAME:
      if (event->payload.record.bus_event.header_flag == 1) {
        ++counts->own_echoes;
      } else {
        ++counts->foreign_frames;
      }
      break;
    case KOVRA62386_EVENT_BACKWARD_FRAME:
      ++counts->answers;
      break;
    case KOVRA62386_EVENT_NO_ANSWER:
      ++counts->no_answers;
      break;
    case KOVRA62386_EVENT_FRAME_ERROR:
      ++counts->frame_errors;
      break;
    case KOVRA62386_EVENT_BUS_STATE:
      ++counts->bus_states;
      break;
    case KOVRA62386_EVENT_CLOSED:
      ++counts->closed;
      break;
    default:
      break;
  }
}

// Resident set size in KiB (Linux).
long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

WriteFrameRecord frame_for(uint32_t n) {
  WriteFrameRecord frame{};
  frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
  frame.frame.bit_count = 16;
  frame.frame.format = KOVRA62386_FORMAT_VARIABLE;
  // A query to one of the first short addresses (answered by the gear
  // that is there, timed out where none is) and now and then a broadcast
  // arc power command that nobody answers.
  if (n % 4 == 3) {
    frame.frame.data[0] = 0xFE;
    frame.frame.data[1] = static_cast<uint8_t>(n % 254);
  } else {
    frame.frame.data[0] = static_cast<uint8_t>(((n % 8) << 1) | 1);
    frame.frame.data[1] = kovra62386::dali::gear::kQueryActualLevel;
  }
  return frame;
}

void send_loop(uint32_t handle, HandleCounts& counts, Clock::time_point end,
               uint32_t seed) {
  for (uint32_t n = seed; Clock::now() < end; ++n) {
    const WriteFrameRecord frame = frame_for(n);
    const auto start = Clock::now();
    const SendResult result = KOVRA62386_send(handle, &frame);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                          Clock::now() - start)
                          .count();
    if (result.status >= 0 && result.status <= 5) {
      ++counts.statuses[result.status];
    } else {
      ++counts.other_status;
    }
    int64_t slowest = counts.slowest_us.load();
    while (took > slowest &&
           !counts.slowest_us.compare_exchange_weak(slowest, took)) {
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: soak_client ID SECONDS\n");
    return 2;
  }
  const int id = std::atoi(argv[1]);
  const int seconds = std::atoi(argv[2]);
  if (KOVRA62386_initialize() != 0) {
    std::printf("client=%d error=initialize\n", id);
    return 1;
  }
  std::vector<std::string> names;
  EnumerationNode* list = KOVRA62386_enumerate();
  for (EnumerationNode* node = list; node != nullptr; node = node->next) {
    names.emplace_back(node->name);
  }
  KOVRA62386_free_enumeration(list);
  if (names.size() < 2) {
    std::printf("client=%d error=enumerate count=%zu\n", id, names.size());
    KOVRA62386_terminate();
    return 1;
  }

  HandleCounts counts[2];
  uint32_t handles[2] = {};
  for (int i = 0; i < 2; ++i) {
    handles[i] = KOVRA62386_open(names[static_cast<std::size_t>(i)].c_str());
    if (handles[i] == 0 ||
        KOVRA62386_start_transceiver(handles[i], on_event, &counts[i]) != 1) {
      std::printf("client=%d error=open-or-start\n", id);
      KOVRA62386_terminate();
      return 1;
    }
  }

  const auto begin = Clock::now();
  const auto end = begin + std::chrono::seconds(seconds);
  // Memory is compared from the end of the warm-up (a tenth of the run).
  const auto warm = begin + std::chrono::seconds(seconds) / 10;
  std::vector<std::thread> senders;
  for (int i = 0; i < 2; ++i) {
    senders.emplace_back(send_loop, handles[i], std::ref(counts[i]), end,
                         static_cast<uint32_t>(id * 1000 + i * 7));
  }
  std::this_thread::sleep_until(warm);
  const long rss_warm = rss_kib();
  for (auto& sender : senders) sender.join();

  // One more send per handle, not counted: the events of the last counted
  // sends are handled before its outcome.
  for (int i = 0; i < 2; ++i) {
    const WriteFrameRecord frame = frame_for(3);
    KOVRA62386_send(handles[i], &frame);  // not counted
  }
  const long rss_end = rss_kib();

  // The server still answers, and the handles are still open.
  EnumerationNode* again = KOVRA62386_enumerate();
  std::size_t listed = 0;
  for (EnumerationNode* node = again; node != nullptr; node = node->next) {
    ++listed;
  }
  KOVRA62386_free_enumeration(again);

  uint64_t sends = 0, completed = 0, echoes = 0, no_result = 0, not_echoed = 0,
           other = 0, closed = 0, foreign = 0, answers = 0;
  int64_t slowest = 0;
  for (int i = 0; i < 2; ++i) {
    KOVRA62386_stop_transceiver(handles[i]);
    KOVRA62386_close(handles[i]);
    HandleCounts& c = counts[i];
    for (int s = 0; s <= 5; ++s) sends += c.statuses[s];
    completed += c.statuses[2] + c.statuses[3] + c.statuses[5];
    no_result += c.statuses[1];
    not_echoed += c.statuses[4];
    other += c.other_status + c.statuses[0];
    echoes += c.own_echoes;
    closed += c.closed;
    foreign += c.foreign_frames;
    answers += c.statuses[5];
    slowest = std::max<int64_t>(slowest, c.slowest_us);
  }
  KOVRA62386_terminate();

  // Each completed send was echoed once before it completed; the closing
  // last round trip adds one echo per handle.
  const uint64_t expected_echoes_low = completed;
  const uint64_t expected_echoes_high = completed + 2 + no_result + not_echoed;
  const long growth = rss_end - rss_warm;
  // AddressSanitizer holds freed memory back in its quarantine, so the
  // resident size grows by design; LeakSanitizer checks at exit instead.
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool kRssChecked = false;
#else
  constexpr bool kRssChecked = true;
#endif
  const bool memory_ok = !kRssChecked || growth < 4096;
  const bool ok = sends > 0 && no_result == 0 && not_echoed == 0 &&
                  other == 0 && echoes >= expected_echoes_low &&
                  echoes <= expected_echoes_high && closed == 0 &&
                  listed == names.size() && memory_ok;
  std::printf(
      "client=%d seconds=%d sends=%llu answered=%llu completed=%llu "
      "no_result=%llu not_echoed=%llu other=%llu own_echoes=%llu "
      "foreign_frames=%llu closed_events=%llu slowest_ms=%.1f "
      "rss_warm_kib=%ld rss_end_kib=%ld listed_at_end=%zu ok=%d\n",
      id, seconds, static_cast<unsigned long long>(sends),
      static_cast<unsigned long long>(answers),
      static_cast<unsigned long long>(completed),
      static_cast<unsigned long long>(no_result),
      static_cast<unsigned long long>(not_echoed),
      static_cast<unsigned long long>(other),
      static_cast<unsigned long long>(echoes),
      static_cast<unsigned long long>(foreign),
      static_cast<unsigned long long>(closed), slowest / 1000.0, rss_warm,
      rss_end, listed, ok ? 1 : 0);
  return ok ? 0 : 1;
}
