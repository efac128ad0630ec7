// Form settings: the settings of one survey form, read from the DATABASE
// section of the form's configuration file (the form's name followed by
// ".ini" beside the server root) once per request, and the defaults that
// apply to keys a form leaves out.
#pragma once

#include <string>
#include <string_view>

#include "base/vartable.h"

namespace tallypad {

// Loads the DATABASE section of the configuration file of form `database`
// in the folder of `base_path`. Null when the file or the section is
// missing or empty.
VarTablePtr FormSettingsLoad(std::string_view base_path, std::string_view database);

// Returns the value of `key`, or the key's default when it is missing or
// empty ("" for keys without a default).
std::string FormSetting(const VarTable* settings, std::string_view key);
// Returns the value of `key` (or its default) read as a decimal integer:
// leading blanks and a sign, then the leading digits; 0 without digits.
int FormSettingInt(const VarTable* settings, std::string_view key);

}  // namespace tallypad
