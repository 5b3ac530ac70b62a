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
    : index_(index),
      name_(std::move(name)),
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
  std::deque<Transmission>& queue = queues_[client];
  if (queue.size() >= kMaxQueuedFrames) {
    sink_.to_client(client, index_,
                    confirmation_record(frame, KOVRA62386_STATUS_BUS_BUSY));
    return;
  }
  const bool being_served = current_ && current_->client == client;
  if (queue.empty() && !being_served) turns_.push_back(client);
  queue.push_back(transmission);
  if (phase_ == Phase::Idle) schedule_next();
}

void SimulatedInterface::drop_client(uint32_t client) {
  queues_.erase(client);
  std::erase(turns_, client);
  if (!current_ || current_->client != client) return;
  if (phase_ == Phase::Waiting) {
    current_.reset();  // not on the wire yet; the timer picks another
  } else {
    current_->remaining = 1;  // the frame on the wire finishes, no more
  }
}

std::size_t SimulatedInterface::queued(uint32_t client) const {
  const auto found = queues_.find(client);
  return found == queues_.end() ? 0 : found->second.size();
}

void SimulatedInterface::report_state(uint32_t client) {
  sink_.to_client(
      client, index_,
      bus_state_record(powered_ ? 0 : KOVRA62386_BUS_FLAG_POWER_LOST));
}

void SimulatedInterface::set_power(bool powered) {
  if (stopped_ || powered == powered_) return;
  powered_ = powered;
  model_->power_changed(powered, Clock::now());
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
  queues_.clear();
  turns_.clear();
  current_.reset();
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
    sink_.to_client(transmission.client, index_,
                    confirmation_record(transmission.frame, status));
    if (status != KOVRA62386_STATUS_SENT) continue;
    report_echo(transmission);
    report_completion(
        transmission,
        model_->forward_frame(transmission.frame.frame, Clock::now()));
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

std::optional<SimulatedInterface::Transmission>
SimulatedInterface::take_next() {
  if (turns_.empty()) return std::nullopt;
  const uint32_t client = turns_.front();
  turns_.pop_front();
  const auto found = queues_.find(client);
  if (found == queues_.end() || found->second.empty()) {
    return std::nullopt;  // not reached: turns_ holds clients with frames
  }
  Transmission next = std::move(found->second.front());
  found->second.pop_front();
  if (found->second.empty()) queues_.erase(found);
  return next;
}

const SimulatedInterface::Transmission* SimulatedInterface::peek_next() const {
  if (current_) return &*current_;
  if (turns_.empty()) return nullptr;
  const auto found = queues_.find(turns_.front());
  if (found == queues_.end() || found->second.empty()) return nullptr;
  return &found->second.front();
}

void SimulatedInterface::finish_current() {
  const uint32_t client = current_->client;
  current_.reset();
  if (queued(client) > 0) turns_.push_back(client);
}

SimulatedInterface::Clock::time_point SimulatedInterface::ready_at(
    const Transmission& transmission) const {
  return std::max(
      transmission.queued_at,
      quiet_since_ + timing::forward_settling(priority_of(transmission)).min);
}

void SimulatedInterface::schedule_next() {
  const auto now = Clock::now();
  const Transmission* next = peek_next();
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
  sink_.to_listeners(index_, echo_record(frame, false), 0);
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
    if (!current_) current_ = take_next();
    // A device's event frame and the next client frame: the one ready
    // first goes, at equal times the higher priority.
    std::optional<Clock::time_point> device_ready;
    const Transmission* head = current_ ? &*current_ : nullptr;
    if (start_device_frame(now, head, &device_ready)) return;
    if (!current_) {
      phase_ = Phase::Idle;
      if (device_ready && *device_ready > now) {
        arm(*device_ready, &SimulatedInterface::start_transmission);
      } else {
        schedule_next();
      }
      return;
    }
    // The turn may have passed to a frame of a lower priority meanwhile.
    const Clock::time_point due = ready_at(*current_);
    if (now < due) {
      phase_ = Phase::Waiting;
      arm(device_ready && *device_ready > now ? std::min(due, *device_ready)
                                              : due,
          &SimulatedInterface::start_transmission);
      return;
    }
    // Frames that cannot go out are answered without using the bus.
    const uint8_t status = admission_status(current_->frame);
    sink_.to_client(current_->client, index_,
                    confirmation_record(current_->frame, status));
    if (status == KOVRA62386_STATUS_SENT) {
      phase_ = Phase::Forward;
      transaction_start_ = Clock::now();
      const TransactionTiming timing =
          transaction_timing(BusReply{}, current_->frame.frame.bit_count);
      arm(transaction_start_ + timing.echo,
          &SimulatedInterface::end_forward_frame);
      return;
    }
    if (--current_->remaining > 0) {
      current_->repeat = true;
    } else {
      finish_current();
    }
  }
}

void SimulatedInterface::end_forward_frame() {
  report_echo(*current_);
  reply_ = model_->forward_frame(current_->frame.frame, Clock::now());
  const TransactionTiming timing =
      transaction_timing(reply_, current_->frame.frame.bit_count);
  quiet_since_ = transaction_start_ + timing.quiet;
  phase_ = Phase::Backward;
  arm(transaction_start_ + timing.completion,
      &SimulatedInterface::end_backward_window);
}

void SimulatedInterface::end_backward_window() {
  BusReply reply = reply_;
  // A backward frame cut by a power loss arrives garbled.
  if (!powered_ && reply.kind == CompletionKind::Answer) {
    reply.kind = CompletionKind::Collision;
  }
  report_completion(*current_, reply);
  if (--current_->remaining > 0) {
    current_->repeat = true;
  } else {
    finish_current();
  }
  schedule_next();
}

}  // namespace kovra62386::sim
