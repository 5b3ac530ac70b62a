#include "simulator/simulated_transport.h"

#include <memory>

namespace kovra62386::dali {

DeviceTransact simulated_device_transport(SimulatedBus& bus,
                                          Clock::time_point start) {
  auto now = std::make_shared<Clock::time_point>(start);
  return [&bus, now](std::array<uint8_t, 3> frame, bool twice) {
    BusResponse r;
    for (int i = 0; i < (twice ? 2 : 1); ++i) {
      r = bus.forward_frame(frame.data(), 24, *now);
      *now += transaction_duration(r, 24);
    }
    return r;
  };
}

Transact simulated_transport(SimulatedBus& bus, Clock::time_point start) {
  auto now = std::make_shared<Clock::time_point>(start);
  return [&bus, now](uint8_t a, uint8_t b, bool twice) {
    const uint8_t frame[2] = {a, b};
    BusResponse r;
    for (int i = 0; i < (twice ? 2 : 1); ++i) {
      r = bus.forward_frame(frame, 16, *now);
      *now += transaction_duration(r, 16);
    }
    return r;
  };
}

}  // namespace kovra62386::dali
