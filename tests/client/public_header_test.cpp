// The records cross the C interface byte for byte: a field written through
// the structure must land at the offset the wire layout gives it.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "kovra62386/kovra62386.h"

namespace {

template <typename Record, typename Fill>
std::size_t offset_of_write(Fill fill) {
  Record record;
  std::memset(&record, 0, sizeof record);
  fill(record);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  for (std::size_t i = 0; i < sizeof record; ++i)
    if (bytes[i] != 0) return i;
  return sizeof record;
}

TEST(PublicHeader, ReadRecordFieldsSitAtTheirOffsets) {
  using R = ReadFrameRecord;
  EXPECT_EQ(offset_of_write<R>([](R& r) { r.bus_event.header_flag = 1; }), 4u);
  EXPECT_EQ(offset_of_write<R>([](R& r) { r.bus_event.words[82] = 1; }), 176u);
  EXPECT_EQ(offset_of_write<R>([](R& r) { r.bus_event.data[4] = 1; }), 184u);
  EXPECT_EQ(
      offset_of_write<R>([](R& r) { r.transmit_report.frame.send_twice = 1; }),
      208u);
  EXPECT_EQ(offset_of_write<R>([](R& r) { r.info3[27] = 1; }), 263u);
}

TEST(PublicHeader, EventPayloadIsTheWholeRecord) {
  TransceiverEvent event;
  std::memset(&event, 0, sizeof event);
  event.payload.bus_state = 4;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&event);
  EXPECT_EQ(bytes[4], 4);
  EXPECT_EQ(sizeof event.payload, sizeof(ReadFrameRecord));
}

// Applications compiled against an older header keep these numbers.
TEST(PublicHeader, WireValuesAreFixed) {
  const int values[] = {KOVRA62386_FRAME_BUS_EVENT,
                        KOVRA62386_FRAME_INTERFACE_REQUEST,
                        KOVRA62386_FRAME_INTERFACE_INFO,
                        KOVRA62386_FRAME_TRANSMIT,
                        KOVRA62386_FRAME_TRANSMIT_REPORT,
                        KOVRA62386_BUS_EVENT_NO_ANSWER,
                        KOVRA62386_BUS_EVENT_FORWARD,
                        KOVRA62386_BUS_EVENT_BACKWARD,
                        KOVRA62386_BUS_EVENT_FRAMING_ERROR,
                        KOVRA62386_BUS_EVENT_STATE,
                        KOVRA62386_REQUEST_BUS_STATE,
                        KOVRA62386_INFO_BLOCK0,
                        KOVRA62386_INFO_BLOCK3,
                        KOVRA62386_PRIORITY_DEFAULT,
                        KOVRA62386_PRIORITY_HIGHEST,
                        KOVRA62386_PRIORITY_LOWEST,
                        KOVRA62386_FORMAT_VARIABLE,
                        KOVRA62386_READ_FRAME,
                        KOVRA62386_READ_EMPTY,
                        KOVRA62386_READ_NOT_OPEN,
                        KOVRA62386_SERVER_PORT,
                        KOVRA62386_SEND_TIMEOUT_MS};
  EXPECT_EQ(std::vector<int>(std::begin(values), std::end(values)),
            (std::vector<int>{1, 3, 3, 4, 4, 0, 1, 2, 3, 4,     0,
                              0, 3, 0, 1, 5, 5, 0, 1, 2, 42000, 750}));
}

}  // namespace
