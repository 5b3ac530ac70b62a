// Kovra62386ConnectionBase: the abstract connection to the local server.
// Its connect_or_start runs the policy for reaching the server
// (client/launcher/server_start.h) with this connection's connect and starts.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/launcher/server_start.h"
#include "platform/platform.h"
#include "protocol/message.h"

namespace kovra62386 {

// What the communication object needs of a connection to the server.
class Kovra62386ConnectionBase {
 public:
  explicit Kovra62386ConnectionBase(platform::Platform& platform);
  virtual ~Kovra62386ConnectionBase();

  Kovra62386ConnectionBase(const Kovra62386ConnectionBase&) = delete;
  Kovra62386ConnectionBase& operator=(const Kovra62386ConnectionBase&) = delete;

  // Every queued incoming message, oldest first, without waiting.
  virtual std::vector<Message> receive_all();

  // Queues one complete message for sending; true when accepted.
  virtual bool send(const Message& message);

  // send() for a message the caller keeps in a buffer of its own: the
  // connection copies what it has to keep. By default through send().
  virtual bool send_bytes(std::span<const uint8_t> message);

  // Takes the oldest queued incoming message, waiting at most timeout_ms
  // (0 or less: look once). False when none came in time.
  virtual bool receive(Message& out, int32_t timeout_ms);

  // True once the connection is lost for good (the server closed it, a
  // receive or send failed). Queued messages can still be taken.
  virtual bool failed() const { return false; }

  virtual bool start_from_install_location();
  virtual bool start_from_process_directory();
  virtual bool start_server(const std::string& path);

  // Opens the connection and waits for the server's greeting.
  virtual bool connect() = 0;

  // Finds or starts the server and connects, inside the named start-up
  // mutex. True when a connection stands.
  bool connect_or_start();

  const std::string& host() const { return address_.host; }
  uint16_t port() const { return address_.port; }

 protected:
  platform::Platform& platform_;

 private:
  PublishedAddress address_;
};

}  // namespace kovra62386
