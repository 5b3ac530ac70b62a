// `monitor`: every frame and bus-state change on a bus, as it happens.
#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "cli/arguments.h"
#include "cli/bus.h"
#include "cli/commands.h"
#include "cli/device_scanner.h"
#include "cli/interrupt.h"
#include "dali/dali_commands.h"
#include "dali/device_commands.h"

namespace kovra62386::cli {
namespace {

std::string wall_clock() {
  const auto now = std::chrono::system_clock::now();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch())
                          .count() %
                      1000;
  return fmt::format("{:%H:%M:%S}.{:03}",
                     fmt::localtime(std::chrono::system_clock::to_time_t(now)),
                     millis);
}

// Events the transceiver's thread hands over; the main thread prints them,
// since naming a control device's event may need a query of its own.
class EventQueue {
 public:
  static constexpr std::size_t kLimit = 4096;  // the oldest go beyond it

  void push(const TransceiverEvent& event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (events_.size() >= kLimit) {
        events_.pop_front();
        ++dropped_;
      }
      events_.push_back(Entry{event, wall_clock()});
    }
    Interrupt::wake();
  }
  bool empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.empty();
  }
  struct Entry {
    TransceiverEvent event;
    std::string time;
  };
  std::optional<Entry> pop(unsigned long& dropped) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped = std::exchange(dropped_, 0);
    if (events_.empty()) return std::nullopt;
    Entry e = events_.front();
    events_.pop_front();
    return e;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<Entry> events_;
  unsigned long dropped_ = 0;
};

// Prints events and counts them.
class EventPrinter {
 public:
  EventPrinter(bool json, long limit) : json_(json), limit_(limit) {}

  void print(const TransceiverEvent& event, const std::string& time,
             const dali::device::InstanceTypeLookup& lookup) {
    const BusEvent& bus = event.payload.record.bus_event;
    const unsigned bits = std::min<unsigned>(bus.bit_count, 40);
    const size_t byte_count = (bits + 7) / 8;
    nlohmann::json j{{"time", time}};
    std::string text;
    switch (event.code) {
      case KOVRA62386_EVENT_FORWARD_FRAME: {
        const std::string bytes = hex_bytes(bus.data, byte_count);
        const std::string description =
            bits == 24 ? dali::device::describe_device_frame(bus.data, lookup)
                       : dali::describe_forward_frame(bus.data, bits);
        j["event"] = "forward";
        j["frame"] = bytes;
        j["bits"] = bits;
        j["own"] = bus.header_flag != 0;
        j["description"] = description;
        text = fmt::format("-> {:<9} {}{}", bytes, description,
                           bus.header_flag != 0 ? "  [own frame]" : "");
        break;
      }
      case KOVRA62386_EVENT_BACKWARD_FRAME:
        j["event"] = "answer";
        j["answer"] = bus.data[0];
        text = fmt::format("<- answer 0x{:02X} ({})", bus.data[0], bus.data[0]);
        break;
      case KOVRA62386_EVENT_NO_ANSWER:
        j["event"] = "no_answer";
        text = "   no answer";
        break;
      case KOVRA62386_EVENT_FRAME_ERROR:
        j["event"] = "collision";
        text = "!! collision or framing error: several devices answered";
        break;
      case KOVRA62386_EVENT_BUS_STATE:
        j["event"] = "bus_state";
        j["state"] = event.payload.bus_state;
        j["text"] = to_string(static_cast<BusState>(event.payload.bus_state));
        text = fmt::format(
            "** {}", to_string(static_cast<BusState>(event.payload.bus_state)));
        break;
      case KOVRA62386_EVENT_CLOSED:
        closed_ = true;
        Interrupt::wake();
        return;  // reported once by the command itself
      default:
        j["event"] = "unknown";
        j["code"] = event.code;
        text = fmt::format("?? event {}", event.code);
        break;
    }
    if (json_) {
      fmt::print("{}\n", json_text(j));
    } else {
      fmt::print("{}  {}\n", time, text);
    }
    std::fflush(stdout);
    if (++count_ >= limit_ && limit_ > 0) {
      done_ = true;
      Interrupt::wake();
    }
  }

  bool done() const { return done_ || closed_; }
  bool closed() const { return closed_; }
  long count() const { return count_; }

 private:
  const bool json_;
  const long limit_;
  std::atomic<long> count_{0};
  std::atomic<bool> done_{false};
  std::atomic<bool> closed_{false};
};

}  // namespace

ExitCode run_monitor(const Context& context,
                     const MonitorArguments& arguments) {
  const Session session = open_session();
  EventPrinter printer(context.json, arguments.count);
  EventQueue queue;
  {
    BusInterface bus(
        session, arguments.interface_name,
        [&queue](const TransceiverEvent& event) { queue.push(event); });
    InstanceTypeCache types(bus);
    const dali::device::InstanceTypeLookup lookup = [&types](uint8_t address,
                                                             uint8_t instance) {
      return types(address, instance);
    };
    auto drain = [&] {
      unsigned long dropped = 0;
      while (!printer.done()) {
        const auto entry = queue.pop(dropped);
        if (dropped > 0) {
          fmt::print(stderr, "({} events lost: printing fell behind)\n",
                     dropped);
        }
        if (!entry) break;
        printer.print(entry->event, entry->time, lookup);
      }
    };
    // On stderr in both modes: scripts may wait for it to know that
    // the interface is open.
    fmt::print(stderr, "Monitoring {} (Ctrl-C to stop)\n",
               arguments.interface_name);
    std::fflush(stderr);
    using Clock = std::chrono::steady_clock;
    const bool timed = arguments.seconds > 0;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(arguments.seconds));
    for (;;) {
      const auto slice =
          timed ? std::min<Clock::duration>(deadline - Clock::now(),
                                            std::chrono::hours(1))
                : Clock::duration(std::chrono::hours(1));
      const bool interrupted = Interrupt::wait(
          slice, [&] { return printer.done() || !queue.empty(); });
      drain();
      if (interrupted) break;
      if (printer.done() || (timed && Clock::now() >= deadline)) break;
    }
  }  // stops the transceiver and closes the interface
  if (!context.json) {
    fmt::print(stderr, "Stopped after {} event{}\n", printer.count(),
               printer.count() == 1 ? "" : "s");
  }
  if (printer.closed()) {
    throw CliError(ExitCode::kNoServer,
                   fmt::format("interface '{}' closed: the server closed it "
                               "or the connection was lost",
                               arguments.interface_name));
  }
  return ExitCode::kOk;
}

}  // namespace kovra62386::cli
