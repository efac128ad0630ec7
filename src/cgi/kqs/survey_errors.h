// The survey engine's error texts and message-log lines: its name in both,
// the numbered error text that links to the help page, and the log line
// that names the failing file in full (the page names it relative to the
// server root).
#pragma once

#include <string_view>

#include "base/output_stream.h"
#include "base/result_code.h"

namespace tallypad {

// The survey engine's name in its error texts and message-log lines.
inline constexpr std::string_view kSurveyModuleName = "cgi\\kqs";
// The survey engine's name where a text for the browser names its source.
inline constexpr std::string_view kSurveyProgramName = "kqs";

// Writes the numbered error text "Error %i in cgi\kqs@%d: " (the number of
// `code`) followed by `message`; `place` names the spot that raised it.
void WriteSurveyError(OutputStream* out, ResultCode code, int place, std::string_view message);
// Appends to the message log a line feed, "cgi\kqs: ", the message
// `format` with its placeholder left unfilled, a tab and `argument`.
void LogSurveyError(std::string_view format, std::string_view argument);

}  // namespace tallypad
