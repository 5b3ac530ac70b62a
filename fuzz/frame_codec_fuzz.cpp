// Decodes untrusted frame bytes in either direction (input byte 0, bit 0:
// 1 = write direction) and checks what the codec promises: a refused frame
// leaves the holder alone, an accepted one encodes back to the same bytes
// and decodes again to the same record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "fuzz/fuzz_check.h"
#include "protocol/frame_codec.h"

using kovra62386::Direction;
using kovra62386::FrameCodec;
using kovra62386::FrameHolder;

namespace {

constexpr uint8_t kHolderFill = 0xA5;

void fill(FrameHolder& holder, uint8_t byte) {
  std::memset(static_cast<void*>(&holder), byte, sizeof holder);
}

const uint8_t* record_bytes(const FrameHolder& holder) {
  return holder.direction == 1 ? reinterpret_cast<const uint8_t*>(&holder.write)
                               : reinterpret_cast<const uint8_t*>(&holder.read);
}

std::size_t record_size(Direction direction) {
  return direction == Direction::Write ? sizeof(WriteFrameRecord)
                                       : sizeof(ReadFrameRecord);
}

// Same record, ignoring the caller's bytes 2-3 that the codec never writes.
bool same_record(const FrameHolder& a, const FrameHolder& b,
                 Direction direction) {
  const uint8_t* x = record_bytes(a);
  const uint8_t* y = record_bytes(b);
  return a.direction == b.direction && std::memcmp(x, y, 2) == 0 &&
         std::memcmp(x + 4, y + 4, record_size(direction) - 4) == 0;
}

bool type_accepted(Direction direction, uint8_t frame_type) {
  if (direction == Direction::Write) {
    return frame_type == KOVRA62386_FRAME_INTERFACE_REQUEST ||
           frame_type == KOVRA62386_FRAME_TRANSMIT;
  }
  return frame_type == KOVRA62386_FRAME_BUS_EVENT ||
         frame_type == KOVRA62386_FRAME_INTERFACE_INFO ||
         frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT;
}

void check_data_byte_count(const uint8_t* data, std::size_t size) {
  if (size < 4) return;
  int32_t bits = 0;
  std::memcpy(&bits, data, 4);
  // The bytes rounded up: the one whole number c with 8c - 8 < bits <= 8c.
  const int64_t c = FrameCodec::data_byte_count(bits);
  FUZZ_CHECK(8 * c - 8 < bits && bits <= 8 * c);
}

// Encodes the holder and checks that nothing past the reported length was
// written; returns the length.
uint32_t encode_checked(const FrameHolder& holder, uint8_t* out,
                        std::size_t out_size) {
  std::memset(out, 0xEE, out_size);
  uint32_t length = 0xFFFFFFFF;
  FrameCodec::encode(holder, out, length);
  FUZZ_CHECK(length <= FrameCodec::kMaxFrameLength);
  for (std::size_t i = length; i < out_size; ++i) FUZZ_CHECK(out[i] == 0xEE);
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  check_data_byte_count(data + 1, size - 1);
  const Direction direction =
      (data[0] & 1) != 0 ? Direction::Write : Direction::Read;
  const uint8_t* frame = data + 1;
  if (size - 1 > 4096) return 0;
  const auto length = static_cast<uint32_t>(size - 1);

  FrameHolder holder;
  fill(holder, kHolderFill);
  FrameHolder before;
  std::memcpy(static_cast<void*>(&before), &holder, sizeof holder);
  try {
    FrameCodec::decode(direction, frame, length, holder);
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(std::strcmp(e.what(), "Invalid length") == 0);
    FUZZ_CHECK(std::memcmp(&holder, &before, sizeof holder) == 0);
    return 0;
  } catch (const std::domain_error& e) {
    FUZZ_CHECK(std::strcmp(e.what(), "Unsupported frame type.") == 0);
    FUZZ_CHECK(FrameCodec::frame_length_valid(direction, length));
    FUZZ_CHECK(holder.direction == static_cast<uint32_t>(direction));
    const uint8_t* record = record_bytes(holder);
    FUZZ_CHECK(!type_accepted(direction, record[0]));
    FUZZ_CHECK(record[0] ==
               static_cast<uint8_t>(static_cast<int8_t>(frame[0]) >> 4));
    FUZZ_CHECK(record[1] == (frame[0] & 7));
    FUZZ_CHECK(record[2] == kHolderFill && record[3] == kHolderFill);
    for (std::size_t i = 4; i < record_size(direction); ++i) {
      FUZZ_CHECK(record[i] == 0);
    }
    return 0;
  }

  FUZZ_CHECK(FrameCodec::frame_length_valid(direction, length));
  FUZZ_CHECK(holder.direction == static_cast<uint32_t>(direction));
  const uint8_t* record = record_bytes(holder);
  const uint8_t frame_type = record[0];
  FUZZ_CHECK(type_accepted(direction, frame_type));
  FUZZ_CHECK(record[2] == kHolderFill && record[3] == kHolderFill);
  if (direction == Direction::Read) {
    FUZZ_CHECK(holder.read.bus_event.bit_count <= FrameCodec::kMaxBitCount);
    FUZZ_CHECK(holder.read.bus_event.word_count <= FrameCodec::kMaxWordCount);
    FUZZ_CHECK(holder.read.transmit_report.frame.bit_count <=
               FrameCodec::kMaxBitCount);
  }

  uint8_t out[FrameCodec::kMaxFrameLength + 16];
  const uint32_t encoded = encode_checked(holder, out, sizeof out);
  if (encoded == 0) {
    // Only the read-direction type-3 frames without a payload block have
    // no encoding.
    FUZZ_CHECK(direction == Direction::Read &&
               frame_type == KOVRA62386_FRAME_INTERFACE_INFO &&
               record[1] != KOVRA62386_INFO_BLOCK0 &&
               record[1] != KOVRA62386_INFO_BLOCK3);
    return 0;
  }
  // The encoding is the frame's own layout: never longer than the accepted
  // input, and byte for byte its beginning, except for the bits the record
  // does not keep (header bit 3 outside read-direction type 1, the high
  // nibble of a read-direction status).
  FUZZ_CHECK(encoded <= length);
  for (uint32_t i = 0; i < encoded; ++i) {
    uint8_t expected = frame[i];
    // Bit 3 of the header is the read-direction type-1 header_flag;
    // every other frame drops it.
    if (i == 0 && !(direction == Direction::Read &&
                    frame_type == KOVRA62386_FRAME_BUS_EVENT)) {
      expected &= 0xF7;
    }
    if (direction == Direction::Read &&
        frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT && i == 1) {
      expected &= 0x0F;
    }
    FUZZ_CHECK(out[i] == expected);
  }
  if (!FrameCodec::frame_length_valid(direction, encoded)) {
    // A read-direction type-4 report without data bytes is 8 bytes long,
    // one short of what the read direction accepts.
    FUZZ_CHECK(direction == Direction::Read &&
               frame_type == KOVRA62386_FRAME_TRANSMIT_REPORT &&
               holder.read.transmit_report.frame.bit_count == 0 &&
               encoded == 8);
    return 0;
  }

  // Decode the encoding again from an exact-size block.
  auto copy = std::make_unique<uint8_t[]>(encoded);
  std::memcpy(copy.get(), out, encoded);
  FrameHolder again;
  fill(again, 0x5A);
  FrameCodec::decode(direction, copy.get(), encoded, again);
  FUZZ_CHECK(same_record(holder, again, direction));
  uint8_t out_again[FrameCodec::kMaxFrameLength + 16];
  FUZZ_CHECK(encode_checked(again, out_again, sizeof out_again) == encoded);
  FUZZ_CHECK(std::memcmp(out, out_again, encoded) == 0);
  return 0;
}
