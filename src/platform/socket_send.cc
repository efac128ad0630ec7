#include "platform/socket_send.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

namespace tallypad {

size_t SendAllUntil(int fd, const char* bytes, size_t count,
                    std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  size_t sent = 0;
  while (sent < count) {
    ssize_t n = ::send(fd, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
      continue;
    }
    break;  // the peer is gone
  }
  return sent;
}

}  // namespace tallypad
