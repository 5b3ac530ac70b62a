// SimulatedInterface: one simulated bus as the server offers it to clients.
// It puts the clients' forward frames on the bus one transaction at a time,
// asks the bus model for the outcome and reports the confirmation, the echo
// and the completion. In real-timing mode every step waits for the bus's
// timing (dali/bus_timing.h) on an Asio timer; in instant mode a
// transaction is reported at once.
//
// Sharing the bus: each client has a queue of its own on this bus, at most
// kMaxQueuedFrames long; a frame beyond that is refused at once with
// KOVRA62386_STATUS_BUS_BUSY. The bus serves the clients with queued frames
// in turn, one transaction each (a frame sent twice is one transaction:
// nothing may come between its two frames), so one client's backlog delays
// another's frame by at most one transaction. A client that leaves or
// closes the interface loses its queued frames; a frame already on the
// wire finishes.
//
// Timing: before every forward frame the bus keeps the settling time of the
// frame's priority (a write record's sub_type 1-5; 0: the interface's
// default priority), counted from the last bit on the line; the second
// frame of a send-twice command goes out at the highest priority.
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
// real-timing mode an event waits for the bus like any frame: it is ready
// when due and once the line has been quiet for its priority's settling
// time, and it goes before the next client frame in turn when it is ready
// earlier (at the same time, the higher priority goes). The second frame of
// a send-twice pair is ready first (priority 1).
//
// Runs on the server's I/O thread only; not thread-safe by itself.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "kovra62386/kovra62386.h"
#include "server/bus_interface.h"
#include "server/bus_model.h"
#include "server/client_queues.h"

namespace kovra62386::sim {

class SimulatedInterface final : public BusInterface {
 public:
  SimulatedInterface(
      boost::asio::io_context& io, uint8_t index, std::string name,
      bool real_timing, std::unique_ptr<BusModel> model, BusSink& sink,
      unsigned default_priority = dali::timing::kHighestPriority);

  // A write-direction frame of type 4 from `client`: queued for the bus.
  // 16- and 24-bit frames go out; any other length is refused
  // (KOVRA62386_STATUS_REFUSED), and with the bus unpowered every frame is
  // answered KOVRA62386_STATUS_POWER_DOWN. send_twice 1 makes two
  // transmissions, each reported in full.
  void transmit(uint32_t client, const WriteFrameRecord& frame) override;

  // Forgets the frames `client` has queued (it left or closed the bus).
  void drop_client(uint32_t client) override;
  // Frames `client` has waiting, the one on the wire not counted.
  std::size_t queued(uint32_t client) const override;

  // Reports the bus state to `client` (a sub-type 4 record).
  void report_state(uint32_t client) override;

  // Power loss reports event_flags 0x80 to every listener; the return
  // reports 0x80|0x08 and then 0.
  void set_power(bool powered) override;
  bool powered() const { return powered_; }

  BusModel& model() { return *model_; }
  BusModel* bus_model() override { return model_.get(); }

  // The bus model's devices may have new frames or timers (a person acted
  // on them): looks at them again.
  void devices_changed() override;

  // Cancels the bus timer and forgets queued frames.
  void stop() override;

 private:
  using Clock = BusModel::Clock;
  using Transmission = QueuedFrame;
  enum class Phase { Idle, Waiting, Forward, Backward, DeviceForward };

  // Status a transmission gets before it reaches the bus, or SENT.
  uint8_t admission_status(const WriteFrameRecord& frame) const;
  unsigned priority_of(const Transmission& transmission) const;
  // When the line has been quiet long enough for this frame to start.
  Clock::time_point ready_at(const Transmission& transmission) const;
  void run_instant(Transmission transmission);
  void report_echo(const Transmission& transmission);
  void report_completion(const Transmission& transmission,
                         const BusReply& reply);

  // Real-timing steps.
  void schedule_next();
  void arm(Clock::time_point at, void (SimulatedInterface::*step)());
  void start_transmission();
  void end_forward_frame();
  void end_backward_window();
  // Device frames: in real timing when they win the bus; in instant mode
  // as soon as they are due.
  // `head` is the client frame it competes with (none in instant mode);
  // `device_ready` gets when the offered device frame may start.
  bool start_device_frame(Clock::time_point now, const Transmission* head,
                          std::optional<Clock::time_point>* device_ready);
  void end_device_frame();
  void arm_device_wake();
  void send_due_device_frames();

  const bool real_timing_;
  std::unique_ptr<BusModel> model_;
  BusSink& sink_;
  const unsigned default_priority_;
  bool powered_ = true;
  bool stopped_ = false;

  // Real timing: the clients' queues with the transmission under way, the
  // step and when the line last carried a bit.
  ClientQueues queues_;
  Phase phase_ = Phase::Idle;
  boost::asio::steady_timer timer_;
  Clock::time_point quiet_since_{};
  Clock::time_point transaction_start_{};
  BusReply reply_{};
  BusFrame device_frame_{};
  // A wake that found nothing to do: the next one waits at least this.
  bool idle_wake_ = false;
};

}  // namespace kovra62386::sim
