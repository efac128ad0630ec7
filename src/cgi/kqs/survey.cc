// The survey dispatcher: loads the form the request names (its settings and
// passwords from one read, its validation file once a step needs it), works
// out the caller's rights, validates the request, and runs the step the
// action asks for: the first page, the next or previous page, the save step
// with its result page, the report, or a password prompt or login page.
// Every path ends in the same two steps: the message (for the codes that
// have no page of their own) and the finish (the administrator's report and
// the rights notice for refused requests).
#include "cgi/kqs/survey.h"

#include <memory>
#include <optional>

#include "base/file.h"
#include "base/result_code.h"
#include "base/str.h"
#include "base/strbuf.h"
#include "base/text.h"
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

// Where the missing configuration is reported from.
constexpr int kNoConfigurationPlace = 1888;
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

  std::string database, password, action, page;
  Form form;  // loaded once per request; every step reads it from here
  int rights = 0;
  bool hasuid = false, multipage = false, carries_id = false;
  std::string message;
  ResultCode code = ResultCode::kOk;

 private:
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

void WriteMissingConfiguration(Survey& s) {
  const std::string name = HtmlEscape(s.database);
  const std::string cannot = "Cannot access file (" + name + ".ini)";
  // The engine names itself, not the server's folders, to the browser.
  StreamWriteText(s.out, kSurveyProgramName);
  StreamWriteText(s.out, ": A configuration file for the database \"<b>" + name +
                             "</b>\" was not found. Please check your spelling and server setup "
                             "and try again.<P>\n");
  StreamWriteText(s.out, cannot);
  LogSurveyError("Cannot access file (%s.ini)", s.database);
  WriteSurveyError(s.out, ResultCode::kNoConfiguration, kNoConfigurationPlace, cannot);
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
    StreamWriteText(s.out, "Bad page name: " + HtmlEscape(s.page));
    s.code = ResultCode::kBadPageName;
    return Then::kReturn;
  }
  for (const std::string* text : {&s.database, &s.password, &s.action, &s.page}) {
    if (text->size() > kMaxRequestText) {
      s.code = ResultCode::kRequestFieldTooLong;
      return Then::kReturn;
    }
  }
  if (NameHasForbiddenCharacter(s.database)) {
    s.BeginPage();
    StreamWriteText(s.out, "Bad database name: " + HtmlEscape(s.database));
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
      s.code = ResultCode::kFormFull;
      return Then::kMessage;
    }
  }
  const std::string pwd_file = Setting(s, "PWDFILE");
  if (!pwd_file.empty()) {
    // Resolved like every file a form names, so the working directory
    // does not matter; an absolute name stands as it is.
    if (!s.carries_id || !PwdFileHolds(PathBuild(s.root, pwd_file), id)) {
      s.message = Setting(s, "PWDMESSAGE");
      s.code = ResultCode::kLoginNotAccepted;
      return Then::kMessage;
    }
  }
  return Then::kGoOn;
}

// ---- The actions ----------------------------------------------------------

ResultCode ShowFormStart(Survey& s, VarTable* vars, std::string_view back_list, std::string page) {
  if (s.multipage)
    return ShowPage(s.root, s.out, s.database, s.validation(), vars, back_list, std::move(page));
  return ShowSingleForm(s.root, s.out, Setting(s, "FORM"), vars);
}

// Shows the current page again with every answer: after a script rejected
// them, or on BACK with no page behind. A page that does not name itself
// is taken for the start page.
ResultCode ShowCurrentAgain(Survey& s) {
  if (s.multipage) {
    const std::string page = s.page.empty() ? Setting(s, "STARTPAGE") : s.page;
    return ShowPage(s.root, s.out, s.database, s.validation(), s.vars, Var(s, "_PAGEBACK"), page);
  }
  return ShowSingleForm(s.root, s.out, Setting(s, "FORM"), s.vars);
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
                PageScript::kForward);
}

// True when a page script refused the answers: it left a warning in _PAGEWARN.
bool Warned(const Survey& s) { return !Var(s, "_PAGEWARN").empty(); }

// The permission prompt for `right`: the request is refused.
void AskForRight(Survey& s, int right) {
  WritePermissionPrompt(s.out, s.vars, s.database, s.action, right);
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
          s.code = ShowFormStart(s, record.get(), back, std::move(page));
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
  s.code = ShowFormStart(s, s.vars, "", Setting(s, "STARTPAGE"));
  return Then::kResult;
}

// Writes the result page for the save step's code; it brings its own header.
// Script output held back until now goes before the page's own content.
void WriteResult(Survey& s) {
  const std::string held = s.TakeHeld();
  ShowResult(s.root, s.out, s.database, s.form.settings.get(), s.vars, s.code, s.info, held);
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
  s.code = SaveResponse(s.root, s.database, s.vars, s.form.settings.get(), MayHaveRecord(s));
  WriteResult(s);
  return Then::kResult;
}

Then Next(Survey& s) {
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
  s.code = ShowPage(s.root, s.out, s.database, s.validation(), s.vars, step.back_list,
                    std::move(step.page));
  return Then::kResult;
}

// True when the back list names a page to go back to.
bool HasPageBehind(std::string_view back_list) {
  return back_list.find_first_not_of(", ") != std::string_view::npos;
}

Then Back(Survey& s) {
  s.BeginPage();
  RunPageScript(s.root, s.out, s.validation(), s.form.settings.get(), s.vars, s.page,
                PageScript::kBack);
  // BACK on the first page (or on a resumed page with nothing behind it)
  // stays on the page, answers kept, as after a warning.
  if (Warned(s) || !HasPageBehind(Var(s, "_PAGEBACK"))) return StayOnPage(s);
  PageStep step = PreviousPageStep(s.vars, s.page);
  s.code = ShowPage(s.root, s.out, s.database, s.validation(), s.vars, step.back_list,
                    std::move(step.page));
  return Then::kResult;
}

Then Report(Survey& s) {
  s.BeginPage();
  if (!(s.rights & kRightReport)) {
    AskForRight(s, kRightReport);
    return Then::kResult;
  }
  const std::string name = Setting(s, "REPORT2");
  const TemplateRun report{.base_path = s.root, .out = s.out, .vars = s.vars};
  if (name.empty() || !TemplateProcessFile(PathBuild(s.root, name), report))
    StreamWriteText(s.out, "Report file not found");
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
