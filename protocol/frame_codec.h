// FrameCodec: the two frame records and their wire bytes.
//
// Pure functions over caller memory: no state, no allocation. Decoding
// validates every count it reads against the given length and the record's
// room before it copies anything, so a short or lying frame is refused
// without touching the record.
#pragma once

#include <cstdint>

#include "kovra62386/kovra62386.h"

namespace kovra62386 {

enum class Direction : uint32_t {
  Read = 0,   // frames the server reports (ReadFrameRecord)
  Write = 1,  // frames the library transmits (WriteFrameRecord)
};

// The codec's working object: a direction flag and the record of that
// direction.
struct FrameHolder {
  uint32_t direction = 0;  // 1 = write direction, 0 = read direction
  union {
    WriteFrameRecord write;
    ReadFrameRecord read;
  };
  FrameHolder() : read{} {}
};

class FrameCodec {
 public:
  static constexpr uint32_t kMaxFrameLength = 182;
  // Room for data bytes in a BusFrame / bus_event.
  static constexpr uint32_t kMaxBitCount = 40;
  static constexpr uint32_t kMaxWordCount = 83;

  // Bytes needed for `bits` bits, rounded up; for negative values the
  // truncating division by 8, plus one when the remainder is positive.
  static int32_t data_byte_count(int32_t bits) noexcept;

  // 1..182 in the write direction, 9..182 in the read direction.
  static bool frame_length_valid(Direction direction, uint32_t length) noexcept;

  // Fills holder's record of `direction` (and sets holder.direction).
  // Throws std::invalid_argument("Invalid length") when the length breaks
  // the rule of the direction or is too short for the frame's layout, or a
  // count exceeds the record's room (bit_count above 40 where it sizes the
  // data bytes, word_count above 83); the holder is then untouched. Throws
  // std::domain_error("Unsupported frame type.") for a type the direction
  // does not carry (record: header of the frame, zero payload). Bytes past
  // the frame's layout are ignored.
  static void decode(Direction direction, const uint8_t* bytes, uint32_t length,
                     FrameHolder& holder);

  // Writes the frame bytes of holder's record into out (at least
  // kMaxFrameLength bytes) and stores their number in length; length 0 for
  // a record whose type the direction does not handle (and read-direction
  // type 3 with a sub-type other than 0 and 3): nothing is to be sent then.
  // A bit_count above 40 that sizes the data bytes goes out as 40 with 5
  // data bytes, a word_count above 83 as 83. Never throws.
  static void encode(const FrameHolder& holder, uint8_t* out,
                     uint32_t& length) noexcept;

  // Direction-specific conveniences over decode/encode.
  static void decode_read(const uint8_t* bytes, uint32_t length,
                          ReadFrameRecord& record);
  static void decode_write(const uint8_t* bytes, uint32_t length,
                           WriteFrameRecord& record);
  // decode_read that reports failure instead of throwing and then leaves
  // `record` as it was; the fast path of reading a queued frame.
  static bool try_decode_read(const uint8_t* bytes, uint32_t length,
                              ReadFrameRecord& record) noexcept;
  static uint32_t encode_write(const WriteFrameRecord& record,
                               uint8_t* out) noexcept;
  static uint32_t encode_read(const ReadFrameRecord& record,
                              uint8_t* out) noexcept;
};

}  // namespace kovra62386
