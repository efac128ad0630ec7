#include "cgi/kqs/survey_errors.h"

#include <string>

#include "base/status_log.h"
#include "base/text.h"

namespace tallypad {

namespace {

// A quoted name keeps at most this many bytes: request fields may be long,
// and a name beyond it is no longer what an author needs to recognise it.
constexpr size_t kQuotedNameLimit = 80;

// The lead of the author's paragraph: whom it is for and why the page shows it.
constexpr std::string_view kAuthorLead =
    "<P class=\"kqs-author\"><B>For the survey's author</B> (shown only on this computer): ";

}  // namespace

void LogSurveyError(std::string_view sentence) {
  std::string line = "\n";
  line.append(kSurveyProgramName);
  line.append(": ");
  line.append(sentence);
  StatusLogAppend(line);
}

void WriteAuthorDetail(OutputStream* out, std::string_view text) {
  if (text.empty()) return;
  StreamWriteText(out, kAuthorLead);
  StreamWriteHtml(out, text);
  StreamWriteText(out, "</P>\n");
}

void ReportSurveyFailure(OutputStream* out, const SurveyFailure& failure, bool author_view) {
  if (!failure.author.empty()) LogSurveyError(failure.author);
  if (!failure.respondent.empty()) {
    StreamWriteText(out, "<P class=\"kqs-error\">");
    StreamWriteHtml(out, failure.respondent);
    StreamWriteText(out, "</P>\n");
  }
  if (author_view) WriteAuthorDetail(out, failure.author);
}

std::string QuoteForError(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name.substr(0, kQuotedNameLimit)) {
    const unsigned char u = static_cast<unsigned char>(c);
    quoted.push_back(u < 0x20 || u == 0x7f ? '?' : c);
  }
  if (name.size() > kQuotedNameLimit) quoted += "...";
  quoted.push_back('"');
  return quoted;
}

}  // namespace tallypad
