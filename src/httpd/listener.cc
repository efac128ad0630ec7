#include "httpd/listener.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tallypad {

void ListenerOpen(Listener* l, int first_port, uint32_t address) {
  l->socket.reset();
  l->port = first_port;
  for (int attempt = 0; attempt < kListenerPortAttempts; ++attempt) {
    // There is no port above 65535: wrapping it to 0 would ask for any port.
    bool real_port = l->port >= 0 && l->port <= 65535;
    UniqueFd s(real_port ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) : -1);
    if (!s.valid()) {
      l->last_error = real_port ? errno : EINVAL;
    } else {
      int on = 1;
      setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      std::memset(&l->bound, 0, sizeof l->bound);
      l->bound.sin_family = AF_INET;
      l->bound.sin_port = htons(static_cast<uint16_t>(l->port & 0xffff));
      l->bound.sin_addr.s_addr = htonl(address);
      if (::bind(s.get(), reinterpret_cast<sockaddr*>(&l->bound), sizeof l->bound) == 0 &&
          ::listen(s.get(), kListenerBacklog) == 0) {
        if (l->port == 0) {
          sockaddr_in actual{};
          socklen_t len = sizeof actual;
          getsockname(s.get(), reinterpret_cast<sockaddr*>(&actual), &len);
          l->port = ntohs(actual.sin_port);
        }
        l->socket = std::move(s);
        l->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        return;
      }
      l->last_error = errno;
    }
    ++l->port;
  }
}

std::unique_ptr<Connection> ListenerAccept(Listener* l, bool* refused) {
  if (!l->socket.valid()) return nullptr;
  sockaddr_in client{};
  socklen_t len = sizeof client;
  int fd = ::accept4(l->socket.get(), reinterpret_cast<sockaddr*>(&client), &len,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return nullptr;
  if (l->admit && !l->admit(client, l->bound)) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    if (refused) *refused = true;
    return nullptr;
  }
  return ConnMake(fd, client);
}

void ListenerWake(Listener* l) {
  if (!l->wake.valid()) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(l->wake.get(), &one, sizeof one);
}

void ListenerClose(Listener* l) {
  if (l->socket.valid()) {
    ::shutdown(l->socket.get(), SHUT_RDWR);
    l->socket.reset();
  }
  l->wake.reset();
}

}  // namespace tallypad
