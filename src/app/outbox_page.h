// The outbox page, "/outbox": the mails waiting in the outbox and the dead
// letters, when a mail last went through and when the next attempt comes,
// with a "Send now" button that ends the back-off wait and a button that
// moves the dead letters back into the queue. It is shown only to the
// machine itself (a loopback client naming this machine in its Host
// header), or, when "cgi.ini" sets OUTBOXPASSWORD, to whoever gives that
// password (HTTP Basic authentication; every client then, loopback too).
// The router calls it on the server thread.
#pragma once

#include <string>
#include <string_view>

#include "base/output_stream.h"
#include "base/vartable.h"
#include "httpd/request_info.h"

namespace tallypad {

// The realm the browser shows when it asks for the outbox password.
inline constexpr std::string_view kOutboxRealm = "Tallypad outbox";

// Serves one request for the outbox page of `server_root`: `request` is the
// whole request (its method, headers and body), `vars` its decoded fields
// (`action` = "send" or "retry" on a POST), `settings` section `server` of
// "cgi.ini" (null without one). Writes the whole response to `out`.
void ServeOutboxPage(OutputStream* out, const std::string& server_root, std::string_view request,
                     const VarTable* vars, const VarTable* settings, const RequestInfo& info);

// True when a client may see the outbox page without a password: its
// address is a loopback address and its Host header (when given) names
// this machine's loopback ("localhost" or 127.x.x.x, any port), so that a
// web page of another site that a browser was led to by a name pointing at
// 127.0.0.1 is not served.
bool OutboxPageLocalClient(const RequestInfo& info);

}  // namespace tallypad
