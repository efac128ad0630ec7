// What the texts of the template language read and set, found by reading
// them, not running them: the variables an expression, a condition, a value
// marker or a script reads; the variables a script assigns; the pages a
// page script sends the respondent to (_PAGENEXT = '...', showpage('...')).
// `tallypad check` compares them with what the form's inputs, scripts and
// the engine set, to find misspelt names. The rules follow the evaluator's
// (script/expr.h, script/script.h): quoted texts and numbers are no names,
// nor are the word operators or the names of called functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tallypad {

// A variable a text reads or sets.
struct NameUse {
  std::string name;
  size_t offset = 0;      // where it stands in the scanned text
  bool pattern = false;   // "/Q3/" or the left side of "has": Q3 and its parts Q3_...
  bool record = false;    // "$NAME" in a condition: a column of a report's record
  bool compared = false;  // the unquoted right side of a comparison ("Q1=yes")
};

// A page a script names as the next one.
struct PageTarget {
  std::string page;
  size_t offset = 0;
  std::string how;  // "_PAGENEXT" or "showpage"
};

// A statement the engine reads otherwise than it looks: a condition
// without its parentheses, a body without its braces.
struct ScriptProblem {
  size_t offset = 0;
  std::string text;
  bool warning = false;  // most likely a mistake, but the engine reads it
};

// What a script reads, sets and sends to, and what it gets wrong.
struct ScriptFacts {
  std::vector<NameUse> reads;
  std::vector<NameUse> sets;
  std::vector<PageTarget> targets;
  std::vector<ScriptProblem> problems;
};

// Adds the names a value expression or condition in `text` reads to
// `reads`, their offsets moved by `offset`.
void ScanExpressionNames(std::string_view text, size_t offset, std::vector<NameUse>* reads);

// Adds the names a value marker's text reads: an expression, "toFixed(...)"
// or "condition ? THEN : ELSE", where only a part beginning with '$' is an
// expression.
void ScanMarkerNames(std::string_view text, size_t offset, std::vector<NameUse>* reads);

// Adds what the script statements in `text` read, set and send to.
void ScanScript(std::string_view text, size_t offset, ScriptFacts* facts);

// Offset of the end marker "%>" of the script block that begins at `from`
// (quoted texts and comments passed over, as the statement reader does),
// or npos when the text ends first.
size_t ScriptBlockEnd(std::string_view text, size_t from);

}  // namespace tallypad
