// Listener: the server's listening TCP socket on every local IPv4
// interface. It tries ten ports from the first one given and keeps the
// first that opens; the server thread watches it and accepts every
// connection waiting. A wake-up descriptor lets another thread end the
// server thread's wait at shut-down.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "base/file.h"
#include "httpd/connection.h"

namespace tallypad {

// Ports tried from the first port given.
inline constexpr int kListenerPortAttempts = 10;
// Backlog of the listening socket: as large as the system allows, so that a
// burst of new connections waits in it instead of having its connection
// attempts dropped and retried a second later.
inline constexpr int kListenerBacklog = SOMAXCONN;

// Decides whether a client may be served (server mode's admission test).
using AdmitFn = std::function<bool(const sockaddr_in& client, const sockaddr_in& bound)>;

struct Listener {
  UniqueFd socket;     // invalid when closed; non-blocking
  UniqueFd wake;       // readable once ListenerWake was called
  int port = 0;        // port of the last opening attempt (the port in use when open)
  sockaddr_in bound{};  // the address given to bind
  int last_error = 0;  // errno of the last failed attempt
  AdmitFn admit;       // null: every client is admitted
};

// Opens the listener on `first_port` or one of the nine ports after it,
// bound to `address` (host byte order; every interface by default). Port 0
// asks the system for a free port; ports above 65535 are not tried. On failure the socket stays invalid and
// `port` is first_port + 10.
void ListenerOpen(Listener* l, int first_port, uint32_t address = INADDR_ANY);
// Accepts a waiting connection without waiting for one; null when none is
// waiting, on failure, or when the admission test refuses the client (who
// is then closed; *refused, when given, is then set).
std::unique_ptr<Connection> ListenerAccept(Listener* l, bool* refused = nullptr);
// Makes the wake-up descriptor readable, which ends a wait of the server
// thread on another thread; the socket stays open until ListenerClose.
// Used at shut-down, after the stop flag is set.
void ListenerWake(Listener* l);
// Shuts the socket down and closes it.
void ListenerClose(Listener* l);

}  // namespace tallypad
