// What the drivers' link tests share: the server's side of a link,
// recorded, and running the link's Asio loop until something holds.
#pragma once

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "server/drivers/bus_driver.h"

namespace kovra62386::test {

// Every event, and every loss: a link reports each loss once.
struct Recorder : sim::drivers::BusDriver::Handler {
  using DriverEvent = sim::drivers::DriverEvent;
  void on_event(const DriverEvent& event) override { events.push_back(event); }
  void on_link_lost(const std::string& why) override { lost.push_back(why); }
  bool has(sim::drivers::DriverEventKind kind) const {
    return std::any_of(events.begin(), events.end(),
                       [kind](const DriverEvent& e) { return e.kind == kind; });
  }
  std::vector<DriverEvent> events;
  std::vector<std::string> lost;
};

// Runs `io` until `done` holds, at most `limit`; whether it holds.
inline bool run_until(
    boost::asio::io_context& io, const std::function<bool()>& done,
    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero()) return false;
    io.run_one_for(left);
  }
  return true;
}

}  // namespace kovra62386::test
