#include "server/real_interface.h"

#include <utility>

#include "dali/bus_timing.h"
#include "server/bus_records.h"

namespace kovra62386::sim {

namespace timing = dali::timing;
using drivers::Completion;
using drivers::DriverEvent;
using drivers::DriverEventKind;

RealInterface::RealInterface(boost::asio::io_context& io, uint8_t index,
                             std::string name, std::string where,
                             const DriverFactory& make_driver, BusSink& sink,
                             unsigned default_priority,
                             std::chrono::milliseconds reopen_interval)
    : BusInterface(index, std::move(name)),
      where_(std::move(where)),
      sink_(sink),
      default_priority_(timing::valid_priority(default_priority)
                            ? default_priority
                            : timing::kHighestPriority),
      reopen_interval_(reopen_interval),
      driver_(make_driver(*this)),
      reopen_(io) {}

RealInterface::~RealInterface() {
  // The driver may hold handlers that call back into this object.
  stopped_ = true;
  if (driver_) driver_->close();
}

void RealInterface::start() {
  if (!stopped_) try_open();
}

std::chrono::steady_clock::time_point RealInterface::reopen_at() const {
  return reopen_.expiry();
}

void RealInterface::try_open() {
  ++open_attempts_;
  std::string error;
  if (!driver_->open(where_, error)) {
    last_error_ = error;
    arm_reopen();
    return;
  }
  last_error_.clear();
  state_ = State::Connected;
  pump();
}

void RealInterface::arm_reopen() {
  reopen_.expires_after(reopen_interval_);
  reopen_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec && !stopped_) try_open();
  });
}

void RealInterface::transmit(uint32_t client, const WriteFrameRecord& frame) {
  if (stopped_) return;
  if (state_ != State::Connected) {
    // Not reached through the server: a client cannot have a lost bus open.
    sink_.to_client(client, index(),
                    confirmation_record(frame, KOVRA62386_STATUS_REFUSED));
    return;
  }
  // The driver sends both copies of a send-twice frame as one transaction.
  if (!queues_.push({client, frame, 1, std::chrono::steady_clock::now()})) {
    sink_.to_client(client, index(),
                    confirmation_record(frame, KOVRA62386_STATUS_BUS_BUSY));
    return;
  }
  pump();
}

void RealInterface::drop_client(uint32_t client) {
  queues_.drop(client);
  // A frame with the driver finishes; its records go nowhere.
  auto& current = queues_.current();
  if (current && current->client == client && !in_flight_) current.reset();
}

std::size_t RealInterface::queued(uint32_t client) const {
  return queues_.queued(client);
}

void RealInterface::report_state(uint32_t client) {
  const bool powered = state_ == State::Connected && driver_->bus_powered();
  sink_.to_client(
      client, index(),
      bus_state_record(powered ? 0 : KOVRA62386_BUS_FLAG_POWER_LOST));
}

void RealInterface::stop() {
  stopped_ = true;
  queues_.clear();
  in_flight_ = false;
  reopen_.cancel();
  driver_->close();
}

// Driver events may arrive from inside driver_->transmit() (a refusal),
// so the loop, not recursion, starts the frames that follow.
void RealInterface::pump() {
  if (pumping_) {
    pump_again_ = true;
    return;
  }
  pumping_ = true;
  do {
    pump_again_ = false;
    if (stopped_ || in_flight_ || state_ != State::Connected ||
        !driver_->can_transmit() || !queues_.start_next()) {
      break;
    }
    const QueuedFrame& frame = *queues_.current();
    drivers::TransmitRequest request;
    request.frame = frame.frame.frame;
    request.priority = timing::valid_priority(frame.frame.sub_type)
                           ? frame.frame.sub_type
                           : default_priority_;
    request.send_twice = frame.frame.frame.send_twice == 1;
    in_flight_ = true;
    confirmed_ = false;
    driver_->transmit(request);
  } while (pump_again_);
  pumping_ = false;
}

void RealInterface::on_event(const DriverEvent& event) {
  if (stopped_) return;
  switch (event.kind) {
    case DriverEventKind::Confirmed:
    case DriverEventKind::Echo:
    case DriverEventKind::Completion:
    case DriverEventKind::Timeout:
      transaction_event(event);
      return;
    case DriverEventKind::Over:
      if (in_flight_) {
        in_flight_ = false;
        queues_.finish_current();
      }
      pump();
      return;
    case DriverEventKind::Ready:
      pump();
      return;
    case DriverEventKind::ForeignFrame: {
      WriteFrameRecord frame{};
      frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
      frame.frame = event.frame;
      sink_.to_listeners(index(), echo_record(frame, false), 0);
      return;
    }
    case DriverEventKind::ForeignAnswer:
      sink_.to_listeners(index(), answer_record(event.answer), 0);
      return;
    case DriverEventKind::ForeignError:
      sink_.to_listeners(index(), collision_record(), 0);
      return;
    case DriverEventKind::BusPowerLost:
      sink_.to_listeners(index(),
                         bus_state_record(KOVRA62386_BUS_FLAG_POWER_LOST), 0);
      return;
    case DriverEventKind::BusPowerBack:
      // As a simulated bus reports it: returning, then steady.
      sink_.to_listeners(index(),
                         bus_state_record(KOVRA62386_BUS_FLAG_POWER_LOST |
                                          KOVRA62386_BUS_FLAG_POWER_RETURN),
                         0);
      sink_.to_listeners(index(), bus_state_record(0), 0);
      return;
    case DriverEventKind::FirmwareVersion:
      return;  // the driver keeps it
  }
}

void RealInterface::transaction_event(const DriverEvent& event) {
  if (!in_flight_) return;
  const QueuedFrame& current = *queues_.current();
  const uint32_t client = current.client;
  switch (event.kind) {
    case DriverEventKind::Confirmed:
      confirmed_ = event.status == KOVRA62386_STATUS_SENT;
      sink_.to_client(client, index(),
                      confirmation_record(current.frame, event.status));
      return;
    case DriverEventKind::Echo:
      sink_.to_client(client, index(), echo_record(current.frame, true));
      sink_.to_listeners(index(), echo_record(current.frame, false), client);
      return;
    case DriverEventKind::Completion: {
      confirmed_ = false;  // the next copy, if any, is confirmed anew
      if (event.completion == Completion::NoAnswer) {
        // The sender only, as on a simulated bus.
        sink_.to_client(client, index(), no_answer_record());
        return;
      }
      const ReadFrameRecord record = event.completion == Completion::Answer
                                         ? answer_record(event.answer)
                                         : collision_record();
      sink_.to_client(client, index(), record);
      sink_.to_listeners(index(), record, client);
      return;
    }
    case DriverEventKind::Timeout:
      sink_.to_client(
          client, index(),
          confirmed_
              ? collision_record()
              : confirmation_record(current.frame, KOVRA62386_STATUS_REFUSED));
      return;
    default:
      return;
  }
}

void RealInterface::on_link_lost(const std::string& why) {
  if (stopped_) return;
  last_error_ = where_ + ": " + why;
  state_ = State::Lost;
  queues_.clear();
  in_flight_ = false;
  sink_.device_closed(index());
  arm_reopen();
}

}  // namespace kovra62386::sim
