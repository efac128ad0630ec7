// Form configuration: the settings of one survey form, read from the
// DATABASE section of the form's configuration file (the form's name
// followed by ".ini" beside the server root) once per request, and the
// defaults that apply to keys a form leaves out. Also the survey engine's
// name in its error texts and message-log lines, and the writer of those.
#pragma once

#include <string>
#include <string_view>

#include "base/vartable.h"
#include "base/output_stream.h"

namespace tallypad {

// The survey engine's name in its error texts and message-log lines.
inline constexpr std::string_view kSurveyModuleName = "cgi\\kqs";
// The survey engine's name where a text for the browser names its source.
inline constexpr std::string_view kSurveyProgramName = "kqs";

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

// Writes the numbered error text "Error %i in cgi\kqs@%d: " followed by
// `message`; `place` names the spot that raised it.
void WriteSurveyError(OutputStream* out, int code, int place, std::string_view message);
// Appends to the message log a line feed, "cgi\kqs: ", the message
// `format` with its placeholder left unfilled, a tab and `argument`.
void LogSurveyError(std::string_view format, std::string_view argument);

}  // namespace tallypad
