#include "server/simulated_interface.h"

#include <algorithm>
#include <utility>

#include "server/bus_records.h"

namespace kovra62386::sim {

namespace timing = dali::timing;

SimulatedInterface::SimulatedInterface(boost::asio::io_context& io,
                                       uint8_t index, std::string name,
                                       bool real_timing,
                                       std::unique_ptr<BusModel> model,
                                       BusSink& sink, unsigned default_priority)
    : BusInterface(index, std::move(name)),
      real_timing_(real_timing),
      model_(std::move(model)),
      sink_(sink),
      default_priority_(timing::valid_priority(default_priority)
                            ? default_priority
                            : timing::kHighestPriority),
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
  if (!queues_.push(transmission)) {
    sink_.to_client(client, index(),
                    confirmation_record(frame, KOVRA62386_STATUS_BUS_BUSY));
    return;
  }
  if (phase_ == Phase::Idle) schedule_next();
}

void SimulatedInterface::drop_client(uint32_t client) {
  queues_.drop(client);
  std::optional<Transmission>& current = queues_.current();
  if (!current || current->client != client) return;
  if (phase_ == Phase::Waiting) {
    current.reset();  // not on the wire yet; the timer picks another
  } else {
    current->remaining = 1;  // the frame on the wire finishes, no more
  }
}

std::size_t SimulatedInterface::queued(uint32_t client) const {
  return queues_.queued(client);
}

void SimulatedInterface::report_state(uint32_t client) {
  sink_.to_client(
      client, index(),
      bus_state_record(powered_ ? 0 : KOVRA62386_BUS_FLAG_POWER_LOST));
}

void SimulatedInterface::set_power(bool powered) {
  if (stopped_ || powered == powered_) return;
  powered_ = powered;
  model_->power_changed(powered, Clock::now());
  if (!powered) {
    sink_.to_listeners(index(),
                       bus_state_record(KOVRA62386_BUS_FLAG_POWER_LOST), 0);
    return;
  }
  sink_.to_listeners(index(),
                     bus_state_record(KOVRA62386_BUS_FLAG_POWER_LOST |
                                      KOVRA62386_BUS_FLAG_POWER_RETURN),
                     0);
  sink_.to_listeners(index(), bus_state_record(0), 0);
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
  queues_.clear();
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

unsigned SimulatedInterface::priority_of(
    const Transmission& transmission) const {
  if (transmission.repeat) return timing::kSendTwicePriority;
  const unsigned asked = transmission.frame.sub_type;
  return timing::valid_priority(asked) ? asked : default_priority_;
}

void SimulatedInterface::run_instant(Transmission transmission) {
  for (; transmission.remaining > 0; --transmission.remaining) {
    const uint8_t status = admission_status(transmission.frame);
    sink_.to_client(transmission.client, index(),
                    confirmation_record(transmission.frame, status));
    if (status != KOVRA62386_STATUS_SENT) continue;
    report_echo(transmission);
    report_completion(
        transmission,
        model_->forward_frame(transmission.frame.frame, Clock::now()));
  }
}

void SimulatedInterface::report_echo(const Transmission& transmission) {
  sink_.to_client(transmission.client, index(),
                  echo_record(transmission.frame, true));
  sink_.to_listeners(index(), echo_record(transmission.frame, false),
                     transmission.client);
}

void SimulatedInterface::report_completion(const Transmission& transmission,
                                           const BusReply& reply) {
  switch (reply.kind) {
    case CompletionKind::Answer: {
      const ReadFrameRecord record = answer_record(reply.answer);
      sink_.to_client(transmission.client, index(), record);
      sink_.to_listeners(index(), record, transmission.client);
      break;
    }
    case CompletionKind::Collision: {
      const ReadFrameRecord record = collision_record();
      sink_.to_client(transmission.client, index(), record);
      sink_.to_listeners(index(), record, transmission.client);
      break;
    }
    case CompletionKind::NoAnswer:
      // The sender only; see the header.
      sink_.to_client(transmission.client, index(), no_answer_record());
      break;
  }
}

SimulatedInterface::Clock::time_point SimulatedInterface::ready_at(
    const Transmission& transmission) const {
  return std::max(
      transmission.queued_at,
      quiet_since_ + timing::forward_settling(priority_of(transmission)).min);
}

void SimulatedInterface::schedule_next() {
  const auto now = Clock::now();
  const Transmission* next = queues_.peek_next();
  const auto due = powered_ ? model_->next_device_due() : std::nullopt;
  phase_ = next == nullptr ? Phase::Idle : Phase::Waiting;
  if (next == nullptr && !due) return;
  // A device may want the bus before the next client frame is ready; the
  // step then weighs the two.
  Clock::time_point at = next != nullptr ? ready_at(*next) : *due;
  if (due) at = std::min(at, *due);
  at = std::max(at, now);
  if (idle_wake_) at = std::max(at, now + std::chrono::milliseconds(1));
  arm(at, &SimulatedInterface::start_transmission);
}

bool SimulatedInterface::start_device_frame(
    Clock::time_point now, const Transmission* head,
    std::optional<Clock::time_point>* device_ready) {
  if (!powered_) return false;
  bool offered = false;
  const auto taken =
      model_->take_device_frame(now, [&](const DeviceTransmission& t) {
        offered = true;
        if (!real_timing_) return true;
        // Ready once due and the line has been quiet for its settling time.
        const Clock::time_point ready = std::max(
            t.due, quiet_since_ + timing::forward_settling(t.priority).min);
        if (device_ready != nullptr) *device_ready = ready;
        if (ready > now) return false;
        if (head == nullptr) return true;
        const Clock::time_point client_ready = ready_at(*head);
        if (ready != client_ready) return ready < client_ready;
        return t.priority <= priority_of(*head);
      });
  if (!taken) {
    idle_wake_ = !offered && head == nullptr;
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
  const TransactionTiming timing = transaction_timing(BusReply{}, 24);
  quiet_since_ = now + timing.quiet;
  arm(now + timing.echo, &SimulatedInterface::end_device_frame);
  return true;
}

void SimulatedInterface::end_device_frame() {
  WriteFrameRecord frame{};
  frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
  frame.frame = device_frame_;
  // Every client sees it as another sender's frame.
  sink_.to_listeners(index(), echo_record(frame, false), 0);
  if (real_timing_) schedule_next();
}

void SimulatedInterface::send_due_device_frames() {
  const auto now = Clock::now();
  while (start_device_frame(now, nullptr, nullptr)) {
  }
  arm_device_wake();
}

void SimulatedInterface::arm_device_wake() {
  if (!powered_) return;
  const auto due = model_->next_device_due();
  if (!due) return;
  const auto now = Clock::now();
  auto at = std::max(*due, now);
  if (idle_wake_) at = std::max(at, now + std::chrono::milliseconds(1));
  arm(at, &SimulatedInterface::send_due_device_frames);
}

void SimulatedInterface::arm(Clock::time_point at,
                             void (SimulatedInterface::*step)()) {
  timer_.expires_at(at);
  timer_.async_wait([this, step](const boost::system::error_code& error) {
    if (error || stopped_) return;
    (this->*step)();
  });
}

void SimulatedInterface::start_transmission() {
  for (;;) {
    const Clock::time_point now = Clock::now();
    queues_.start_next();
    std::optional<Transmission>& current = queues_.current();
    // A device's event frame and the next client frame: the one ready
    // first goes, at equal times the higher priority.
    std::optional<Clock::time_point> device_ready;
    const Transmission* head = current ? &*current : nullptr;
    if (start_device_frame(now, head, &device_ready)) return;
    if (!current) {
      phase_ = Phase::Idle;
      if (device_ready && *device_ready > now) {
        arm(*device_ready, &SimulatedInterface::start_transmission);
      } else {
        schedule_next();
      }
      return;
    }
    // The turn may have passed to a frame of a lower priority meanwhile.
    const Clock::time_point due = ready_at(*current);
    if (now < due) {
      phase_ = Phase::Waiting;
      arm(device_ready && *device_ready > now ? std::min(due, *device_ready)
                                              : due,
          &SimulatedInterface::start_transmission);
      return;
    }
    // Frames that cannot go out are answered without using the bus.
    const uint8_t status = admission_status(current->frame);
    sink_.to_client(current->client, index(),
                    confirmation_record(current->frame, status));
    if (status == KOVRA62386_STATUS_SENT) {
      phase_ = Phase::Forward;
      transaction_start_ = Clock::now();
      const TransactionTiming timing =
          transaction_timing(BusReply{}, current->frame.frame.bit_count);
      arm(transaction_start_ + timing.echo,
          &SimulatedInterface::end_forward_frame);
      return;
    }
    if (--current->remaining > 0) {
      current->repeat = true;
    } else {
      queues_.finish_current();
    }
  }
}

void SimulatedInterface::end_forward_frame() {
  const std::optional<Transmission>& current = queues_.current();
  report_echo(*current);
  reply_ = model_->forward_frame(current->frame.frame, Clock::now());
  const TransactionTiming timing =
      transaction_timing(reply_, current->frame.frame.bit_count);
  quiet_since_ = transaction_start_ + timing.quiet;
  phase_ = Phase::Backward;
  arm(transaction_start_ + timing.completion,
      &SimulatedInterface::end_backward_window);
}

void SimulatedInterface::end_backward_window() {
  std::optional<Transmission>& current = queues_.current();
  BusReply reply = reply_;
  // A backward frame cut by a power loss arrives garbled.
  if (!powered_ && reply.kind == CompletionKind::Answer) {
    reply.kind = CompletionKind::Collision;
  }
  report_completion(*current, reply);
  if (--current->remaining > 0) {
    current->repeat = true;
  } else {
    queues_.finish_current();
  }
  schedule_next();
}

}  // namespace kovra62386::sim
