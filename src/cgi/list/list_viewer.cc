#include "cgi/list/list_viewer.h"

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "base/decode.h"
#include "base/file.h"
#include "base/result_code.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "cgi/list/list_export.h"
#include "httpd/response_header.h"
#include "platform/profile.h"
#include "script/expr.h"
#include "store/access.h"
#include "store/datafile.h"
#include "store/password_guard.h"

namespace tallypad {

namespace {

// The viewer's name in its message-log lines.
constexpr std::string_view kProgramName = "list";
// Record positions per page when the request names no usable count.
constexpr long long kDefaultCount = 50;
// A name from the request quoted in an error text keeps at most this many
// bytes, so that a log line stays one line.
constexpr size_t kQuotedNameLimit = 80;

// What one request asks for, read from its variables.
struct ListRequest {
  std::string database;
  std::string password;
  std::string action;
  std::string query;
  long long count = kDefaultCount;
  long long start = 0;
  int rowid = 0;
};

// ---- Reading the request -------------------------------------------------

ListRequest ReadListRequest(const VarTable* vars) {
  ListRequest r;
  r.database = VarTableGet(vars, "DATABASE", "");
  r.password = VarTableGet(vars, "_PASSWORD", "");
  r.action = VarTableGet(vars, "_ACTION", "");
  r.query = VarTableGet(vars, "_QUERY", "");
  int count = StrToIntClamped(VarTableGet(vars, "_COUNT", ""));
  r.count = count < 1 ? kDefaultCount : count;
  int start = StrToIntClamped(VarTableGet(vars, "_START", ""));
  r.start = start < 1 ? 0 : start;
  r.rowid = StrToIntClamped(VarTableGet(vars, "_ROWID", ""));
  return r;
}

// ---- Parts every page shares ---------------------------------------------

struct StyleRule {
  std::string_view selector;
  std::string_view declarations;  // one per line
};

constexpr StyleRule kStyleRules[] = {
    {"BODY",
     "background-color: white;\nfont-family: courier;\nfont-size: 100%;\ncolor: #000000;\n"},
    {"TABLE", "border-collapse: collapse;\n"},
    {"TR", "font-size: 100%;\nborder: thin solid #000000;\n"},
    {"TR.DARK", "background-color: lightcyan;\n"},
    {"TR.LIGHT", "background-color: lightyellow;\n"},
    {"TH",
     "font-size: 50%;\nborder-width: thin;\nborder-style: solid;\nborder-color: #000000;\n"
     "padding: 3px;\n"},
    {"TD",
     "font-size: 50%;\nborder-width: thin;\nborder-style: solid;\nborder-color: slategray;\n"
     "text-align: center;\n"},
    {"TD.INDEX", "color: #FF0000;\nfont-size: 30%;\nfont-weight: bold;\n"},
    {"TD.QUERY", "color: #000000;\nborder-color: #FFFFFF;\n"},
    {"TD.OPTION", "color: #000000;\nborder-color: #FFFFFF;\ntext-align: left;\n"},
    {"TABLE.LIST", "border-width: thin;\nborder-style: solid;\nborder-color: #000000;\n"},
};

void WritePageHead(OutputStream* out) {
  StreamWriteText(out, "<HTML>\n<HEAD>\n<style type=\"text/css\">\n");
  for (const StyleRule& rule : kStyleRules) {
    StreamWriteText(out, rule.selector);
    StreamWriteText(out, "\n{\n");
    StreamWriteText(out, rule.declarations);
    StreamWriteText(out, "}\n\n");
  }
  StreamWriteText(out, "</style>\n</HEAD>\n\n<BODY>\n");
}

void WritePageEnd(OutputStream* out) { StreamWriteText(out, "</BODY>\n</HTML>\n\n"); }

// The query bar of the list and record pages: a form that lists from the
// start with a new query, and one that leads back to the option page.
void WriteQueryBar(OutputStream* out, const ListRequest& r) {
  StreamWriteText(out, "<TABLE><TR><TD CLASS=\"QUERY\">");
  StreamWriteText(out, "<FORM ACCEPT-CHARSET=\"UTF-8\"><INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"");
  StreamWriteHtml(out, r.database);
  StreamWriteText(out, "\">\n<INPUT TYPE=HIDDEN NAME=_PASSWORD VALUE=\"");
  StreamWriteHtml(out, r.password);
  StreamWriteText(out, "\">\n");
  if (r.query.empty()) {
    StreamWriteText(out, " Query: <INPUT NAME=_QUERY>");
  } else {
    // The query in force stays in the field, to be refined or sent again.
    StreamWriteText(out, " Query: <INPUT NAME=_QUERY VALUE=\"");
    StreamWriteHtml(out, r.query);
    StreamWriteText(out, "\">");
  }
  StreamWriteText(out, "<INPUT TYPE=SUBMIT NAME=_ACTION VALUE=\"List records\">\n");
  StreamWriteText(out, "</FORM>\n\n");
  StreamWriteText(out, "</TD><TD CLASS=\"QUERY\">");
  StreamWriteText(out,
                  "<FORM ACCEPT-CHARSET=\"UTF-8\">\n<INPUT TYPE=SUBMIT NAME=_ACTION VALUE=\"Start "
                  "over\"></FORM>\n");
  StreamWriteText(out, "</TD></TABLE>");
  StreamWriteText(out,
                  "(<b>field</b>=<i>value</i>&<b>field</b>=<i>value</i>) wildcards are _ and %\n");
}

void WritePagingLink(OutputStream* out, const ListRequest& r, long long start,
                     std::string_view text) {
  StreamPrintf(out, "<a href=\"?DATABASE=%s&_PASSWORD=%s&_ACTION=LIST&_COUNT=%lld&_START=%lld",
               UrlEncode(r.database).c_str(), UrlEncode(r.password).c_str(), r.count, start);
  // A filtered list pages on with its query.
  if (!r.query.empty()) StreamPrintf(out, "&_QUERY=%s", UrlEncode(r.query).c_str());
  StreamWriteText(out, "\">");
  StreamWriteText(out, text);
  StreamWriteText(out, "</a>");
}

// Back and Next, always both, whatever the position and the file's size.
void WritePagingLinks(OutputStream* out, const ListRequest& r) {
  WritePagingLink(out, r, r.start - r.count, "Back");
  StreamWriteText(out, " | ");
  WritePagingLink(out, r, r.start + r.count, "Next");
}

// Links that download the records the list's query selects, in each
// export format.
void WriteDownloadLinks(OutputStream* out, const ListRequest& r) {
  constexpr std::pair<std::string_view, std::string_view> kDownloads[] = {
      {"CSV", "CSV (spreadsheet)"}, {"JSONL", "JSON Lines"}};
  StreamWriteText(out, "<P CLASS=\"DOWNLOAD\">Download the records listed:");
  for (const auto& [action, text] : kDownloads) {
    StreamPrintf(out, " <a href=\"?DATABASE=%s&_PASSWORD=%s&_ACTION=%.*s",
                 UrlEncode(r.database).c_str(), UrlEncode(r.password).c_str(),
                 static_cast<int>(action.size()), action.data());
    if (!r.query.empty()) StreamPrintf(out, "&_QUERY=%s", UrlEncode(r.query).c_str());
    StreamWriteText(out, "\">");
    StreamWriteText(out, text);
    StreamWriteText(out, "</a>");
  }
  StreamWriteText(out, "</P>\n");
}

// The page on which the user enters a database name and a password.
void WriteOptionPage(OutputStream* out, const ListRequest& r) {
  WritePageHead(out);
  StreamWriteText(out,
                  "<FORM method=\"post\" ACCEPT-CHARSET=\"UTF-8\"><h4>To view a database or "
                  "report, please choose an option:</h4>\n");
  StreamWriteText(out, "<TABLE>\n");

  StreamWriteText(out, "<TR><TD CLASS=\"OPTION\">");
  StreamPrintf(out, "Database:<font color=\"%s\">*</font>", "#FF0000");
  StreamWriteText(out, "</TD><TD CLASS=\"OPTION\">");
  StreamWriteText(out, "<input name=\"DATABASE\" VALUE=\"");
  StreamWriteHtml(out, r.database);
  StreamWriteText(out, "\">\n");
  StreamWriteText(out, "</TD></TR>\n");

  StreamWriteText(out, "<TR><TD CLASS=\"OPTION\">");
  StreamWriteText(out, "Query:");
  StreamWriteText(out, "</TD><TD CLASS=\"OPTION\">");
  StreamWriteText(out, "<INPUT NAME=\"_QUERY\">");
  StreamWriteText(out, " (<b>field</b>=<i>value</i>&amp;<b>field</b>=<i>value</i>)");
  StreamWriteText(out, "</TD></TR>\n");

  StreamWriteText(out, "<TR><TD CLASS=\"OPTION\">");
  StreamPrintf(out, "Password:<font color=\"%s\">*</font>", "#FF0000");
  StreamWriteText(out, "</TD><TD CLASS=\"OPTION\">");
  StreamWriteText(out, "<INPUT TYPE=\"PASSWORD\" NAME=\"_PASSWORD\" VALUE=\"");
  StreamWriteHtml(out, r.password);
  StreamWriteText(out, "\">");
  StreamWriteText(out, " (to use multiple passwords, separate them with commas)");
  StreamWriteText(out, "</TD></TR>\n");

  StreamWriteText(out, "<TR><TD CLASS=\"OPTION\">");
  StreamWriteText(out, "<INPUT TYPE=\"HIDDEN\" NAME=\"_ACTION\" VALUE=\"LIST\">");
  StreamWriteText(out, "<INPUT TYPE=\"SUBMIT\" VALUE=\"List records\">");
  StreamWriteText(out, "</TD></TR>\n");

  StreamWriteText(out, "</TABLE>\n\n");
  StreamWriteText(out, "</FORM>\n");
  StreamWriteText(out,
                  "<HR>Tallypad Database List. Copyright &copy; Velkorn. All rights reserved.\n");
  WritePageEnd(out);
}

// A name from the request for an error text: in double quotes, control
// characters as '?', cut when long.
std::string Quoted(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name.substr(0, kQuotedNameLimit)) {
    const unsigned char u = static_cast<unsigned char>(c);
    quoted.push_back(u < 0x20 || u == 0x7f ? '?' : c);
  }
  if (name.size() > kQuotedNameLimit) quoted += "...";
  return quoted + "\"";
}

// Reports an error: `author` (whole sentences: what is wrong, which file
// relative to the server root, what to do) goes to the message log; the
// page gets `caller`, short, and, when the request comes from this machine,
// the author's text as well. Both are escaped. Returns `code`.
ResultCode ReportError(OutputStream* out, ResultCode code, std::string_view caller,
                       std::string_view author, bool author_view) {
  std::string log = "\n";
  log.append(kProgramName).append(": ").append(author);
  StatusLogAppend(log);
  StreamWriteText(out, "<P class=\"list-error\">");
  StreamWriteHtml(out, caller);
  StreamWriteText(out, "</P>\n");
  if (author_view) {
    StreamWriteText(out,
                    "<P class=\"list-author\"><B>For the form's author</B> (shown only on this "
                    "computer): ");
    StreamWriteHtml(out, author);
    StreamWriteText(out, "</P>\n");
  }
  return code;
}

// ---- The list page ---------------------------------------------------------

// Cuts every column name at its first '_', for the rest of the request, so
// that Q3_1, Q3_2 and Q3_OTHER share the heading Q3 and one cell per row.
void CutColumnNames(VarTable* columns) {
  for (VarEntry& e : columns->entries) {
    if (!e.name) continue;
    size_t underscore = e.name->find('_');
    if (underscore != std::string::npos) e.name->resize(underscore);
  }
}

void WriteHeaderRow(OutputStream* out, const VarTable* columns) {
  StreamWriteText(out, "<TR><TH COLSPAN=2>Row Actions");
  std::string_view last;
  for (const VarEntry& e : columns->entries) {
    if (!e.IsUsed() || StrEqualNoCase(*e.name, last)) continue;
    StreamWriteText(out, "<TH>");
    StreamWriteHtml(out, *e.name);
    StreamWriteText(out, "</TH>");
    last = *e.name;
  }
  StreamWriteText(out, "</TR>");
}

void WriteRecordRow(OutputStream* out, const ListRequest& r, const VarTable* columns,
                    long long number, bool light) {
  StreamWriteText(out, light ? "\n<TR CLASS=\"LIGHT\">\n" : "\n<TR CLASS=\"DARK\">\n");
  StreamPrintf(out,
               "<TD><a href=\"?_PASSWORD=%s&DATABASE=%s&_ROWID=%lld&_ACTION=View\">View</a></TD>\n",
               UrlEncode(r.password).c_str(), UrlEncode(r.database).c_str(), number);
  StreamPrintf(out, "<TD CLASS=\"INDEX\">%lld</TD>\n", number);
  std::string_view last;
  for (const VarEntry& e : columns->entries) {
    if (!e.IsUsed()) continue;
    StreamWriteText(out, StrEqualNoCase(*e.name, last) ? "," : "<TD>");
    last = *e.name;
    if (e.value) {
      // Answers come from respondents: never let one become markup.
      StreamWriteHtml(out, *e.value);
    } else {
      StreamWriteText(out, "&nbsp;");
    }
  }
  StreamWriteText(out, "</TR>\n\n");
}

// Lists the records at positions start + 1 to start + count that satisfy
// the query. Record numbers count every line after the header, so a number
// names the same record whatever the query.
void WriteListPage(OutputStream* out, const ListRequest& r, DataFile* data) {
  WritePageHead(out);
  StreamWriteText(out, "<h3>Tallypad Database List</h3>\n");
  WriteQueryBar(out, r);
  WriteDownloadLinks(out, r);
  StreamWriteText(out, "<HR>\n");
  WritePagingLinks(out, r);
  StreamWriteText(out, "<TABLE CLASS=\"LIST\">\n");

  VarTable* columns = data->columns();
  CutColumnNames(columns);
  WriteHeaderRow(out, columns);

  // Positions before the page are only passed over.
  data->GoToRecord(r.start);
  long long listed = 0;
  for (long long position = r.start; position < r.start + r.count; ++position) {
    int status = data->ReadNext();
    // Past the end nothing more can be listed.
    if (status == kLineEnd) break;
    if (status != kLineRecord) continue;
    if (CondEvaluate(r.query, columns, nullptr) == 0) continue;
    WriteRecordRow(out, r, columns, position + 1, listed % 2 == 0);
    ++listed;
  }

  StreamWriteText(out, "\n</TABLE>\n\n\n");
  WritePagingLinks(out, r);
  WritePageEnd(out);
}

// ---- The record page -------------------------------------------------------

void WriteRecordPage(OutputStream* out, const ListRequest& r, const VarTable* columns) {
  WritePageHead(out);
  StreamPrintf(out, "<H2>Viewing record %d</H2>", r.rowid);
  WriteQueryBar(out, r);
  StreamWriteText(out, "<HR>\n");
  StreamWriteText(out, "<TABLE>\n");
  bool dark = true;
  for (const VarEntry& e : columns->entries) {
    if (!e.IsUsed()) break;
    StreamWriteText(out, dark ? "<TR CLASS=\"DARK\">\n" : "<TR CLASS=\"LIGHT\">\n");
    dark = !dark;
    StreamWriteText(out, "<TD>");
    StreamWriteHtml(out, *e.name);
    StreamWriteText(out, "</TD>\n<TD>");
    if (e.value) {
      StreamWriteHtml(out, *e.value);
    } else {
      StreamWriteText(out, "&nbsp;");
    }
    StreamWriteText(out, "</TD>\n");
  }
  StreamWriteText(out, "</TABLE>\n\n");
  WritePageEnd(out);
}

// Shows record number `r.rowid`; returns kNoSuchRecord when there is no
// such record.
ResultCode ViewRecord(OutputStream* out, const ListRequest& r, DataFile* data) {
  if (r.rowid < 1) return ResultCode::kOk;
  data->GoToRecord(r.rowid - 1);
  int status = data->ReadNext();
  // End of file and lines without any value hold no record.
  if (status == kLineEnd || status == kLineEmpty) {
    StreamPrintf(out, "Row (%d) does not exist in the database.", r.rowid);
    return ResultCode::kNoSuchRecord;
  }
  WriteRecordPage(out, r, data->columns());
  return ResultCode::kOk;
}

// The export a request's action asks for: "CSV" or "JSONL" (any case).
std::optional<ExportFormat> ExportAsked(const ListRequest& r) {
  if (StrEqualNoCase(r.action, "CSV")) return ExportFormat::kCsv;
  if (StrEqualNoCase(r.action, "JSONL")) return ExportFormat::kJsonLines;
  return std::nullopt;
}

// Sends the records the query selects as a download, to a caller with the
// read right; the errors of the list come as a page.
ResultCode ServeExport(const std::string& server_root, const ListRequest& r, ExportFormat format,
                       OutputStream* out, const RequestInfo& info) {
  std::string path;
  ResultCode code = ResultCode::kOk;
  std::unique_ptr<DataFile> data = ListOpenForExport(server_root, r.database, &path, &code);
  const bool author_view = info.FromThisMachine();
  if (code == ResultCode::kNoConfiguration) {
    WriteResponseHeader(out);
    WriteOptionPage(out, r);
    const std::string ini = r.database + ".ini";
    return ReportError(out, code, "There is no form named " + Quoted(r.database) + " here.",
                       "The export of the form " + r.database + " needs the file " + ini +
                           " with a [DATABASE] section, and the server root has none.",
                       author_view);
  }
  if (!data) {
    WriteResponseHeader(out);
    return ReportError(out, ResultCode::kDataFileUnreadable,
                       "The answers of this form cannot be read.",
                       "The data file " + PathShown(server_root, path) + " of the form " +
                           r.database +
                           " does not exist, cannot be read or has no header line: create it "
                           "with its header line.",
                       author_view);
  }
  WriteResponseHeader(out, ExportDownloadHeader(r.database, format));
  ListExportRecords(data.get(), r.query, format, out);
  return ResultCode::kOk;
}

// Serves one request as ListDispatch does, returning its code.
ResultCode ServeList(const std::string& server_root, VarTable* vars, OutputStream* out,
                     const RequestInfo& info) {
  ListRequest r = ReadListRequest(vars);
  // An address that guessed too many passwords gets the refusal instead.
  long refused_for = 0;
  std::optional<int> guarded = GuardedRights(info.client_address, info.client_ip, server_root, "",
                                             r.database, r.password, &refused_for);
  if (!guarded) {
    WriteTooManyRequests(out, refused_for, PasswordRefusalPage(refused_for));
    return ResultCode::kOk;
  }
  const int rights = *guarded;
  if (std::optional<ExportFormat> format = ExportAsked(r);
      format && !r.database.empty() && (rights & kRightRead))
    return ServeExport(server_root, r, *format, out, info);
  WriteResponseHeader(out);

  if (r.action.empty() || r.database.empty() || !(rights & kRightRead)) {
    WriteOptionPage(out, r);
    return ResultCode::kOk;
  }

  const bool author_view = info.FromThisMachine();
  const std::string ini = r.database + ".ini";
  VarTablePtr settings = IniLoadSection(PathBuild(server_root, ini), "DATABASE", 0);
  if (!settings) {
    WriteOptionPage(out, r);
    return ReportError(out, ResultCode::kNoConfiguration,
                       "There is no form named " + Quoted(r.database) + " here.",
                       FileExists(PathBuild(server_root, ini))
                           ? ini + " has no [DATABASE] section (or it is empty), so the form " +
                                 r.database + " has no settings."
                           : "The server root has no file " + ini + ", so there is no form " +
                                 Quoted(r.database) + ".",
                       author_view);
  }

  std::string path = DataFileReadPath(server_root, settings.get(), r.database);

  bool view = StrCompareNoCaseN(r.action, "VIEW", 4) == 0;
  bool list = StrCompareNoCaseN(r.action, "LIST", 4) == 0;
  if (!view && !list)
    return ReportError(out, ResultCode::kUnknownListCommand,
                       "The list viewer does not know the action " + Quoted(r.action) +
                           ": it lists (LIST) or views a record (VIEW).",
                       "The list viewer was asked for the action " + Quoted(r.action) +
                           " on the form " + r.database + "; it knows only LIST and VIEW.",
                       author_view);

  std::unique_ptr<DataFile> data = DataFile::Open(path, 0);
  if (!data) {
    const std::string shown = PathShown(server_root, path);
    return ReportError(out, ResultCode::kDataFileUnreadable,
                       "The answers of this form cannot be read.",
                       "The data file " + shown + " of the form " + r.database +
                           (VarTableGet(settings.get(), "SAVEDATANAME").empty()
                                ? std::string(" (the default, as " + ini + " sets no SAVEDATANAME)")
                                : std::string(" (SAVEDATANAME in " + ini + ")")) +
                           " does not exist, cannot be read or has no header line: create it "
                           "with its header line.",
                       author_view);
  }

  if (list) {
    WriteListPage(out, r, data.get());
    return ResultCode::kOk;
  }
  return ViewRecord(out, r, data.get());
}

}  // namespace

int ListDispatch(const std::string& server_root, VarTable* vars, OutputStream* out,
                 const RequestInfo& info) {
  return ResultNumber(ServeList(server_root, vars, out, info));
}

}  // namespace tallypad
