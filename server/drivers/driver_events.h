// What a real bus interface's driver is given and what it reports: the
// vocabulary shared by every driver's protocol state machine. A driver
// transmits one transaction at a time (the server's per-client queues and
// round robin stay in front of it, as for a simulated bus) and reports in
// the terms the server already turns into records for a simulated bus
// (server/bus_records.h): confirmation, own echo, completion, other
// masters' frames, bus power. Time enters as a `now` argument on every
// call, so a test drives the clock.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "kovra62386/kovra62386.h"

namespace kovra62386::sim::drivers {

using DriverClock = std::chrono::steady_clock;

// One client forward frame for the bus.
struct TransmitRequest {
  BusFrame frame{};       // bit_count 16 or 24, data most significant first
  unsigned priority = 1;  // 1 (highest) .. 5, resolved by the server
  bool send_twice = false;
};

enum class DriverEventKind {
  // Our transaction. A send-twice transaction reports Confirmed, Echo and
  // Completion once per copy, unless a collision ends the pair early.
  // Every transmit() ends with exactly one Over, its last event, so that
  // the caller never counts copies.
  Confirmed,   // status: KOVRA62386_STATUS_*; not SENT ends the transaction
  Echo,        // our frame was seen on the bus
  Completion,  // completion; ends the copy
  Timeout,     // the interface never finished the transaction: an error
  Over,        // the transaction is over; nothing more of it follows

  // The driver can transmit again after a quiet time of its own (after a
  // timeout), with no event of a transaction to say so.
  Ready,

  // Everyone's.
  ForeignFrame,    // another master's forward frame (16 or 24 bits)
  ForeignAnswer,   // a backward frame that answered someone else
  ForeignError,    // a framing error outside our transaction
  BusPowerLost,    // the bus failed (held low, no supply)
  BusPowerBack,    // the bus recovered
  FirmwareVersion  // text: as the interface reports it
};

enum class Completion { NoAnswer, Answer, Collision };

struct DriverEvent {
  DriverEventKind kind{};
  uint8_t status = KOVRA62386_STATUS_SENT;  // Confirmed
  Completion completion = Completion::NoAnswer;
  uint8_t answer = 0;  // Completion::Answer, ForeignAnswer
  BusFrame frame{};    // Confirmed, Echo, ForeignFrame
  std::string text;    // FirmwareVersion
};

inline DriverEvent event_of(DriverEventKind kind) {
  DriverEvent event;
  event.kind = kind;
  return event;
}

// Why a driver refuses a frame at once (KOVRA62386_STATUS_*), or SENT:
// a transaction or quiet time under way, a length the interface does not
// send, a bus without power (where the interface reports power at all).
inline uint8_t refusal_at_once(bool can_transmit, unsigned bits,
                               bool sends_24_bit, bool powered) {
  if (!can_transmit) return KOVRA62386_STATUS_BUS_BUSY;
  if (bits != 16 && !(bits == 24 && sends_24_bit)) {
    return KOVRA62386_STATUS_REFUSED;
  }
  if (!powered) return KOVRA62386_STATUS_POWER_DOWN;
  return KOVRA62386_STATUS_SENT;
}

// One copy of our frame as interfaces report it that tell nothing until
// the copy is done: confirmed, seen on the bus, completed.
inline std::array<DriverEvent, 3> completed_copy(const BusFrame& frame,
                                                 Completion completion,
                                                 uint8_t answer) {
  DriverEvent confirmed = event_of(DriverEventKind::Confirmed);
  confirmed.frame = frame;
  DriverEvent echo = event_of(DriverEventKind::Echo);
  echo.frame = frame;
  DriverEvent done = event_of(DriverEventKind::Completion);
  done.completion = completion;
  done.answer = answer;
  return {std::move(confirmed), std::move(echo), std::move(done)};
}

// A transaction refused at once: its confirmation says why, and it is
// over. A transaction under way is not touched.
inline std::array<DriverEvent, 2> refused_transaction(const BusFrame& frame,
                                                      uint8_t status) {
  DriverEvent confirmed = event_of(DriverEventKind::Confirmed);
  confirmed.status = status;
  confirmed.frame = frame;
  return {std::move(confirmed), event_of(DriverEventKind::Over)};
}

}  // namespace kovra62386::sim::drivers
