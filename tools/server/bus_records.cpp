#include "bus_records.h"

#include <algorithm>
#include <iterator>

namespace kovra62386::sim {
namespace {

constexpr uint8_t frame_type_bus_event = 1;
constexpr uint8_t frame_type_transmit_report = 4;
constexpr uint8_t max_bits = 40;

ReadFrameRecord bus_event(uint8_t sub_type) {
  ReadFrameRecord record{};
  record.frame_type = frame_type_bus_event;
  record.sub_type = sub_type;
  return record;
}

}  // namespace

ReadFrameRecord confirmation_record(const WriteFrameRecord& frame,
                                    uint8_t status) {
  ReadFrameRecord record{};
  record.frame_type = frame_type_transmit_report;
  record.sub_type = frame.sub_type & 0x07;
  record.transmit_report.status = status & 0x0F;
  record.transmit_report.frame = frame.frame;
  uint8_t& bits = record.transmit_report.frame.bit_count;
  bits = std::clamp<uint8_t>(bits, 8, max_bits);
  return record;
}

ReadFrameRecord echo_record(const WriteFrameRecord& frame, bool own) {
  ReadFrameRecord record = bus_event(event_forward_frame);
  record.bus_event.header_flag = own ? 1 : 0;
  record.bus_event.bit_count = std::min(frame.frame.bit_count, max_bits);
  std::copy(std::begin(frame.frame.data), std::end(frame.frame.data),
            std::begin(record.bus_event.data));
  return record;
}

ReadFrameRecord answer_record(uint8_t answer) {
  ReadFrameRecord record = bus_event(event_backward_frame);
  record.bus_event.bit_count = 8;
  record.bus_event.data[0] = answer;
  return record;
}

ReadFrameRecord no_answer_record() { return bus_event(event_no_answer); }

ReadFrameRecord collision_record() { return bus_event(event_collision); }

ReadFrameRecord bus_state_record(uint8_t event_flags) {
  ReadFrameRecord record = bus_event(event_bus_state);
  record.bus_event.event_flags = event_flags;
  return record;
}

}  // namespace kovra62386::sim
