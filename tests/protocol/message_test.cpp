// Messages to and from the server: the builders' exact bytes, and a view
// that answers only from the bytes a message's own length byte covers.
#include "protocol/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "protocol/frame_codec.h"

namespace kovra62386 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes to_bytes(std::span<const uint8_t> span) {
  return Bytes(span.begin(), span.end());
}

TEST(MessageBuilders, Requests) {
  EXPECT_EQ(make_enumerate_request(), (Bytes{0x05, 0x00}));
  EXPECT_EQ(make_open_request(3), (Bytes{0x0A, 0x01, 0x03}));
  EXPECT_EQ(make_close_request(3), (Bytes{0x0C, 0x01, 0x03}));
  EXPECT_EQ(make_open_request(255), (Bytes{0x0A, 0x01, 0xFF}));
  EXPECT_EQ(make_close_request(0), (Bytes{0x0C, 0x01, 0x00}));
}

TEST(MessageBuilders, TransmitFrameCarriesOnlyTheEncodedBytes) {
  WriteFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  record.sub_type = 5;
  EXPECT_EQ(make_transmit_frame(7, record), (Bytes{0x14, 0x02, 0x07, 0x35}));

  record.frame_type = KOVRA62386_FRAME_TRANSMIT;
  record.sub_type = KOVRA62386_PRIORITY_DEFAULT;
  record.frame.format = KOVRA62386_FORMAT_VARIABLE;
  record.frame.bit_count = 16;
  record.frame.send_twice = 1;
  record.frame.data[0] = 0xFE;
  record.frame.data[1] = 0x90;
  record.frame.data[2] = 0x77;  // beyond 16 bits: not sent
  record.frame.value = 0x04030201;
  EXPECT_EQ(
      make_transmit_frame(2, record),
      (Bytes{0x14, 0x0A, 0x02, 0x40, 0x15, 0x10, 0xFE, 0x90, 1, 2, 3, 4}));

  record.frame.format = 0;
  EXPECT_EQ(
      make_transmit_frame(255, record),
      (Bytes{0x14, 0x09, 0xFF, 0x40, 0x10, 0x10, 0xFE, 0x90, 0x77, 0, 0}));
}

TEST(MessageBuilders, FrameOfAnUnhandledTypeGivesAnEmptyMessage) {
  WriteFrameRecord write{};
  write.frame_type = 1;
  EXPECT_TRUE(make_transmit_frame(1, write).empty());
  ReadFrameRecord read{};
  read.frame_type = KOVRA62386_FRAME_INTERFACE_INFO;
  read.sub_type = 5;
  EXPECT_TRUE(make_received_frame(1, read).empty());
}

TEST(MessageBuilders, ReceivedFrameOfTheLongestEncoding) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  record.sub_type = KOVRA62386_BUS_EVENT_BACKWARD;
  record.bus_event.bit_count = 40;
  record.bus_event.word_count = 83;
  for (int i = 0; i < 83; ++i) record.bus_event.words[i] = 0xBEEF;
  const Message message = make_received_frame(9, record);
  ASSERT_EQ(message.size(), 3u + 181);
  EXPECT_EQ(message[0], 0x15);
  EXPECT_EQ(message[1], 182);
  EXPECT_EQ(message[2], 9);
  EXPECT_EQ(message[3], 0x12);
  EXPECT_EQ(message[183], 0xBE);

  ReadFrameRecord decoded{};
  const auto frame = MessageView(message).frame();
  FrameCodec::decode_read(frame.data(), static_cast<uint32_t>(frame.size()),
                          decoded);
  EXPECT_EQ(std::memcmp(&decoded, &record, sizeof record), 0);
}

TEST(MessageBuilders, ServerSideMessages) {
  EXPECT_EQ(make_interface_entry(4, 0x81, "SIM-1"),
            (Bytes{0x06, 0x07, 0x04, 0x81, 'S', 'I', 'M', '-', '1'}));
  EXPECT_EQ(make_interface_entry(0, 0, ""), (Bytes{0x06, 0x02, 0x00, 0x00}));
  EXPECT_EQ(make_interface_list_end(), (Bytes{0x07, 0x00}));
  EXPECT_EQ(make_device_closed(6), (Bytes{0x0D, 0x01, 0x06}));
  EXPECT_EQ(make_text_message(MessageType::Greeting, "hi"),
            (Bytes{0x02, 0x02, 'h', 'i'}));
  EXPECT_EQ(make_text_message(MessageType::ServerText, ""),
            (Bytes{0x01, 0x00}));
}

TEST(MessageBuilders, OverlongTextsAreCutToWhatTheLengthByteHolds) {
  const std::string long_text(300, 'x');
  const Message text = make_text_message(MessageType::ServerText, long_text);
  ASSERT_EQ(text.size(), 257u);
  EXPECT_EQ(text[1], 255);
  const Message entry = make_interface_entry(1, 2, long_text);
  ASSERT_EQ(entry.size(), 257u);
  EXPECT_EQ(entry[1], 255);
  EXPECT_EQ(entry[3], 2);
}

TEST(MessageView, CompleteMessageInsideALongerBuffer) {
  // The buffer goes on past the message; the view stops at its length byte.
  const Bytes buffer = {0x15, 0x04, 0x02, 0xA, 0xB, 0xC, 0xEE, 0xEE};
  MessageView view(buffer);
  EXPECT_TRUE(view.complete());
  EXPECT_EQ(view.type(), 0x15);
  EXPECT_EQ(view.length(), 4);
  EXPECT_EQ(to_bytes(view.payload()), (Bytes{0x02, 0xA, 0xB, 0xC}));
  uint8_t index = 0;
  EXPECT_TRUE(view.index(index));
  EXPECT_EQ(index, 2);
  EXPECT_EQ(to_bytes(view.frame()), (Bytes{0xA, 0xB, 0xC}));
}

TEST(MessageView, ShortAndIncompleteBuffers) {
  // Each buffer is a heap block of exactly its size, so a read past it
  // shows under AddressSanitizer.
  auto view_of = [](const Bytes& bytes, auto check) {
    auto block = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.get());
    check(MessageView(std::span<const uint8_t>(block.get(), bytes.size())));
  };
  uint8_t index = 0x42;

  view_of({}, [&](MessageView view) {
    EXPECT_FALSE(view.complete());
    EXPECT_EQ(view.type(), 0);
    EXPECT_EQ(view.length(), 0);
    EXPECT_TRUE(view.payload().empty());
    EXPECT_FALSE(view.index(index));
    EXPECT_TRUE(view.frame().empty());
  });
  view_of({0x0D}, [&](MessageView view) {
    EXPECT_FALSE(view.complete());
    EXPECT_EQ(view.type(), 0x0D);
    EXPECT_EQ(view.length(), 0);
    EXPECT_FALSE(view.index(index));
  });
  // Announces 10 payload bytes, holds 2.
  view_of({0x15, 0x0A, 0x03, 0x41}, [&](MessageView view) {
    EXPECT_FALSE(view.complete());
    EXPECT_EQ(view.length(), 10);
    EXPECT_EQ(to_bytes(view.payload()), (Bytes{0x03, 0x41}));
    EXPECT_TRUE(view.index(index));
    EXPECT_EQ(index, 3);
    EXPECT_TRUE(view.frame().empty());
  });
  // N = 0: complete, but no index and no frame, whatever follows.
  view_of({0x0D, 0x00, 0x05}, [&](MessageView view) {
    EXPECT_TRUE(view.complete());
    EXPECT_TRUE(view.payload().empty());
    index = 0x42;
    EXPECT_FALSE(view.index(index));
    EXPECT_EQ(index, 0x42);
    EXPECT_TRUE(view.frame().empty());
  });
  // N = 1: the index only, an empty frame.
  view_of({0x15, 0x01, 0x07}, [&](MessageView view) {
    EXPECT_TRUE(view.complete());
    EXPECT_TRUE(view.index(index));
    EXPECT_EQ(index, 7);
    EXPECT_TRUE(view.frame().empty());
  });
}

TEST(MessageView, LongestMessage) {
  Bytes bytes(257, 0x5A);
  bytes[0] = 0x01;
  bytes[1] = 255;
  MessageView view(bytes);
  EXPECT_TRUE(view.complete());
  EXPECT_EQ(view.payload().size(), 255u);
  EXPECT_EQ(view.frame().size(), 254u);
  EXPECT_FALSE(MessageView(std::span(bytes).first(256)).complete());
}

}  // namespace
}  // namespace kovra62386
