#include "simulated_interface.h"

#include <algorithm>
#include <utility>

#include "bus_records.h"

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
  Transmission transmission{client, frame, frame.frame.send_twice == 1 ? 2 : 1};
  if (!real_timing_) {
    run_instant(transmission);
    return;
  }
  std::deque<Transmission>& queue = queues_[client];
  if (queue.size() >= max_queued_frames) {
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

void SimulatedInterface::schedule_next() {
  const Transmission* next = peek_next();
  if (next == nullptr) {
    phase_ = Phase::Idle;
    return;
  }
  phase_ = Phase::Waiting;
  arm(std::max(Clock::now(),
               quiet_since_ + timing::forward_settling(priority_of(*next)).min),
      &SimulatedInterface::start_transmission);
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
    if (!current_) current_ = take_next();
    if (!current_) {
      phase_ = Phase::Idle;
      return;
    }
    // The turn may have passed to a frame of a lower priority meanwhile.
    const Clock::time_point due =
        quiet_since_ + timing::forward_settling(priority_of(*current_)).min;
    if (Clock::now() < due) {
      arm(due, &SimulatedInterface::start_transmission);
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
