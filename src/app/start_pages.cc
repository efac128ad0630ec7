#include "app/start_pages.h"

#include <dirent.h>
#include <sys/stat.h>

#include <iterator>
#include <memory>
#include <set>
#include <string_view>

#include "base/str.h"
#include "base/utf8_cut.h"
#include "platform/profile.h"
#include "store/response_counter.h"

namespace tallypad {

namespace {

constexpr std::string_view kFormExtension = ".ini";
constexpr std::string_view kFormLinkPrefix = "kqs?database=";

// Closes a directory stream when it goes out of scope.
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// True for names the search pattern "*.ini" matches: the file systems this
// table was first made for ignore case, so "SURVEY.INI" is a form too.
bool IsFormFileName(std::string_view name) {
  return name.size() >= kFormExtension.size() &&
         StrEqualNoCase(name.substr(name.size() - kFormExtension.size()), kFormExtension);
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The names of the form files of `folder` that come first in byte order,
// at most `limit` of them. Only `limit` names are ever kept, however many
// files the folder holds.
std::set<std::string> FirstFormFiles(const std::string& folder, const std::string& prefix,
                                     size_t limit) {
  std::set<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir || limit == 0) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    // The server's settings and the engine's own counter file are not forms.
    if (!IsFormFileName(name) || name == kServerSettingsFile || name == kResponseCounterFile)
      continue;
    if (names.size() == limit && name >= *names.rbegin()) continue;
    std::string owned(name);
    // Directories named like forms are not forms; links to files are.
    if (!IsRegularFile(prefix + owned)) continue;
    names.insert(std::move(owned));
    if (names.size() > limit) names.erase(std::prev(names.end()));
  }
  return names;
}

// The path that opens form file `name`: everything before its first ".ini"
// (exact case, so "SURVEY.INI" keeps its extension).
std::string FormLink(const std::string& name) {
  return std::string(kFormLinkPrefix) + name.substr(0, name.find(kFormExtension));
}

}  // namespace

void StartPagesScan(const std::string& server_root, const std::string& start_path,
                    StartPageTable* table) {
  for (StartPage& page : *table) page = StartPage{};
  StartPage& built_in = (*table)[0];
  built_in.in_use = true;
  built_in.title = kBuiltInStartPageTitle;
  built_in.description = start_path;
  built_in.config_path = start_path;
  built_in.link = start_path;

  const std::string folder = server_root.empty() ? std::string(".") : server_root;
  size_t next = 1;
  for (const std::string& name : FirstFormFiles(folder, server_root, table->size() - 1)) {
    StartPage& page = (*table)[next++];
    page.in_use = true;
    page.config_path = server_root + name;
    page.link = FormLink(name);
    VarTablePtr section = IniLoadSection(page.config_path, "database", 0);
    page.title = Utf8CutToCharacters(VarTableGet(section.get(), "Title", "Title"), kStartPageTextLimit);
    page.description = Utf8CutToCharacters(VarTableGet(section.get(), "Description", "Description"),
                                  kStartPageTextLimit);
  }
}

}  // namespace tallypad
