// Frame records the tests write and the scripted server reports, shared by
// the suites.
#pragma once

#include <cstdint>

#include "kovra62386/frames.hpp"
#include "kovra62386/kovra62386.h"

namespace kovra62386::test {

// The forward frames the tests write: the wrapper's builder.
using kovra62386::forward_frame;

// An answer carrying `value`, so that order and loss can be counted.
inline ReadFrameRecord numbered(uint32_t value) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  record.sub_type = KOVRA62386_BUS_EVENT_BACKWARD;
  record.bus_event.bit_count = 8;
  record.bus_event.data[0] = 0x5A;
  record.bus_event.value = value;
  return record;
}

}  // namespace kovra62386::test
