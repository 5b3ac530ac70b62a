#include "protocol/message.h"

#include <algorithm>
#include <array>

#include "protocol/frame_codec.h"

namespace kovra62386 {
namespace {

// Largest payload a length byte can announce.
constexpr std::size_t kMaxPayload = 255;

uint8_t type_byte(MessageType type) { return static_cast<uint8_t>(type); }

Message make_index_message(MessageType type, uint8_t index) {
  return Message{type_byte(type), 1, index};
}

// Type, length, index, then the frame that encode() wrote from byte 3.
// Returns the message's size; 0 when encode() reported no bytes.
template <typename Encode>
std::size_t encode_frame_message(MessageType type, uint8_t index,
                                 std::span<uint8_t, kTransmitBufferSize> out,
                                 Encode encode) {
  const uint32_t frame_length = encode(out.data() + 3);
  if (frame_length == 0) return 0;
  out[0] = type_byte(type);
  out[1] = static_cast<uint8_t>(frame_length + 1);
  out[2] = index;
  return 3 + frame_length;
}

// Only the bytes that encode() reported leave the buffer.
template <typename Encode>
Message make_frame_message(MessageType type, uint8_t index, Encode encode) {
  std::array<uint8_t, kTransmitBufferSize> buffer{};
  const std::size_t size = encode_frame_message(type, index, buffer, encode);
  return Message(buffer.begin(), buffer.begin() + size);
}

}  // namespace

static_assert(kTransmitBufferSize == FrameCodec::kMaxFrameLength + 3);

Message make_enumerate_request() {
  return Message{type_byte(MessageType::EnumerateRequest), 0};
}

Message make_open_request(uint8_t index) {
  return make_index_message(MessageType::OpenRequest, index);
}

Message make_close_request(uint8_t index) {
  return make_index_message(MessageType::CloseRequest, index);
}

Message make_transmit_frame(uint8_t index, const WriteFrameRecord& record) {
  std::array<uint8_t, kTransmitBufferSize> buffer{};
  const std::size_t size = encode_transmit_frame(index, record, buffer);
  return Message(buffer.begin(), buffer.begin() + size);
}

std::size_t encode_transmit_frame(uint8_t index, const WriteFrameRecord& record,
                                  std::span<uint8_t, kTransmitBufferSize> out) {
  return encode_frame_message(MessageType::TransmitFrame, index, out,
                              [&record](uint8_t* bytes) {
                                return FrameCodec::encode_write(record, bytes);
                              });
}

Message make_text_message(MessageType type, std::string_view text) {
  // A text longer than a length byte can announce is cut.
  const std::size_t n = std::min(text.size(), kMaxPayload);
  Message message;
  message.reserve(2 + n);
  message.push_back(type_byte(type));
  message.push_back(static_cast<uint8_t>(n));
  message.insert(message.end(), text.begin(), text.begin() + n);
  return message;
}

Message make_interface_entry(uint8_t index, uint8_t attribute,
                             std::string_view name) {
  const std::size_t name_length = std::min(name.size(), kMaxPayload - 2);
  Message message;
  message.reserve(4 + name_length);
  message.push_back(type_byte(MessageType::InterfaceEntry));
  message.push_back(static_cast<uint8_t>(2 + name_length));
  message.push_back(index);
  message.push_back(attribute);
  message.insert(message.end(), name.begin(), name.begin() + name_length);
  return message;
}

Message make_interface_list_end() {
  return Message{type_byte(MessageType::InterfaceListEnd), 0};
}

Message make_device_closed(uint8_t index) {
  return make_index_message(MessageType::DeviceClosed, index);
}

Message make_received_frame(uint8_t index, const ReadFrameRecord& record) {
  return make_frame_message(
      MessageType::ReceivedFrame, index,
      [&record](uint8_t* out) { return FrameCodec::encode_read(record, out); });
}

bool MessageView::complete() const noexcept {
  return bytes_.size() >= 2 && bytes_.size() - 2 >= bytes_[1];
}

uint8_t MessageView::type() const noexcept {
  return bytes_.empty() ? 0 : bytes_[0];
}

uint8_t MessageView::length() const noexcept {
  return bytes_.size() < 2 ? 0 : bytes_[1];
}

std::span<const uint8_t> MessageView::payload() const noexcept {
  if (bytes_.size() < 2) return {};
  return bytes_.subspan(2, std::min<std::size_t>(bytes_[1], bytes_.size() - 2));
}

bool MessageView::index(uint8_t& out) const noexcept {
  const std::span<const uint8_t> bytes = payload();
  if (bytes.empty()) return false;
  out = bytes[0];
  return true;
}

std::span<const uint8_t> MessageView::frame() const noexcept {
  if (!complete() || bytes_[1] == 0) return {};
  return bytes_.subspan(3, bytes_[1] - 1u);
}

}  // namespace kovra62386
