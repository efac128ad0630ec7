#include "httpd/connection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/socket_send.h"

namespace tallypad {

namespace {

void Send(Connection* c, const char* bytes, size_t count) {
  if (count == 0) return;
  if (c->send) {
    c->send(c->socket.get(), bytes, count);
  } else if (c->socket.valid()) {
    SocketSendAll(c->socket.get(), bytes, count);
  }
}

}  // namespace

ssize_t SocketSendAll(int fd, const char* bytes, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
  return static_cast<ssize_t>(SendAllUntil(fd, bytes, count, deadline));
}

void Connection::Take(const char* bytes, size_t count) { ConnWrite(this, bytes, count); }

std::unique_ptr<Connection> ConnMake(int fd, const sockaddr_in& client) {
  auto c = std::make_unique<Connection>();
  c->socket.reset(fd);
  c->client = client;
  return c;
}

bool ConnReadable(Connection* c, long timeout_us) {
  if (!c || !c->socket.valid()) return false;
  pollfd p{c->socket.get(), POLLIN, 0};
  int timeout_ms = static_cast<int>((timeout_us + 999) / 1000);
  int r = ::poll(&p, 1, timeout_ms);
  return r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

ssize_t ConnRecv(Connection* c, char* bytes, size_t count) {
  if (!c || !c->socket.valid()) return -1;
  ssize_t n;
  do {
    n = ::recv(c->socket.get(), bytes, count, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

size_t ConnWrite(Connection* c, const char* bytes, size_t count) {
  if (!c || !bytes) return count;
  if (c->fill + count < kSendBufferSize) {
    std::memcpy(c->buffer + c->fill, bytes, count);
    c->fill += count;
    return count;
  }
  size_t head = kSendBufferSize - c->fill;
  std::memcpy(c->buffer + c->fill, bytes, head);
  Send(c, c->buffer, kSendBufferSize);
  size_t rest = count - head;
  if (rest >= kSendBufferSize) {
    Send(c, bytes + head, rest);
    c->fill = 0;
  } else {
    std::memcpy(c->buffer, bytes + head, rest);
    c->fill = rest;
  }
  return count;
}

void ConnClose(Connection* c) {
  if (!c) return;
  if (c->fill > 0) {
    Send(c, c->buffer, c->fill);
    c->fill = 0;
  }
  if (c->socket.valid()) {
    ::shutdown(c->socket.get(), SHUT_RDWR);
    c->socket.reset();
  }
}

const std::string& ConnClientHostName(Connection* c) {
  if (!c->host_name) {
    char name[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&c->client), sizeof c->client, name,
                    sizeof name, nullptr, 0, NI_NAMEREQD) == 0) {
      c->host_name = std::string(name).substr(0, 259);
    } else {
      c->host_name = std::string();
    }
  }
  return *c->host_name;
}

}  // namespace tallypad
