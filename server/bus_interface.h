// BusInterface: one bus as the server offers it to clients, simulated
// (SimulatedInterface) or real (RealInterface), and BusSink, where its
// records go. The server core and the scripted faults see only this.
//
// I/O thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "kovra62386/kovra62386.h"

namespace kovra62386::sim {

class BusModel;

// Where an interface's records go.
class BusSink {
 public:
  virtual ~BusSink() = default;
  // To one client, provided it has the interface open.
  virtual void to_client(uint32_t client, uint8_t index,
                         const ReadFrameRecord& record) = 0;
  // To every client that has the interface open, except `except` (0: none).
  virtual void to_listeners(uint8_t index, const ReadFrameRecord& record,
                            uint32_t except) = 0;
  // The interface's device went away: every client that has it open gets
  // DeviceClosed, after the records sent before, and has it closed.
  virtual void device_closed(uint8_t /*index*/) {}
};

class BusInterface {
 public:
  // Frames one client may have waiting for a bus (2-3 s of bus time).
  static constexpr std::size_t kMaxQueuedFrames = 64;

  BusInterface(uint8_t index, std::string name)
      : index_(index), name_(std::move(name)) {}
  virtual ~BusInterface() = default;
  BusInterface(const BusInterface&) = delete;
  BusInterface& operator=(const BusInterface&) = delete;

  uint8_t index() const { return index_; }
  const std::string& name() const { return name_; }
  // Whether clients may list and open it now (a real interface whose
  // device is gone is not).
  virtual bool available() const { return true; }

  // A write-direction frame of type 4 from `client`: queued for the bus.
  virtual void transmit(uint32_t client, const WriteFrameRecord& frame) = 0;
  // Forgets the frames `client` has queued (it left or closed the bus).
  virtual void drop_client(uint32_t client) = 0;
  // Frames `client` has waiting, the one on the wire not counted.
  virtual std::size_t queued(uint32_t client) const = 0;
  // Reports the bus state to `client` (a sub-type 4 record).
  virtual void report_state(uint32_t client) = 0;

  // The simulated bus's power and model; a real bus has neither.
  virtual void set_power(bool /*powered*/) {}
  virtual BusModel* bus_model() { return nullptr; }
  // The bus model's devices may have new frames or timers.
  virtual void devices_changed() {}

  // Cancels the interface's timers and forgets queued frames.
  virtual void stop() = 0;

 private:
  const uint8_t index_;
  const std::string name_;
};

}  // namespace kovra62386::sim
