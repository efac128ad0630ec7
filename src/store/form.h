// The form: a survey form as one request sees it. Its configuration file
// (the form's name followed by ".ini" beside the server root) is read once
// per request, and the two sections the engines use come from that one
// read: the settings (DATABASE) and the passwords (access). The survey
// engine loads the form when a request names it and hands it to every step;
// the defaults below apply to settings a form leaves out.
#pragma once

#include <string>
#include <string_view>

#include "base/vartable.h"

namespace tallypad {

struct Form {
  std::string name;      // the form's name, as the request gave it
  VarTablePtr settings;  // the DATABASE section; null when missing or empty
  VarTablePtr access;    // the access section; null when missing or empty
};

// Loads form `database` from the folder of `base_path`. The empty name, and
// a name the rights check refuses (see AccessNameAllowed), read nothing:
// both sections are then null.
Form FormLoad(std::string_view base_path, std::string_view database);

// Returns the value of `key`, or the key's default when it is missing or
// empty ("" for keys without a default).
std::string FormSetting(const VarTable* settings, std::string_view key);
// Returns the value of `key` (or its default) read as a decimal integer:
// leading blanks and a sign, then the leading digits; 0 without digits.
int FormSettingInt(const VarTable* settings, std::string_view key);

}  // namespace tallypad
