// The server thread: the system's main loop, an event loop over the
// listening socket and every open connection. It accepts every connection
// waiting, reads request bytes as they arrive without ever waiting for one
// client, hands a request to the router only once it is complete, and sends
// each response as its client takes it. Requests are served one after
// another on this thread, so the engines, files and locks see one request
// at a time; a silent, trickling or slow-reading client costs a buffer and
// nothing else. Every wait is bounded: a request must arrive within the
// request time bound, a response must be taken within the response bound.
// Each connection carries one request and is closed after its response.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "httpd/connection.h"
#include "httpd/listener.h"
#include "httpd/request.h"

namespace tallypad {

// The idle counter stops growing here.
inline constexpr int kIdleCounterLimit = 1920;
// The exit code the server thread ends with.
inline constexpr int kServerThreadExitCode = 18;
// Longest time one response may take to reach its client, from its first
// byte to its last: a client that reads more slowly is dropped.
inline constexpr int kResponseTimeoutMs = 30000;
// Most connections open at once. At the bound no further connection is
// accepted (new ones wait in the listen backlog) until one closes.
inline constexpr size_t kMaxConnections = 1024;
// How long a connection's remaining input is read and dropped after its
// response, so that the client receives the response (a refusal above all)
// instead of a reset.
inline constexpr int kLingerMs = 500;
// Most response bytes held at once for clients that have not taken them
// yet; beyond it the clients that took nothing for a second are dropped,
// those that stalled longest first.
inline constexpr size_t kMaxHeldResponseBytes = 64 << 20;
// The idle step runs after this long without a request.
inline constexpr int kIdleStepMs = 1000;

struct ServerLimits {
  RequestLimits request;
  int response_ms = kResponseTimeoutMs;
  size_t max_connections = kMaxConnections;
  int linger_ms = kLingerMs;
  size_t max_held_response_bytes = kMaxHeldResponseBytes;
};

struct ServerHooks {
  // Serves the complete request in `conn.request`, writing the whole
  // response into the connection; returns a result code (0 when complete).
  std::function<int(Connection&)> handle_request;
  // Called once a second while no request comes, with the number of such
  // seconds (the browser-watching step).
  std::function<void(int idle)> idle_step;
};

// Returns the trailer line for the number of a result code: "" for kOk, the
// access-denied line where IsAccessDenied says so, the help-link line for
// any other code.
std::string TrailerLine(int code);
// Returns the message-log sentence for the same code ("" for kOk): the
// number and where the help page explains it, never the page's HTML.
std::string TrailerLogLine(int code);

// Serves connections on the open listener until `stop` is set (ListenerWake
// wakes the loop at once); returns kServerThreadExitCode.
int ServerThread(Listener* l, const ServerHooks& hooks, const std::atomic<bool>& stop,
                 const ServerLimits& limits = {});

}  // namespace tallypad
