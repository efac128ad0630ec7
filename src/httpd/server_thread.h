// The server thread: the system's main loop. Each pass transmits the outbox
// when mail is pending, waits about a second for a connection, serves it
// completely (one request per connection), writes the trailer line for a
// non-zero result code and closes it; otherwise it watches the browser.
// Requests are therefore served strictly one after another.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "httpd/connection.h"
#include "httpd/listener.h"

namespace tallypad {

// The idle counter stops growing here.
inline constexpr int kIdleCounterLimit = 1920;
// The exit code the server thread ends with.
inline constexpr int kServerThreadExitCode = 18;

struct ServerHooks {
  // Reads the request on the connection and writes the whole response;
  // returns a result code (0 when complete).
  std::function<int(Connection&)> handle_request;
  // Called at the start of every pass (the outbox step).
  std::function<void()> outbox_step;
  // Called when no connection was waiting, with the idle counter (the
  // browser-watching step).
  std::function<void(int idle)> idle_step;
};

// Returns the trailer line for result code `code`: "" for 0, the
// access-denied line for 101, the help-link line for any other code.
std::string TrailerLine(int code);

// Serves connections on the open listener until `stop` is set; returns
// kServerThreadExitCode.
int ServerThread(Listener* l, const ServerHooks& hooks, const std::atomic<bool>& stop);

}  // namespace tallypad
