// RealInterface: a real DALI bus interface as the server offers it to
// clients, beside the simulated buses and with the same contract. The
// clients' frames wait in the same per-client queues with the same round
// robin (ClientQueues); one transaction at a time goes to the driver
// (server/drivers/bus_driver.h), and what the driver reports becomes the
// records a simulated bus sends: the sender's confirmation, echo and
// completion, everyone's view of the bus, bus power lost and back.
//
// A completion the driver gave up on (its Timeout) reaches the sender as
// an error: a refusal when the frame was never confirmed, else a framing
// error, never "no answer".
//
// The device going away ends it for the clients: each one that has it
// open gets DeviceClosed after every record that came before, and queued
// frames are dropped. The interface is then not listed; it tries to open
// the device again every kReopenInterval, and once it has, it is listed
// again under the same name and index.
//
// I/O thread only.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "server/bus_interface.h"
#include "server/client_queues.h"
#include "server/drivers/bus_driver.h"

namespace kovra62386::sim {

class RealInterface final : public BusInterface,
                            private drivers::BusDriver::Handler {
 public:
  using DriverFactory = std::function<std::unique_ptr<drivers::BusDriver>(
      drivers::BusDriver::Handler&)>;
  // At most one attempt to open a missing device in this time.
  static constexpr std::chrono::seconds kReopenInterval{2};

  enum class State { Connected, Lost };

  // `where` is the device as the driver opens it (a tty path, say).
  RealInterface(boost::asio::io_context& io, uint8_t index, std::string name,
                std::string where, const DriverFactory& make_driver,
                BusSink& sink, unsigned default_priority,
                std::chrono::milliseconds reopen_interval = kReopenInterval);
  ~RealInterface() override;

  // Opens the device, or starts looking for it.
  void start();

  State state() const { return state_; }
  const std::string& where() const { return where_; }
  // Why the device could not be opened or went away; empty while
  // connected.
  const std::string& last_error() const { return last_error_; }
  unsigned open_attempts() const { return open_attempts_; }
  // As the interface reports them; empty and true until it has.
  std::string firmware_version() const { return driver_->firmware_version(); }
  bool bus_powered() const { return driver_->bus_powered(); }
  // When the next attempt to open the device is due, while it is missing.
  std::chrono::steady_clock::time_point reopen_at() const;

  bool available() const override { return state_ == State::Connected; }
  void transmit(uint32_t client, const WriteFrameRecord& frame) override;
  void drop_client(uint32_t client) override;
  std::size_t queued(uint32_t client) const override;
  void report_state(uint32_t client) override;
  void stop() override;

 private:
  // drivers::BusDriver::Handler.
  void on_event(const drivers::DriverEvent& event) override;
  void on_link_lost(const std::string& why) override;

  void try_open();
  void arm_reopen();
  // Hands the next frame in turn to the driver when it can take one.
  void pump();
  void transaction_event(const drivers::DriverEvent& event);

  const std::string where_;
  BusSink& sink_;
  const unsigned default_priority_;
  const std::chrono::milliseconds reopen_interval_;
  std::unique_ptr<drivers::BusDriver> driver_;
  boost::asio::steady_timer reopen_;
  ClientQueues queues_;
  State state_ = State::Lost;
  std::string last_error_;
  unsigned open_attempts_ = 0;
  bool stopped_ = false;
  bool in_flight_ = false;  // the current frame is with the driver
  bool confirmed_ = false;  // the current copy got its confirmation
  bool pumping_ = false;
  bool pump_again_ = false;
};

}  // namespace kovra62386::sim
