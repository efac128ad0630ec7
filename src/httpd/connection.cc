#include "httpd/connection.h"

#include <netdb.h>
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

void ConnSendFile(Connection* c, FilePtr file, uint64_t size) {
  c->file = std::move(file);
  c->file_size = c->file ? size : 0;
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
