#include "base/ini.h"

#include "base/file.h"
#include "platform/profile.h"

namespace tallypad {

VarTablePtr IniLoadSection(const std::string& path, std::string_view section, size_t free_count) {
  if (FileSize(path) < 1) return nullptr;
  std::vector<std::string> lines = ProfileGetSection(path, section);
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

}  // namespace tallypad
