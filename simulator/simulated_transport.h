// The commissioning search's transports over a SimulatedBus, without the
// library or a server: each advances a private clock by the transaction's
// bus time, so send-twice timing holds.
#pragma once

#include "dali/commissioning.h"
#include "simulator/simulated_bus.h"

namespace kovra62386::dali {

Transact simulated_transport(SimulatedBus& bus,
                             Clock::time_point start = Clock::now());
DeviceTransact simulated_device_transport(
    SimulatedBus& bus, Clock::time_point start = Clock::now());

}  // namespace kovra62386::dali
