#include "platform/profile.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/file.h"
#include "base/file_cache.h"
#include "base/str.h"
#include "platform/atomic_file.h"

namespace tallypad {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// The name of a "[name]" header line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  size_t close = t.find(']');
  std::string_view name = t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
  return Trim(name);
}

// The key of a "key=value" line (trimmed), or nullopt.
std::optional<std::string_view> KeyOf(std::string_view line) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(0, eq));
}

std::vector<std::string> ReadLines(const std::string& path, bool* exists) {
  std::vector<std::string> lines;
  std::shared_ptr<const std::string> text = CachedFileText(path, kMaxProfileBytes);
  *exists = text != nullptr;
  if (!text) return lines;
  std::string_view rest = *text;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    lines.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return lines;
}

// The lines of `section` among the file's `lines`, as ProfileGetSection
// returns them.
std::vector<std::string> SectionLines(const std::vector<std::string>& lines,
                                      std::string_view section) {
  std::vector<std::string> out;
  bool inside = false;
  for (const std::string& raw : lines) {
    std::string_view line = Trim(raw);
    if (!line.empty() && line.front() == '[') {
      if (inside) break;
      auto name = SectionName(line);
      inside = name && StrEqualNoCase(*name, section);
      continue;
    }
    if (!inside || line.empty() || line.front() == ';') continue;
    out.emplace_back(line);
  }
  return out;
}

// The section's table from its lines, as IniLoadSection builds it.
VarTablePtr SectionTable(const std::vector<std::string>& lines, size_t free_count) {
  if (lines.empty() && free_count == 0) return nullptr;
  auto t = VarTableNew(lines.size() + free_count);
  for (size_t i = 0; i < free_count; ++i) t->entries[i] = VarEntry{std::string(), std::string()};
  size_t next = free_count;
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    std::string name = line.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    t->entries[next++] = VarEntry{std::move(name), std::move(value)};
  }
  return t;
}

}  // namespace

std::vector<std::string> ProfileGetSection(const std::string& path, std::string_view section) {
  bool exists = false;
  return SectionLines(ReadLines(path, &exists), section);
}

int ProfileGetInt(const std::string& path, std::string_view section, std::string_view key, int def) {
  for (const std::string& line : ProfileGetSection(path, section)) {
    auto k = KeyOf(line);
    if (!k || !StrEqualNoCase(*k, key)) continue;
    std::string value(Trim(std::string_view(line).substr(line.find('=') + 1)));
    char* end = nullptr;
    long v = std::strtol(value.c_str(), &end, 10);
    if (end == value.c_str()) return def;
    return static_cast<int>(v);
  }
  return def;
}

bool ProfileWrite(const std::string& path, const std::vector<ProfileUpdate>& updates) {
  bool exists = false;
  std::vector<std::string> lines = ReadLines(path, &exists);
  for (const ProfileUpdate& u : updates) {
    // Find the section's header and its last line.
    std::optional<size_t> header;
    size_t end = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
      auto name = SectionName(lines[i]);
      if (!name) continue;
      if (header) {
        end = i;
        break;
      }
      if (StrEqualNoCase(*name, u.section)) header = i;
    }
    std::string new_line = u.value ? u.key + "=" + *u.value : std::string();
    if (!header) {
      if (!u.value) continue;
      lines.push_back("[" + u.section + "]");
      lines.push_back(new_line);
      continue;
    }
    bool done = false;
    for (size_t i = *header + 1; i < end; ++i) {
      auto k = KeyOf(lines[i]);
      if (!k || !StrEqualNoCase(*k, u.key)) continue;
      if (u.value) {
        lines[i] = new_line;
      } else {
        lines.erase(lines.begin() + static_cast<long>(i));
      }
      done = true;
      break;
    }
    if (done || !u.value) continue;
    // Append after the section's last non-blank line.
    size_t at = end;
    while (at > *header + 1 && Trim(lines[at - 1]).empty()) --at;
    lines.insert(lines.begin() + static_cast<long>(at), new_line);
  }
  std::string text;
  for (const std::string& line : lines) text.append(line).append("\n");
  return AtomicWriteFile(path, text);
}

bool ProfileWriteString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
  return ProfileWrite(path, {ProfileUpdate{std::string(section), std::string(key), std::string(value)}});
}

VarTablePtr IniLoadSection(const std::string& path, std::string_view section, size_t free_count) {
  if (FileSize(path) < 1) return nullptr;
  return SectionTable(ProfileGetSection(path, section), free_count);
}

std::vector<VarTablePtr> IniLoadSections(const std::string& path,
                                         std::initializer_list<std::string_view> sections,
                                         size_t free_count) {
  std::vector<VarTablePtr> tables(sections.size());
  if (FileSize(path) < 1) return tables;
  bool exists = false;
  const std::vector<std::string> lines = ReadLines(path, &exists);
  size_t at = 0;
  for (std::string_view section : sections)
    tables[at++] = SectionTable(SectionLines(lines, section), free_count);
  return tables;
}

}  // namespace tallypad
