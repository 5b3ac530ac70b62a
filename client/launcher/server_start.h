// Reaching the local server: use the address a running server published,
// or start the server program and wait for it to publish, all inside the
// start-up mutex that every client process shares. The connection supplies
// the connect attempt and the two ways of starting; this file owns the order
// in which they are tried and the bounds on every wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "kovra62386/kovra62386.h"
#include "platform/platform.h"

namespace kovra62386 {

// Where the server said it listens. Only whether a server has published is
// used: the connection always goes to 127.0.0.1 on KOVRA62386_SERVER_PORT.
struct PublishedAddress {
  std::string host = "localhost";
  uint16_t port = KOVRA62386_SERVER_PORT;
};

// How long a started server gets to publish its address, and how often the
// registry is polled meanwhile.
inline constexpr std::chrono::milliseconds kPublishTimeout{5000};
inline constexpr std::chrono::milliseconds kPublishPollInterval{200};
// Bound on waiting for another process's start-up sequence.
inline constexpr std::chrono::milliseconds kStartMutexTimeout{30000};

// The steps the sequence calls; each answers whether it succeeded.
struct ServerStartSteps {
  std::function<bool()> connect;
  std::function<bool()> start_from_install_location;
  std::function<bool()> start_from_process_directory;
};

// Resets `address`, then: connect when a server has published; otherwise
// start from "InstallLocation" (only when that fails, from the process's
// directory) and connect once more, whatever the starts answered. True when
// a connection stands. Exceptions of the steps pass through, the mutex is
// released on every way out.
bool connect_or_start(platform::Platform& platform,
                      const ServerStartSteps& steps, PublishedAddress& address);

// Launches the program at `path` and waits up to kPublishTimeout for it to
// publish its address (values left by a server that died do not count).
bool start_server(platform::Platform& platform, const std::string& path,
                  PublishedAddress& address);

}  // namespace kovra62386
