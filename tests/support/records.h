// Frame records the tests write and the scripted server reports, shared by
// the suites.
#pragma once

#include <cstdint>

#include "kovra62386/kovra62386.h"

namespace kovra62386::test {

// A 16-bit DALI forward frame in the variable-length form.
inline WriteFrameRecord forward_frame(uint8_t address, uint8_t opcode,
                                      bool twice = false) {
  WriteFrameRecord frame{};
  frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
  frame.frame.data[0] = address;
  frame.frame.data[1] = opcode;
  frame.frame.bit_count = 16;
  frame.frame.format = KOVRA62386_FORMAT_VARIABLE;
  frame.frame.send_twice = twice ? 1 : 0;
  return frame;
}

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
