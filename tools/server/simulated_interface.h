// SimulatedInterface: one simulated bus as the server offers it to clients.
// It puts the clients' forward frames on the bus one transaction at a time,
// in arrival order, asks the bus model for the outcome and reports the
// confirmation, the echo and the completion. In real-timing mode every step
// waits for the bus's timing on an Asio timer; in instant mode a
// transaction is reported at once.
//
// Who sees what: the sender gets the confirmation (only the sender: a
// foreign confirmation would advance its own pending transaction), its echo
// with header_flag set, and the completion. Every other client that opened
// the interface gets the echo without header_flag, answers (sub-type 2) and
// collisions (sub-type 3), but never the "no answer" completion (sub-type
// 0): a client takes a sub-type 0 record as the end of its own pending
// transmission, and its frame may be queued behind this one.
//
// Devices on the bus (input devices) send event frames by themselves: each
// is reported to every listener as a forward frame without header_flag,
// with no confirmation and no completion, since no client sent it. In
// real-timing mode an event waits for the bus like any frame and competes
// with the clients' frames at its priority: the lower priority number wins,
// and at equal priority the frame that waited longer; the second frame of
// a send-twice pair always goes first (priority 1).
//
// Runs on the server's I/O thread only; not thread-safe by itself.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "bus_model.h"
#include "kovra62386/kovra62386.h"

namespace kovra62386::sim {

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
};

class SimulatedInterface {
 public:
  SimulatedInterface(boost::asio::io_context& io, uint8_t index,
                     std::string name, bool real_timing,
                     std::unique_ptr<BusModel> model, BusSink& sink);

  SimulatedInterface(const SimulatedInterface&) = delete;
  SimulatedInterface& operator=(const SimulatedInterface&) = delete;

  uint8_t index() const { return index_; }
  const std::string& name() const { return name_; }

  // A write-direction frame of type 4 from `client`: queued for the bus.
  // 16- and 24-bit frames go out; any other length is refused
  // (KOVRA62386_STATUS_REFUSED), and with the bus unpowered every frame is
  // answered KOVRA62386_STATUS_POWER_DOWN. send_twice 1 makes two
  // transmissions, each reported in full.
  void transmit(uint32_t client, const WriteFrameRecord& frame);

  // Reports the bus state to `client` (a sub-type 4 record).
  void report_state(uint32_t client);

  // Power loss reports event_flags 0x80 to every listener; the return
  // reports 0x80|0x08 and then 0.
  void set_power(bool powered);
  bool powered() const { return powered_; }

  BusModel& model() { return *model_; }

  // The bus model's devices may have new frames or timers (a person acted
  // on them): looks at them again.
  void devices_changed();

  // The priority at which the clients' frames compete for the bus.
  static constexpr uint8_t client_frame_priority = 4;

  // Cancels the bus timer and forgets queued frames.
  void stop();

 private:
  struct Transmission {
    uint32_t client = 0;
    WriteFrameRecord frame{};
    int remaining = 1;  // transmissions still to go
    BusModel::Clock::time_point queued_at{};
  };
  enum class Phase { Idle, Waiting, Forward, Backward, DeviceForward };

  // Status a transmission gets before it reaches the bus, or SENT.
  uint8_t admission_status(const WriteFrameRecord& frame) const;
  void run_instant(Transmission transmission);
  void report_echo(const Transmission& transmission);
  void report_completion(const Transmission& transmission,
                         const BusReply& reply);

  // Real-timing steps.
  void schedule_next();
  void arm(BusModel::Clock::time_point at, void (SimulatedInterface::*step)());
  void start_transmission();
  void end_forward_frame();
  void end_backward_window();
  // Device frames: in real timing when they win the bus; in instant mode
  // as soon as they are due.
  bool start_device_frame(BusModel::Clock::time_point now);
  void end_device_frame();
  void arm_device_wake();
  void send_due_device_frames();

  const uint8_t index_;
  const std::string name_;
  const bool real_timing_;
  std::unique_ptr<BusModel> model_;
  BusSink& sink_;
  bool powered_ = true;
  bool stopped_ = false;

  // Real timing: the queue, the step under way and when the bus is free.
  std::deque<Transmission> queue_;
  Phase phase_ = Phase::Idle;
  boost::asio::steady_timer timer_;
  BusModel::Clock::time_point bus_free_at_{};
  BusModel::Clock::time_point transaction_start_{};
  BusReply reply_{};
  BusFrame device_frame_{};
  // A wake that found nothing to do: the next one waits at least this.
  bool idle_wake_ = false;
};

}  // namespace kovra62386::sim
