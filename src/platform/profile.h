// Profile (INI) files: the small reader and writer that configuration files,
// response counters and statistics go through, and the loader of sections
// into name/value tables (several of one file from a single read). Sections
// and keys are matched without regard to case. Nothing is cached: every load
// reads the file again, so an edit takes effect with the next request.
// Writes go to a temporary file in the same folder that is renamed over the
// old one, so a crash never leaves a file half-written. Callers serialise
// concurrent writers with a named lock.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"

namespace tallypad {

// Most bytes of a profile file read; the rest of a larger file is ignored.
// Settings and statistics files are a few kilobytes.
inline constexpr size_t kMaxProfileBytes = 4 << 20;

// Returns the lines of `section` in `path`, each without surrounding blanks
// or a trailing CR; blank lines and lines beginning with ';' are skipped.
// The section ends at the next line beginning with '['. Empty when the file
// or the section is missing.
std::vector<std::string> ProfileGetSection(const std::string& path, std::string_view section);

// Returns the integer value of `key` in `section` (leading digits, with an
// optional sign), or `def` when the key is missing or does not begin with a number.
int ProfileGetInt(const std::string& path, std::string_view section, std::string_view key, int def);

// One key to write: `value` nullopt deletes the key.
struct ProfileUpdate {
  std::string section;
  std::string key;
  std::optional<std::string> value;
};

// Applies `updates` in one rewrite of the file: a key is replaced in place
// (other lines and comments kept), appended to its section, or appended with
// a new section; the file is created when missing. Returns true on success.
bool ProfileWrite(const std::string& path, const std::vector<ProfileUpdate>& updates);

// Loads `section` of the file at `path`: `free_count` free entries, then one
// entry per line (name before the first '=', value after it; a line without
// '=' is all name with the value ""). Returns null when the file is missing
// or empty, or when the section has no lines and `free_count` is 0.
VarTablePtr IniLoadSection(const std::string& path, std::string_view section, size_t free_count);

// Loads each of `sections` of the file at `path` as IniLoadSection does, all
// from one read of the file; the tables come in the order of `sections`.
std::vector<VarTablePtr> IniLoadSections(const std::string& path,
                                         std::initializer_list<std::string_view> sections,
                                         size_t free_count);

// Writes one key (see ProfileWrite). Returns true on success.
bool ProfileWriteString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);

}  // namespace tallypad
