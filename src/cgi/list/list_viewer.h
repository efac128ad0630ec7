// The database list viewer: lists, queries and shows the records of a form's
// data file. The router calls ListDispatch for the paths "list", "list.exe",
// "list.cgi" and "list.dll"; the viewer writes the response header and body
// itself. Runs on the server thread only.
#pragma once

#include <string>

#include "base/vartable.h"
#include "base/output_stream.h"
#include "httpd/request_info.h"

namespace tallypad {

// Serves one list-viewer request. `server_root` ends in '/'; `vars` holds
// the request variables. Returns the number of the request's ResultCode: 0
// when the response is complete, else the code the trailer line reports.
int ListDispatch(const std::string& server_root, VarTable* vars, OutputStream* out,
                 const RequestInfo& info);

}  // namespace tallypad
