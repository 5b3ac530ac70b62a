// MyCommunication: the communication object the library creates, owning
// its TCP connection to the local server. The connection's I/O thread
// hands it every message as it arrives.
#pragma once

#include <cstdint>

#include "client/session/communication.h"
#include "client/transport/arrival_signal.h"
#include "client/transport/asio_connection.h"
#include "client/transport/message_sink.h"
#include "platform/platform.h"

namespace kovra62386 {

// The communication object the library makes, with its own TCP connection.
class MyCommunication : public Kovra62386Communication, private MessageSink {
 public:
  // The base part comes first and the connection member after it; the
  // connection is attached to the base once it exists.
  explicit MyCommunication(
      platform::Platform& platform = platform::system_platform(),
      uint16_t port = KOVRA62386_SERVER_PORT,
      ArrivalSignal& arrivals = ArrivalSignal::global(),
      Kovra62386AsioConnection::Timing timing = {});
  // Terminates, then the connection goes, then the base part with the
  // devices and their frames.
  ~MyCommunication() override;

  // Starts the connection: finds or starts the server and connects. False
  // also when the link was lost before this returns (the server greeted
  // and closed). May throw (resolver, thread creation).
  bool initialize();
  // Stops the connection's threads and closes its socket; a second call
  // does nothing.
  void terminate();

  Kovra62386AsioConnection& connection() { return connection_; }

 private:
  void accept(std::span<const uint8_t> message) override;
  void flush() override;
  void link_lost() noexcept override;

  Kovra62386AsioConnection connection_;
};

}  // namespace kovra62386
