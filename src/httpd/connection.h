// Connection: one accepted client socket with its small send buffer. Small
// writes are gathered into 260-byte segments; a write that overflows the
// buffer by a whole segment or more goes out in one send without copying.
// Every send is bounded in time and never raises SIGPIPE, so a client that
// stops reading or disappears cannot stall or kill the server thread.
// A connection is used by the server thread only.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/file.h"
#include "base/output_stream.h"

namespace tallypad {

// Size of the send buffer: small writes are sent in segments of this size.
inline constexpr size_t kSendBufferSize = 260;
// Longest wait for a client to take more bytes before a send gives up.
inline constexpr int kSendTimeoutMs = 10000;

// Sends bytes on a socket; returns what send(2) returns. Replaceable so that
// tests can watch the segments a connection sends.
using ConnSendFn = std::function<ssize_t(int fd, const char* bytes, size_t count)>;

struct Connection : ByteSink {
  // Takes bytes written through an OutputStream (ConnWrite).
  void Take(const char* bytes, size_t count) override;

  UniqueFd socket;
  sockaddr_in client{};                 // the client's IPv4 address and port
  std::optional<std::string> host_name;  // reverse look-up result, made on first use
  char buffer[kSendBufferSize];
  size_t fill = 0;  // bytes waiting in `buffer` (below kSendBufferSize between calls)
  ConnSendFn send;  // null: the bounded socket send below
};

// Makes a connection record for an accepted socket.
std::unique_ptr<Connection> ConnMake(int fd, const sockaddr_in& client);
// True when data (or the peer's close) arrives within `timeout_us` microseconds.
bool ConnReadable(Connection* c, long timeout_us);
// Receives up to `count` bytes: bytes received, 0 when the peer closed,
// negative on error.
ssize_t ConnRecv(Connection* c, char* bytes, size_t count);
// Queues or sends `count` bytes; always returns `count` (send failures are
// not reported: the data is dropped).
size_t ConnWrite(Connection* c, const char* bytes, size_t count);
// Sends what is waiting, then shuts the socket down and closes it.
void ConnClose(Connection* c);
// The client's official host name by reverse look-up; "" when it fails.
const std::string& ConnClientHostName(Connection* c);
// Sends all of `count` bytes on `fd`, continuing short sends and waiting at
// most kSendTimeoutMs for the client to take more. Returns bytes sent.
ssize_t SocketSendAll(int fd, const char* bytes, size_t count);

}  // namespace tallypad
