// Connection: one accepted client socket and what the server keeps for it:
// the request gathered from the bytes it sent, and the response, which the
// producers write into memory (a static file is attached to be sent after
// it straight from the file) and the server sends as the client reads it.
// A connection carries one request and is closed after its response. A
// connection is used by the server thread only.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/file.h"
#include "base/output_stream.h"

namespace tallypad {

struct Connection : ByteSink {
  // Takes bytes written through an OutputStream: they are added to the
  // response.
  void Take(const char* bytes, size_t count) override;

  UniqueFd socket;
  sockaddr_in client{};                 // the client's IPv4 address and port
  std::string request;                  // the complete request, once it has arrived
  std::string response;                 // the response's bytes
  UniqueFd file;                        // sent after `response`, straight from the file
  uint64_t file_size = 0;               // bytes of `file` to send
};

// Makes a connection record for an accepted socket.
std::unique_ptr<Connection> ConnMake(int fd, const sockaddr_in& client);
// Adds `count` bytes to the response; returns `count`.
size_t ConnWrite(Connection* c, const char* bytes, size_t count);
// Attaches the open file `file`, of `size` bytes from its start, to be sent
// after the response's bytes.
void ConnSendFile(Connection* c, UniqueFd file, uint64_t size);

}  // namespace tallypad
