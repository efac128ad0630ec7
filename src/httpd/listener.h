// Listener: the server's listening TCP socket on every local IPv4
// interface. It tries ten ports from the first one given and keeps the
// first that opens; the server thread polls it and accepts one connection
// at a time.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "base/file.h"
#include "httpd/connection.h"

namespace tallypad {

// Ports tried from the first port given.
inline constexpr int kListenerPortAttempts = 10;
// Backlog of the listening socket.
inline constexpr int kListenerBacklog = 5;

// Decides whether a client may be served (server mode's admission test).
using AdmitFn = std::function<bool(const sockaddr_in& client, const sockaddr_in& bound)>;

struct Listener {
  UniqueFd socket;     // invalid when closed
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
// True when a connection is waiting within `timeout_ms` (about a second).
bool ListenerPoll(Listener* l, int timeout_ms = 1000);
// Accepts a waiting connection; null on failure or when the admission test
// refuses the client (who is then closed).
std::unique_ptr<Connection> ListenerAccept(Listener* l);
// Wakes a ListenerPoll in progress on another thread and makes later polls
// return at once; the socket stays open until ListenerClose. Used at
// shut-down, after the stop flag is set.
void ListenerWake(Listener* l);
// Shuts the socket down and closes it.
void ListenerClose(Listener* l);

}  // namespace tallypad
