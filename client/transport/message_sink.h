// MessageSink: takes each complete message as the connection's I/O thread
// cuts it from the stream, so received messages never wait in a queue of
// the connection's own. The sink files them where they belong.
#pragma once

#include <cstdint>
#include <span>

namespace kovra62386 {

class MessageSink {
 public:
  // Called on the I/O thread, in stream order, with exactly the message's
  // N + 2 bytes, valid for the call only. Called with no lock of the
  // connection held; it may wait briefly, never for the I/O thread itself.
  virtual void accept(std::span<const uint8_t> message) = 0;

  // Every message of one read from the socket was accepted: the sink may
  // wake its readers once for the lot rather than once per message.
  virtual void flush() {}

  // The link is lost for good; every message received before was accepted.
  // Any thread, no lock of the connection held; may be called more than
  // once. Not called by terminate: its caller knows.
  virtual void link_lost() noexcept {}

 protected:
  ~MessageSink() = default;
};

}  // namespace kovra62386
