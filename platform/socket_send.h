// Sending on a connected socket from a thread other than the one that runs
// its asynchronous operations. A Boost.Asio socket object is not safe for
// concurrent use, so the caller sends on the native handle: what the
// socket takes at once, never waiting and never raising SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kovra62386::platform {

#if defined(_WIN32)
using NativeSocket = std::uintptr_t;  // SOCKET
#else
using NativeSocket = int;
#endif

struct SendNow {
  std::size_t sent = 0;  // bytes the socket took, from the front
  bool failed = false;   // the connection is broken
};

// Sends as much of `bytes` as the socket takes without waiting. A full
// socket is no failure: fewer bytes were sent.
SendNow send_now(NativeSocket socket, std::span<const uint8_t> bytes) noexcept;

}  // namespace kovra62386::platform
