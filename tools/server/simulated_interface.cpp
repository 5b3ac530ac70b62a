#include "simulated_interface.h"

#include <algorithm>
#include <utility>

#include "bus_records.h"

namespace kovra62386::sim {

SimulatedInterface::SimulatedInterface(boost::asio::io_context& io,
                                       uint8_t index, std::string name,
                                       bool real_timing,
                                       std::unique_ptr<BusModel> model,
                                       BusSink& sink)
    : index_(index),
      name_(std::move(name)),
      real_timing_(real_timing),
      model_(std::move(model)),
      sink_(sink),
      timer_(io) {}

void SimulatedInterface::transmit(uint32_t client,
                                  const WriteFrameRecord& frame) {
  if (stopped_) return;
  Transmission transmission{client, frame, frame.frame.send_twice == 1 ? 2 : 1,
                            BusModel::Clock::now()};
  if (!real_timing_) {
    run_instant(transmission);
    return;
  }
  queue_.push_back(transmission);
  if (phase_ == Phase::Idle) schedule_next();
}

void SimulatedInterface::report_state(uint32_t client) {
  sink_.to_client(
      client, index_,
      bus_state_record(powered_ ? 0 : KOVRA62386_BUS_FLAG_POWER_LOST));
}

void SimulatedInterface::set_power(bool powered) {
  if (stopped_ || powered == powered_) return;
  powered_ = powered;
  model_->power_changed(powered, BusModel::Clock::now());
  if (!powered) {
    sink_.to_listeners(index_, bus_state_record(KOVRA62386_BUS_FLAG_POWER_LOST),
                       0);
    return;
  }
  sink_.to_listeners(index_,
                     bus_state_record(KOVRA62386_BUS_FLAG_POWER_LOST |
                                      KOVRA62386_BUS_FLAG_POWER_RETURN),
                     0);
  sink_.to_listeners(index_, bus_state_record(0), 0);
}

void SimulatedInterface::devices_changed() {
  if (stopped_) return;
  idle_wake_ = false;
  if (!real_timing_) {
    send_due_device_frames();
  } else if (phase_ == Phase::Idle) {
    schedule_next();
  }
}

void SimulatedInterface::stop() {
  stopped_ = true;
  queue_.clear();
  phase_ = Phase::Idle;
  timer_.cancel();
}

uint8_t SimulatedInterface::admission_status(
    const WriteFrameRecord& frame) const {
  if (!powered_) return KOVRA62386_STATUS_POWER_DOWN;
  // Forward frames of control gear (16 bits) and control devices (24).
  if (frame.frame.bit_count != 16 && frame.frame.bit_count != 24) {
    return KOVRA62386_STATUS_REFUSED;
  }
  return KOVRA62386_STATUS_SENT;
}

void SimulatedInterface::run_instant(Transmission transmission) {
  for (; transmission.remaining > 0; --transmission.remaining) {
    const uint8_t status = admission_status(transmission.frame);
    sink_.to_client(transmission.client, index_,
                    confirmation_record(transmission.frame, status));
    if (status != KOVRA62386_STATUS_SENT) continue;
    report_echo(transmission);
    report_completion(transmission,
                      model_->forward_frame(transmission.frame.frame,
                                            BusModel::Clock::now()));
  }
}

void SimulatedInterface::report_echo(const Transmission& transmission) {
  sink_.to_client(transmission.client, index_,
                  echo_record(transmission.frame, true));
  sink_.to_listeners(index_, echo_record(transmission.frame, false),
                     transmission.client);
}

void SimulatedInterface::report_completion(const Transmission& transmission,
                                           const BusReply& reply) {
  switch (reply.kind) {
    case CompletionKind::Answer: {
      const ReadFrameRecord record = answer_record(reply.answer);
      sink_.to_client(transmission.client, index_, record);
      sink_.to_listeners(index_, record, transmission.client);
      break;
    }
    case CompletionKind::Collision: {
      const ReadFrameRecord record = collision_record();
      sink_.to_client(transmission.client, index_, record);
      sink_.to_listeners(index_, record, transmission.client);
      break;
    }
    case CompletionKind::NoAnswer:
      // The sender only; see the header.
      sink_.to_client(transmission.client, index_, no_answer_record());
      break;
  }
}

void SimulatedInterface::schedule_next() {
  const auto now = BusModel::Clock::now();
  if (queue_.empty()) {
    // Idle, but a device may want the bus later: a client frame that comes
    // first re-arms the timer.
    phase_ = Phase::Idle;
    const auto due = powered_ ? model_->next_device_due() : std::nullopt;
    if (!due) return;
    auto at = std::max({*due, bus_free_at_, now});
    if (idle_wake_) at = std::max(at, now + std::chrono::milliseconds(1));
    arm(at, &SimulatedInterface::start_transmission);
    return;
  }
  phase_ = Phase::Waiting;
  arm(std::max(now, bus_free_at_), &SimulatedInterface::start_transmission);
}

bool SimulatedInterface::start_device_frame(BusModel::Clock::time_point now) {
  if (!powered_) return false;
  const Transmission* head = queue_.empty() ? nullptr : &queue_.front();
  // The second frame of a send-twice pair follows at priority 1.
  if (head && head->frame.frame.send_twice == 1 && head->remaining == 1) {
    return false;
  }
  const auto taken =
      model_->take_device_frame(now, [head](const DeviceTransmission& t) {
        if (head == nullptr) return true;
        if (t.priority != client_frame_priority) {
          return t.priority < client_frame_priority;
        }
        return t.due <= head->queued_at;
      });
  if (!taken) {
    idle_wake_ = head == nullptr;
    return false;
  }
  idle_wake_ = false;
  device_frame_ = taken->frame;
  if (!real_timing_) {
    end_device_frame();
    return true;
  }
  phase_ = Phase::DeviceForward;
  transaction_start_ = now;
  const TransactionTiming timing = model_->timing(BusReply{}, 24);
  bus_free_at_ = now + timing.bus_free;
  arm(now + timing.echo, &SimulatedInterface::end_device_frame);
  return true;
}

void SimulatedInterface::end_device_frame() {
  WriteFrameRecord frame{};
  frame.frame_type = 4;
  frame.frame = device_frame_;
  // Every client sees it as another sender's frame.
  sink_.to_listeners(index_, echo_record(frame, false), 0);
  if (real_timing_) schedule_next();
}

void SimulatedInterface::send_due_device_frames() {
  const auto now = BusModel::Clock::now();
  while (start_device_frame(now)) {
  }
  arm_device_wake();
}

void SimulatedInterface::arm_device_wake() {
  if (!powered_) return;
  const auto due = model_->next_device_due();
  if (!due) return;
  const auto now = BusModel::Clock::now();
  auto at = std::max(*due, now);
  if (idle_wake_) at = std::max(at, now + std::chrono::milliseconds(1));
  arm(at, &SimulatedInterface::send_due_device_frames);
}

void SimulatedInterface::arm(BusModel::Clock::time_point at,
                             void (SimulatedInterface::*step)()) {
  timer_.expires_at(at);
  timer_.async_wait([this, step](const boost::system::error_code& error) {
    if (error || stopped_) return;
    (this->*step)();
  });
}

void SimulatedInterface::start_transmission() {
  if (start_device_frame(BusModel::Clock::now())) return;
  // Frames that cannot go out are answered without using the bus.
  while (!queue_.empty()) {
    Transmission& head = queue_.front();
    const uint8_t status = admission_status(head.frame);
    sink_.to_client(head.client, index_,
                    confirmation_record(head.frame, status));
    if (status == KOVRA62386_STATUS_SENT) {
      phase_ = Phase::Forward;
      transaction_start_ = BusModel::Clock::now();
      const TransactionTiming timing =
          model_->timing(BusReply{}, head.frame.frame.bit_count);
      arm(transaction_start_ + timing.echo,
          &SimulatedInterface::end_forward_frame);
      return;
    }
    if (--head.remaining == 0) queue_.pop_front();
  }
  schedule_next();
}

void SimulatedInterface::end_forward_frame() {
  const Transmission& head = queue_.front();
  report_echo(head);
  reply_ = model_->forward_frame(head.frame.frame, BusModel::Clock::now());
  const TransactionTiming timing =
      model_->timing(reply_, head.frame.frame.bit_count);
  bus_free_at_ = transaction_start_ + timing.bus_free;
  phase_ = Phase::Backward;
  arm(transaction_start_ + timing.completion,
      &SimulatedInterface::end_backward_window);
}

void SimulatedInterface::end_backward_window() {
  Transmission& head = queue_.front();
  BusReply reply = reply_;
  // A backward frame cut by a power loss arrives garbled.
  if (!powered_ && reply.kind == CompletionKind::Answer) {
    reply.kind = CompletionKind::Collision;
  }
  report_completion(head, reply);
  if (--head.remaining == 0) queue_.pop_front();
  schedule_next();
}

}  // namespace kovra62386::sim
