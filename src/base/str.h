// String operations shared by every part of the server: copying,
// concatenating, comparing without regard to case, recognising a number,
// and resolving a file name against the folder of another file.
// Strings are byte strings; no character set is assumed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/file.h"

namespace tallypad {

// Longest path PathBuild produces; longer results are refused.
inline constexpr size_t kMaxPathLength = 4096;

// Returns a copy of `text`; a null text gives an empty string.
std::string StrDup(const char* text);
// Returns a copy of the first `count` bytes at `bytes`; null gives "".
std::string StrDupN(const char* bytes, size_t count);
// Returns the three texts joined.
std::string StrConcat3(std::string_view a, std::string_view b, std::string_view c);

// Compares without regard to ASCII case; 0 when equal, negative when `a`
// orders first (a proper prefix orders first).
int StrCompareNoCase(std::string_view a, std::string_view b);
// The same over at most `limit` characters; a limit of 0 gives 0.
int StrCompareNoCaseN(std::string_view a, std::string_view b, size_t limit);
// True when the two texts are equal without regard to ASCII case.
bool StrEqualNoCase(std::string_view a, std::string_view b);
// True when `text` begins with `prefix`, compared without regard to case.
bool StrStartsNoCase(std::string_view text, std::string_view prefix);
// Replaces every byte `from` in `text` by `to`.
void StrReplaceChar(std::string& text, char from, char to);
// True when `text` begins like a number: an optional sign, an optional
// point, then a decimal digit ("-.5", "+3", ".7", "12abc").
bool StrLooksNumeric(std::string_view text);
// Returns `text` upper-cased (ASCII).
std::string StrUpper(std::string_view text);
// Reads `text` as the C library's atoi does (leading blanks, a sign, the
// leading digits; 0 without digits), held to the range of an int.
int StrToIntClamped(std::string_view text);

// Resolves `name` (plus `extension`) against the folder of `base`. A name
// beginning with '/' is absolute and used as it stands. In the part it
// appends, every '\' becomes '/'. A base without '/' resolves against the
// current directory. Returns "" when the result would exceed kMaxPathLength.
std::string PathBuild(std::string_view base, std::string_view name,
                      std::string_view extension = {});
// Returns `path` as a text for the browser may name it: relative to the
// folder of `base` when it lies inside it, else its last part only, so that
// no folder of the server shows. The message log keeps the full path.
std::string PathShown(std::string_view base, std::string_view path);
// Opens the file PathBuild names for binary reading; null when `name` is
// empty or the file cannot be opened.
FilePtr PathOpenRelative(std::string_view base, std::string_view name,
                         std::string_view extension = {});

}  // namespace tallypad
