// The records cross the C interface byte for byte. The header checks its
// offsets at compile time; these tests check what those offsets mean: a
// field written through the structure reaches the wire byte the message
// layout gives it, a wire byte lands in the field named for it, and the
// bytes the header calls reserved or undefined are neither read nor
// written. The expected bytes are written out by hand from the documented
// layouts, not computed by the codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "client/transceiver/transceiver.h"
#include "kovra62386/kovra62386.h"
#include "protocol/frame_codec.h"
#include "protocol/message.h"

namespace {

using kovra62386::FrameCodec;
using kovra62386::Message;
using kovra62386::MessageView;

// Bytes an application never set, so that a read of them shows.
constexpr unsigned char kNoise = 0xEE;

template <typename Record>
Record noisy() {
  Record record;
  std::memset(&record, kNoise, sizeof record);
  return record;
}

// A received frame as the library meets it: the message bytes, cut by the
// message view and decoded on the library's fast path.
ReadFrameRecord received(const Message& message) {
  auto record = noisy<ReadFrameRecord>();
  EXPECT_TRUE(FrameCodec::try_decode_read(
      MessageView(message).frame().data(),
      static_cast<uint32_t>(MessageView(message).frame().size()), record));
  return record;
}

template <typename Part>
bool all_zero(const Part& part) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&part);
  return std::all_of(bytes, bytes + sizeof part,
                     [](unsigned char byte) { return byte == 0; });
}

TEST(PublicHeader, WriteRecordFieldsReachTheirWireBytes) {
  auto record = noisy<WriteFrameRecord>();
  record.frame_type = KOVRA62386_FRAME_TRANSMIT;
  record.sub_type = KOVRA62386_PRIORITY_HIGHEST + 1;
  const unsigned char data[5] = {0x5C, 0x3D, 0x71, 0x72, 0x73};
  std::memcpy(record.frame.data, data, sizeof data);
  record.frame.bit_count = 16;
  record.frame.format = KOVRA62386_FORMAT_VARIABLE;
  record.frame.value = 0x04030201;
  record.frame.send_twice = 1;
  // TransmitFrame, N = 10, interface 7; header 4:2, send_twice:format,
  // bit count, the two data bytes 16 bits take, value little-endian.
  EXPECT_EQ(kovra62386::make_transmit_frame(7, record),
            (Message{0x14, 0x0A, 0x07, 0x42, 0x15, 0x10, 0x5C, 0x3D, 0x01, 0x02,
                     0x03, 0x04}));

  auto request = noisy<WriteFrameRecord>();
  request.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  request.sub_type = KOVRA62386_REQUEST_BUS_STATE;
  EXPECT_EQ(kovra62386::make_transmit_frame(7, request),
            (Message{0x14, 0x02, 0x07, 0x30}));
}

TEST(PublicHeader, ReadRecordFieldsComeFromTheirWireBytes) {
  // A backward frame, echo flag set: header 1:2 | 0x08, flags, aux a, aux
  // b, 8 bits, one data byte, value, two words.
  const ReadFrameRecord event =
      received({0x15, 0x10, 0x01, 0x1A, 0x00, 0x11, 0x22, 0x08, 0x7F, 0x78,
                0x56, 0x34, 0x12, 0x02, 0x34, 0x12, 0xCD, 0xAB});
  EXPECT_EQ(event.frame_type, KOVRA62386_FRAME_BUS_EVENT);
  EXPECT_EQ(event.sub_type, KOVRA62386_BUS_EVENT_BACKWARD);
  EXPECT_EQ(event.reserved0[0], kNoise);  // bytes 2-3 stay the caller's
  EXPECT_EQ(event.reserved0[1], kNoise);
  EXPECT_EQ(event.bus_event.header_flag, 1);
  EXPECT_EQ(event.bus_event.event_flags, 0x00);
  EXPECT_EQ(event.bus_event.aux_a, 0x11);
  EXPECT_EQ(event.bus_event.aux_b, 0x22);
  EXPECT_EQ(event.bus_event.bit_count, 8);
  EXPECT_EQ(event.bus_event.data[0], 0x7F);
  EXPECT_EQ(event.bus_event.data[1], 0x00);
  EXPECT_EQ(event.bus_event.value, 0x12345678u);
  EXPECT_EQ(event.bus_event.word_count, 2);
  EXPECT_EQ(event.bus_event.words[0], 0x1234);
  EXPECT_EQ(event.bus_event.words[1], 0xABCD);
  EXPECT_EQ(event.bus_event.words[82], 0);
  EXPECT_TRUE(all_zero(event.transmit_report));
  EXPECT_TRUE(all_zero(event.info0));
  EXPECT_TRUE(all_zero(event.info3));

  // A confirmation: header 4:0, status, send_twice:format, 24 bits, three
  // data bytes, value.
  const ReadFrameRecord report =
      received({0x15, 0x0C, 0x01, 0x40, 0x02, 0x15, 0x18, 0xFE, 0x01, 0x02,
                0x00, 0x00, 0x00, 0x80});
  EXPECT_EQ(report.frame_type, KOVRA62386_FRAME_TRANSMIT_REPORT);
  EXPECT_EQ(report.transmit_report.status, KOVRA62386_STATUS_POWER_DOWN);
  EXPECT_EQ(report.transmit_report.frame.send_twice, 1);
  EXPECT_EQ(report.transmit_report.frame.format, KOVRA62386_FORMAT_VARIABLE);
  EXPECT_EQ(report.transmit_report.frame.bit_count, 24);
  EXPECT_EQ(report.transmit_report.frame.data[2], 0x02);
  EXPECT_EQ(report.transmit_report.frame.value, 0x80000000u);
  EXPECT_TRUE(all_zero(report.bus_event));

  // Information block 3: its 28 bytes as they travel.
  Message info{0x15, 0x1E, 0x01, 0x33};
  for (unsigned char i = 1; i <= 28; ++i) info.push_back(i);
  const ReadFrameRecord block = received(info);
  EXPECT_EQ(block.frame_type, KOVRA62386_FRAME_INTERFACE_INFO);
  EXPECT_EQ(block.info3[0], 1);
  EXPECT_EQ(block.info3[27], 28);
  EXPECT_TRUE(all_zero(block.info0));
}

TEST(PublicHeader, EventPayloadIsTheWholeRecord) {
  const ReadFrameRecord answer =
      received({0x15, 0x0C, 0x01, 0x12, 0x00, 0x00, 0x00, 0x08, 0x7F, 0x00,
                0x00, 0x00, 0x00, 0x00});
  TransceiverEvent event;
  ASSERT_TRUE(kovra62386::Transceiver::make_event(answer, event));
  EXPECT_EQ(event.code, KOVRA62386_EVENT_BACKWARD_FRAME);
  EXPECT_EQ(event.payload.record.bus_event.data[0], 0x7F);
  // The record, info3 included, travels whole behind the code.
  EXPECT_EQ(std::memcmp(&event.payload.record, &answer, sizeof answer), 0);

  // Power returning (flags 0x88): the state, and the rest of the payload
  // zero.
  const ReadFrameRecord state =
      received({0x15, 0x0B, 0x01, 0x14, 0x88, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x00, 0x00, 0x00});
  std::memset(&event, kNoise, sizeof event);
  ASSERT_TRUE(kovra62386::Transceiver::make_event(state, event));
  EXPECT_EQ(event.code, KOVRA62386_EVENT_BUS_STATE);
  EXPECT_EQ(event.payload.bus_state, KOVRA62386_BUS_POWER_RETURN);
  EXPECT_TRUE(std::all_of(std::begin(event.payload.bytes) + 4,
                          std::end(event.payload.bytes),
                          [](unsigned char byte) { return byte == 0; }));
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
