// Finding a returning respondent's stored record: the sources named by a
// form's LOGINSEQUENCE are searched with the respondent's ID fields as keys,
// the index first when the form has one, and the most recent record wins.
// Used by the survey engine's start step, login and save step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"

namespace tallypad {

// ID fields searched when a form's settings name none: the login, then
// the password fields.
inline constexpr std::string_view kDefaultIdFields = "IFMUID,IFMUID1,IFMUID2,IFMUID3,IFMUID4";

// Returns the names listed in IDFIELDS of `settings` (or the default), split
// at commas with the blanks around each name dropped.
std::vector<std::string> IdFieldNames(const VarTable* settings);

// Looks up the stored record of the respondent whose ID fields (IDFIELDS of
// `settings`) are given in `vars`, walking LOGINSEQUENCE (default "ASC").
// Returns the data file's column table holding the record's values, with
// `spare` free slots, or null when no source finds one. `offset` (when
// given) receives the byte offset of the record found.
VarTablePtr FindRespondentRecord(const VarTable* settings, std::string_view base_path,
                                 std::string_view database, const VarTable* vars,
                                 size_t spare = 0, int64_t* offset = nullptr);

}  // namespace tallypad
