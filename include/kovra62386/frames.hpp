// frames.hpp - the write records of kovra62386.h built from DALI terms:
// addresses, commands, arc power levels, raw and 24-bit frames, priorities.
//
// Header-only C++17 over the C header's types alone: it calls no function
// of the library, so any C++ code may build its records with it.
// kovra62386.hpp includes it.
#ifndef KOVRA62386_FRAMES_HPP
#define KOVRA62386_FRAMES_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "kovra62386/kovra62386.h"

namespace kovra62386 {

// A DALI address as its forward-frame address byte: short 0AAAAAAS,
// group 100GGGGS, broadcast 1111111S; S is 1 for a command, 0 for a level.
class Address {
 public:
  static constexpr Address short_address(unsigned address) {
    if (address > 63) throw std::out_of_range("short address is 0-63");
    return Address(static_cast<std::uint8_t>(address << 1 | 1u));
  }
  static constexpr Address group(unsigned group) {
    if (group > 15) throw std::out_of_range("group is 0-15");
    return Address(static_cast<std::uint8_t>(0x80u | group << 1 | 1u));
  }
  static constexpr Address broadcast() { return Address(0xFF); }

  constexpr std::uint8_t command_byte() const { return byte_; }
  constexpr std::uint8_t arc_power_byte() const {
    return static_cast<std::uint8_t>(byte_ & 0xFEu);
  }

 private:
  constexpr explicit Address(std::uint8_t address_byte) : byte_(address_byte) {}
  std::uint8_t byte_;
};

namespace detail {

// The transmit record of `count` bytes (1-5, checked by the callers).
inline WriteFrameRecord transmit_record(const std::uint8_t* bytes,
                                        std::size_t count, bool send_twice) {
  WriteFrameRecord frame;
  std::memset(&frame, 0, sizeof frame);
  frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
  frame.sub_type = KOVRA62386_PRIORITY_DEFAULT;
  std::memcpy(frame.frame.data, bytes, count);
  frame.frame.bit_count = static_cast<std::uint8_t>(8 * count);
  frame.frame.format = KOVRA62386_FORMAT_VARIABLE;
  frame.frame.send_twice = send_twice ? 1 : 0;
  return frame;
}

}  // namespace detail

// A forward frame of whole bytes, first on the wire first, in the
// variable-length form: 2 bytes for control gear (IEC 62386-102), 3 for
// control devices (IEC 62386-103), at most 5; at the interface's default
// priority (see with_priority). Throws std::length_error for no bytes or
// more than 5.
inline WriteFrameRecord raw_frame(const std::vector<std::uint8_t>& bytes,
                                  bool send_twice = false) {
  if (bytes.empty() || bytes.size() > sizeof(BusFrame::data)) {
    throw std::length_error("a forward frame has 1-5 bytes");
  }
  return detail::transmit_record(bytes.data(), bytes.size(), send_twice);
}

// A 16-bit DALI forward frame in the variable-length form.
inline WriteFrameRecord forward_frame(std::uint8_t address_byte,
                                      std::uint8_t opcode,
                                      bool send_twice = false) {
  const std::uint8_t bytes[] = {address_byte, opcode};
  return detail::transmit_record(bytes, sizeof bytes, send_twice);
}

// A 24-bit forward frame to a control device (IEC 62386-103): the address
// byte, the instance byte, the opcode.
inline WriteFrameRecord device_frame(std::uint8_t address_byte,
                                     std::uint8_t instance_byte,
                                     std::uint8_t opcode,
                                     bool send_twice = false) {
  const std::uint8_t bytes[] = {address_byte, instance_byte, opcode};
  return detail::transmit_record(bytes, sizeof bytes, send_twice);
}

// The priority of a forward frame, the settling time the interface keeps
// before it (IEC 62386-101): p1 the shortest, p5 the longest.
enum class Priority : std::uint8_t {
  interface_default = KOVRA62386_PRIORITY_DEFAULT,
  p1 = KOVRA62386_PRIORITY_HIGHEST,
  p2,
  p3,
  p4,
  p5 = KOVRA62386_PRIORITY_LOWEST,
};

// The frame with another priority.
inline WriteFrameRecord with_priority(WriteFrameRecord frame,
                                      Priority priority) {
  frame.sub_type = static_cast<std::uint8_t>(priority);
  return frame;
}

// Asks the interface for its bus state: it answers with a bus event of
// sub_type KOVRA62386_BUS_EVENT_STATE (a Transceiver's
// KOVRA62386_EVENT_BUS_STATE; see Transceiver::query_bus_state).
inline WriteFrameRecord bus_state_request() {
  WriteFrameRecord request;
  std::memset(&request, 0, sizeof request);
  request.frame_type = KOVRA62386_FRAME_INTERFACE_REQUEST;
  request.sub_type = KOVRA62386_REQUEST_BUS_STATE;
  return request;
}

inline WriteFrameRecord command(Address address, std::uint8_t opcode,
                                bool send_twice = false) {
  return forward_frame(address.command_byte(), opcode, send_twice);
}

// DAPC: set the arc power level directly.
inline WriteFrameRecord arc_power(Address address, std::uint8_t level) {
  return forward_frame(address.arc_power_byte(), level);
}

}  // namespace kovra62386

#endif  // KOVRA62386_FRAMES_HPP
