// The save step of the survey engine and the result page after it. The save
// step counts the response, mails it, adds it to the form's statistics and
// appends it to the data file, its index and the XML transaction file, each
// as the form's settings ask; the result page thanks the respondent,
// redirects the browser, or says why the data were not saved.
#pragma once

#include <string_view>

#include "base/output_stream.h"
#include "base/result_code.h"
#include "base/vartable.h"
#include "httpd/request_info.h"

namespace tallypad {

// Saves the response held by `vars` for form `database` with the form's
// `settings`; `base_path` is the server root (ending in '/') that every file
// name is resolved against. `may_have_record` says the respondent may have a
// stored record whose statistics contribution is taken out; so is that of
// every earlier record of the session that the new record supersedes. The
// statistics are updated only once the data file (when the form saves one)
// holds the record. Returns kOk, or the code of the step that failed (the
// mail: kNoMailServer, kOutboxNotWritten or kRecipientNoAddress; the data
// file: kFormFileMissing or kAnswersNotWritten; the XML file:
// kAnswersNotWritten); steps before the failure stay done. Every failure,
// and every file a step could not use (the statistics, the index, the
// counter), is logged with what to fix; `failure` (when given) receives the
// sentence of the failure that stopped the save.
ResultCode SaveResponse(std::string_view base_path, std::string_view database, VarTable* vars,
                        const VarTable* settings, bool may_have_record,
                        std::string* failure = nullptr);

// Writes the result page (its own response header included) for the save
// step's `code`: a redirect, the thank-you page, or the error text: short
// for the respondent, followed by `failure` (the save's sentence for the
// author) when the request comes from this machine. `lead` (the request's
// script output so far) goes right after the header, before the page's own
// content; a redirect has no body and leaves it out.
void ShowResult(std::string_view base_path, OutputStream* out, std::string_view database,
                const VarTable* settings, VarTable* vars, ResultCode code, const RequestInfo& info,
                std::string_view lead = {}, std::string_view failure = {});

}  // namespace tallypad
