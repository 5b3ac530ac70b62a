// Messages exchanged with the local server: type byte, length byte N, N
// payload bytes. Builders for every message either side sends, and a
// read-only view that never reads past the message's own length byte nor
// past the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "kovra62386/kovra62386.h"

namespace kovra62386 {

using Message = std::vector<uint8_t>;

enum class MessageType : uint8_t {
  ServerText = 0x01,
  Greeting = 0x02,
  EnumerateRequest = 0x05,
  InterfaceEntry = 0x06,
  InterfaceListEnd = 0x07,
  OpenRequest = 0x0A,
  CloseRequest = 0x0C,
  DeviceClosed = 0x0D,
  TransmitFrame = 0x14,
  ReceivedFrame = 0x15,
};

// The largest message on the wire: type, length 255, 255 payload bytes.
inline constexpr std::size_t kMaxMessageSize = 257;
// A TransmitFrame is built in a buffer of this size; only L + 3 bytes go out.
inline constexpr std::size_t kTransmitBufferSize = 185;

// Library to server.
Message make_enumerate_request();
Message make_open_request(uint8_t index);
Message make_close_request(uint8_t index);
// Empty when the record encodes to no bytes (a type the write direction
// does not carry): nothing is to be sent then.
Message make_transmit_frame(uint8_t index, const WriteFrameRecord& record);
// The same TransmitFrame built in place, for a sender that keeps no copy:
// returns its size (at most kTransmitBufferSize), 0 when it encodes to no
// bytes.
std::size_t encode_transmit_frame(uint8_t index, const WriteFrameRecord& record,
                                  std::span<uint8_t, kTransmitBufferSize> out);

// Server to library (used by the stand-in server and by tests).
Message make_text_message(MessageType type, std::string_view text);
Message make_interface_entry(uint8_t index, uint8_t attribute,
                             std::string_view name);
Message make_interface_list_end();
Message make_device_closed(uint8_t index);
// Empty when the record encodes to no bytes.
Message make_received_frame(uint8_t index, const ReadFrameRecord& record);

// A view over bytes that begin with one message.
class MessageView {
 public:
  explicit MessageView(std::span<const uint8_t> bytes) noexcept
      : bytes_(bytes) {}

  // True when the bytes hold the type, the length byte and all N payload
  // bytes. Every accessor below is safe on an incomplete message: it
  // answers only from bytes that are there.
  bool complete() const noexcept;
  uint8_t type() const noexcept;    // 0 when empty
  uint8_t length() const noexcept;  // N, 0 when absent
  // The payload bytes that are present, at most N.
  std::span<const uint8_t> payload() const noexcept;
  // Byte 2 (the interface index) when present.
  bool index(uint8_t& out) const noexcept;
  // The frame bytes of a TransmitFrame/ReceivedFrame: N - 1 bytes from
  // byte 3; empty when the message is incomplete or N is 0.
  std::span<const uint8_t> frame() const noexcept;

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace kovra62386
