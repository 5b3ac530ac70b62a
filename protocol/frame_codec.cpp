#include "protocol/frame_codec.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace kovra62386 {
namespace {

// First byte of the payload in both records: bytes 2-3 are the caller's.
constexpr std::size_t kPayloadOffset = 4;

constexpr uint8_t kVariableForm = KOVRA62386_FORMAT_VARIABLE;

// Wire sizes of the opaque type-3 blocks of the read direction.
constexpr uint32_t kInfo0Size = sizeof(ReadFrameRecord::info0);
constexpr uint32_t kInfo3Size = sizeof(ReadFrameRecord::info3);
constexpr uint32_t kWordSize = 2;

[[noreturn]] void throw_invalid_length() {
  throw std::invalid_argument("Invalid length");
}

[[noreturn]] void throw_unsupported_type() {
  throw std::domain_error("Unsupported frame type.");
}

// A nibble taken from the high half of a byte, sign-extended as the records
// carry it: 8-15 become 0xF8-0xFF.
uint8_t signed_high_nibble(uint8_t byte) {
  return static_cast<uint8_t>(static_cast<int8_t>(byte) >> 4);
}

uint8_t header_byte(uint8_t frame_type, uint8_t sub_type) {
  return static_cast<uint8_t>(((frame_type & 0x0F) << 4) | (sub_type & 0x07));
}

uint8_t nibbles(uint8_t high, uint8_t low) {
  return static_cast<uint8_t>(((high & 0x0F) << 4) | (low & 0x0F));
}

uint32_t read_u32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
         uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

void write_u32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

// Data bytes behind a bit count that the decoder accepts (at most 40).
uint32_t data_bytes(uint8_t bit_count) {
  return static_cast<uint32_t>(FrameCodec::data_byte_count(bit_count));
}

// The bit count an encoder sends: the record has room for 40 bits, so a
// larger count goes out as 40 with 5 data bytes and nothing past `data` is
// read.
uint8_t clamped_bit_count(uint8_t bit_count) {
  return bit_count > FrameCodec::kMaxBitCount
             ? static_cast<uint8_t>(FrameCodec::kMaxBitCount)
             : bit_count;
}

template <typename Record>
void zero_payload(Record& record) {
  std::memset(reinterpret_cast<uint8_t*>(&record) + kPayloadOffset, 0,
              sizeof(Record) - kPayloadOffset);
}

// Zeroes the payload and stores the header; every decode that gets past the
// length checks starts here.
template <typename Record>
void begin_record(Record& record, uint8_t frame_type, uint8_t byte0) {
  zero_payload(record);
  record.frame_type = frame_type;
  record.sub_type = byte0 & 0x07;
}

// ---- Write direction ---------------------------------------------------

void decode_write_record(const uint8_t* bytes, uint32_t length,
                         WriteFrameRecord& record) {
  if (bytes == nullptr ||
      !FrameCodec::frame_length_valid(Direction::Write, length)) {
    throw_invalid_length();
  }
  const uint8_t frame_type = signed_high_nibble(bytes[0]);
  switch (frame_type) {
    case KOVRA62386_FRAME_INTERFACE_REQUEST:
      begin_record(record, frame_type, bytes[0]);
      return;
    case KOVRA62386_FRAME_TRANSMIT: {
      // Every check comes before the first write, so a refused frame
      // leaves the record as it was.
      if (length < 3) throw_invalid_length();
      const uint8_t format = bytes[1] & 0x0F;
      const uint8_t bit_count = bytes[2];
      uint32_t data_count = sizeof(BusFrame::data);
      if (format == kVariableForm) {
        if (bit_count > FrameCodec::kMaxBitCount) throw_invalid_length();
        data_count = data_bytes(bit_count);
        if (length < 7 + data_count) throw_invalid_length();
      } else if (length < 3 + data_count) {
        throw_invalid_length();
      }
      begin_record(record, frame_type, bytes[0]);
      BusFrame& frame = record.frame;
      frame.send_twice = signed_high_nibble(bytes[1]);
      frame.format = format;
      frame.bit_count = bit_count;
      std::memcpy(frame.data, bytes + 3, data_count);
      if (format == kVariableForm)
        frame.value = read_u32(bytes + 3 + data_count);
      return;
    }
    default:
      begin_record(record, frame_type, bytes[0]);
      throw_unsupported_type();
  }
}

uint32_t encode_write_record(const WriteFrameRecord& record, uint8_t* out) {
  const BusFrame& frame = record.frame;
  switch (record.frame_type) {
    case KOVRA62386_FRAME_INTERFACE_REQUEST:
      out[0] = header_byte(record.frame_type, record.sub_type);
      return 1;
    case KOVRA62386_FRAME_TRANSMIT: {
      out[0] = header_byte(record.frame_type, record.sub_type);
      out[1] = nibbles(frame.send_twice, frame.format);
      if (frame.format == kVariableForm) {
        const uint8_t bit_count = clamped_bit_count(frame.bit_count);
        const uint32_t data_count = data_bytes(bit_count);
        out[2] = bit_count;
        std::memcpy(out + 3, frame.data, data_count);
        write_u32(out + 3 + data_count, frame.value);
        return 7 + data_count;
      }
      // The fixed form always carries the 5 data bytes; the bit count
      // travels as it is.
      out[2] = frame.bit_count;
      std::memcpy(out + 3, frame.data, sizeof(frame.data));
      return 3 + sizeof(frame.data);
    }
    default:
      return 0;
  }
}

// ---- Read direction ----------------------------------------------------

void decode_bus_event(const uint8_t* bytes, uint32_t length,
                      ReadFrameRecord& record) {
  const uint8_t bit_count = bytes[4];
  if (bit_count > FrameCodec::kMaxBitCount) throw_invalid_length();
  const uint32_t data_count = data_bytes(bit_count);
  // The count byte sits at 9 + L.
  if (length < 10 + data_count) throw_invalid_length();
  const uint8_t word_count = bytes[9 + data_count];
  if (word_count > FrameCodec::kMaxWordCount) throw_invalid_length();
  if (length < 10 + data_count + kWordSize * word_count) {
    throw_invalid_length();
  }

  begin_record(record, KOVRA62386_FRAME_BUS_EVENT, bytes[0]);
  BusEvent& event = record.bus_event;
  event.header_flag = (bytes[0] >> 3) & 0x01;
  event.event_flags = bytes[1];
  event.aux_a = bytes[2];
  event.aux_b = bytes[3];
  event.bit_count = bit_count;
  std::memcpy(event.data, bytes + 5, data_count);
  event.value = read_u32(bytes + 5 + data_count);
  event.word_count = word_count;
  const uint8_t* words = bytes + 10 + data_count;
  for (uint32_t i = 0; i < word_count; ++i) {
    event.words[i] = static_cast<uint16_t>(words[kWordSize * i] |
                                           words[kWordSize * i + 1] << 8);
  }
}

void decode_transmit_report(const uint8_t* bytes, uint32_t length,
                            ReadFrameRecord& record) {
  const uint8_t bit_count = bytes[3];
  if (bit_count > FrameCodec::kMaxBitCount) throw_invalid_length();
  const uint32_t data_count = data_bytes(bit_count);
  if (length < 8 + data_count) throw_invalid_length();

  begin_record(record, KOVRA62386_FRAME_TRANSMIT_REPORT, bytes[0]);
  TransmitReport& report = record.transmit_report;
  report.status = bytes[1] & 0x0F;
  BusFrame& frame = report.frame;
  frame.format = bytes[2] & 0x0F;
  frame.send_twice = signed_high_nibble(bytes[2]);
  frame.bit_count = bit_count;
  std::memcpy(frame.data, bytes + 4, data_count);
  frame.value = read_u32(bytes + 4 + data_count);
}

void decode_info(const uint8_t* bytes, uint32_t length,
                 ReadFrameRecord& record) {
  const uint8_t sub_type = bytes[0] & 0x07;
  if (sub_type == KOVRA62386_INFO_BLOCK0 && length < 1 + kInfo0Size)
    throw_invalid_length();
  if (sub_type == KOVRA62386_INFO_BLOCK3 && length < 1 + kInfo3Size)
    throw_invalid_length();

  begin_record(record, KOVRA62386_FRAME_INTERFACE_INFO, bytes[0]);
  if (sub_type == KOVRA62386_INFO_BLOCK0)
    std::memcpy(record.info0, bytes + 1, kInfo0Size);
  if (sub_type == KOVRA62386_INFO_BLOCK3)
    std::memcpy(record.info3, bytes + 1, kInfo3Size);
}

void decode_read_record(const uint8_t* bytes, uint32_t length,
                        ReadFrameRecord& record) {
  if (bytes == nullptr ||
      !FrameCodec::frame_length_valid(Direction::Read, length)) {
    throw_invalid_length();
  }
  // From here on at least 9 bytes are present.
  const uint8_t frame_type = signed_high_nibble(bytes[0]);
  switch (frame_type) {
    case KOVRA62386_FRAME_BUS_EVENT:
      decode_bus_event(bytes, length, record);
      return;
    case KOVRA62386_FRAME_INTERFACE_INFO:
      decode_info(bytes, length, record);
      return;
    case KOVRA62386_FRAME_TRANSMIT_REPORT:
      decode_transmit_report(bytes, length, record);
      return;
    default:
      begin_record(record, frame_type, bytes[0]);
      throw_unsupported_type();
  }
}

uint32_t encode_bus_event(const ReadFrameRecord& record, uint8_t* out) {
  const BusEvent& event = record.bus_event;
  out[0] =
      static_cast<uint8_t>(header_byte(record.frame_type, record.sub_type) |
                           (event.header_flag != 0 ? 0x08 : 0x00));
  out[1] = event.event_flags;
  out[2] = event.aux_a;
  out[3] = event.aux_b;
  const uint8_t bit_count = clamped_bit_count(event.bit_count);
  const uint32_t data_count = data_bytes(bit_count);
  out[4] = bit_count;
  std::memcpy(out + 5, event.data, data_count);
  write_u32(out + 5 + data_count, event.value);
  const uint32_t word_count = event.word_count > FrameCodec::kMaxWordCount
                                  ? FrameCodec::kMaxWordCount
                                  : uint32_t{event.word_count};
  out[9 + data_count] = static_cast<uint8_t>(word_count);
  uint8_t* words = out + 10 + data_count;
  for (uint32_t i = 0; i < word_count; ++i) {
    words[kWordSize * i] = static_cast<uint8_t>(event.words[i]);
    words[kWordSize * i + 1] = static_cast<uint8_t>(event.words[i] >> 8);
  }
  return 10 + data_count + kWordSize * word_count;
}

uint32_t encode_transmit_report(const ReadFrameRecord& record, uint8_t* out) {
  const TransmitReport& report = record.transmit_report;
  const BusFrame& frame = report.frame;
  out[0] = header_byte(record.frame_type, record.sub_type);
  out[1] = report.status & 0x0F;
  out[2] = nibbles(frame.send_twice, frame.format);
  const uint8_t bit_count = clamped_bit_count(frame.bit_count);
  const uint32_t data_count = data_bytes(bit_count);
  out[3] = bit_count;
  std::memcpy(out + 4, frame.data, data_count);
  write_u32(out + 4 + data_count, frame.value);
  return 8 + data_count;
}

uint32_t encode_read_record(const ReadFrameRecord& record, uint8_t* out) {
  switch (record.frame_type) {
    case KOVRA62386_FRAME_BUS_EVENT:
      return encode_bus_event(record, out);
    case KOVRA62386_FRAME_INTERFACE_INFO:
      // The layout follows the sub-type as it travels (its low 3 bits).
      switch (record.sub_type & 0x07) {
        case KOVRA62386_INFO_BLOCK0:
          out[0] = header_byte(record.frame_type, record.sub_type);
          std::memcpy(out + 1, record.info0, kInfo0Size);
          return 1 + kInfo0Size;
        case KOVRA62386_INFO_BLOCK3:
          out[0] = header_byte(record.frame_type, record.sub_type);
          std::memcpy(out + 1, record.info3, kInfo3Size);
          return 1 + kInfo3Size;
        default:
          return 0;
      }
    case KOVRA62386_FRAME_TRANSMIT_REPORT:
      return encode_transmit_report(record, out);
    default:
      return 0;
  }
}

}  // namespace

int32_t FrameCodec::data_byte_count(int32_t bits) noexcept {
  return bits / 8 + (bits % 8 > 0 ? 1 : 0);
}

bool FrameCodec::frame_length_valid(Direction direction,
                                    uint32_t length) noexcept {
  const uint32_t minimum = direction == Direction::Write ? 1 : 9;
  return length >= minimum && length <= kMaxFrameLength;
}

void FrameCodec::decode(Direction direction, const uint8_t* bytes,
                        uint32_t length, FrameHolder& holder) {
  // The direction flag changes only together with the record: a refused
  // length leaves the whole holder as it was.
  if (direction == Direction::Write) {
    try {
      decode_write_record(bytes, length, holder.write);
    } catch (const std::domain_error&) {
      holder.direction = static_cast<uint32_t>(Direction::Write);
      throw;
    }
    holder.direction = static_cast<uint32_t>(Direction::Write);
  } else {
    try {
      decode_read_record(bytes, length, holder.read);
    } catch (const std::domain_error&) {
      holder.direction = static_cast<uint32_t>(Direction::Read);
      throw;
    }
    holder.direction = static_cast<uint32_t>(Direction::Read);
  }
}

void FrameCodec::encode(const FrameHolder& holder, uint8_t* out,
                        uint32_t& length) noexcept {
  switch (holder.direction) {
    case static_cast<uint32_t>(Direction::Write):
      length = encode_write_record(holder.write, out);
      return;
    case static_cast<uint32_t>(Direction::Read):
      length = encode_read_record(holder.read, out);
      return;
    default:
      length = 0;
      return;
  }
}

void FrameCodec::decode_read(const uint8_t* bytes, uint32_t length,
                             ReadFrameRecord& record) {
  decode_read_record(bytes, length, record);
}

bool FrameCodec::try_decode_read(const uint8_t* bytes, uint32_t length,
                                 ReadFrameRecord& record) noexcept {
  if (bytes == nullptr || !frame_length_valid(Direction::Read, length)) {
    return false;
  }
  // An unsupported type would leave its header in the record: refused
  // before decoding. The other refusals come before anything is written.
  switch (signed_high_nibble(bytes[0])) {
    case KOVRA62386_FRAME_BUS_EVENT:
    case KOVRA62386_FRAME_INTERFACE_INFO:
    case KOVRA62386_FRAME_TRANSMIT_REPORT:
      break;
    default:
      return false;
  }
  try {
    decode_read_record(bytes, length, record);
  } catch (...) {
    return false;
  }
  return true;
}

void FrameCodec::decode_write(const uint8_t* bytes, uint32_t length,
                              WriteFrameRecord& record) {
  decode_write_record(bytes, length, record);
}

uint32_t FrameCodec::encode_write(const WriteFrameRecord& record,
                                  uint8_t* out) noexcept {
  return encode_write_record(record, out);
}

uint32_t FrameCodec::encode_read(const ReadFrameRecord& record,
                                 uint8_t* out) noexcept {
  return encode_read_record(record, out);
}

}  // namespace kovra62386
