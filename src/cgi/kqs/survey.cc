// The survey dispatcher: loads the form the request names (its settings and
// passwords from one read, its validation file once a step needs it), works
// out the caller's rights, validates the request, and runs the step the
// action asks for: the first page, the next or previous page, the save step
// with its result page, the report, or a password prompt or login page.
// Every path ends in the same two steps: the message (for the codes that
// have no page of their own) and the finish (the administrator's report and
// the rights notice for refused requests).
#include "cgi/kqs/survey.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "base/file.h"
#include "base/result_code.h"
#include "base/str.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "cgi/kqs/answer_checks.h"
#include "cgi/kqs/login.h"
#include "cgi/kqs/page_scripts.h"
#include "cgi/kqs/pages.h"
#include "cgi/kqs/save.h"
#include "cgi/kqs/survey_errors.h"
#include "cgi/kqs/unique_id.h"
#include "httpd/response_header.h"
#include "mail/mail_compose.h"
#include "platform/profile.h"
#include "script/template.h"
#include "store/access.h"
#include "store/form.h"
#include "store/form_name.h"
#include "store/password_guard.h"
#include "store/record_lookup.h"

namespace tallypad {

namespace {

// Longest DATABASE, _PASSWORD, _ACTION or _PAGE accepted: names and
// passwords are short, and longer ones are taken as an attack.
constexpr size_t kMaxRequestText = 128;
// Page names are at least this long ("page0").
constexpr size_t kMinPageName = 5;
// The first ID field's name keeps at most this many characters.
constexpr size_t kMaxIdFieldName = 63;
// A token of the PWDFILE file keeps at most this many characters; a longer
// one is read as several tokens.
constexpr size_t kMaxPwdFileToken = 128;
// Free entries given to a stored record shown as the variables, for the
// variables its page scripts add.
constexpr size_t kRecordSpareSlots = 64;
constexpr std::string_view kChooserPage =
    "<head><title>Tallypad CGI</title></head>\n"
    "<FORM METHOD=GET ACCEPT-CHARSET=\"UTF-8\">\n"
    "<H3>Start filling out a form</H3><P><label for=D>Please type the name of the form:</label> "
    "<input ID=D name=DATABASE><BR>\n"
    "<input type=submit value=\"  Click here to begin   \"></FORM>"
    "<HR><P><A HREF=\"http://www.velkorn.com/tallypad/\">Tallypad&reg;</A> 5.04. "
    "Copyright &copy; Velkorn. All rights reserved.</P>\n";

// What happens after a step.
enum class Then {
  kReturn,   // the request is answered: return the code at once
  kGoOn,     // set-up done: dispatch on the action
  kResult,   // the code decides: finish, or message and finish
  kMessage,  // message, then finish
};

// The working state of one request.
class Survey {
 public:
  Survey(const std::string& root, VarTable* vars, OutputStream* out, const RequestInfo& info)
      : root(root), vars(vars), out(out), info(info) {}

  // The stream that script output goes to: the response once its header is
  // written, before that a buffer that follows the header.
  OutputStream* Out() { return header_written_ ? out : &held_out_; }
  // Writes the default header (once) and what was held back for after it.
  void BeginPage(std::string_view header = {}) {
    if (header_written_) return;
    WriteResponseHeader(out, header);
    header_written_ = true;
    if (held_.Length() > 0) StrBufWrite(out, &held_);
  }
  bool header_written() const { return header_written_; }
  // Hands what was held back to a step that writes its own header and puts
  // it after that header; later output goes straight to the response.
  std::string TakeHeld() {
    if (header_written_) return {};
    header_written_ = true;
    return held_.ToString();
  }

  const std::string& root;
  VarTable* vars;
  OutputStream* out;
  const RequestInfo& info;

  // The form's validation file, read on first use and kept for the request.
  const ValidationFile& validation() {
    if (!validation_) validation_ = ValidationFile::Load(root, database);
    return *validation_;
  }

  // True when errors show the author's detail: the request comes from this
  // machine. Decided on first use and kept for the request.
  bool author_view() {
    if (!author_view_) author_view_ = info.FromThisMachine();
    return *author_view_;
  }

  std::string database, password, action, page;
  Form form;  // loaded once per request; every step reads it from here
  int rights = 0;
  bool hasuid = false, multipage = false, carries_id = false;
  std::string message;
  // For a code whose page is the message: what the author needs to know,
  // shown after the message on this machine (already logged).
  std::string author_detail;
  ResultCode code = ResultCode::kOk;

 private:
  std::optional<bool> author_view_;
  bool header_written_ = false;
  StrBuf held_;
  OutputStream held_out_{nullptr, nullptr, &held_};
  std::optional<ValidationFile> validation_;
};

std::string Setting(const Survey& s, std::string_view key) {
  return FormSetting(s.form.settings.get(), key);
}
int SettingInt(const Survey& s, std::string_view key) {
  return FormSettingInt(s.form.settings.get(), key);
}
std::string Var(const Survey& s, std::string_view name) { return VarTableGet(s.vars, name, ""); }

// True when the respondent may have a stored record: an ID form, and the
// request carries an ID.
bool MayHaveRecord(const Survey& s) { return s.hasuid && s.carries_id; }

bool HasStoredRecord(const Survey& s) {
  return FindRespondentRecord(s.form.settings.get(), s.root, s.database, s.vars) != nullptr;
}

// True when the file `path` holds `id` as one of its tokens (blanks, tabs,
// CRs and LFs between them), compared without regard to case.
bool PwdFileHolds(const std::string& path, std::string_view id) {
  FilePtr file = FileOpen(path, "rb");
  if (!file) return false;
  std::string token;
  auto matches = [&] { return !token.empty() && StrEqualNoCase(token, id); };
  for (int c; (c = std::fgetc(file.get())) != EOF;) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (matches()) return true;
      token.clear();
      continue;
    }
    if (token.size() == kMaxPwdFileToken) {
      if (matches()) return true;
      token.clear();
    }
    token.push_back(static_cast<char>(c));
  }
  return matches();
}

// ---- Validation and set-up ------------------------------------------------

// What a caller is told when the request names no form this root has.
std::string NoSuchSurvey(std::string_view database) {
  return "There is no survey named " + QuoteForError(database) +
         " here. Please check the address you were given.";
}

// A hint for a form name that ends in ".ini": the start pages list a form
// file NAME.INI (any case but ".ini") with a link that names the file.
std::string IniNameHint(std::string_view database) {
  if (database.size() < 4 || !StrEqualNoCase(database.substr(database.size() - 4), ".ini"))
    return "";
  return " A start-page link names the whole file when its name ends in another case than "
         "\".ini\": rename " + std::string(database) + " to end in \".ini\" (lower case).";
}

void WriteMissingConfiguration(Survey& s) {
  const std::string file = s.database + ".ini";
  std::string author;
  if (FileExists(PathBuild(s.root, file))) {
    author = file + " has no [DATABASE] section (or it is empty), so the form " + s.database +
             " has no settings: put them after a line [DATABASE].";
  } else {
    author = "The server root has no file " + file + ", so there is no form " +
             QuoteForError(s.database) + ": check the form's name in the link, or create " +
             file + " with a [DATABASE] section.";
  }
  ReportSurveyFailure(s.out, {NoSuchSurvey(s.database), author}, s.author_view());
}

// What the author needs to know when a request lacks a right: the form's
// access section is missing, or a key of it is misspelt by blanks around
// '=' (a key that then grants nothing). "" for an ordinary password prompt.
std::string AccessHint(const Survey& s, std::string_view key) {
  const std::string file = s.database + ".ini";
  if (!s.form.access)
    return file + " has no [access] section, so nobody may " +
           (key == "PWDREPORT" ? "see the report" : "save answers") + ": a public survey needs " +
           std::string(key) + "=(allow) in a section [access].";
  std::string hint;
  VarTableForEach(s.form.access.get(), [&](const VarEntry& e) {
    const std::string& name = *e.name;
    size_t end = name.find_last_not_of(" \t");
    if (!hint.empty() || end == std::string::npos || end + 1 == name.size()) return;
    hint = "In the [access] section of " + file + " the key " + QuoteForError(name) +
           " ends in a blank, so Tallypad reads no key " + name.substr(0, end + 1) +
           ": write it without blanks around '=' (" + name.substr(0, end + 1) + "=...).";
  });
  return hint;
}

Then SetUp(Survey& s) {
  s.database = Var(s, "DATABASE");
  s.password = Var(s, "_PASSWORD");
  s.action = Var(s, "_ACTION");
  s.page = Var(s, "_PAGE");
  // One read of the form's configuration file serves the rights below and
  // the settings once the request has passed its checks.
  s.form = FormLoad(s.root, s.database);
  // An address that guessed too many passwords gets the refusal instead.
  long refused_for = 0;
  std::optional<int> rights =
      GuardedRightsIn(s.info.client_address, s.info.client_ip, s.form.access.get(),
                      Var(s, "HOST"), s.database, s.password, &refused_for);
  if (!rights) {
    WriteTooManyRequests(s.out, refused_for, PasswordRefusalPage(refused_for));
    return Then::kReturn;
  }
  s.rights = *rights;

  if (!s.vars || s.database.empty()) {
    s.BeginPage();
    StreamWriteText(s.out, kChooserPage);
    return Then::kReturn;
  }
  if (!s.page.empty() && s.page.size() < kMinPageName) {
    s.BeginPage();
    ReportSurveyFailure(
        s.out,
        {"Sorry, this survey cannot go on from this page. Please tell the people who run it.",
         "A page of the form " + s.database + " posted the page name " + QuoteForError(s.page) +
             " in its _PAGE field, but page names need at least 5 characters: rename the page "
             "(its file, its _PAGE value and every _PAGENEXT or showpage that names it)."},
        s.author_view());
    s.code = ResultCode::kBadPageName;
    return Then::kReturn;
  }
  for (const std::string* text : {&s.database, &s.password, &s.action, &s.page}) {
    if (text->size() > kMaxRequestText) {
      LogSurveyError("Refused a request whose form name, password, action or page name is "
                     "longer than 128 characters.");
      s.code = ResultCode::kRequestFieldTooLong;
      return Then::kReturn;
    }
  }
  if (NameHasForbiddenCharacter(s.database)) {
    s.BeginPage();
    ReportSurveyFailure(s.out,
                        {NoSuchSurvey(s.database),
                         "The form name " + QuoteForError(s.database) +
                             " holds a character form names may not hold (/ . \\ * ? $ | ' \")." +
                             IniNameHint(s.database)},
                        s.author_view());
    s.code = ResultCode::kForbiddenNameCharacter;
    return Then::kReturn;
  }
  if (!s.form.settings) {
    s.BeginPage();
    StreamWriteText(s.out, kChooserPage);
    WriteMissingConfiguration(s);
    s.code = ResultCode::kNoConfiguration;
    return Then::kReturn;
  }
  // A posted duplicate must not be read in the place of the first.
  VarTableRemoveAll(s.vars, "DATABASE");
  VarTableRemoveAll(s.vars, "_ACTION");

  if (SettingInt(s, "ACTIVE") == 0) {
    s.BeginPage();
    StreamWriteText(s.out, kChooserPage);
    return Then::kReturn;
  }
  s.hasuid = SettingInt(s, "HASUID") != 0;
  s.multipage = SettingInt(s, "MULTIPAGE") != 0;
  std::string id_field = Setting(s, "IDFIELDS").substr(0, kMaxIdFieldName);
  id_field = id_field.substr(0, id_field.find(','));
  // An empty field name would read a free entry of the table.
  const std::string id = id_field.empty() ? std::string() : Var(s, id_field);
  s.carries_id = !id.empty();

  if (Var(s, "_SESSION").empty())
    VarTableSetGrow(s.vars, "_SESSION", UniqueIdNew(Setting(s, "HOST")));

  const int max_responses = SettingInt(s, "MAXRESPONSES");
  if (max_responses > 0) {
    const int count = ProfileGetInt(PathBuild(s.root, "kqscounts.ini"), "responses", s.database, 0);
    if (count >= max_responses) {
      s.message = Setting(s, "MAXMESSAGE");
      s.author_detail = "The form " + s.database + " has saved " + std::to_string(count) +
                        " responses (kqscounts.ini), as many as MAXRESPONSES allows, so it shows "
                        "MAXMESSAGE: raise MAXRESPONSES, or remove the form's key from "
                        "kqscounts.ini to count again.";
      LogSurveyError(s.author_detail);
      s.code = ResultCode::kFormFull;
      return Then::kMessage;
    }
  }
  const std::string pwd_file = Setting(s, "PWDFILE");
  if (!pwd_file.empty()) {
    // Resolved like every file a form names, so the working directory
    // does not matter; an absolute name stands as it is.
    const std::string path = PathBuild(s.root, pwd_file);
    if (!s.carries_id || !PwdFileHolds(path, id)) {
      if (!FileOpen(path, "rb")) {
        s.author_detail = "The ID file " + pwd_file + " (PWDFILE in " + s.database +
                          ".ini) cannot be opened, so every ID is refused: create it, or correct "
                          "PWDFILE (it is named relative to the server root).";
      } else if (!s.carries_id) {
        s.author_detail = "The form " + s.database + " admits only the IDs listed in " +
                          pwd_file + " (PWDFILE), and this request carries no ID in " + id_field +
                          ": give respondents a link or a login page that sends it.";
      } else {
        s.author_detail = "The ID " + QuoteForError(id) + " is not listed in " + pwd_file +
                          " (PWDFILE of the form " + s.database + ").";
      }
      LogSurveyError(s.author_detail);
      s.message = Setting(s, "PWDMESSAGE");
      s.code = ResultCode::kLoginNotAccepted;
      return Then::kMessage;
    }
  }
  return Then::kGoOn;
}

// ---- The actions ----------------------------------------------------------

// Shows the single-page form file with `vars`; tells when it is missing.
ResultCode ShowFormFile(Survey& s, VarTable* vars) {
  const std::string form = Setting(s, "FORM");
  const ResultCode code = ShowSingleForm(s.root, s.out, form, vars, s.author_view());
  if (code == ResultCode::kOk) return code;
  const std::string file = s.database + ".ini";
  ReportSurveyFailure(
      s.out,
      {"Sorry, the form of this survey is missing. Please tell the people who run it.",
       form.empty() ? file + " names no form file in FORM: set FORM to the form's HTML file, or "
                             "MULTIPAGE=1 for a form of several pages."
                    : "The form file " + SingleFormFileName(form) + " (FORM in " + file +
                          ") does not exist or cannot be read."},
      s.author_view());
  return code;
}

ResultCode ShowFormStart(Survey& s, VarTable* vars, std::string_view back_list, std::string page,
                         std::string_view reached_by) {
  if (s.multipage)
    return ShowPage(s.root, s.out, s.database, s.validation(), vars, back_list, std::move(page),
                    s.author_view(), reached_by);
  return ShowFormFile(s, vars);
}

// What led to the first page, for the error when it cannot be shown.
std::string StartPageReason(const Survey& s) {
  return "It is the form's first page (STARTPAGE in " + s.database + ".ini, page0 when unset).";
}

// Shows the current page again with every answer: after a script rejected
// them, or on BACK with no page behind. A page that does not name itself
// is taken for the start page.
ResultCode ShowCurrentAgain(Survey& s) {
  if (s.multipage) {
    const std::string page = s.page.empty() ? Setting(s, "STARTPAGE") : s.page;
    return ShowPage(s.root, s.out, s.database, s.validation(), s.vars, Var(s, "_PAGEBACK"), page,
                    s.author_view(),
                    s.page.empty() ? StartPageReason(s)
                                   : "The respondent was on it, and it is shown again.");
  }
  return ShowFormFile(s, s.vars);
}

// Shows the current page again, its header first: the answers were refused
// or there is no page to go to.
Then StayOnPage(Survey& s) {
  s.BeginPage();
  s.code = ShowCurrentAgain(s);
  return Then::kResult;
}

// Runs the forward script of `page`; its output waits in Out() until the
// header is written.
void RunForwardScript(Survey& s, std::string_view page) {
  RunPageScript(s.root, s.Out(), s.validation(), s.form.settings.get(), s.vars, page,
                PageScript::kForward, s.author_view());
}

// ---- The answer checks ----------------------------------------------------

// True unless the form leaves the constraint attributes to the browser
// (CHECKANSWERS=0).
bool ChecksAnswers(const Survey& s) { return SettingInt(s, "CHECKANSWERS") != 0; }

// The page the respondent is on: the posted page, or the start page.
std::string CurrentPage(const Survey& s) {
  return s.page.empty() ? Setting(s, "STARTPAGE") : s.page;
}

// Holds the answers of the page posted for NEXT to the constraints of its
// fields; a refusal leaves its messages and returns true.
bool PageAnswersRefused(Survey& s) {
  if (!ChecksAnswers(s) || s.page.empty()) return false;
  const std::vector<PageField> fields =
      ShownPageFields(s.root, s.database, s.validation(), s.vars, s.page);
  const std::vector<AnswerProblem> problems = CheckAnswers(fields, s.vars, s.form.settings.get());
  if (problems.empty()) return false;
  SetAnswerWarnings(s.vars, problems);
  return true;
}

// Holds the whole response to the constraints at a save; nullopt when it
// passes.
std::optional<ResponseRefusal> ResponseRefused(Survey& s) {
  if (!ChecksAnswers(s)) return std::nullopt;
  if (!s.multipage) {
    const std::vector<PageField> fields = ShownFormFields(s.root, Setting(s, "FORM"), s.vars);
    std::vector<AnswerProblem> problems = CheckAnswers(fields, s.vars, s.form.settings.get());
    if (problems.empty()) return std::nullopt;
    return ResponseRefusal{s.page, std::move(problems)};
  }
  return CheckResponse(s.root, s.database, s.validation(), s.form.settings.get(), s.vars,
                       Setting(s, "STARTPAGE"), Var(s, "_PAGEBACK"), CurrentPage(s));
}

// Shows the page a refused save names, with its messages: the current page
// again, or an earlier page of the path with the back list it had then, or
// another page with the current one behind it.
Then ShowRefusedPage(Survey& s, const ResponseRefusal& refusal) {
  SetAnswerWarnings(s.vars, refusal.problems);
  const std::string current = CurrentPage(s);
  std::string current_file = current;  // a leading "P" names the file "p..."
  if (!current_file.empty() && current_file[0] == 'P') current_file[0] = 'p';
  if (!s.multipage || refusal.page == current_file) return StayOnPage(s);
  s.BeginPage();
  const std::string posted_back = Var(s, "_PAGEBACK");
  const std::vector<std::string> back = BackListPages(posted_back);
  std::string back_list;
  auto at = std::find(back.begin(), back.end(), refusal.page);
  if (at != back.end()) {
    for (++at; at != back.end(); ++at) back_list += *at + ",";
  } else if (refusal.page != Setting(s, "STARTPAGE")) {
    back_list = current + "," + posted_back;
  }
  s.code = ShowPage(s.root, s.out, s.database, s.validation(), s.vars, back_list, refusal.page);
  return Then::kResult;
}

// True when a page script refused the answers: it left a warning in _PAGEWARN.
bool Warned(const Survey& s) { return !Var(s, "_PAGEWARN").empty(); }

// The access key that grants `right`.
std::string_view KeyOfRight(int right) {
  if (right == kRightUpdate) return "PWDUPDATE";
  if (right == kRightReport) return "PWDREPORT";
  return "PWDAPPEND";
}

// The permission prompt for `right`: the request is refused. When the
// form's access section cannot grant anybody the right, the author is told.
void AskForRight(Survey& s, int right) {
  WritePermissionPrompt(s.out, s.vars, s.database, s.action, right);
  const std::string hint = AccessHint(s, KeyOfRight(right));
  if (!hint.empty()) {
    LogSurveyError(hint);
    if (s.author_view()) WriteAuthorDetail(s.out, hint);
  }
  s.code = ResultCode::kAccessDenied;
}

// The permission prompt for `right`, then the login page.
void RefuseToLogin(Survey& s, int right) {
  AskForRight(s, right);
  WriteLoginPage(s.out, s.rights, s.database, s.vars, s.root, s.form.settings.get());
}

Then Start(Survey& s) {
  s.BeginPage();
  if (s.hasuid) {
    if (s.carries_id) {
      VarTablePtr record =
          FindRespondentRecord(s.form.settings.get(), s.root, s.database, s.vars, kRecordSpareSlots);
      if (record) {
        // A returning respondent goes on where the stored response ended.
        if (s.rights & kRightUpdate) {
          std::string page = VarTableGet(record.get(), "_PAGE", Setting(s, "STARTPAGE"));
          std::string back = VarTableGet(record.get(), "_PAGEBACK", "");
          s.code = ShowFormStart(s, record.get(), back, std::move(page),
                                 "A returning respondent's stored record names it in its _PAGE "
                                 "column (or the record has none, and it is STARTPAGE).");
        } else {
          RefuseToLogin(s, kRightUpdate);
        }
        return Then::kResult;
      }
      if (!(s.rights & kRightAppend)) {
        RefuseToLogin(s, kRightAppend);
        return Then::kResult;
      }
    } else if (!StrEqualNoCase(s.action, "START") || !(s.rights & kRightAppend)) {
      WriteLoginPage(s.out, s.rights, s.database, s.vars, s.root, s.form.settings.get());
      return Then::kResult;
    }
  }
  s.code = ShowFormStart(s, s.vars, "", Setting(s, "STARTPAGE"), StartPageReason(s));
  return Then::kResult;
}

// Writes the result page for the save step's code; it brings its own header.
// Script output held back until now goes before the page's own content.
void WriteResult(Survey& s, std::string_view failure) {
  const std::string held = s.TakeHeld();
  ShowResult(s.root, s.out, s.database, s.form.settings.get(), s.vars, s.code, s.info, held,
             failure);
}

// The save step. `after_next` is set when NEXT asked for it through the
// skip list "(save)": the page's forward script has run already.
Then Save(Survey& s, bool after_next) {
  if (!(s.rights & kRightAppend) && !((s.rights & kRightUpdate) && HasStoredRecord(s))) {
    s.BeginPage();
    AskForRight(s, kRightAppend);
    return Then::kMessage;
  }
  if (!VarTableFind(s.vars, "_PAGEWARN")) VarTableSetGrow(s.vars, "_PAGEWARN", "");
  // The answers are held to the pages' constraints before any script of
  // the save runs; a refusal saves nothing.
  if (std::optional<ResponseRefusal> refusal = ResponseRefused(s))
    return ShowRefusedPage(s, *refusal);
  if (!after_next && !StrEqualNoCase(s.action, "SUBMIT")) {
    RunForwardScript(s, s.page);
    if (Warned(s)) return StayOnPage(s);
  }
  // The pseudo-page SUBMIT holds the form's final checks. Like a page's own
  // check, a warning it sets refuses the response: the current page comes
  // back with the message instead of the answers being saved.
  RunForwardScript(s, "SUBMIT");
  if (Warned(s)) return StayOnPage(s);
  VarTableSetGrow(s.vars, "_FORMDONE", "1");
  std::string failure;
  s.code =
      SaveResponse(s.root, s.database, s.vars, s.form.settings.get(), MayHaveRecord(s), &failure);
  WriteResult(s, failure);
  return Then::kResult;
}

Then Next(Survey& s) {
  // Answers that break the page's constraints are refused before its
  // forward script runs.
  if (PageAnswersRefused(s)) return StayOnPage(s);
  // The header waits until it is known whether the result page, which
  // writes its own, follows; script output is held back until then.
  if (!s.page.empty()) RunForwardScript(s, s.page);
  RemoveFromPageNext(s.vars, s.page);
  // A refused page is shown again and saves nothing.
  if (Warned(s)) return StayOnPage(s);
  const std::string skip = Var(s, "_PAGESKIP");
  if (skip == "(save)") return Save(s, true);
  // With SAVEPAGE every accepted page saves the answers so far; a page that
  // asks for "(save)" gets the one final save above instead.
  if (SettingInt(s, "SAVEPAGE") != 0 && !StrEqualNoCase(skip, "(save)"))
    SaveResponse(s.root, s.database, s.vars, s.form.settings.get(), MayHaveRecord(s));
  s.BeginPage();
  PageStep step = NextPageStep(s.vars, s.page, Var(s, "_PAGEBACK"));
  const std::string reached_by =
      step.page.empty()
          ? "NEXT on the page " + s.page + " found no page to go to: its script in " +
                s.database + ".val sets no _PAGENEXT (and calls no showpage), and the page "
                "posts no _PAGENEXT field."
          : "NEXT on the page " + s.page + " goes on to it (_PAGENEXT or showpage in " +
                s.database + ".val, or a _PAGENEXT field of the page).";
  s.code = ShowPage(s.root, s.out, s.database, s.validation(), s.vars, step.back_list,
                    std::move(step.page), s.author_view(), reached_by);
  return Then::kResult;
}

// True when the back list names a page to go back to.
bool HasPageBehind(std::string_view back_list) {
  return back_list.find_first_not_of(", ") != std::string_view::npos;
}

Then Back(Survey& s) {
  s.BeginPage();
  RunPageScript(s.root, s.out, s.validation(), s.form.settings.get(), s.vars, s.page,
                PageScript::kBack, s.author_view());
  // BACK on the first page (or on a resumed page with nothing behind it)
  // stays on the page, answers kept, as after a warning.
  if (Warned(s) || !HasPageBehind(Var(s, "_PAGEBACK"))) return StayOnPage(s);
  PageStep step = PreviousPageStep(s.vars, s.page);
  s.code = ShowPage(s.root, s.out, s.database, s.validation(), s.vars, step.back_list,
                    std::move(step.page), s.author_view(),
                    "BACK on the page " + s.page + " goes back to it (the list _PAGEBACK).");
  return Then::kResult;
}

Then Report(Survey& s) {
  s.BeginPage();
  if (!(s.rights & kRightReport)) {
    AskForRight(s, kRightReport);
    return Then::kResult;
  }
  const std::string name = Setting(s, "REPORT2");
  const TemplateRun report{
      .base_path = s.root, .out = s.out, .vars = s.vars, .author_view = s.author_view()};
  if (name.empty() || !TemplateProcessFile(PathBuild(s.root, name), report)) {
    const std::string file = s.database + ".ini";
    ReportSurveyFailure(s.out,
                        {"Report file not found",
                         name.empty() ? file + " names no report template in REPORT2."
                                      : "The report template " + name + " (REPORT2 in " + file +
                                            ") does not exist or cannot be read."},
                        s.author_view());
  }
  return Then::kResult;
}

Then DispatchAction(Survey& s) {
  const std::string& a = s.action;
  if (StrEqualNoCase(a, "REPORT")) return Report(s);
  if (a.empty() || StrEqualNoCase(a, "START")) return Start(s);
  if (StrEqualNoCase(a, "NEXT") && s.multipage) return Next(s);
  if (StrEqualNoCase(a, "BACK") && s.multipage) return Back(s);
  if (StrEqualNoCase(a, "SAVE") || StrEqualNoCase(a, "SUBMIT")) return Save(s, false);
  return Then::kResult;  // nothing to do: kOk and no response
}

// ---- Message and finish ---------------------------------------------------

// Answers a code that has no page yet: a redirect for an "http://" message,
// otherwise the message. A step that wrote its own page keeps it intact.
void Message(Survey& s) {
  if (s.header_written()) return;
  if (StrStartsNoCase(s.message, "http://")) {
    s.BeginPage("Location: " + s.message + "\n\n");
    return;
  }
  s.BeginPage();
  StreamWriteText(s.out, s.message);
  if (s.author_view()) WriteAuthorDetail(s.out, s.author_detail);
}

void MailAdministrator(Survey& s) {
  const std::string admin = Setting(s, "ADMINEMAIL");
  if (admin.empty()) return;
  std::string body =
      "Database: " + s.database + "\r\nError code: " + std::to_string(ResultNumber(s.code)) +
      "\r\nRemote host: " + Var(s, "HOST") + "\r\nPage file: " + s.page +
      "\r\nAction: " + s.action + "\r\n_PAGE: " + Var(s, "_PAGE") +
      "\r\n_PAGEBACK: " + Var(s, "_PAGEBACK") + "\r\n_PAGENEXT: " + Var(s, "_PAGENEXT") +
      "\r\n_PASSWORD: " + s.password + "\r\n";
  MailQueue(s.root, admin, "Web access denied/breakin attempt", body, Setting(s, "EMAILSERVER"),
            Setting(s, "EMAILFROM"));
}

// A refused request reports itself to the administrator and tells the
// caller which rights the password given grants.
void Finish(Survey& s) {
  if (!IsRefusal(s.code)) return;
  MailAdministrator(s);
  s.BeginPage();
  WriteRightsNotice(s.out, s.rights);
}

// Serves one request as SurveyDispatch does, returning its code.
ResultCode ServeSurvey(const std::string& server_root, VarTable* vars, OutputStream* out,
                       const RequestInfo& info) {
  Survey s(server_root, vars, out, info);
  Then then = SetUp(s);
  if (then == Then::kReturn) return s.code;
  if (then == Then::kGoOn) then = DispatchAction(s);
  if (then == Then::kMessage || s.code != ResultCode::kOk) Message(s);
  Finish(s);
  return s.code;
}

}  // namespace

int SurveyDispatch(const std::string& server_root, VarTable* vars, OutputStream* out,
                   const RequestInfo& info) {
  return ResultNumber(ServeSurvey(server_root, vars, out, info));
}

}  // namespace tallypad
