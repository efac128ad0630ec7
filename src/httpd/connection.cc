#include "httpd/connection.h"

#include <sys/socket.h>

namespace tallypad {

void Connection::Take(const char* bytes, size_t count) { ConnWrite(this, bytes, count); }

std::unique_ptr<Connection> ConnMake(int fd, const sockaddr_in& client) {
  auto c = std::make_unique<Connection>();
  c->socket.reset(fd);
  c->client = client;
  return c;
}

size_t ConnWrite(Connection* c, const char* bytes, size_t count) {
  if (c && bytes) c->response.append(bytes, count);
  return count;
}

void ConnSendFile(Connection* c, UniqueFd file, uint64_t size) {
  c->file = std::move(file);
  c->file_size = c->file.valid() ? size : 0;
}

}  // namespace tallypad
