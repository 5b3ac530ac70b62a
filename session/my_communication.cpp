#include "session/my_communication.h"

namespace kovra62386 {

MyCommunication::MyCommunication(platform::Platform& platform, uint16_t port,
                                 ArrivalSignal& arrivals,
                                 Kovra62386AsioConnection::Timing timing)
    : Kovra62386Communication(nullptr, arrivals),
      connection_(platform, port, arrivals, timing) {
  attach(&connection_);
}

MyCommunication::~MyCommunication() = default;

bool MyCommunication::initialize() { return connection_.initialize(); }

void MyCommunication::terminate() { connection_.terminate(); }

}  // namespace kovra62386
