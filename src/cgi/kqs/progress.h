// How far a respondent has come in a multi-page form, for a progress line
// such as "page 3 of 5": _PAGENUMBER is the place of the page shown on the
// respondent's path (the pages of the back list, then this one), and
// _PAGECOUNT that number plus the pages still to come. Pages still to come
// depend on answers not given yet, so they are estimated by looking ahead:
// from the page shown, each page's forward script is run on a copy of the
// answers as they stand, without any effect outside that copy, and the page
// it leads to is taken as NEXT would take it (showpage first, then
// _PAGENEXT, or the value of the page's own _PAGENEXT field). The look-ahead
// stops at a page that saves ("(save)"), leads nowhere, does not exist, or
// was met before, and after kMaxLookAheadPages. A branch whose condition
// rests on answers still to come is taken as those answers stand now
// (empty), so the count changes when they are given. Called by ShowPage.
#pragma once

#include <string_view>

#include "base/vartable.h"
#include "cgi/kqs/page_scripts.h"

namespace tallypad {

// Most pages the look-ahead follows; far above any real form, it bounds the
// work of a form whose scripts lead on without end.
inline constexpr int kMaxLookAheadPages = 200;

struct PageProgress {
  int number = 1;  // the page's place on the path, from 1
  int count = 1;   // the pages of the path, those estimated to come included
};

// The progress of showing `page_name` of form `database` with the back list
// `back_list` and the answers `vars` (not changed).
PageProgress EstimateProgress(std::string_view base_path, std::string_view database,
                              const ValidationFile& validation, const VarTable* vars,
                              std::string_view back_list, std::string_view page_name);

// Sets _PAGENUMBER and _PAGECOUNT of `vars` to `progress`.
void SetProgressVariables(VarTable* vars, const PageProgress& progress);

}  // namespace tallypad
