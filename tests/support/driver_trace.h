// What the drivers' protocol trace tests share: a client's frame as a
// transmit request, and the events a protocol reports as words, so that a
// trace reads as a sequence ("confirmed:0 echo answer:254 over").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/drivers/driver_events.h"

namespace kovra62386::sim::drivers::test {

inline TransmitRequest request(const std::vector<uint8_t>& data,
                               bool twice = false, unsigned priority = 1) {
  TransmitRequest r;
  r.frame.bit_count = static_cast<uint8_t>(data.size() * 8);
  r.frame.format = KOVRA62386_FORMAT_VARIABLE;
  for (std::size_t i = 0; i < data.size() && i < sizeof r.frame.data; ++i) {
    r.frame.data[i] = data[i];
  }
  r.priority = priority;
  r.send_twice = twice;
  return r;
}

// A foreign frame names its length and first byte.
inline std::string word(const DriverEvent& e) {
  using std::to_string;
  switch (e.kind) {
    case DriverEventKind::Confirmed:
      return "confirmed:" + to_string(e.status);
    case DriverEventKind::Echo:
      return "echo";
    case DriverEventKind::Completion:
      if (e.completion == Completion::Answer) {
        return "answer:" + to_string(e.answer);
      }
      return e.completion == Completion::Collision ? "collision" : "no-answer";
    case DriverEventKind::Timeout:
      return "timeout";
    case DriverEventKind::Over:
      return "over";
    case DriverEventKind::Ready:
      return "ready";
    case DriverEventKind::ForeignFrame:
      return "foreign:" + to_string(e.frame.bit_count) + ":" +
             to_string(e.frame.data[0]);
    case DriverEventKind::ForeignAnswer:
      return "foreign-answer:" + to_string(e.answer);
    case DriverEventKind::ForeignError:
      return "foreign-error";
    case DriverEventKind::BusPowerLost:
      return "power-lost";
    case DriverEventKind::BusPowerBack:
      return "power-back";
    case DriverEventKind::FirmwareVersion:
      return "version:" + e.text;
  }
  return "?";
}

inline std::string words(const std::vector<DriverEvent>& events) {
  std::string out;
  for (const DriverEvent& e : events) out += (out.empty() ? "" : " ") + word(e);
  return out;
}

}  // namespace kovra62386::sim::drivers::test
