#include "check/root_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "base/file.h"
#include "base/str.h"
#include "check/form_check.h"
#include "check/ini_lines.h"
#include "store/form_name.h"
#include "store/response_counter.h"

namespace tallypad {

namespace {

constexpr std::string_view kFormExtension = ".ini";
// The server's own settings, which the start pages do not list either.
constexpr std::string_view kServerSettingsFile = "cgi.ini";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The files of the root the program lists as forms: names ending in ".ini"
// in any case, the server's settings and the response counter left out.
std::vector<std::string> FormFiles(const std::string& root) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(root.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() <= kFormExtension.size() ||
        !StrEqualNoCase(name.substr(name.size() - kFormExtension.size()), kFormExtension) ||
        name == kServerSettingsFile || name == kResponseCounterFile)
      continue;
    struct stat st {};
    if (::stat((root + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// True when the settings file looks like a statistics file: no [DATABASE],
// but [COUNT] or [SUM].
bool LooksLikeStatistics(const std::string& path) {
  std::optional<IniFile> file = IniFileRead(path);
  return file && !file->Section("DATABASE") && (file->Section("COUNT") || file->Section("SUM"));
}

// Checks one file the program lists as a form; adds the form's name to
// `forms` when it was checked as a form.
void CheckFormFile(const std::string& root, const std::string& file, RootCheck* check) {
  Findings& findings = check->findings;
  const std::string name = file.substr(0, file.size() - kFormExtension.size());
  if (file.compare(file.size() - kFormExtension.size(), kFormExtension.size(), kFormExtension) !=
      0) {
    findings.Error(file, 1,
                   "the start pages list this file as a form, but its link names " + file +
                       " whole, which the engine refuses (error 104): a form's settings file "
                       "ends in \".ini\" in lower case; rename it " + name + ".ini");
    return;
  }
  if (NameHasForbiddenCharacter(name)) {
    findings.Error(file, 1,
                   "the form name " + name + " holds a character form names may not hold "
                   "(/ . \\ * ? $ | ' \"): its start-page link fails with error 104; rename "
                   "the file");
    return;
  }
  if (LooksLikeStatistics(root + file)) {
    findings.Warning(file, 1,
                     "this looks like a statistics file, but every .ini file of the server root "
                     "is listed as a start page, whose link fails (error 21): give statistics "
                     "files another extension, such as .sta");
    return;
  }
  check->forms.push_back(name);
  const size_t first = findings.all().size();
  CheckForm(root, name, &findings);
  findings.SortFrom(first);
}

}  // namespace

RootCheck CheckServerRoot(const std::string& root, const std::vector<std::string>& forms) {
  RootCheck check;
  if (forms.empty()) {
    for (const std::string& file : FormFiles(root)) CheckFormFile(root, file, &check);
    return check;
  }
  for (const std::string& form : forms) {
    const std::string file = form + std::string(kFormExtension);
    if (NameHasForbiddenCharacter(form) || !FileExists(root + file)) {
      check.findings.Error(file, 1,
                           "there is no form " + form + ": the server root has no " + file);
      continue;
    }
    CheckFormFile(root, file, &check);
  }
  return check;
}

std::string CheckSummary(const RootCheck& check) {
  auto count = [](size_t n, const char* one, const char* many) {
    if (n == 0) return std::string("no ") + many;
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::string names;
  for (const std::string& form : check.forms) names += (names.empty() ? "" : ", ") + form;
  std::string line = count(check.forms.size(), "form", "forms") + " checked";
  if (!names.empty()) line += " (" + names + ")";
  line += ": " + count(check.findings.errors(), "error", "errors") + ", " +
          count(check.findings.warnings(), "warning", "warnings");
  return line;
}

}  // namespace tallypad
