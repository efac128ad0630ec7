#include "check/ini_lines.h"

#include "base/read.h"
#include "base/str.h"
#include "platform/profile.h"

namespace tallypad {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

const IniSection* IniFile::Section(std::string_view name) const {
  for (const IniSection& section : sections)
    if (!section.repeated && StrEqualNoCase(section.name, name)) return &section;
  return nullptr;
}

std::optional<IniFile> IniFileRead(const std::string& path) {
  std::optional<std::string> text = ReadPageFile(path, kMaxProfileBytes);
  if (!text) return std::nullopt;
  IniFile file;
  IniSection* current = nullptr;
  std::string_view rest = *text;
  for (int number = 1; !rest.empty(); ++number) {
    const size_t end = rest.find('\n');
    const std::string_view line = Trim(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      IniSection section;
      section.name = std::string(Trim(line.substr(1, close == std::string_view::npos
                                                          ? std::string_view::npos
                                                          : close - 1)));
      section.line = number;
      for (const IniSection& earlier : file.sections)
        if (StrEqualNoCase(earlier.name, section.name)) section.repeated = true;
      file.sections.push_back(std::move(section));
      current = &file.sections.back();
      continue;
    }
    if (!current) continue;  // lines before the first section belong to none
    IniKey key;
    key.line = number;
    const size_t eq = line.find('=');
    key.has_equals = eq != std::string_view::npos;
    key.key = std::string(line.substr(0, eq));
    if (key.has_equals) key.value = std::string(line.substr(eq + 1));
    current->keys.push_back(std::move(key));
  }
  return file;
}

const IniKey* IniFind(const IniSection* section, std::string_view key) {
  if (!section) return nullptr;
  for (const IniKey& k : section->keys)
    if (StrEqualNoCase(k.key, key)) return &k;
  return nullptr;
}

}  // namespace tallypad
