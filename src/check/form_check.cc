// The pages part of the form check: the page files or the single-page form
// file, the files they include, the validation file, the pages the form
// names and the variables its texts read.
#include "check/form_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>

#include "base/file.h"
#include "base/read.h"
#include "base/str.h"
#include "cgi/kqs/pages.h"
#include "check/form_model.h"
#include "store/form_name.h"

namespace tallypad {

namespace {

// Page names are at least this long: the engine refuses a shorter posted
// page name with error 103.
constexpr size_t kMinPageName = 5;
// Files included by included files are followed this deep, as the template
// processor nests includes.
constexpr int kMaxIncludeDepth = 16;
// Actions the buttons of a survey may send.
constexpr std::string_view kActions[] = {"NEXT", "BACK", "SAVE", "SUBMIT", "START", "REPORT"};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The regular files of `folder`, sorted.
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (name == "." || name == ".." || ::stat((folder + name).c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsAction(std::string_view value) {
  for (std::string_view action : kActions)
    if (StrEqualNoCase(action, value)) return true;
  return false;
}

// The first line of `text` after `skip` lines, without its line end.
std::string LineAfter(std::string_view text, int skip, size_t* next) {
  size_t at = 0;
  for (int i = 0; i < skip && at < text.size(); ++i) {
    const size_t end = text.find('\n', at);
    at = end == std::string_view::npos ? text.size() : end + 1;
  }
  size_t end = text.find('\n', at);
  if (end == std::string_view::npos) end = text.size();
  *next = end == text.size() ? end : end + 1;
  std::string line(text.substr(at, end - at));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

class FormChecker {
 public:
  FormChecker(FormModel& form, Findings& findings) : form_(form), findings_(findings) {}

  void Run();

 private:
  // Scans a template file and adds its facts; `pages` says its fields are
  // the form's own. Returns the facts, or nullopt when it cannot be read.
  std::optional<TemplateFacts> Scan(const std::string& file, size_t start, bool page_fields,
                                    std::string_view text);
  void ScanIncludes();
  void CheckMultiPage();
  void CheckPage(const std::string& page, const ValidationEntry* entry);
  void CheckSingleForm();
  void CheckTemplates();
  void CheckValidation();
  void CheckTargets();
  void CheckReads();
  std::string PageHint(std::string_view page) const;

  FormModel& form_;
  Findings& findings_;
  std::vector<std::string> pending_includes_;  // as written, from the root
  std::set<std::string> scanned_;
  std::vector<std::string> pages_;     // the page files of a multi-page form
  std::vector<std::string> inserts_;   // files the plain layout inserts
  ValidationFacts validation_;
  bool have_validation_ = false;
  std::vector<std::string> posted_pages_;  // _PAGE values the single form posts
};

std::optional<TemplateFacts> FormChecker::Scan(const std::string& file, size_t start,
                                               bool page_fields, std::string_view text) {
  TemplateFacts facts;
  ScanTemplate({.root = form_.root, .file = file, .text = text, .start = start}, &findings_,
               &facts);
  for (const FormField& field : facts.fields) form_.inputs.push_back({field, file, !page_fields});
  form_.reads.insert(form_.reads.end(), facts.reads.begin(), facts.reads.end());
  form_.sets.insert(form_.sets.end(), facts.sets.begin(), facts.sets.end());
  for (const PlacedName& include : facts.includes) pending_includes_.push_back(include.name);
  scanned_.insert(file);
  return facts;
}

void FormChecker::ScanIncludes() {
  for (int depth = 0; depth < kMaxIncludeDepth && !pending_includes_.empty(); ++depth) {
    std::vector<std::string> batch;
    batch.swap(pending_includes_);
    for (const std::string& name : batch) {
      if (scanned_.count(name)) continue;
      const std::optional<std::string> text = ReadPageFile(form_.PathOf(name));
      if (!text) continue;  // the including page's finding says so
      const size_t before = form_.inputs.size();
      Scan(name, 0, false, *text);
      if (form_.inputs.size() > before)
        findings_.Warning(name, form_.inputs[before].field.line,
                          "an included file's form fields are not filled with the answers and "
                          "do not count as the page's own: write them in the page file itself");
    }
  }
}

void FormChecker::Run() {
  if (form_.SettingInt("MULTIPAGE") != 0) {
    CheckMultiPage();
  } else {
    CheckSingleForm();
  }
  CheckTemplates();
  ScanIncludes();
  if (form_.SettingInt("MULTIPAGE") != 0) CheckTargets();
  CheckReads();
}

void FormChecker::CheckValidation() {
  const std::string file = form_.name + ".val";
  const std::optional<std::string> text = ReadPageFile(form_.PathOf(file));
  if (!text) return;
  have_validation_ = true;
  ScanValidation(file, *text, &findings_, &validation_);
  form_.reads.insert(form_.reads.end(), validation_.reads.begin(), validation_.reads.end());
  form_.sets.insert(form_.sets.end(), validation_.sets.begin(), validation_.sets.end());
  form_.targets.insert(form_.targets.end(), validation_.targets.begin(), validation_.targets.end());
}

std::string FormChecker::PageHint(std::string_view page) const {
  for (std::string_view extension : {".html", ".htm"}) {
    const std::string with = std::string(page) + std::string(extension);
    for (const std::string& file : FilesIn(form_.PathOf(form_.name + "/")))
      if (file == with) return " (there is " + with + ": page files have no extension)";
  }
  return DidYouMean(ClosestName(page, pages_));
}

void FormChecker::CheckMultiPage() {
  const std::string folder = form_.name + "/";
  CheckValidation();
  if (!IsFolder(form_.PathOf(folder))) {
    findings_.Error(form_.ini_file, form_.LineOf("MULTIPAGE"),
                    "MULTIPAGE=1, but the server root has no folder " + folder +
                        " for the form's pages (one file per page, named like the page)");
    return;
  }
  // Page files: named like pages (no extension, no forbidden character),
  // leaving out the header file.
  for (const std::string& file : FilesIn(form_.PathOf(folder)))
    if (file != "header" && !NameHasForbiddenCharacter(file)) pages_.push_back(file);
  for (const std::string& page : pages_) {
    const ValidationEntry* entry = nullptr;
    for (const ValidationEntry& e : validation_.entries)
      if (!entry && StrEqualNoCase(e.page, page)) entry = &e;
    CheckPage(page, entry);
  }
  const std::string val = form_.name + ".val";
  for (const ValidationEntry& entry : validation_.entries) {
    if (StrEqualNoCase(entry.page, "SUBMIT")) continue;
    bool exists = false;
    for (const std::string& page : pages_) exists = exists || page == entry.page;
    if (!exists)
      findings_.Error(val, entry.line,
                      "the entry names the page " + entry.page + ", which " + folder +
                          " does not have, so its checks never run" + PageHint(entry.page));
  }
}

void FormChecker::CheckPage(const std::string& page, const ValidationEntry* entry) {
  const std::string file = form_.name + "/" + page;
  const std::optional<std::string> text = ReadPageFile(form_.PathOf(file));
  if (!text) {
    findings_.Error(file, 1, "the page file cannot be read");
    return;
  }
  if (page.size() < kMinPageName)
    findings_.Error(file, 1,
                    "the page name " + page + " is shorter than 5 characters: the page is shown, "
                    "but every button on it fails with error 103; rename the file (and its _PAGE "
                    "value, and what leads to it)");
  if (page[0] == 'P')
    findings_.Error(file, 1,
                    "the page name begins with a capital P, which the engine reads as p: the "
                    "page can never be shown; begin its name with a small p");
  size_t start = 0;
  if (!entry || !entry->has_action) {
    // The plain layout: three lines of instructions, never shown.
    size_t next = 0;
    const std::string attributes = LineAfter(*text, 0, &next);
    const std::string insert = LineAfter(*text, 2, &start);
    if (attributes.find('<') != std::string::npos || insert.find('<') != std::string::npos) {
      findings_.Error(file, 1,
                      "the page has the plain layout (its entry in " + form_.name +
                          ".val has no ACTION), so its first three lines are instructions that "
                          "are never shown, but they hold page text: begin the page with those "
                          "three lines (form attributes such as ACTION=/kqs&METHOD=POST, a "
                          "comment, an insert file or nothing), or give its entry an ACTION: "
                          "<PAGE NAME=\"" + page + "\" ACTION=\"/kqs\">");
    } else if (!insert.empty()) {
      inserts_.push_back(insert);
      if (!FileExists(form_.PathOf(form_.name + "/" + insert)))
        findings_.Error(file, 3,
                        "the insert file " + insert + " that the page's third line names does "
                        "not exist in " + form_.name + "/");
    }
  }
  std::optional<TemplateFacts> facts = Scan(file, start, true, *text);
  if (!facts) return;
  if (facts->form_line == 0) {
    findings_.Error(file, PageLineAt(*text, start),
                    "the page has no <FORM> tag: the engine writes its own form tag where the "
                    "page's stands, so the form begins at the end of the page and the page's "
                    "fields and buttons send nothing");
    return;
  }
  if (facts->form_end_line == 0)
    findings_.Warning(file, facts->form_line,
                      "the page has no </FORM>: the engine cannot tell which fields are the "
                      "page's own, and sends every answer again as a hidden field");
  bool names_itself = false, has_button = false, told_outside = false;
  for (const FormField& field : facts->fields) {
    if (!field.in_form && !field.name.empty() && !told_outside) {
      findings_.Warning(file, field.line,
                        "the field " + field.name + " stands outside the form (before <FORM> or "
                        "after </FORM>): the browser never sends it");
      told_outside = true;
    }
    if (!field.in_form) continue;
    if (StrEqualNoCase(field.name, "_PAGE") && field.tag == "INPUT") {
      names_itself = true;
      if (field.value != page)
        findings_.Error(file, field.line,
                        "the page posts _PAGE=" + field.value + ", but it is the page " + page +
                            ": NEXT runs the checks of " + field.value + " and BACK returns to " +
                            "it; write VALUE=\"" + page + "\"");
    }
    if (StrEqualNoCase(field.name, "_ACTION")) {
      has_button = true;
      if (!IsAction(field.value))
        findings_.Warning(file, field.line,
                          "this button sends _ACTION=" + field.value + ", which the engine does "
                          "not know, so it does nothing: send NEXT, BACK or SAVE (a <BUTTON> "
                          "shows any label: <BUTTON NAME=_ACTION VALUE=NEXT>Go on</BUTTON>)");
    }
    if (StrEqualNoCase(field.name, "_PAGENEXT") && !field.value.empty())
      for (const std::string& target : std::vector<std::string>{field.value})
        form_.targets.push_back({target, file, field.line, "a _PAGENEXT field"});
  }
  if (!names_itself)
    findings_.Error(file, facts->form_line,
                    "the page posts no _PAGE field, so NEXT cannot tell which page the answers "
                    "come from and its checks never run: add <INPUT TYPE=HIDDEN NAME=_PAGE "
                    "VALUE=\"" + page + "\"> inside the form");
  if (!has_button)
    findings_.Warning(file, facts->form_line,
                      "the page has no button named _ACTION (NEXT, BACK or SAVE): the respondent "
                      "cannot go on from it");
}

void FormChecker::CheckSingleForm() {
  const std::string form_setting = form_.Setting("FORM");
  CheckValidation();
  if (form_setting.empty()) {
    findings_.Error(form_.ini_file, form_.settings ? form_.settings->line : 1,
                    "FORM names no form file: set FORM to the form's HTML file, or MULTIPAGE=1 "
                    "for a form of several pages");
    return;
  }
  const std::string file = SingleFormFileName(form_setting);
  const std::optional<std::string> text = ReadPageFile(form_.PathOf(file));
  if (!text) {
    findings_.Error(form_.ini_file, form_.LineOf("FORM"),
                    "the form file " + file + " (FORM) does not exist" +
                        (file != form_setting ? " (\".html\" is added to a name without it)"
                                              : ""));
    return;
  }
  std::optional<TemplateFacts> facts = Scan(file, 0, true, *text);
  if (!facts) return;
  if (facts->form_line == 0) {
    findings_.Error(file, 1,
                    "the form file has no <FORM> tag: its fields and buttons send nothing; write "
                    "<FORM METHOD=POST ACTION=\"/kqs\"> around them");
    return;
  }
  bool names_form = false, saves = false;
  for (const FormField& field : facts->fields) {
    if (!field.in_form) continue;
    if (StrEqualNoCase(field.name, "DATABASE")) {
      names_form = true;
      if (field.value != form_.name)
        findings_.Error(file, field.line,
                        "the form posts DATABASE=" + field.value + ", so its answers go to " +
                            (field.value.empty() ? std::string("no form") : "the form " + field.value) +
                            ", not to " + form_.name);
    }
    if (StrEqualNoCase(field.name, "_ACTION") &&
        (StrEqualNoCase(field.value, "SAVE") || StrEqualNoCase(field.value, "SUBMIT")))
      saves = true;
    if (StrEqualNoCase(field.name, "_PAGE") && field.tag == "INPUT") {
      posted_pages_.push_back(field.value);
      if (!field.value.empty() && field.value.size() < kMinPageName)
        findings_.Error(file, field.line,
                        "the form posts _PAGE=" + field.value + ", shorter than 5 characters: "
                        "every save fails with error 103; use a name of at least 5 characters");
    }
  }
  if (!names_form)
    findings_.Error(file, facts->form_line,
                    "the form posts no DATABASE field, so its answers reach no form: add "
                    "<INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"" + form_.name + "\"> inside it");
  if (!saves)
    findings_.Warning(file, facts->form_line,
                      "no button of the form sends _ACTION=SAVE, so its answers are never saved: "
                      "<BUTTON NAME=_ACTION VALUE=SAVE>Send</BUTTON>");
  for (const ValidationEntry& entry : validation_.entries) {
    if (StrEqualNoCase(entry.page, "SUBMIT")) continue;
    bool matches = false;
    for (const std::string& posted : posted_pages_) matches = matches || StrEqualNoCase(posted, entry.page);
    if (!matches)
      findings_.Error(form_.name + ".val", entry.line,
                      "the entry " + entry.page + " matches no _PAGE value the form posts" +
                          (posted_pages_.empty() ? std::string(" (it posts none)")
                                                 : " (it posts " + posted_pages_.front() + ")") +
                          ", so its checks never run" + DidYouMean(ClosestName(entry.page, posted_pages_)));
  }
}

void FormChecker::CheckTemplates() {
  // The result, report and mail templates see the answers too.
  std::vector<std::string> names;
  for (std::string_view key : {"REPORT", "REPORT2", "EMAILREPORT"})
    if (!form_.Setting(key).empty()) names.push_back(form_.Setting(key));
  if (form_.SettingInt("MULTIPAGE") != 0 && form_.SettingInt("DISPLAYFORM") != 0 &&
      !form_.Setting("FORM").empty())
    names.push_back(form_.Setting("FORM"));
  for (const std::string& name : names) {
    if (scanned_.count(name)) continue;
    const std::optional<std::string> text = ReadPageFile(form_.PathOf(name));
    if (text) Scan(name, 0, false, *text);
  }
}

void FormChecker::CheckTargets() {
  const std::string folder = form_.name + "/";
  const std::string start = form_.Setting("STARTPAGE");
  std::vector<PlacedTarget> targets = form_.targets;
  targets.push_back({start, form_.ini_file, form_.LineOf("STARTPAGE"), "STARTPAGE"});
  std::set<std::string> reached;
  for (const ValidationEntry& entry : validation_.entries) reached.insert(entry.page);
  for (const PlacedTarget& target : targets) {
    std::string page = target.page;
    if (!page.empty() && page[0] == 'P') page[0] = 'p';  // as the engine shows it
    reached.insert(page);
    if (NameHasForbiddenCharacter(page)) {
      findings_.Error(target.file, target.line,
                      target.how + " names the page " + target.page + ", which holds a "
                      "character page names may not hold (/ . \\ * ? $ | ' \"): it can never be "
                      "shown" + PageHint(page.substr(0, page.find('.'))));
      continue;
    }
    if (std::find(pages_.begin(), pages_.end(), page) != pages_.end()) continue;
    const bool unset = target.how == "STARTPAGE" && !IniFind(form_.settings, "STARTPAGE");
    findings_.Error(target.file, target.line,
                    (unset ? "STARTPAGE is not set, so the first page is page0, which "
                           : target.how + " names the page " + target.page + ", which ") +
                        folder + " does not have: " +
                        (target.how == "STARTPAGE" ? "the survey cannot start"
                                                   : "going on to it shows an error") +
                        PageHint(page));
  }
  for (const std::string& page : pages_) {
    if (reached.count(page) ||
        std::find(inserts_.begin(), inserts_.end(), page) != inserts_.end())
      continue;
    findings_.Warning(folder + page, 1,
                      "no entry of " + form_.name + ".val, no STARTPAGE, no _PAGENEXT value and "
                      "no showpage call leads to the page " + page + ": respondents never see it");
  }
}

void FormChecker::CheckReads() {
  const std::vector<std::string> set_names = form_.SetNames();
  std::set<std::string> told;  // "file\nNAME", told once per file
  for (const PlacedName& read : form_.reads) {
    if (read.name.empty() || form_.IsSet(read.name, read.pattern)) continue;
    if (!told.insert(read.file + "\n" + StrUpper(read.name)).second) continue;
    std::string text = read.name + " is read here, but no input of the form " + form_.name +
                       ", no script and no engine variable sets it, so it reads as empty" +
                       DidYouMean(ClosestName(read.name, set_names));
    if (read.compared)
      text += "; to compare with the text " + read.name + ", quote it: '" + read.name + "'";
    findings_.Warning(read.file, read.line, text);
  }
}

}  // namespace

void CheckForm(const std::string& root, std::string_view name, Findings* findings) {
  FormModel form;
  form.root = root;
  form.name = std::string(name);
  form.ini_file = form.name + ".ini";
  std::optional<IniFile> ini = IniFileRead(form.PathOf(form.ini_file));
  if (!ini) {
    findings->Error(form.ini_file, 1, "the form's settings file cannot be read");
    return;
  }
  form.ini = std::move(*ini);
  form.settings = form.ini.Section("DATABASE");
  form.access = form.ini.Section("access");
  if (!form.settings) {
    findings->Error(form.ini_file, 1,
                    "the file has no [DATABASE] section: it is listed as a start page, and its "
                    "link fails with error 21 (no settings); put the form's settings after a "
                    "line [DATABASE]");
    return;
  }
  CheckSettingKeys(form, findings);
  FormChecker checker(form, *findings);
  checker.Run();
  CheckNamedFiles(form, findings);
  CheckColumnsAndStatistics(form, findings);
}

}  // namespace tallypad
