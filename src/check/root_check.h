// `tallypad check` over a whole server root: finds the files the program
// lists as forms (every ".ini" of the root, in any case, except "cgi.ini" and
// "kqscounts.ini"), tells which of them the engine cannot open as a form,
// and checks each form (check/form_check.h). Reads only; changes no file.
#pragma once

#include <string>
#include <vector>

#include "check/findings.h"

namespace tallypad {

// What a check of a server root found.
struct RootCheck {
  std::vector<std::string> forms;  // the forms checked, in order
  Findings findings;
};

// Checks the server root `root` (ending in '/'): the forms named in `forms`,
// or every form of the root when it is empty. A named form without its
// settings file is an error.
RootCheck CheckServerRoot(const std::string& root, const std::vector<std::string>& forms);

// The summary line after the findings: "2 forms checked (library, staff): no
// errors, 1 warning".
std::string CheckSummary(const RootCheck& check);

}  // namespace tallypad
