// Kovra62386ConnectionBase: the abstract connection to the local server and
// the policy for reaching it (find the published address, connect, or start
// the server program and connect again), guarded by a named mutex that all
// client processes share.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "session/message.h"

namespace kovra62386 {

class Kovra62386ConnectionBase {
 public:
  explicit Kovra62386ConnectionBase(platform::Platform& platform);
  virtual ~Kovra62386ConnectionBase();

  Kovra62386ConnectionBase(const Kovra62386ConnectionBase&) = delete;
  Kovra62386ConnectionBase& operator=(const Kovra62386ConnectionBase&) = delete;

  // Reserved slot; no caller.
  virtual bool reserved_operation(uint32_t) { return false; }

  // Every queued incoming message, oldest first, without waiting.
  virtual std::vector<Message> receive_all();

  // Queues one complete message for sending; true when accepted.
  virtual bool send(const Message& message);

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

  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }

  // How long a started server gets to publish its address, and how often
  // the registry is polled meanwhile.
  static constexpr std::chrono::milliseconds publish_timeout{5000};
  static constexpr std::chrono::milliseconds publish_poll_interval{200};
  // Bound on waiting for another process's start-up sequence.
  static constexpr std::chrono::milliseconds start_mutex_timeout{30000};

 protected:
  platform::Platform& platform_;

 private:
  std::string host_;
  uint16_t port_ = 42000;
};

}  // namespace kovra62386
