#include "app/private_files.h"

#include <array>
#include <filesystem>
#include <system_error>

#include "base/str.h"
#include "mail/outbox.h"
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
constexpr std::array<std::string_view, 4> kServerPrivateFiles = {
    "cgi.ini", kResponseCounterFile, kOutboxFileName, kOutboxBackupName};

// Extensions of the files a form keeps next to its configuration file, under
// the form's name: its validation checks and its default data file.
constexpr std::array<std::string_view, 2> kFormCompanionExtensions = {".val", ".asc"};

// True when `path` names the file `wanted`.
bool IsFile(const std::string& path, const FileIdentity& wanted) {
  std::optional<FileIdentity> identity = FileIdentityAt(path);
  return identity && *identity == wanted;
}

// True when `wanted` is a file that a form configuration file of the root
// is, or keeps beside it, or names in one of its file settings.
bool KeptByAForm(const std::string& server_root, const FileIdentity& wanted) {
  std::error_code error;
  std::filesystem::directory_iterator it(server_root, error);
  size_t scanned = 0;
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() < 4 || !StrEqualNoCase(std::string_view(name).substr(name.size() - 4), ".ini"))
      continue;
    if (++scanned > kMaxFormsScanned) break;
    const std::string form = server_root + name;
    if (IsFile(form, wanted)) return true;
    const std::string stem = form.substr(0, form.size() - 4);
    for (std::string_view ext : kFormCompanionExtensions)
      if (IsFile(stem + std::string(ext), wanted)) return true;
    VarTablePtr settings = IniLoadSection(form, "DATABASE", 0);
    if (!settings) continue;
    for (std::string_view key : kPrivateFileKeys) {
      std::string file = FormFilePath(server_root, VarTableGet(settings.get(), key));
      if (!file.empty() && IsFile(file, wanted)) return true;
    }
  }
  return false;
}

}  // namespace

bool IsPrivateFormFile(const std::string& server_root, std::string_view path,
                       const OpenedFile& file) {
  if (HasPrivateExtension(path) || HasPrivateExtension(file.real_path)) return true;
  for (std::string_view name : kServerPrivateFiles)
    if (IsFile(server_root + std::string(name), file.identity)) return true;
  return KeptByAForm(server_root, file.identity);
}

}  // namespace tallypad
