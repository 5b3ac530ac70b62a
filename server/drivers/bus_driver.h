// BusDriver: one real bus interface as the server's per-client queues see
// it. The server keeps the queues, the round robin and the records (as for
// a simulated bus) and hands a driver one transaction at a time; the driver
// reports in DriverEvents, and that the device went away. Each family
// (SevenLab, Foxtron, hasseb) is a protocol state machine behind this, with
// its own byte-level seam and deadlines.
#pragma once

#include <string>

#include "server/drivers/driver_events.h"

namespace kovra62386::sim::drivers {

class BusDriver {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    virtual void on_event(const DriverEvent& event) = 0;
    // The device went away (`why` names it) and the driver closed it,
    // after every event that came before. A transaction under way gets no
    // more events.
    virtual void on_link_lost(const std::string& why) = 0;
  };

  virtual ~BusDriver() = default;

  // Opens the device at `where`; false with `error` naming the device and
  // the reason (a missing permission, say) when it cannot.
  virtual bool open(const std::string& where, std::string& error) = 0;
  virtual bool is_open() const = 0;
  virtual void close() = 0;

  // Whether a transaction may start now: open, none under way, and any
  // quiet time after a lost one over (its end is reported as Ready).
  virtual bool can_transmit() const = 0;
  // Starts a transaction. Its events end with Over, reported even when the
  // frame is refused at once.
  virtual void transmit(const TransmitRequest& request) = 0;

  // As the interface reports it; empty until it has.
  virtual std::string firmware_version() const = 0;
  virtual bool bus_powered() const = 0;
};

// A transaction refused before it reached the device (the link is closed):
// its confirmation says so, and it is over.
inline void report_refused(BusDriver::Handler& handler, const BusFrame& frame) {
  for (const DriverEvent& event :
       refused_transaction(frame, KOVRA62386_STATUS_REFUSED)) {
    handler.on_event(event);
  }
}

}  // namespace kovra62386::sim::drivers
