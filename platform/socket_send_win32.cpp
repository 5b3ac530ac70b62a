// Win32: Winsock send() on the socket, which the connection has made
// non-blocking. A plain send is no overlapped operation, so it posts
// nothing to the I/O completion port the socket belongs to.
#include <winsock2.h>

#include <algorithm>
#include <climits>

#include "platform/socket_send.h"

namespace kovra62386::platform {

SendNow send_now(NativeSocket socket, std::span<const uint8_t> bytes) noexcept {
  SendNow result;
  while (result.sent < bytes.size()) {
    const int length = static_cast<int>(
        std::min<std::size_t>(bytes.size() - result.sent, INT_MAX));
    const int n = ::send(
        static_cast<SOCKET>(socket),
        reinterpret_cast<const char*>(bytes.data() + result.sent), length, 0);
    if (n > 0) {
      result.sent += static_cast<std::size_t>(n);
    } else {
      result.failed =
          n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK;
      break;
    }
  }
  return result;
}

}  // namespace kovra62386::platform
