// How the survey engine tells of a failure. Every failure has two texts: a
// short one in a respondent's words ("Sorry, your answers could not be
// saved."), which every caller sees, and one for the survey's author that
// says what is wrong, where (the file relative to the server root, its line
// when known) and what was expected. The author's text always goes to the
// message log; on the page it is shown only when the request comes from
// this machine, where the author tries the survey. The server's trailer line
// adds the error number and its link to the help page. Called by the
// engine's steps on the server thread.
#pragma once

#include <string>
#include <string_view>

#include "base/output_stream.h"

namespace tallypad {

// The survey engine's name where a text for the browser or the message log
// names its source.
inline constexpr std::string_view kSurveyProgramName = "kqs";

// One failure, told twice.
struct SurveyFailure {
  std::string respondent;  // short, in a respondent's words; plain text
  std::string author;      // whole sentences for the author; plain text
};

// Appends `sentence` to the message log on a line of its own, after "kqs: ".
void LogSurveyError(std::string_view sentence);

// Logs the author's text and writes the respondent's text as a paragraph;
// when `author_view` is set, the author's text follows in a paragraph of its
// own. Both texts are HTML-escaped; an empty text is left out.
void ReportSurveyFailure(OutputStream* out, const SurveyFailure& failure, bool author_view);

// Writes the author's paragraph alone (escaped), as ReportSurveyFailure
// writes it; nothing when `text` is empty.
void WriteAuthorDetail(OutputStream* out, std::string_view text);

// Quotes a name taken from a request or a file for an error text: in
// double quotes, control characters as '?', cut to a length that keeps a
// log line one line.
std::string QuoteForError(std::string_view name);

}  // namespace tallypad
