// The pages through which the survey engine asks a caller to identify
// themselves: the permission prompt, shown when a right the request needs
// is missing and carrying every answer given so far so that none is lost,
// and the login page of forms whose respondents sign in with ID fields.
// Both pages post back to the engine with the action START or the action
// that was refused. Called by the dispatcher after it wrote the header.
#pragma once

#include <string_view>

#include "base/vartable.h"
#include "base/output_stream.h"

namespace tallypad {

// Writes the page that asks for the password granting `right` (a kRight*
// bit) to repeat `action` on form `database`, with every variable of
// `vars` as a hidden field. The request it answers ends with kAccessDenied.
void WritePermissionPrompt(OutputStream* out, const VarTable* vars, std::string_view database,
                           std::string_view action, int right);

// Writes the login page of form `database`: a fresh start when `rights`
// hold the append right, and the login and password fields named by
// IDFIELDS of `settings`, filled from `vars`. Password fields the data file
// has no column for are left out; a data file that cannot be read gives a
// setup-error page instead.
void WriteLoginPage(OutputStream* out, int rights, std::string_view database, const VarTable* vars,
                    std::string_view base_path, const VarTable* settings);

}  // namespace tallypad
