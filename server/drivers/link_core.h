// LinkCore: what every link does the same way around its protocol,
// whatever its seam (a tty, a serial port or TCP stream, a hidraw node):
//  - a life, so that completion handlers still queued for a link that has
//    closed (or opened again) since do nothing;
//  - handing the protocol's events to the server, and stopping as soon as
//    the server closes the link from inside a handler;
//  - one timer on the protocol's next deadline.
//
// Runs on the link's Asio thread; not thread-safe by itself.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <optional>
#include <utility>

#include "server/drivers/bus_driver.h"

namespace kovra62386::sim::drivers {

class LinkCore {
 public:
  LinkCore(boost::asio::io_context& io, BusDriver::Handler& handler)
      : handler_(handler), deadline_(io) {}

  BusDriver::Handler& handler() { return handler_; }

  // A new life: handlers guarded before it do nothing.
  void begin() { alive_ = std::make_shared<bool>(true); }
  // Ends the life and stops the timer.
  void end() {
    if (alive_) *alive_ = false;
    alive_.reset();
    deadline_.cancel();
  }

  // `f` as a completion handler that runs only while this life lasts.
  template <class F>
  auto guard(F f) {
    return [alive = alive_, f = std::move(f)](auto&&... args) mutable {
      if (alive && *alive) f(std::forward<decltype(args)>(args)...);
    };
  }

  // Hands the events `protocol` holds to the server; false when the link
  // closed meanwhile (the events left go with it).
  template <class Protocol>
  bool hand_on(Protocol& protocol) {
    const auto alive = alive_;
    if (!alive) return false;
    for (const DriverEvent& event : protocol.take_events()) {
      handler_.on_event(event);
      if (!*alive) return false;
    }
    return true;
  }

  // Calls `expired` at `at` (never when nullopt), unless the link closes
  // or the timer is armed again first.
  template <class F>
  void arm(std::optional<DriverClock::time_point> at, F expired) {
    if (!at) {
      deadline_.cancel();
      return;
    }
    deadline_.expires_at(*at);
    deadline_.async_wait(
        guard([expired = std::move(expired)](
                  const boost::system::error_code& ec) mutable {
          if (!ec) expired();
        }));
  }

 private:
  BusDriver::Handler& handler_;
  boost::asio::steady_timer deadline_;
  std::shared_ptr<bool> alive_;
};

}  // namespace kovra62386::sim::drivers
