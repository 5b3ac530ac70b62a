// The read-direction records the simulated interfaces report: transmit
// confirmations, frames seen on the bus and bus-state changes.
#pragma once

#include <cstdint>

#include "kovra62386/kovra62386.h"

namespace kovra62386::sim {

// Bus-event sub-types (frame_type 1).
inline constexpr uint8_t event_no_answer = 0;
inline constexpr uint8_t event_forward_frame = 1;
inline constexpr uint8_t event_backward_frame = 2;
inline constexpr uint8_t event_collision = 3;
inline constexpr uint8_t event_bus_state = 4;

// frame_type 4: the outcome of handing `frame` to the bus, with the frame
// copied. A frame of fewer than 8 bits is reported with 8, the shortest
// report a client accepts, so that a refusal still reaches the sender.
ReadFrameRecord confirmation_record(const WriteFrameRecord& frame,
                                    uint8_t status);

// frame_type 1, sub-type 1: the forward frame as seen on the bus;
// header_flag marks the sender's own copy.
ReadFrameRecord echo_record(const WriteFrameRecord& frame, bool own);

// frame_type 1 completions.
ReadFrameRecord answer_record(uint8_t answer);
ReadFrameRecord no_answer_record();
ReadFrameRecord collision_record();

// frame_type 1, sub-type 4: the bus state (KOVRA62386_BUS_FLAG_* bits).
ReadFrameRecord bus_state_record(uint8_t event_flags);

}  // namespace kovra62386::sim
