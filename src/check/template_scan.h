// One page of the template language as `tallypad check` reads it: the
// markers, sections, directives and script blocks the template processor
// would act on, walked without running the page. The scan reports what
// breaks the page (a section without its end, a marker without "%>", a
// directive naming a file that does not exist, a script error found by a dry
// run of each script block) and collects what the page offers and uses: its
// form fields and FORM tags, the variables it reads and its scripts set, the
// files it includes. The form check (check/form_check.h) puts the facts of
// every page of a form together.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "check/findings.h"

namespace tallypad {

// A form field of a page: an INPUT, SELECT, OPTION, TEXTAREA or BUTTON tag.
struct FormField {
  std::string tag;    // upper case
  std::string name;   // NAME; for an OPTION, the name of its SELECT
  std::string type;   // TYPE, upper case
  std::string value;  // VALUE
  int line = 0;
  bool in_form = false;  // between the page's <FORM ...> and </FORM>
};

// A variable, page or file a page names, with its place.
struct PlacedName {
  std::string name;
  std::string file;
  int line = 0;
  bool pattern = false;   // the name and its parts NAME_... ("/Q3/", "has")
  bool compared = false;  // the unquoted right side of a comparison
};

// What one scan found.
struct TemplateFacts {
  std::vector<FormField> fields;
  std::vector<PlacedName> reads;     // variables read (not a report's record columns)
  std::vector<PlacedName> sets;      // variables its script blocks assign
  std::vector<PlacedName> includes;  // files of "%include" (the name as written)
  int form_line = 0;                 // the first <FORM ...> tag's line; 0 without one
  int form_end_line = 0;             // the first </FORM> after it; 0 without one
};

// What to scan.
struct TemplateScanInput {
  std::string root;        // the server root (ending in '/'): names resolve against it
  std::string file;        // the page's name relative to the root, for the findings
  std::string_view text;   // the page's bytes
  size_t start = 0;        // where the template text begins (after a plain layout's lines)
};

// Scans the page, adding its findings and its facts.
void ScanTemplate(const TemplateScanInput& input, Findings* findings, TemplateFacts* facts);

}  // namespace tallypad
