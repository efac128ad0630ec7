#include "cgi/kqs/login.h"

#include <string>
#include <vector>

#include "base/str.h"
#include "base/text.h"
#include "store/access.h"
#include "store/datafile.h"
#include "store/record_lookup.h"

namespace tallypad {

namespace {

// What the prompt asks the password for, by the right that is missing.
std::string_view PromptPurpose(int right) {
  switch (right) {
    case kRightUpdate:
      return "update data in";
    case kRightAppend:
      return "append data to";
    case kRightReport:
      return "view reports of";
    default:
      return "use";
  }
}

constexpr std::string_view kLoginForm =
    "<FORM METHOD=\"POST\" ACCEPT-CHARSET=\"UTF-8\">\n"
    "<INPUT TYPE=\"HIDDEN\" NAME=\"_ACTION\" VALUE=\"START\" />\n";

// True when LOGINSEQUENCE names the data file among its sources (blanks,
// semicolons and commas separate them, as the record lookup reads it).
bool SequenceHasDataFile(const VarTable* settings) {
  std::string sequence = VarTableGet(settings, "LOGINSEQUENCE", "ASC");
  size_t at = 0;
  while (at < sequence.size()) {
    size_t end = sequence.find_first_of(" ;,", at);
    if (end == std::string::npos) end = sequence.size();
    if (StrEqualNoCase(std::string_view(sequence).substr(at, end - at), "ASC")) return true;
    at = end + 1;
  }
  return false;
}

// Writes "NAME\" VALUE=\"value\" />\n<br>" for an ID field, both escaped.
void WriteIdFieldRest(OutputStream* out, const VarTable* vars, const std::string& name) {
  StreamWriteHtml(out, name);
  StreamWriteText(out, "\" VALUE=\"");
  StreamWriteHtml(out, VarTableGet(vars, name, ""));
  StreamWriteText(out, "\" />\n<br>");
}

}  // namespace

void WritePermissionPrompt(OutputStream* out, const VarTable* vars, std::string_view database,
                           std::string_view action, int right) {
  StreamWriteText(out, "<H3>Permission denied</H3>\n<P>Please enter your password to ");
  StreamWriteText(out, PromptPurpose(right));
  StreamWriteText(out, " this file.\n");
  StreamWriteText(out,
                  "<P><FORM METHOD=POST ACCEPT-CHARSET=\"UTF-8\">"
                  "\n<INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"");
  StreamWriteHtml(out, database);
  StreamWriteText(out, "\">\n<INPUT TYPE=HIDDEN NAME=_ACTION VALUE=\"");
  StreamWriteHtml(out, action);
  StreamWriteText(out, "\">\n");
  VarTableForEach(vars, [&](const VarEntry& e) {
    // The refused password is not carried: posted before the new one, it
    // would be the one read, and the new password could never succeed.
    if (StrEqualNoCase(*e.name, "_PASSWORD")) return;
    StreamWriteText(out, "<INPUT TYPE=HIDDEN NAME=\"");
    StreamWriteHtml(out, *e.name);
    StreamWriteText(out, "\" VALUE=\"");
    if (e.value) StreamWriteHtml(out, *e.value);
    StreamWriteText(out, "\">\n");
  });
  StreamWriteText(out,
                  "<INPUT TYPE=PASSWORD NAME=_PASSWORD> <INPUT TYPE=SUBMIT "
                  "VALUE=\"Login\"></FORM><HR>");
}

void WriteLoginPage(OutputStream* out, int rights, std::string_view database, const VarTable* vars,
                    std::string_view base_path, const VarTable* settings) {
  VarTablePtr columns;
  if (SequenceHasDataFile(settings)) {
    columns = DataFileReadColumns(DataFileReadPath(base_path, settings, database), 0);
    if (!columns) {
      StreamWriteText(out,
                      "<head><title>Setup error</title></head>\n\n<BODY>\n"
                      "Sorry, I can't access the data file. Check the read/write permissions.");
      return;
    }
  }
  StreamWriteText(out, "<head><title>Login</title></head>\n\n<BODY>\n");
  const std::string escaped_database = HtmlEscape(database);
  if (rights & kRightAppend) {
    StreamWriteText(out, "<H3>Start</H3>");
    StreamWriteText(out, kLoginForm);
    StreamPrintf(out, "<INPUT TYPE=\"HIDDEN\" NAME=\"DATABASE\" VALUE=\"%s\" />\n",
                 escaped_database.c_str());
    StreamWriteText(out, "<INPUT TYPE=\"SUBMIT\" VALUE=\"  Start Survey  \" /></FORM>");
  }
  StreamWriteText(out, "<H3>Please enter your login and password</H3>");
  StreamWriteText(out, kLoginForm);
  StreamWriteText(out, "<INPUT TYPE=\"HIDDEN\" NAME=\"DATABASE\" VALUE=\"");
  StreamWriteText(out, escaped_database);
  StreamWriteText(out, "\" />\n<tt>");

  std::vector<std::string> fields = IdFieldNames(settings);
  for (size_t k = 0; k < fields.size(); ++k) {
    const std::string& name = fields[k];
    if (k == 0) {
      StreamWriteText(out,
                      "<label for=\"N\">Login:</label>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;</tt>"
                      "<INPUT ID=\"N\" NAME=\"");
      WriteIdFieldRest(out, vars, name);
      continue;
    }
    if (columns && !VarTableFind(columns.get(), name)) continue;
    if (k == 1) {
      StreamWriteText(out,
                      "<tt><label for=\"P\">Password:</label>&nbsp;"
                      "</tt><INPUT ID=\"P\" TYPE=\"PASSWORD\" NAME=\"");
    } else {
      StreamPrintf(out, "<tt><label for=\"P%zu\">Password%zu:</label>&nbsp;", k, k);
      StreamPrintf(out, "</tt><INPUT ID=\"P%zu\" TYPE=\"PASSWORD\" NAME=\"", k);
    }
    WriteIdFieldRest(out, vars, name);
  }
  StreamWriteText(out, "<INPUT TYPE=\"SUBMIT\" VALUE=\"  Login to the survey  \" /></FORM></BODY>");
}

}  // namespace tallypad
