#include "server/bus_records.h"

#include <algorithm>
#include <iterator>

#include "protocol/frame_codec.h"

namespace kovra62386::sim {
namespace {

constexpr uint8_t kMaxBits = FrameCodec::kMaxBitCount;

ReadFrameRecord bus_event(uint8_t sub_type) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  record.sub_type = sub_type;
  return record;
}

}  // namespace

ReadFrameRecord confirmation_record(const WriteFrameRecord& frame,
                                    uint8_t status) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_TRANSMIT_REPORT;
  record.sub_type = frame.sub_type & 0x07;
  record.transmit_report.status = status & 0x0F;
  record.transmit_report.frame = frame.frame;
  uint8_t& bits = record.transmit_report.frame.bit_count;
  bits = std::clamp<uint8_t>(bits, 8, kMaxBits);
  return record;
}

ReadFrameRecord echo_record(const WriteFrameRecord& frame, bool own) {
  ReadFrameRecord record = bus_event(KOVRA62386_BUS_EVENT_FORWARD);
  record.bus_event.header_flag = own ? 1 : 0;
  record.bus_event.bit_count = std::min(frame.frame.bit_count, kMaxBits);
  std::copy(std::begin(frame.frame.data), std::end(frame.frame.data),
            std::begin(record.bus_event.data));
  return record;
}

ReadFrameRecord answer_record(uint8_t answer) {
  ReadFrameRecord record = bus_event(KOVRA62386_BUS_EVENT_BACKWARD);
  record.bus_event.bit_count = 8;
  record.bus_event.data[0] = answer;
  return record;
}

ReadFrameRecord no_answer_record() {
  return bus_event(KOVRA62386_BUS_EVENT_NO_ANSWER);
}

ReadFrameRecord collision_record() {
  return bus_event(KOVRA62386_BUS_EVENT_FRAMING_ERROR);
}

ReadFrameRecord bus_state_record(uint8_t event_flags) {
  ReadFrameRecord record = bus_event(KOVRA62386_BUS_EVENT_STATE);
  record.bus_event.event_flags = event_flags;
  return record;
}

}  // namespace kovra62386::sim
