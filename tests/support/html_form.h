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
// The values a browser shows chosen under `name` (exact): the radio buttons
// and boxes marked CHECKED and the options of the select of that name
// marked SELECTED, in page order.
std::vector<std::string> ChosenValues(std::string_view html, std::string_view name);
// The fields a browser sends when a button of `html`'s form is pressed, in
// page order: named inputs (radio buttons and boxes only when CHECKED;
// buttons never), the SELECTED options of each select (its first option
// when none is), and the text of each text area. Then each answer of
// `typed` replaces the field of that name, or is added; last the pressed
// button's `_ACTION` value.
FormFields PressButton(std::string_view html, std::string_view action,
                       const FormFields& typed = {});
// The value of the first input named `name` (exact), or "<none>".
std::string InputValue(const FormFields& fields, std::string_view name);
// True when some input is named `name` (exact).
bool HasInput(const FormFields& fields, std::string_view name);
// The pairs URL-encoded as a form body ("a=1&b=2").
std::string FormBody(const FormFields& fields);
// Sends `body` as "POST <path> HTTP/1.0" with its Content-Length.
HttpResponse HttpPost(int port, std::string_view path, std::string_view body);

}  // namespace tallypad::testing
