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
#include "base/text.h"
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

void SaveStatistics(std::string_view base_path, const VarTable* vars, const VarTable* settings,
                    const std::vector<StoredRecord>& replaced) {
  std::string path = FormFilePath(base_path, Setting(settings, "SAVESTATNAME"));
  if (path.empty()) return;
  std::vector<const VarTable*> previous;
  for (const StoredRecord& record : replaced) previous.push_back(record.values.get());
  if (!StatisticsUpdate(path, vars, previous))
    StatusLogAppend("\nkqs: cannot write to statistics file " + path);
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
                        std::vector<StoredRecord>* superseded) {
  // Written where it is read from: SAVEDATANAME, else the database name
  // followed by ".asc".
  std::string path = DataFileReadPath(base_path, settings, database);
  int64_t offset = 0;
  const ResultCode rc = path.empty() ? ResultCode::kFormFileMissing
                                     : AppendRecord(path, vars, &offset);
  if (rc != ResultCode::kOk) {
    StatusLogAppend("\nkqs: cannot write to ascii file " + path);
    return rc;
  }
  SupersedeSession(path, vars, superseded, offset);
  std::string index = FormFilePath(base_path, Setting(settings, "SAVEINDEXNAME"));
  if (!index.empty()) AppendIndexEntry(index, vars, offset);
  return ResultCode::kOk;
}

ResultCode SaveXml(std::string_view base_path, const VarTable* vars, const VarTable* settings) {
  std::string path = FormFilePath(base_path, Setting(settings, "SAVEXMLNAME"));
  const ResultCode rc = XmlAppendTransaction(vars, path, nullptr);
  if (rc != ResultCode::kOk) StatusLogAppend("\nkqs: cannot write to xml file " + path);
  return rc;
}

// Runs the template file `name` (resolved against the server root) into the
// page; a file that cannot be opened is left out.
void ShowTemplate(std::string_view base_path, OutputStream* out, std::string_view name,
                  VarTable* vars, bool formfill) {
  std::string path = FormFilePath(base_path, name);
  if (!path.empty())
    TemplateProcessFile(
        path, {.base_path = base_path, .out = out, .vars = vars, .formfill = formfill});
}

void ShowThanks(std::string_view base_path, OutputStream* out, const VarTable* settings,
                VarTable* vars, std::string_view lead) {
  WriteResponseHeader(out);
  StreamWriteText(out, lead);
  std::string message = Setting(settings, "MESSAGE");
  StreamWriteText(out, "<html><head><title>");
  StreamWriteText(out, message);
  StreamWriteText(out, "</title></head><body>");
  if (SettingInt(settings, "DISPLAYMESSAGE", 1) != 0)
    StreamWriteText(out, message.empty() ? kDefaultMessage : message);
  if (SettingInt(settings, "DISPLAYFORM", 0) != 0) {
    ShowTemplate(base_path, out, Setting(settings, "FORM"), vars, true);
  } else if (SettingInt(settings, "DISPLAYREPORT", 0) != 0) {
    ShowTemplate(base_path, out, Setting(settings, "REPORT"), vars, false);
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

}  // namespace

ResultCode SaveResponse(std::string_view base_path, std::string_view database, VarTable* vars,
                        const VarTable* settings, bool may_have_record) {
  if (SettingInt(settings, "MAXRESPONSES", 0) > 0 &&
      ResponseCountRaise(base_path, database) < 0) {
    StatusLogAppend("\nkqs: cannot write to counter file " + ResponseCounterPath(base_path));
  }
  if (SettingInt(settings, "LOGDATETIME", 1) == 0) {
    VarTableRename(vars, "HOST", "_HOST");
    VarTableRename(vars, "DATE", "_DATE");
    VarTableRename(vars, "TIME", "_TIME");
  }
  if (SettingInt(settings, "SAVEEMAIL", 0) != 0) {
    const ResultCode rc = MailResponse(base_path, database, vars, settings);
    if (rc != ResultCode::kOk) return rc;
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
        SaveDataFile(base_path, database, vars, settings, save_stats ? &superseded : nullptr);
    if (rc != ResultCode::kOk) return rc;
    for (StoredRecord& record : superseded) AddReplaced(replaced, std::move(record));
  }
  if (save_stats) SaveStatistics(base_path, vars, settings, replaced);
  if (SettingInt(settings, "SAVEXML", 0) != 0) {
    const ResultCode rc = SaveXml(base_path, vars, settings);
    if (rc != ResultCode::kOk) return rc;
  }
  return ResultCode::kOk;
}

void ShowResult(std::string_view base_path, OutputStream* out, std::string_view database,
                const VarTable* settings, VarTable* vars, ResultCode code,
                const RequestInfo& info, std::string_view lead) {
  if (code == ResultCode::kOk) {
    std::string redirect = Setting(settings, "REDIRECT");
    if (SettingInt(settings, "SHOWREDIRECT", 0) != 0 && !redirect.empty()) {
      if (redirect[0] == '/') redirect = "http://" + ServerAddressForClient(info) + redirect;
      WriteResponseHeader(out, LocationHeader(redirect));
      return;
    }
    ShowThanks(base_path, out, settings, vars, lead);
    return;
  }
  WriteResponseHeader(out);
  StreamWriteText(out, lead);
  if (code == ResultCode::kFormFileMissing) {
    StreamWriteText(out,
                    "<P>Unable to open the data file for writing. You probably need to configure "
                    "your server to allow writing to ");
    StreamWriteHtml(out, Setting(settings, "SAVEDATANAME", database));
    StreamWriteText(out, "</tt>");
  } else if (code == ResultCode::kAnswersNotWritten) {
    StreamWriteText(out, "<P>Unable to write to the database: ");
    StreamWriteHtml(out, database);
  } else {
    StreamPrintf(out, "<P>Error %d occurred. Data were not saved.", ResultNumber(code));
  }
}

}  // namespace tallypad
