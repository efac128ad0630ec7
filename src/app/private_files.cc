#include "app/private_files.h"

#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/str.h"
#include "mail/outbox.h"
#include "mail/outbox_file.h"
#include "mail/outbox_state.h"
#include "platform/profile.h"
#include "store/datafile.h"
#include "store/response_counter.h"

namespace tallypad {

namespace {

// Extensions of the files the server and its forms keep their data in.
constexpr std::array<std::string_view, 5> kPrivateExtensions = {".ini", ".val", ".asc", ".kqs",
                                                                 ".bak"};

// Settings of a form that name a file holding answers, reports or IDs.
constexpr std::array<std::string_view, 8> kPrivateFileKeys = {
    "SAVEDATANAME", "SAVEINDEXNAME", "SAVEXMLNAME", "SAVESTATNAME",
    "PWDFILE",      "REPORT2",       "REPORT",      "EMAILREPORT"};

bool HasPrivateExtension(std::string_view path) {
  for (std::string_view ext : kPrivateExtensions)
    if (path.size() >= ext.size() && StrEqualNoCase(path.substr(path.size() - ext.size()), ext))
      return true;
  return false;
}

// Files of the server root itself that hold settings, counts or mail. The
// ".ini" ones are forms to the scan below as well, but are checked even when
// the scan stops at kMaxFormsScanned.
constexpr std::array<std::string_view, 7> kServerPrivateFiles = {
    "cgi.ini",        kResponseCounterFile, kOutboxFileName, kOutboxBackupName,
    kOutboxDeadName, kOutboxStateName,     kOutboxLockName};

// Extensions of the files a form keeps next to its configuration file, under
// the form's name: its validation checks and its default data file.
constexpr std::array<std::string_view, 2> kFormCompanionExtensions = {".val", ".asc"};

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

}  // namespace

PrivateFileSet::PrivateFileSet(std::string server_root) : root_(std::move(server_root)) {}

PrivateFileSet::Watched PrivateFileSet::Watch(std::string path) {
  Watched w;
  w.path = std::move(path);
  struct stat st;
  if (::stat(w.path.c_str(), &st) == 0) {
    w.state = std::array<int64_t, 7>{static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino),
                                     st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                                     st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
  }
  return w;
}

bool PrivateFileSet::Changed(const Watched& w) { return Watch(w.path).state != w.state; }

void PrivateFileSet::Build() {
  identities_.clear();
  watched_.clear();
  std::vector<std::string> files;
  for (std::string_view name : kServerPrivateFiles) files.push_back(root_ + std::string(name));
  watched_.push_back(Watch(root_));
  std::error_code error;
  std::filesystem::directory_iterator it(root_, error);
  size_t scanned = 0;
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() < 4 || !StrEqualNoCase(std::string_view(name).substr(name.size() - 4), ".ini"))
      continue;
    if (++scanned > kMaxFormsScanned) break;
    const std::string form = root_ + name;
    watched_.push_back(Watch(form));
    files.push_back(form);
    const std::string stem = form.substr(0, form.size() - 4);
    for (std::string_view ext : kFormCompanionExtensions) files.push_back(stem + std::string(ext));
    VarTablePtr settings = IniLoadSection(form, "DATABASE", 0);
    if (!settings) continue;
    for (std::string_view key : kPrivateFileKeys) {
      std::string file = FormFilePath(root_, VarTableGet(settings.get(), key));
      if (file.empty()) continue;
      files.push_back(file);
      // A private file may be created or replaced (by a rename) in its
      // folder later: the folder is watched for that.
      const std::string folder = FolderOf(file);
      bool watched = false;
      for (const Watched& w : watched_) watched = watched || w.path == folder;
      if (!watched) watched_.push_back(Watch(folder));
    }
  }
  for (const std::string& file : files)
    if (std::optional<FileIdentity> identity = FileIdentityAt(file)) identities_.push_back(*identity);
}

void PrivateFileSet::Refresh() {
  const auto now = std::chrono::steady_clock::now();
  if (built_ && now - checked_ < kPrivateFilesCheckInterval) return;
  checked_ = now;
  bool changed = !built_;
  for (const Watched& w : watched_) changed = changed || Changed(w);
  if (!changed) return;
  Build();
  built_ = true;
}

bool PrivateFileSet::Holds(std::string_view path, std::string_view real_path,
                           const FileIdentity& identity) {
  if (HasPrivateExtension(path) || HasPrivateExtension(real_path)) return true;
  Refresh();
  for (const FileIdentity& kept : identities_)
    if (kept == identity) return true;
  return false;
}

bool IsPrivateFormFile(const std::string& server_root, std::string_view path,
                       const OpenedFile& file) {
  PrivateFileSet set(server_root);
  return set.Holds(path, file.real_path, file.identity);
}

}  // namespace tallypad
