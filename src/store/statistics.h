// The statistics file of a form: a profile file whose section COUNT counts
// the responses that meet each counting rule (the keys) and whose section
// SUM adds up the numeric answers of the variables its keys name. The form's
// author creates the keys; a save only changes the values of keys that
// exist. A respondent who saves again has the contribution of the previous
// record taken out first, so that every respondent is counted once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"
#include "platform/profile.h"

namespace tallypad {

// Sums and answers are only added while they lie strictly between these
// bounds: beyond them a double no longer holds every whole number, and an
// absurd answer would swamp the sum for good.
inline constexpr double kStatSumLimit = 1e17;

// True when the response (or record) `vars` counts for the COUNT key
// `key`. The key is a variable name (counts when that answer, or one
// of the answers named key_..., is not empty) or question_choice (counts
// when the question's answers hold the choice as ChoiceChosen tells).
// `keys` (when given) are all the COUNT keys: their choices of the same
// question tell a stored group from one choice that holds a comma.
bool ResponseCountsFor(std::string_view key, const VarTable* vars,
                       const std::vector<std::string>* keys = nullptr);

// Reads `text` as a statistics number: leading blanks, an optional sign and
// a decimal number (with fraction and exponent); 0 when it is not one.
double StatNumber(std::string_view text);

// Returns the updates one response makes to the statistics whose COUNT and
// SUM sections hold the lines `count_lines` and `sum_lines` ("key=value"):
// new values only for keys whose value changes. `previous` holds the
// respondent's earlier records that this response replaces; the
// contribution of each is taken out.
std::vector<ProfileUpdate> StatisticsChanges(const std::vector<std::string>& count_lines,
                                             const std::vector<std::string>& sum_lines,
                                             const VarTable* vars,
                                             const std::vector<const VarTable*>& previous = {});

// Adds the response `vars` to the statistics file at `path` under the
// file's named lock, writing all changed keys in one rewrite, and takes out
// the contribution of each record in `previous`. Returns true when done
// (also when the file is missing or nothing changed), false when the file
// could not be written.
bool StatisticsUpdate(const std::string& path, const VarTable* vars,
                      const std::vector<const VarTable*>& previous = {});

}  // namespace tallypad
