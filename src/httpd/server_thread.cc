#include "httpd/server_thread.h"

#include "base/status_log.h"
#include "base/text.h"

namespace tallypad {

namespace {

constexpr std::string_view kVersionComment = "<!-- Velkorn CGI 5.04 -->";

void ServeConnection(Connection& conn, const ServerHooks& hooks) {
  int code = hooks.handle_request ? hooks.handle_request(conn) : 0;
  std::string trailer = TrailerLine(code);
  if (!trailer.empty()) {
    ConnWrite(&conn, trailer.data(), trailer.size());
    ConnWrite(&conn, kVersionComment.data(), kVersionComment.size());
    StatusLogAppend(trailer);
  }
  ConnClose(&conn);
}

}  // namespace

std::string TrailerLine(int code) {
  if (code == 0) return "";
  if (code == 101) return "<P>Error: Access denied.\n";
  // The help page is served by this server itself: the machine is often offline.
  return StrPrintf("<P><A href=/help/cgi/kqs/error.html#s%d>Error %d</a>\n", code, code);
}

int ServerThread(Listener* l, const ServerHooks& hooks, const std::atomic<bool>& stop) {
  int idle = 0;
  while (!stop.load()) {
    if (hooks.outbox_step) hooks.outbox_step();
    if (ListenerPoll(l)) {
      std::unique_ptr<Connection> conn = ListenerAccept(l);
      if (conn) {
        idle = 0;
        ServeConnection(*conn, hooks);
      }
    } else {
      if (idle < kIdleCounterLimit) ++idle;
      if (hooks.idle_step) hooks.idle_step(idle);
    }
  }
  return kServerThreadExitCode;
}

}  // namespace tallypad
