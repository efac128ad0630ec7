#include "cgi/kqs/save.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/status_log.h"
#include "base/strbuf.h"
#include "base/str.h"
#include "base/text.h"
#include "cgi/kqs/survey_errors.h"
#include "httpd/response_header.h"
#include "httpd/server_names.h"
#include "mail/mail_compose.h"
#include "script/template.h"
#include "store/datafile.h"
#include "store/datafile_write.h"
#include "store/record_lookup.h"
#include "store/response_counter.h"
#include "store/statistics.h"
#include "store/xmlfile.h"

namespace tallypad {

namespace {

// First chunk of the buffer a mail body is built in.
constexpr size_t kMailBodyFirstChunk = 1024;

constexpr std::string_view kMailSubject = "Tallypad form submission report";
constexpr std::string_view kDefaultMessage = "<P>Thank you!";
constexpr std::string_view kDefaultHotlink = "/index.html";
// What a respondent is told when the answers could not be saved.
constexpr std::string_view kNotSaved =
    "Sorry, your answers could not be saved. Please tell the people who run this survey.";

// A numeric setting: the leading decimal digits of its value (held within
// the range of int), `def` when the key is missing or empty.
int SettingInt(const VarTable* settings, std::string_view key, int def) {
  std::optional<std::string> value = VarTableGetOpt(settings, key);
  if (!value) return def;
  long long v = std::strtoll(value->c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

std::string Setting(const VarTable* settings, std::string_view key, std::string_view def = {}) {
  return VarTableGet(settings, key, def);
}

// The plain mail listing: where the response came from, the form, then one
// line per answer (bookkeeping variables, named with "_", left out).
void WriteMailListing(OutputStream* out, std::string_view database, const VarTable* vars) {
  StreamWriteText(out, "Tallypad web data from: ");
  StreamWriteText(out, VarTableGet(vars, "HOST", ""));
  StreamWriteText(out, "\r\nX-DATABASE: ");
  StreamWriteText(out, database);
  StreamWriteText(out, "\r\n");
  VarTableForEach(vars, [&](const VarEntry& e) {
    if ((*e.name)[0] == '_') return;
    StreamWriteText(out, *e.name);
    StreamWriteText(out, ": ");
    // One line per answer: a text area's line breaks become blanks.
    if (e.value) StreamWriteText(out, CleanFieldValue(*e.value));
    StreamWriteText(out, "\r\n");
  });
}

// A file a setting names, for an error sentence: "data/travel.asc
// (SAVEDATANAME in travel.ini)".
std::string NamedBy(std::string_view base_path, const std::string& path, std::string_view key,
                    std::string_view database) {
  std::string text = PathShown(base_path, path);
  if (!key.empty()) text += " (" + std::string(key) + " in " + std::string(database) + ".ini)";
  return text;
}

// The sentence for a mail that could not be queued.
std::string MailFailure(ResultCode rc, std::string_view database, const VarTable* settings) {
  const std::string form = std::string(database) + ".ini";
  switch (rc) {
    case ResultCode::kNoMailServer:
      return form + " mails every response (SAVEEMAIL=1), but EMAILSERVER names no mail server: "
                    "set EMAILSERVER, or SAVEEMAIL=0. The answers were not saved.";
    case ResultCode::kRecipientNoAddress:
      return "SAVEEMAILNAME in " + form + " (" + Setting(settings, "SAVEEMAILNAME") +
             ") is no mail address (an address has exactly one @). The answers were not saved.";
    default:
      return "The outbox outbox.kqs in the server root cannot be written, so the mail of this "
             "response was not queued and the answers were not saved: let the server write to "
             "the server root.";
  }
}

// Mails the response as the form asks. Returns MailQueue's result.
ResultCode MailResponse(std::string_view base_path, std::string_view database, VarTable* vars,
                        const VarTable* settings) {
  StrBuf body(kMailBodyFirstChunk);
  OutputStream out{nullptr, nullptr, &body};
  std::string report = FormFilePath(base_path, Setting(settings, "EMAILREPORT"));
  const TemplateRun body_run{.base_path = base_path, .out = &out, .vars = vars};
  if (report.empty() || !TemplateProcessFile(report, body_run))
    WriteMailListing(&out, database, vars);
  return MailQueue(std::string(base_path), Setting(settings, "SAVEEMAILNAME"), kMailSubject,
                   body.ToString(), Setting(settings, "EMAILSERVER"),
                   Setting(settings, "EMAILFROM"));
}

void SaveStatistics(std::string_view base_path, std::string_view database, const VarTable* vars,
                    const VarTable* settings, const std::vector<StoredRecord>& replaced) {
  std::string path = FormFilePath(base_path, Setting(settings, "SAVESTATNAME"));
  if (path.empty()) {
    LogSurveyError(std::string(database) + ".ini sets SAVESTAT=1 but names no statistics file "
                   "in SAVESTATNAME: the response was saved without being counted.");
    return;
  }
  // The statistics file is never created: its keys are the author's.
  if (!FileExists(path)) {
    LogSurveyError("The statistics file " + NamedBy(base_path, path, "SAVESTATNAME", database) +
                   " does not exist: the response was saved without being counted. Create "
                   "it with its [COUNT] and [SUM] keys.");
    return;
  }
  std::vector<const VarTable*> previous;
  for (const StoredRecord& record : replaced) previous.push_back(record.values.get());
  if (!StatisticsUpdate(path, vars, previous))
    LogSurveyError("The statistics file " + NamedBy(base_path, path, "SAVESTATNAME", database) +
                   " cannot be written: the response was saved without being counted. Let "
                   "the server write to it.");
}

// Adds `record` to `records` unless a record at the same offset is there.
void AddReplaced(std::vector<StoredRecord>& records, StoredRecord record) {
  for (const StoredRecord& r : records)
    if (r.offset == record.offset) return;
  records.push_back(std::move(record));
}

// Appends the record, marks the session's earlier records and adds the
// index entry. Returns kOk or the append's code. `superseded` (when given)
// receives the session's earlier records that the new one replaces.
ResultCode SaveDataFile(std::string_view base_path, std::string_view database,
                        const VarTable* vars, const VarTable* settings,
                        std::vector<StoredRecord>* superseded, std::string* failure) {
  // Written where it is read from: SAVEDATANAME, else the database name
  // followed by ".asc".
  std::string path = DataFileReadPath(base_path, settings, database);
  int64_t offset = 0;
  const ResultCode rc = path.empty() ? ResultCode::kFormFileMissing
                                     : AppendRecord(path, vars, &offset);
  if (rc != ResultCode::kOk) {
    const std::string named =
        NamedBy(base_path, path, Setting(settings, "SAVEDATANAME").empty() ? "" : "SAVEDATANAME",
                database);
    *failure = rc == ResultCode::kFormFileMissing
                   ? "The data file " + named + " does not exist or has no header line, so the "
                     "answers were not saved: create it with its header line (the column names, "
                     "separated by tabs)."
                   : "The data file " + named + " cannot be written, so the answers were not "
                     "saved: let the server write to it, and check that the disk is not full.";
    return rc;
  }
  SupersedeSession(path, vars, superseded, offset);
  std::string index = FormFilePath(base_path, Setting(settings, "SAVEINDEXNAME"));
  if (!index.empty() && AppendIndexEntry(index, vars, offset) != ResultCode::kOk)
    LogSurveyError("The index file " + NamedBy(base_path, index, "SAVEINDEXNAME", database) +
                   " does not exist, has no header line or cannot be written: the record was "
                   "saved, but a returning respondent's search will not find it through the "
                   "index.");
  return ResultCode::kOk;
}

ResultCode SaveXml(std::string_view base_path, std::string_view database, const VarTable* vars,
                   const VarTable* settings, std::string* failure) {
  std::string path = FormFilePath(base_path, Setting(settings, "SAVEXMLNAME"));
  const ResultCode rc = XmlAppendTransaction(vars, path, nullptr);
  if (rc == ResultCode::kOk) return rc;
  *failure = path.empty()
                 ? std::string(database) + ".ini sets SAVEXML=1 but names no XML file in "
                   "SAVEXMLNAME, so the answers were not completely saved."
                 : "The XML file " + NamedBy(base_path, path, "SAVEXMLNAME", database) +
                       " does not exist or cannot be written, so the answers were not "
                       "completely saved: create it (it may be empty) and let the server write "
                       "to it.";
  return rc;
}

// Runs the template file `name` (resolved against the server root) into the
// page; a file that cannot be opened is left out.
void ShowTemplate(std::string_view base_path, OutputStream* out, std::string_view name,
                  VarTable* vars, bool formfill, bool author_view) {
  std::string path = FormFilePath(base_path, name);
  if (path.empty()) return;
  if (!TemplateProcessFile(path, {.base_path = base_path,
                                  .out = out,
                                  .vars = vars,
                                  .formfill = formfill,
                                  .author_view = author_view}))
    LogSurveyError("The result page's template " + PathShown(base_path, path) +
                   " cannot be opened: the result page leaves it out.");
}

void ShowThanks(std::string_view base_path, OutputStream* out, const VarTable* settings,
                VarTable* vars, std::string_view lead, bool author_view) {
  WriteResponseHeader(out);
  StreamWriteText(out, lead);
  std::string message = Setting(settings, "MESSAGE");
  StreamWriteText(out, "<html><head><title>");
  StreamWriteText(out, message);
  StreamWriteText(out, "</title></head><body>");
  if (SettingInt(settings, "DISPLAYMESSAGE", 1) != 0)
    StreamWriteText(out, message.empty() ? kDefaultMessage : message);
  if (SettingInt(settings, "DISPLAYFORM", 0) != 0) {
    ShowTemplate(base_path, out, Setting(settings, "FORM"), vars, true, author_view);
  } else if (SettingInt(settings, "DISPLAYREPORT", 0) != 0) {
    ShowTemplate(base_path, out, Setting(settings, "REPORT"), vars, false, author_view);
  }
  if (SettingInt(settings, "DISPLAYHOTLINK", 0) != 0) {
    StreamWriteText(out, "<HR><A HREF=\"");
    StreamWriteText(out, Setting(settings, "HOTLINK", kDefaultHotlink));
    StreamWriteText(out, "\">Click here to continue</A>\n");
  }
  StreamWriteText(out, "</body></html>\n");
}

// The address clients reach this server at: the request's Host header when
// it names this server, else the address the request arrived at (else the
// server's own address). A Host header naming another server would send
// the respondent there.
std::string ServerAddressForClient(const RequestInfo& info) {
  if (info.host_header && HostNamesThisServer(*info.host_header, info.extra_host_names))
    return *info.host_header;
  std::string arrived = ConnectionArrivalAddress(info.socket_fd);
  return arrived.empty() ? info.server_address : arrived;
}

// The redirect header for `target`. Control characters are left out: a line
// break smuggled in through the Host header would add header lines.
std::string LocationHeader(std::string_view target) {
  std::string header = "Location: ";
  for (char c : target) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) header.push_back(c);
  }
  header.append("\r\n\r\n");
  return header;
}

// The steps of SaveResponse; `failure` receives the sentence of the one
// that failed.
ResultCode SaveSteps(std::string_view base_path, std::string_view database, VarTable* vars,
                     const VarTable* settings, bool may_have_record, std::string* failure) {
  if (SettingInt(settings, "MAXRESPONSES", 0) > 0 &&
      ResponseCountRaise(base_path, database) < 0) {
    LogSurveyError("The response counter kqscounts.ini in the server root cannot be written: "
                   "this response is not counted against MAXRESPONSES of " +
                   std::string(database) + ".ini.");
  }
  if (SettingInt(settings, "LOGDATETIME", 1) == 0) {
    VarTableRename(vars, "HOST", "_HOST");
    VarTableRename(vars, "DATE", "_DATE");
    VarTableRename(vars, "TIME", "_TIME");
  }
  if (SettingInt(settings, "SAVEEMAIL", 0) != 0) {
    const ResultCode rc = MailResponse(base_path, database, vars, settings);
    if (rc != ResultCode::kOk) {
      *failure = MailFailure(rc, database, settings);
      return rc;
    }
  }
  // The statistics follow the live records of the data file: a response is
  // added once it is stored, and the records it replaces are taken out (a
  // returning respondent's stored record; the session's earlier records,
  // as when a page is sent again after the browser's Back button).
  const bool save_stats = SettingInt(settings, "SAVESTAT", 0) != 0;
  std::vector<StoredRecord> replaced;
  if (save_stats && may_have_record) {
    StoredRecord stored;
    stored.values = FindRespondentRecord(settings, base_path, database, vars, 0, &stored.offset);
    if (stored.values) replaced.push_back(std::move(stored));
  }
  if (SettingInt(settings, "SAVEDATA", 0) != 0) {
    std::vector<StoredRecord> superseded;
    const ResultCode rc =
        SaveDataFile(base_path, database, vars, settings, save_stats ? &superseded : nullptr,
                     failure);
    if (rc != ResultCode::kOk) return rc;
    for (StoredRecord& record : superseded) AddReplaced(replaced, std::move(record));
  }
  if (save_stats) SaveStatistics(base_path, database, vars, settings, replaced);
  if (SettingInt(settings, "SAVEXML", 0) != 0) {
    const ResultCode rc = SaveXml(base_path, database, vars, settings, failure);
    if (rc != ResultCode::kOk) return rc;
  }
  return ResultCode::kOk;
}

}  // namespace

ResultCode SaveResponse(std::string_view base_path, std::string_view database, VarTable* vars,
                        const VarTable* settings, bool may_have_record, std::string* failure) {
  std::string sentence;
  const ResultCode rc = SaveSteps(base_path, database, vars, settings, may_have_record, &sentence);
  if (rc != ResultCode::kOk) {
    LogSurveyError(sentence);
    if (failure) *failure = std::move(sentence);
  }
  return rc;
}

void ShowResult(std::string_view base_path, OutputStream* out, std::string_view database,
                const VarTable* settings, VarTable* vars, ResultCode code,
                const RequestInfo& info, std::string_view lead, std::string_view failure) {
  if (code == ResultCode::kOk) {
    std::string redirect = Setting(settings, "REDIRECT");
    if (SettingInt(settings, "SHOWREDIRECT", 0) != 0 && !redirect.empty()) {
      if (redirect[0] == '/') redirect = "http://" + ServerAddressForClient(info) + redirect;
      WriteResponseHeader(out, LocationHeader(redirect));
      return;
    }
    ShowThanks(base_path, out, settings, vars, lead, info.FromThisMachine());
    return;
  }
  WriteResponseHeader(out);
  StreamWriteText(out, lead);
  // The failure was logged by the save step; the page tells it.
  StreamWriteText(out, "<P class=\"kqs-error\">");
  StreamWriteHtml(out, kNotSaved);
  StreamWriteText(out, "</P>\n");
  if (info.FromThisMachine()) WriteAuthorDetail(out, failure);
}

}  // namespace tallypad
