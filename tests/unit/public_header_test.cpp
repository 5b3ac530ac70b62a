// The records cross the C interface byte for byte: a field written through
// the structure must land at the offset the wire layout gives it.
#include <gtest/gtest.h>

#include <cstring>

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
  EXPECT_EQ(offset_of_write<R>([](R& r) { r.transmit_report.frame.send_twice = 1; }),
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

}  // namespace
