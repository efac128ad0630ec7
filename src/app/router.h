// The router: HandleRequest takes one complete request, turns its request
// line and its query or form body into request variables, and routes
// it by path to the survey engine, the list viewer, the shut-down address or
// a file under the server root. Pages whose path contains ".html" go through
// the template path; a missing file is answered with the error page or the
// menu page of start pages. Runs on the server thread only; everything made
// for a request is released before HandleRequest returns.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/mode.h"
#include "app/start_pages.h"
#include "base/output_stream.h"
#include "base/vartable.h"
#include "httpd/admission.h"
#include "httpd/connection.h"
#include "httpd/request.h"
#include "httpd/request_info.h"

namespace tallypad {

// Request variables: the reserved entries HOST, DATE and TIME, then the
// free entries that engines and scripts claim for variables of their own.
inline constexpr size_t kReservedRequestVariables = 3;
inline constexpr size_t kFreeRequestVariables = 64;
// Most bytes of a start page's link, title or description on the menu page.
inline constexpr size_t kMenuTextLimit = 1024;

// An in-process program's entry point: the server root (ending in '/'), the
// request variables, the stream bound to the connection, and what else is
// known about the request. Returns the program's result code.
using EngineFn = std::function<int(const std::string& server_root, VarTable* vars,
                                   OutputStream* out, const RequestInfo& info)>;

// What the router needs from the host; filled before the server thread
// starts and only read afterwards.
struct RouterContext {
  std::string server_root;             // ends in '/'
  const VarTable* settings = nullptr;  // section `server` of "cgi.ini"; null without one
  ServerMode mode = ServerMode::kNone;
  const StartPageTable* start_pages = nullptr;
  std::string server_address;          // "127.0.0.1" or "127.0.0.1:port"
  std::function<void()> close_window;  // shuts the program down ("/quit" in preview mode)
  RequestLimits limits;
  EngineFn survey_engine;  // null: SurveyDispatch
  EngineFn list_engine;    // null: ListDispatch
  // Which clients are this machine (the author's view of errors); tests
  // give their own.
  ThisMachineTest this_machine = ClientIsThisMachine;
};

// Serves the complete request in `conn.request`, writing the response into
// the connection. A request with more than the limit of fields is refused
// with status 413 and reaches nothing else. Returns 0 when the response is
// complete, otherwise the result code of the engine that served it.
int HandleRequest(Connection& conn, const RouterContext& ctx);

// True when the file path `path` (the request path without its leading '/')
// stays inside the server root: no ".." component (with '/' or '\' as
// separator), no leading '/' or '\', no ':' as second character, no NUL byte.
bool PathStaysInRoot(std::string_view path);
// Returns the header text for the file at `path` (not a ".html" page): the
// first of ".gif", ".jpg", ".pdf" that the path contains, else a common web
// type chosen by the extension, else "Content-type: text/plain\n\n".
std::string_view ContentTypeHeader(std::string_view path);
// Writes the menu page: the start pages after the built-in one, and in
// preview mode with `ERROR`=quit a Quit link.
void WriteMenuPage(OutputStream* out, const RouterContext& ctx);

}  // namespace tallypad
