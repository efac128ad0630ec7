// Acting as a browser on the forms of a page, for integration tests that
// walk through surveys: the INPUT fields of a page as name/value pairs, a
// URL-encoded body made of pairs, and a POST of such a body.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/server_process.h"

namespace tallypad::testing {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// The NAME and VALUE of every INPUT tag of `html` in page order (names and
// tags without regard to case; entities in values decoded). Inputs without
// a name are left out; an input without a value gets "".
FormFields HtmlInputs(std::string_view html);
// The value of the first input named `name` (exact), or "<none>".
std::string InputValue(const FormFields& fields, std::string_view name);
// True when some input is named `name` (exact).
bool HasInput(const FormFields& fields, std::string_view name);
// The pairs URL-encoded as a form body ("a=1&b=2").
std::string FormBody(const FormFields& fields);
// Sends `body` as "POST <path> HTTP/1.0" with its Content-Length.
HttpResponse HttpPost(int port, std::string_view path, std::string_view body);

}  // namespace tallypad::testing
