// The read-direction records the simulated interfaces report: transmit
// confirmations, frames seen on the bus and bus-state changes.
#pragma once

#include <cstdint>

#include "kovra62386/kovra62386.h"

namespace kovra62386::sim {

// A transmit report: the outcome of handing `frame` to the bus, with the frame
// copied. A frame of fewer than 8 bits is reported with 8, the shortest
// report a client accepts, so that a refusal still reaches the sender.
ReadFrameRecord confirmation_record(const WriteFrameRecord& frame,
                                    uint8_t status);

// A forward-frame bus event: the forward frame as seen on the bus;
// header_flag marks the sender's own copy.
ReadFrameRecord echo_record(const WriteFrameRecord& frame, bool own);

// The bus events that complete a transaction.
ReadFrameRecord answer_record(uint8_t answer);
ReadFrameRecord no_answer_record();
ReadFrameRecord collision_record();

// A bus-state event: the bus state (KOVRA62386_BUS_FLAG_* bits).
ReadFrameRecord bus_state_record(uint8_t event_flags);

}  // namespace kovra62386::sim
