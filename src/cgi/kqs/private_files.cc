#include "cgi/kqs/private_files.h"

#include <array>
#include <filesystem>
#include <system_error>

#include "base/ini.h"
#include "base/str.h"
#include "cgi/kqs/datafile.h"

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

// The path with symbolic links, "." and ".." resolved, so that two spellings
// of one file compare equal.
std::string Canonical(const std::string& path) {
  std::error_code error;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, error);
  return error ? path : p.string();
}

// True when a form configuration file of the root names `wanted` (a
// canonical path) in one of its file settings.
bool NamedByAForm(const std::string& server_root, const std::string& wanted) {
  std::error_code error;
  std::filesystem::directory_iterator it(server_root, error);
  size_t scanned = 0;
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::string name = it->path().filename().string();
    if (!HasPrivateExtension(name) || name.size() < 4 ||
        !StrEqualNoCase(std::string_view(name).substr(name.size() - 4), ".ini"))
      continue;
    if (++scanned > kMaxFormsScanned) break;
    VarTablePtr settings = IniLoadSection(server_root + name, "DATABASE", 0);
    if (!settings) continue;
    for (std::string_view key : kPrivateFileKeys) {
      std::string file = FormFilePath(server_root, VarTableGet(settings.get(), key));
      if (!file.empty() && Canonical(file) == wanted) return true;
    }
  }
  return false;
}

}  // namespace

bool IsPrivateFormFile(const std::string& server_root, std::string_view path) {
  if (HasPrivateExtension(path)) return true;
  std::string full = PathBuild(server_root, path);
  if (full.empty()) return false;
  return NamedByAForm(server_root, Canonical(full));
}

}  // namespace tallypad
