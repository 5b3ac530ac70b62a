#include "client/session/my_communication.h"

namespace kovra62386 {

MyCommunication::MyCommunication(platform::Platform& platform, uint16_t port,
                                 ArrivalSignal& arrivals,
                                 Kovra62386AsioConnection::Timing timing)
    : Kovra62386Communication(nullptr, arrivals),
      connection_(platform, port, arrivals, timing) {
  attach(&connection_);
  connection_.set_sink(this);
}

MyCommunication::~MyCommunication() { terminate(); }

bool MyCommunication::initialize() {
  return connection_.initialize() && !connection_.failed();
}

void MyCommunication::terminate() {
  // The I/O thread never waits for a reader, so it can always be joined.
  connection_.terminate();
  // Every message is dispatched now: readers drain, then learn the end.
  link_lost();
}

void MyCommunication::accept(std::span<const uint8_t> message) {
  dispatch_arrival(message);
}

void MyCommunication::flush() { wake_readers(); }

void MyCommunication::link_lost() noexcept {
  try {
    connection_lost();
  } catch (...) {
    // A lock that cannot be taken: readers still see the connection fail.
  }
}

}  // namespace kovra62386
