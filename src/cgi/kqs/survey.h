// The survey engine: shows survey forms page by page, checks and saves the
// responses. The router calls SurveyDispatch for the paths "kqs", "kqs.exe",
// "kqs.cgi" and "kqs.dll"; the engine writes the response header and body
// itself. Runs on the server thread only.
#pragma once

#include <string>

#include "base/vartable.h"
#include "base/output_stream.h"
#include "httpd/request_info.h"

namespace tallypad {

// Serves one survey request. `server_root` ends in '/'; `vars` holds the
// request variables (HOST, DATE, TIME, free entries, the form fields).
// Returns the number of the request's ResultCode: 0 when the response is
// complete, else the code the trailer line reports.
int SurveyDispatch(const std::string& server_root, VarTable* vars, OutputStream* out,
                   const RequestInfo& info);

}  // namespace tallypad
