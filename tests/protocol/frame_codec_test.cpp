// FrameCodec: wire layouts byte for byte in both directions, the length
// rules, the clamps, and that a refused frame never touches the record.
#include "protocol/frame_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovra62386 {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kSentinel = 0xCC;

template <typename Record>
Record sentinel_record() {
  Record record;
  std::memset(static_cast<void*>(&record), kSentinel, sizeof record);
  return record;
}

template <typename Record>
Bytes bytes_of(const Record& record) {
  const auto* p = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(p, p + sizeof record);
}

// Every byte of the record except the caller's bytes 2-3.
template <typename Record>
Bytes codec_bytes(const Record& record) {
  Bytes bytes = bytes_of(record);
  bytes.erase(bytes.begin() + 2, bytes.begin() + 4);
  return bytes;
}

template <typename Record>
Record zero_record(uint8_t frame_type, uint8_t sub_type) {
  Record record;
  std::memset(&record, 0, sizeof record);
  record.frame_type = frame_type;
  record.sub_type = sub_type;
  return record;
}

// Calls `decode` and returns what it threw: "" when it returned normally.
std::string thrown(const std::function<void()>& decode) {
  try {
    decode();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::domain_error& e) {
    return std::string("domain_error: ") + e.what();
  } catch (...) {
    return "other exception";
  }
  return "";
}

const std::string kInvalidLength = "invalid_argument: Invalid length";
const std::string kUnsupported = "domain_error: Unsupported frame type.";

// Encodes into a buffer pre-filled with a marker and checks that nothing
// past the reported length was written.
template <typename Record>
Bytes encode_checked(const Record& record) {
  std::array<uint8_t, FrameCodec::kMaxFrameLength + 16> out;
  out.fill(0xEE);
  uint32_t length = 0;
  if constexpr (std::is_same_v<Record, WriteFrameRecord>) {
    length = FrameCodec::encode_write(record, out.data());
  } else {
    length = FrameCodec::encode_read(record, out.data());
  }
  EXPECT_LE(length, FrameCodec::kMaxFrameLength);
  for (std::size_t i = length; i < out.size(); ++i) {
    EXPECT_EQ(out[i], 0xEE)
        << "byte " << i << " written past length " << length;
  }
  return Bytes(out.begin(), out.begin() + length);
}

// ---- Layout tables -------------------------------------------------------

template <typename Record>
struct LayoutCase {
  const char* name;
  Record record;  // exactly the fields the frame carries, zero elsewhere
  Bytes wire;
};

using WriteCase = LayoutCase<WriteFrameRecord>;
using ReadCase = LayoutCase<ReadFrameRecord>;

WriteFrameRecord bus_write(uint8_t sub_type, uint8_t send_twice, uint8_t format,
                           uint8_t bit_count, std::array<uint8_t, 5> data,
                           uint32_t value) {
  auto record =
      zero_record<WriteFrameRecord>(KOVRA62386_FRAME_TRANSMIT, sub_type);
  std::memcpy(record.frame.data, data.data(), 5);
  record.frame.bit_count = bit_count;
  record.frame.format = format;
  record.frame.send_twice = send_twice;
  record.frame.value = value;
  return record;
}

std::vector<WriteCase> write_type4_cases() {
  return {
      {"variable 16 bits",
       bus_write(0, 1, 5, 16, {0xA1, 0xB2}, 0x44332211),
       {0x40, 0x15, 0x10, 0xA1, 0xB2, 0x11, 0x22, 0x33, 0x44}},
      {"variable 0 bits",
       bus_write(6, 0, 5, 0, {}, 0xDDCCBBAA),
       {0x46, 0x05, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}},
      {"variable 1 bit",
       bus_write(1, 2, 5, 1, {0x80}, 1),
       {0x41, 0x25, 0x01, 0x80, 0x01, 0x00, 0x00, 0x00}},
      {"variable 25 bits",
       bus_write(2, 0, 5, 25, {1, 2, 3, 4}, 0x01020304),
       {0x42, 0x05, 0x19, 1, 2, 3, 4, 0x04, 0x03, 0x02, 0x01}},
      {"variable 40 bits",
       bus_write(7, 7, 5, 40, {9, 8, 7, 6, 5}, 0xFFFFFFFF),
       {0x47, 0x75, 0x28, 9, 8, 7, 6, 5, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"fixed format 0",
       bus_write(0, 1, 0, 16, {0xA1, 0xB2, 3, 4, 5}, 0),
       {0x40, 0x10, 0x10, 0xA1, 0xB2, 3, 4, 5}},
      {"fixed format 15",
       bus_write(3, 0, 15, 200, {1, 2, 3, 4, 5}, 0),
       {0x43, 0x0F, 0xC8, 1, 2, 3, 4, 5}},
  };
}

std::vector<WriteCase> write_type3_cases() {
  return {
      {"sub-type 5",
       zero_record<WriteFrameRecord>(KOVRA62386_FRAME_INTERFACE_REQUEST, 5),
       {0x35}},
      {"sub-type 0",
       zero_record<WriteFrameRecord>(KOVRA62386_FRAME_INTERFACE_REQUEST, 0),
       {0x30}},
      {"sub-type 7",
       zero_record<WriteFrameRecord>(KOVRA62386_FRAME_INTERFACE_REQUEST, 7),
       {0x37}},
  };
}

ReadFrameRecord bus_event(uint8_t sub_type, uint8_t header_flag,
                          uint8_t event_flags, uint8_t aux_a, uint8_t aux_b,
                          uint8_t bit_count, std::array<uint8_t, 5> data,
                          uint32_t value, std::vector<uint16_t> words) {
  auto record =
      zero_record<ReadFrameRecord>(KOVRA62386_FRAME_BUS_EVENT, sub_type);
  BusEvent& event = record.bus_event;
  event.header_flag = header_flag;
  event.event_flags = event_flags;
  event.aux_a = aux_a;
  event.aux_b = aux_b;
  event.bit_count = bit_count;
  std::memcpy(event.data, data.data(), 5);
  event.value = value;
  event.word_count = static_cast<uint8_t>(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) event.words[i] = words[i];
  return record;
}

ReadCase all_words_case() {
  std::vector<uint16_t> words(83);
  Bytes wire = {0x12, 0x01, 0x02, 0x03, 0x28, 1, 2, 3, 4, 5, 0, 0, 0, 0, 83};
  for (uint16_t i = 0; i < 83; ++i) {
    words[i] = static_cast<uint16_t>(0x0100 * i + 0xFF - i);
    wire.push_back(static_cast<uint8_t>(words[i]));
    wire.push_back(static_cast<uint8_t>(words[i] >> 8));
  }
  return {"40 bits, 83 words",
          bus_event(2, 0, 1, 2, 3, 40, {1, 2, 3, 4, 5}, 0, words), wire};
}

std::vector<ReadCase> read_type1_cases() {
  return {
      // Wire byte 1 lands in event_flags, 2 in aux_a, 3 in aux_b.
      {"flag, sub-type 3, two words",
       bus_event(3, 1, 0x84, 0xA5, 0xB6, 8, {0x5A}, 0x04030201,
                 {0x1234, 0xABCD}),
       {0x1B, 0x84, 0xA5, 0xB6, 0x08, 0x5A, 0x01, 0x02, 0x03, 0x04, 0x02, 0x34,
        0x12, 0xCD, 0xAB}},
      {"no data, no words",
       bus_event(2, 0, 0, 0, 0, 0, {}, 0x11223344, {}),
       {0x12, 0, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0}},
      {"17 bits",
       bus_event(1, 1, 0x40, 0, 0xFF, 17, {7, 8, 9}, 5, {0xFFFF}),
       {0x19, 0x40, 0x00, 0xFF, 0x11, 7, 8, 9, 5, 0, 0, 0, 1, 0xFF, 0xFF}},
      all_words_case(),
  };
}

ReadFrameRecord info_record(uint8_t sub_type) {
  auto record =
      zero_record<ReadFrameRecord>(KOVRA62386_FRAME_INTERFACE_INFO, sub_type);
  for (uint8_t i = 0; i < 24; ++i) {
    if (sub_type == KOVRA62386_INFO_BLOCK0)
      record.info0[i] = static_cast<uint8_t>(0xA0 + i);
  }
  for (uint8_t i = 0; i < 28; ++i) {
    if (sub_type == KOVRA62386_INFO_BLOCK3)
      record.info3[i] = static_cast<uint8_t>(0x30 + i);
  }
  return record;
}

Bytes info_wire(uint8_t header, uint8_t first, std::size_t size) {
  Bytes wire{header};
  for (std::size_t i = 0; i < size; ++i) {
    wire.push_back(static_cast<uint8_t>(first + i));
  }
  return wire;
}

std::vector<ReadCase> read_type3_cases() {
  return {
      {"info0", info_record(0), info_wire(0x30, 0xA0, 24)},
      {"info3", info_record(3), info_wire(0x33, 0x30, 28)},
  };
}

ReadFrameRecord transmit_report(uint8_t sub_type, uint8_t status,
                                uint8_t send_twice, uint8_t format,
                                uint8_t bit_count, std::array<uint8_t, 5> data,
                                uint32_t value) {
  auto record =
      zero_record<ReadFrameRecord>(KOVRA62386_FRAME_TRANSMIT_REPORT, sub_type);
  record.transmit_report.status = status;
  BusFrame& frame = record.transmit_report.frame;
  frame.send_twice = send_twice;
  frame.format = format;
  frame.bit_count = bit_count;
  std::memcpy(frame.data, data.data(), 5);
  frame.value = value;
  return record;
}

std::vector<ReadCase> read_type4_cases() {
  return {
      {"16 bits",
       transmit_report(1, 3, 1, 5, 16, {0xFF, 0x05}, 0x0A0B0C0D),
       {0x41, 0x03, 0x15, 0x10, 0xFF, 0x05, 0x0D, 0x0C, 0x0B, 0x0A}},
      // Data and value travel whatever the format.
      {"format 0, 24 bits",
       transmit_report(0, 15, 0, 0, 24, {1, 2, 3}, 7),
       {0x40, 0x0F, 0x00, 0x18, 1, 2, 3, 7, 0, 0, 0}},
      {"40 bits",
       transmit_report(7, 0, 7, 15, 40, {1, 2, 3, 4, 5}, 0),
       {0x47, 0x00, 0x7F, 0x28, 1, 2, 3, 4, 5, 0, 0, 0, 0}},
  };
}

template <typename Record>
void expect_encodes(const std::vector<LayoutCase<Record>>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode_checked(c.record), c.wire);
  }
}

template <typename Record>
void expect_decodes(const std::vector<LayoutCase<Record>>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto record = sentinel_record<Record>();
    const auto length = static_cast<uint32_t>(c.wire.size());
    if constexpr (std::is_same_v<Record, WriteFrameRecord>) {
      FrameCodec::decode_write(c.wire.data(), length, record);
    } else {
      FrameCodec::decode_read(c.wire.data(), length, record);
    }
    EXPECT_EQ(codec_bytes(record), codec_bytes(c.record));
    EXPECT_EQ(bytes_of(record)[2], kSentinel);
    EXPECT_EQ(bytes_of(record)[3], kSentinel);
  }
}

TEST(FrameCodecLayout, WriteType4) {
  expect_encodes(write_type4_cases());
  expect_decodes(write_type4_cases());
}

TEST(FrameCodecLayout, WriteType3) {
  expect_encodes(write_type3_cases());
  expect_decodes(write_type3_cases());
}

TEST(FrameCodecLayout, ReadType1) {
  expect_encodes(read_type1_cases());
  expect_decodes(read_type1_cases());
}

TEST(FrameCodecLayout, ReadType3) {
  expect_encodes(read_type3_cases());
  expect_decodes(read_type3_cases());
}

TEST(FrameCodecLayout, ReadType4) {
  expect_encodes(read_type4_cases());
  expect_decodes(read_type4_cases());
}

TEST(FrameCodecLayout, HolderPicksTheLayoutByItsDirection) {
  FrameHolder holder;
  const Bytes wire = write_type4_cases()[0].wire;
  FrameCodec::decode(Direction::Write, wire.data(),
                     static_cast<uint32_t>(wire.size()), holder);
  EXPECT_EQ(holder.direction, 1u);
  std::array<uint8_t, FrameCodec::kMaxFrameLength> out{};
  uint32_t length = 99;
  FrameCodec::encode(holder, out.data(), length);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + length), wire);

  const Bytes read_wire = read_type1_cases()[0].wire;
  FrameCodec::decode(Direction::Read, read_wire.data(),
                     static_cast<uint32_t>(read_wire.size()), holder);
  EXPECT_EQ(holder.direction, 0u);
  FrameCodec::encode(holder, out.data(), length);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + length), read_wire);

  holder.direction = 2;  // neither direction: nothing to send
  FrameCodec::encode(holder, out.data(), length);
  EXPECT_EQ(length, 0u);
}

// ---- Fields that do not travel or that change on the way ---------------

TEST(FrameCodecFields, FixedFormCarriesFiveDataBytesAndNoValue) {
  for (uint8_t bit_count : {0, 3, 16, 41, 255}) {
    SCOPED_TRACE(int{bit_count});
    auto record = bus_write(0, 1, 0, bit_count, {1, 2, 3, 4, 5}, 0x12345678);
    const Bytes wire = encode_checked(record);
    EXPECT_EQ(wire, (Bytes{0x40, 0x10, bit_count, 1, 2, 3, 4, 5}));
    WriteFrameRecord decoded = sentinel_record<WriteFrameRecord>();
    FrameCodec::decode_write(wire.data(), 8, decoded);
    EXPECT_EQ(decoded.frame.value, 0u);
    EXPECT_EQ(decoded.frame.bit_count, bit_count);
  }
}

TEST(FrameCodecFields, FormatIsComparedAsAWholeByte) {
  // 0x15 is not the variable form, though its low nibble would read as 5.
  auto record = bus_write(0, 0, 0x15, 16, {1, 2, 3, 4, 5}, 9);
  EXPECT_EQ(encode_checked(record), (Bytes{0x40, 0x05, 0x10, 1, 2, 3, 4, 5}));
}

TEST(FrameCodecFields, ReservedAndPaddingBytesNeverTravel) {
  auto write = write_type4_cases()[0].record;
  std::memset(write.reserved1, 0x77, sizeof write.reserved1);
  write.reserved0[0] = write.reserved0[1] = 0x77;
  write.frame.reserved0 = 0x77;
  std::memset(write.frame.reserved1, 0x77, 3);
  EXPECT_EQ(encode_checked(write), write_type4_cases()[0].wire);

  // A type-4 read record carries nothing of the bus_event region.
  auto read = transmit_report(1, 3, 1, 5, 16, {0xFF, 0x05}, 0x0A0B0C0D);
  read.bus_event.value = 0xFFFFFFFF;
  std::memset(read.info0, 0x77, sizeof read.info0);
  EXPECT_EQ(encode_checked(read), read_type4_cases()[0].wire);
}

TEST(FrameCodecFields, HeaderCarriesOnlyTheLowBitsOfTypeAndSubType) {
  auto record = zero_record<WriteFrameRecord>(
      KOVRA62386_FRAME_INTERFACE_REQUEST, 0x0D);  // sub-type 5
  EXPECT_EQ(encode_checked(record), Bytes{0x35});
  // A header_flag of any non-zero value sets bit 3.
  auto event = bus_event(1, 0x80, 0, 0, 0, 0, {}, 0, {});
  EXPECT_EQ(encode_checked(event)[0], 0x19);
}

TEST(FrameCodecFields, HeaderByte0x1BIsType1WithFlagAndSubType3) {
  Bytes wire = {0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  auto record = sentinel_record<ReadFrameRecord>();
  FrameCodec::decode_read(wire.data(), 10, record);
  EXPECT_EQ(record.frame_type, KOVRA62386_FRAME_BUS_EVENT);
  EXPECT_EQ(record.bus_event.header_flag, 1);
  EXPECT_EQ(record.sub_type, KOVRA62386_BUS_EVENT_FRAMING_ERROR);
}

TEST(FrameCodecFields, SendTwiceNibbleIsSignExtended) {
  for (uint8_t nibble = 0; nibble < 16; ++nibble) {
    SCOPED_TRACE(int{nibble});
    const uint8_t expected =
        nibble < 8 ? nibble : static_cast<uint8_t>(0xF0 | nibble);

    Bytes write_wire = {
        0x40, static_cast<uint8_t>(nibble << 4 | 5), 8, 0xAB, 1, 2, 3, 4};
    WriteFrameRecord write = sentinel_record<WriteFrameRecord>();
    FrameCodec::decode_write(write_wire.data(), 8, write);
    EXPECT_EQ(write.frame.send_twice, expected);
    EXPECT_EQ(write.frame.format, 5);
    EXPECT_EQ(encode_checked(write), write_wire);  // the nibble goes back

    Bytes read_wire = {
        0x40, 0, static_cast<uint8_t>(nibble << 4 | 2), 8, 0xAB, 1, 2, 3, 4};
    ReadFrameRecord read = sentinel_record<ReadFrameRecord>();
    FrameCodec::decode_read(read_wire.data(), 9, read);
    EXPECT_EQ(read.transmit_report.frame.send_twice, expected);
    EXPECT_EQ(read.transmit_report.frame.format, 2);
    EXPECT_EQ(encode_checked(read), read_wire);
  }
}

TEST(FrameCodecFields, StatusHighNibbleIsIgnored) {
  Bytes wire = {0x40, 0xF3, 0x05, 0, 0, 0, 0, 0, 0};
  ReadFrameRecord record = sentinel_record<ReadFrameRecord>();
  FrameCodec::decode_read(wire.data(), 9, record);
  EXPECT_EQ(record.transmit_report.status, 3);
  record.transmit_report.status = 0xF3;
  EXPECT_EQ(encode_checked(record)[1], 0x03);
}

TEST(FrameCodecFields, DecodeZeroesEveryOtherRegion) {
  // Type 3 with a sub-type that carries nothing: the whole payload is zero.
  Bytes wire = {0x35, 1, 2, 3, 4, 5, 6, 7, 8};
  ReadFrameRecord record = sentinel_record<ReadFrameRecord>();
  FrameCodec::decode_read(wire.data(), 9, record);
  EXPECT_EQ(codec_bytes(record), codec_bytes(zero_record<ReadFrameRecord>(
                                     KOVRA62386_FRAME_INTERFACE_INFO, 5)));

  // Write type 3: the frame and the reserved bytes are zero.
  WriteFrameRecord write = sentinel_record<WriteFrameRecord>();
  FrameCodec::decode_write(wire.data(), 1, write);
  EXPECT_EQ(codec_bytes(write), codec_bytes(zero_record<WriteFrameRecord>(
                                    KOVRA62386_FRAME_INTERFACE_REQUEST, 5)));
}

TEST(FrameCodecFields, BytesPastTheLayoutAreIgnored) {
  Bytes wire = write_type4_cases()[0].wire;
  wire.resize(FrameCodec::kMaxFrameLength, 0x99);
  WriteFrameRecord record = sentinel_record<WriteFrameRecord>();
  FrameCodec::decode_write(wire.data(), FrameCodec::kMaxFrameLength, record);
  EXPECT_EQ(codec_bytes(record), codec_bytes(write_type4_cases()[0].record));
}

// ---- Clamps of the encoders ------------------------------------------------

TEST(FrameCodecClamp, ReadType1BitAndWordCounts) {
  auto record = bus_event(0, 0, 0, 0, 0, 50, {1, 2, 3, 4, 5}, 0, {});
  record.bus_event.word_count = 90;
  for (int i = 0; i < 83; ++i) record.bus_event.words[i] = 0x0101;
  const Bytes wire = encode_checked(record);
  ASSERT_EQ(wire.size(), 10u + 5 + 2 * 83);
  EXPECT_EQ(wire[4], 40);
  EXPECT_EQ(Bytes(wire.begin() + 5, wire.begin() + 10), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(wire[14], 83);
  EXPECT_EQ(wire.back(), 0x01);
  // What was sent decodes again, with the clamped counts.
  ReadFrameRecord decoded = sentinel_record<ReadFrameRecord>();
  FrameCodec::decode_read(wire.data(), static_cast<uint32_t>(wire.size()),
                          decoded);
  EXPECT_EQ(decoded.bus_event.bit_count, 40);
  EXPECT_EQ(decoded.bus_event.word_count, 83);
}

TEST(FrameCodecClamp, Type4BitCountInBothDirections) {
  for (uint8_t bit_count : {41, 48, 255}) {
    SCOPED_TRACE(int{bit_count});
    const Bytes write_wire =
        encode_checked(bus_write(0, 0, 5, bit_count, {1, 2, 3, 4, 5}, 0x99));
    EXPECT_EQ(write_wire,
              (Bytes{0x40, 0x05, 40, 1, 2, 3, 4, 5, 0x99, 0, 0, 0}));

    const Bytes read_wire = encode_checked(
        transmit_report(0, 0, 0, 5, bit_count, {1, 2, 3, 4, 5}, 0x99));
    EXPECT_EQ(read_wire,
              (Bytes{0x40, 0x00, 0x05, 40, 1, 2, 3, 4, 5, 0x99, 0, 0, 0}));
  }
}

TEST(FrameCodecClamp, UnhandledTypesEncodeToNothing) {
  for (uint8_t type : {0, 1, 2, 5, 0x13, 0x14, 0xF4}) {
    SCOPED_TRACE(int{type});
    EXPECT_TRUE(encode_checked(zero_record<WriteFrameRecord>(type, 0)).empty());
  }
  for (uint8_t type : {0, 2, 5, 0x11, 0xF1}) {
    SCOPED_TRACE(int{type});
    EXPECT_TRUE(encode_checked(zero_record<ReadFrameRecord>(type, 0)).empty());
  }
  for (uint8_t sub_type : {1, 2, 4, 5, 6, 7}) {
    SCOPED_TRACE(int{sub_type});
    EXPECT_TRUE(encode_checked(zero_record<ReadFrameRecord>(
                                   KOVRA62386_FRAME_INTERFACE_INFO, sub_type))
                    .empty());
  }
}

// ---- Length rules and refused frames ------------------------------------

TEST(FrameCodecLength, DataByteCount) {
  // The bit counts a frame carries and the data bytes the wire gives them:
  // whole bytes, the last one partly used.
  const std::pair<uint8_t, uint32_t> carried[] = {
      {0, 0},  {1, 1},  {7, 1},  {8, 1},  {9, 2},  {15, 2}, {16, 2},
      {17, 3}, {24, 3}, {25, 4}, {32, 4}, {33, 5}, {39, 5}, {40, 5},
  };
  for (auto [bits, bytes] : carried) {
    SCOPED_TRACE(int{bits});
    EXPECT_EQ(FrameCodec::data_byte_count(bits), static_cast<int32_t>(bytes));
    // Header, form, bit count, the data bytes, the 4-byte value.
    EXPECT_EQ(encode_checked(bus_write(0, 0, KOVRA62386_FORMAT_VARIABLE, bits,
                                       {1, 2, 3, 4, 5}, 0))
                  .size(),
              3 + bytes + 4);
  }
  // Any other count, negative ones included, gets the one whole number c
  // with 8c - 8 < bits <= 8c: the bytes rounded up.
  const int32_t others[] = {41,
                            255,
                            -1,
                            -7,
                            -8,
                            -9,
                            -16,
                            -17,
                            std::numeric_limits<int32_t>::max(),
                            std::numeric_limits<int32_t>::min()};
  for (const int32_t bits : others) {
    const int64_t c = FrameCodec::data_byte_count(bits);
    EXPECT_LT(8 * c - 8, bits) << bits;
    EXPECT_LE(bits, 8 * c) << bits;
  }
}

TEST(FrameCodecLength, RuleBounds) {
  EXPECT_EQ(FrameCodec::kMaxFrameLength, 182u);
  const std::tuple<Direction, uint32_t, bool> cases[] = {
      {Direction::Write, 0, false},
      {Direction::Write, 1, true},
      {Direction::Write, 182, true},
      {Direction::Write, 183, false},
      {Direction::Read, 0, false},
      {Direction::Read, 8, false},
      {Direction::Read, 9, true},
      {Direction::Read, 182, true},
      {Direction::Read, 183, false},
      {Direction::Read, 0xFFFFFFFF, false},
      {Direction::Write, 0xFFFFFFFF, false},
  };
  for (auto [direction, length, valid] : cases) {
    EXPECT_EQ(FrameCodec::frame_length_valid(direction, length), valid)
        << static_cast<int>(direction) << " " << length;
  }
}

// Decoding `wire` with `length` must throw "Invalid length" and leave the
// holder (flag and record) exactly as it was.
void expect_refused(Direction direction, const Bytes& wire, uint32_t length) {
  FrameHolder holder;
  std::memset(static_cast<void*>(&holder), kSentinel, sizeof holder);
  const Bytes before = bytes_of(holder);
  EXPECT_EQ(thrown([&] {
              FrameCodec::decode(direction, wire.data(), length, holder);
            }),
            kInvalidLength)
      << "length " << length;
  EXPECT_EQ(bytes_of(holder), before) << "length " << length;
}

TEST(FrameCodecLength, LengthOutsideTheRuleIsRefused) {
  const Bytes big(200, 0x35);  // valid type 3 in both directions
  expect_refused(Direction::Write, big, 0);
  expect_refused(Direction::Write, big, 183);
  expect_refused(Direction::Read, big, 8);
  expect_refused(Direction::Read, big, 183);
  expect_refused(Direction::Read, big, 0);
  // A null pointer is never read.
  expect_refused(Direction::Write, {}, 0);
  FrameHolder holder;
  EXPECT_EQ(
      thrown([&] { FrameCodec::decode(Direction::Read, nullptr, 20, holder); }),
      kInvalidLength);
}

TEST(FrameCodecLength, TruncatedFrameOfEveryLayoutIsRefused) {
  auto check = [](Direction direction, const auto& cases) {
    const uint32_t minimum = direction == Direction::Write ? 1 : 9;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      // The bytes beyond the given length are there but must not be used.
      Bytes wire = c.wire;
      wire.resize(FrameCodec::kMaxFrameLength + 1, 0xFF);
      for (uint32_t length = minimum; length < c.wire.size(); ++length) {
        expect_refused(direction, wire, length);
      }
    }
  };
  check(Direction::Write, write_type4_cases());
  check(Direction::Read, read_type1_cases());
  check(Direction::Read, read_type3_cases());
  check(Direction::Read, read_type4_cases());
  // Write type 4 too short to hold even its format byte.
  expect_refused(Direction::Write, {0x40, 0x05, 0x00}, 1);
  expect_refused(Direction::Write, {0x40, 0x05, 0x00}, 2);
}

TEST(FrameCodecLength, CountsBeyondTheRecordsRoomAreRefused) {
  // Each frame is long enough for its counts; the counts themselves exceed
  // what the record holds.
  Bytes wire(FrameCodec::kMaxFrameLength, 0);
  wire[0] = 0x10;
  wire[4] = 41;  // read type 1: 41 bits
  expect_refused(Direction::Read, wire, FrameCodec::kMaxFrameLength);

  wire[4] = 0;
  wire[9] = 84;  // read type 1: 84 words, 178 bytes
  expect_refused(Direction::Read, wire, FrameCodec::kMaxFrameLength);
  wire[9] = 83;
  ReadFrameRecord record;
  FrameCodec::decode_read(wire.data(), 176, record);  // exactly enough
  EXPECT_EQ(record.bus_event.word_count, 83);
  expect_refused(Direction::Read, wire, 175);

  Bytes report(FrameCodec::kMaxFrameLength, 0);
  report[0] = 0x40;
  report[3] = 41;  // read type 4: 41 bits
  expect_refused(Direction::Read, report, FrameCodec::kMaxFrameLength);

  Bytes write(FrameCodec::kMaxFrameLength, 0);
  write[0] = 0x40;
  write[1] = 0x05;
  write[2] = 41;  // write type 4, variable form: 41 bits
  expect_refused(Direction::Write, write, FrameCodec::kMaxFrameLength);
  write[2] = 255;
  expect_refused(Direction::Write, write, FrameCodec::kMaxFrameLength);
}

TEST(FrameCodecType, UnsupportedTypeLeavesHeaderAndZeroPayload) {
  struct Case {
    Direction direction;
    uint8_t byte0;
    uint8_t frame_type;
  };
  const Case cases[] = {
      {Direction::Write, 0x20, 2},   {Direction::Read, 0x22, 2},
      {Direction::Write, 0x11, 1},   {Direction::Read, 0x00, 0},
      {Direction::Read, 0x5F, 5},    {Direction::Write, 0x73, 7},
      {Direction::Read, 0x95, 0xF9}, {Direction::Write, 0xF4, 0xFF},
      {Direction::Read, 0x84, 0xF8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.byte0});
    Bytes wire(FrameCodec::kMaxFrameLength, 0xAB);
    wire[0] = c.byte0;
    FrameHolder holder;
    std::memset(static_cast<void*>(&holder), kSentinel, sizeof holder);
    const uint32_t length = c.direction == Direction::Write ? 1 : 9;
    EXPECT_EQ(thrown([&] {
                FrameCodec::decode(c.direction, wire.data(), length, holder);
              }),
              kUnsupported);
    EXPECT_EQ(holder.direction, static_cast<uint32_t>(c.direction));
    if (c.direction == Direction::Write) {
      EXPECT_EQ(codec_bytes(holder.write),
                codec_bytes(
                    zero_record<WriteFrameRecord>(c.frame_type, c.byte0 & 7)));
      EXPECT_EQ(holder.write.reserved0[0], kSentinel);
    } else {
      EXPECT_EQ(
          codec_bytes(holder.read),
          codec_bytes(zero_record<ReadFrameRecord>(c.frame_type, c.byte0 & 7)));
      EXPECT_EQ(holder.read.reserved0[1], kSentinel);
    }
  }
}

TEST(FrameCodecType, LengthIsCheckedBeforeType) {
  const Bytes wire(200, 0x20);
  expect_refused(Direction::Write, wire, 183);
  expect_refused(Direction::Read, wire, 8);
}

// ---- Round trips --------------------------------------------------------

TEST(FrameCodecRoundTrip, EveryCarriedFieldSurvives) {
  // Records built field by field, spread over the ranges the forms carry.
  for (uint8_t bit_count = 0; bit_count <= 40; ++bit_count) {
    SCOPED_TRACE(int{bit_count});
    const int data_count = FrameCodec::data_byte_count(bit_count);
    std::array<uint8_t, 5> data{};
    for (int i = 0; i < data_count; ++i) {
      data[i] = static_cast<uint8_t>(bit_count * 7 + i);
    }

    auto write = bus_write(bit_count % 8, bit_count % 8, 5, bit_count, data,
                           0x01000001u * bit_count);
    const Bytes write_wire = encode_checked(write);
    WriteFrameRecord write_back = sentinel_record<WriteFrameRecord>();
    FrameCodec::decode_write(write_wire.data(),
                             static_cast<uint32_t>(write_wire.size()),
                             write_back);
    EXPECT_EQ(codec_bytes(write_back), codec_bytes(write));

    std::vector<uint16_t> words(bit_count * 2);
    for (std::size_t i = 0; i < words.size(); ++i) {
      words[i] = static_cast<uint16_t>(i * 0x0301);
    }
    auto event = bus_event(bit_count % 8, bit_count & 1, bit_count, 0x55, 0xAA,
                           bit_count, data, ~0u - bit_count, words);
    const Bytes event_wire = encode_checked(event);
    ReadFrameRecord event_back = sentinel_record<ReadFrameRecord>();
    FrameCodec::decode_read(event_wire.data(),
                            static_cast<uint32_t>(event_wire.size()),
                            event_back);
    EXPECT_EQ(codec_bytes(event_back), codec_bytes(event));

    auto report = transmit_report(bit_count % 8, bit_count % 16, 1,
                                  bit_count % 16, bit_count, data, bit_count);
    const Bytes report_wire = encode_checked(report);
    if (report_wire.size() < 9) {
      // A type-4 report without data bytes is 8 bytes long, one short of
      // what the read direction accepts.
      EXPECT_EQ(bit_count, 0);
      continue;
    }
    ReadFrameRecord report_back = sentinel_record<ReadFrameRecord>();
    FrameCodec::decode_read(report_wire.data(),
                            static_cast<uint32_t>(report_wire.size()),
                            report_back);
    EXPECT_EQ(codec_bytes(report_back), codec_bytes(report));
  }
}

}  // namespace
}  // namespace kovra62386
