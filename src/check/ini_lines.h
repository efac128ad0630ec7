// A form's settings file as `tallypad check` reads it: every key with the
// line it stands on, read by the same rules as the engines' reader
// (platform/profile.h), so that the check sees the keys the engine sees:
// lines are trimmed at both ends, ';' begins a comment line, a key is all
// that comes before the first '=' (blanks included), and only the first
// section of a name is read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallypad {

// One "key=value" line of a section (a line without '=' is a key with no value).
struct IniKey {
  std::string key;    // as the engine reads it: blanks before '=' kept
  std::string value;  // as the engine reads it: blanks after '=' kept
  bool has_equals = true;
  int line = 0;
};

// One section: its name as written and the line of its header.
struct IniSection {
  std::string name;
  int line = 0;
  std::vector<IniKey> keys;
  bool repeated = false;  // a later section of the same name, which nobody reads
};

struct IniFile {
  std::vector<IniSection> sections;

  // The first section named `name` (without regard to case); null when missing.
  const IniSection* Section(std::string_view name) const;
};

// Reads the file at `path` (at most kMaxProfileBytes); nullopt when it
// cannot be read.
std::optional<IniFile> IniFileRead(const std::string& path);

// The first key named `key` of `section` (without regard to case); null
// when missing. A key with an empty value counts: the caller decides.
const IniKey* IniFind(const IniSection* section, std::string_view key);

}  // namespace tallypad
