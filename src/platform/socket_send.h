// Sending on a socket without letting the peer hold the sender: every send
// is non-blocking, a peer that takes nothing is waited for only until a
// deadline, and a peer that has gone never raises SIGPIPE. The server's
// client connections and the outbox's mail dialogues send through it.
#pragma once

#include <chrono>
#include <cstddef>

namespace tallypad {

// Sends the `count` bytes at `bytes` on socket `fd`, continuing short sends
// and waiting for the peer to take more until `deadline`. Returns the bytes
// sent: fewer than `count` when the deadline passed or the peer is gone.
size_t SendAllUntil(int fd, const char* bytes, size_t count,
                    std::chrono::steady_clock::time_point deadline);

}  // namespace tallypad
