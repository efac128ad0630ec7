// Directives of the template language: tags that pull other material into a
// page. "%include" processes another template, "%source" copies a file
// unprocessed, "%report" repeats its body for every record of a data file
// that satisfies a query, "%stats" shows its body once with a form's
// statistics, "%random" shows a block of items in a shuffled order, and
// "%kqs" names one of these by a word. The template processor calls them
// when it meets their tag; each reads its own parameters from the page and
// leaves the page after its material. Runs on the thread of the page's run.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/vartable.h"
#include "base/output_stream.h"

namespace tallypad {

// A parameter keeps at most this many characters.
inline constexpr size_t kDirectiveParameterLimit = 1023;
// A "%random" tag name keeps at most this many characters.
inline constexpr size_t kRandomTagNameLimit = 29;
// At most this many items of one "%random" block are shuffled; a longer
// block shows the rest as page text.
inline constexpr size_t kRandomMaxItems = 128;

// The parameters of the template run that met the directive.
struct DirectiveRun {
  std::string_view base_path;
  OutputStream* out = nullptr;  // null: a dry run
  std::FILE* page = nullptr;
  VarTable* vars = nullptr;
  VarTable* record = nullptr;
  VarTable* pending = nullptr;
  bool formfill = false;
};

// Reads one parameter (a quoted text or a word) into `param`. Returns false
// when it is missing: empty, or the word "%>". `at_end` (when not null) is
// set when the file ended before anything was read.
bool DirectiveReadParameter(std::FILE* page, std::string* param, size_t limit,
                            bool* at_end = nullptr);

// Writes "<HR>Error in (subject)[offset]: message<HR>" when `out` is given;
// the offset is the page's current byte offset.
void DirectiveError(OutputStream* out, std::FILE* page, std::string_view subject,
                    std::string_view message);

// "%include": processes the named file. Returns 1 when processed, else 0.
int DirectiveInclude(const DirectiveRun& run);
// "%source": copies the named file unprocessed. Returns 1 when copied, else 0.
int DirectiveSource(const DirectiveRun& run);
// "%report": the body once per matching record. 0, or 3 when the data file
// cannot be opened.
int DirectiveReport(const DirectiveRun& run);
// "%stats": the body once with the statistics file's counts and sums. 0.
int DirectiveStats(const DirectiveRun& run);
// "%random": the items in a shuffled order. 0.
int DirectiveRandom(const DirectiveRun& run);
// "%kqs": reads command words and runs the first known one.
void DirectiveList(const DirectiveRun& run);

}  // namespace tallypad
