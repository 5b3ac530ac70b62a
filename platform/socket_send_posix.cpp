// POSIX: send() with MSG_DONTWAIT and MSG_NOSIGNAL, so neither a full socket
// nor a closed peer can hold or kill the calling thread.
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket_send.h"

namespace kovra62386::platform {

SendNow send_now(NativeSocket socket, std::span<const uint8_t> bytes) noexcept {
  SendNow result;
  while (result.sent < bytes.size()) {
    const ssize_t n =
        ::send(socket, bytes.data() + result.sent, bytes.size() - result.sent,
               MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      result.sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      result.failed = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
      break;
    }
  }
  return result;
}

}  // namespace kovra62386::platform
