// A form's validation file (NAME.val) as `tallypad check` reads it: its
// entries as the engine finds them (an entry counts only when written
// exactly <PAGE NAME="name">), the scripts that follow them and which
// entry's script each page really runs, every script dry-run for errors,
// and what the scripts read, set and send the respondent to.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "check/findings.h"
#include "check/template_scan.h"

namespace tallypad {

// An entry the engine finds.
struct ValidationEntry {
  std::string page;
  int line = 0;
  bool has_action = false;  // the page is shown in the validation layout
};

// A page a script sends the respondent to.
struct PlacedTarget {
  std::string page;
  std::string file;
  int line = 0;
  std::string how;  // "_PAGENEXT", "showpage", "a _PAGENEXT field", "STARTPAGE"
};

struct ValidationFacts {
  std::vector<ValidationEntry> entries;
  std::vector<PlacedName> reads;
  std::vector<PlacedName> sets;
  std::vector<PlacedTarget> targets;
};

// Scans the validation file `text`, named `file` (relative to the server
// root) in the findings.
void ScanValidation(std::string_view file, std::string_view text, Findings* findings,
                    ValidationFacts* facts);

}  // namespace tallypad
