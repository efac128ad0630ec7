// Directives of the template language: tags that pull other material into a
// page. "%include" processes another template, "%source" copies a file
// unprocessed, "%report" repeats its body for every record of a data file
// that satisfies a query, "%stats" shows its body once with a form's
// statistics, "%random" shows a block of items in a shuffled order, and
// "%kqs" names one of these by a word. The template processor calls them
// when it meets their tag, with the run that met it; each reads its own
// parameters from the run's page and leaves the page's reader after its
// material. Runs on the thread of the page's run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/output_stream.h"
#include "base/read.h"
#include "script/template.h"

namespace tallypad {

// A parameter keeps at most this many characters.
inline constexpr size_t kDirectiveParameterLimit = 1023;
// A "%random" tag name keeps at most this many characters.
inline constexpr size_t kRandomTagNameLimit = 29;
// At most this many items of one "%random" block are shuffled; a longer
// block shows the rest as page text.
inline constexpr size_t kRandomMaxItems = 128;

// Reads one parameter (a quoted text or a word) into `param`. Returns false
// when it is missing: empty, or the word "%>". `at_end` (when not null) is
// set when the page ended before anything was read.
bool DirectiveReadParameter(PageReader& page, std::string* param, size_t limit,
                            bool* at_end = nullptr);

// Writes "<HR>Error in (subject)[offset]: message<HR>" when `out` is given;
// the offset is the page reader's current byte offset.
void DirectiveError(OutputStream* out, const PageReader& page, std::string_view subject,
                    std::string_view message);

// The directives. Each writes what went wrong (a missing parameter, a file
// that cannot be opened) to the page, so none has a result.
// "%include": processes the named file.
void DirectiveInclude(const TemplateRun& run);
// "%source": copies the named file unprocessed.
void DirectiveSource(const TemplateRun& run);
// "%report": the body once per matching record; a data file that cannot be
// opened leaves the body as page text after an error note.
void DirectiveReport(const TemplateRun& run);
// "%stats": the body once with the statistics file's counts and sums.
void DirectiveStats(const TemplateRun& run);
// "%random": the items in a shuffled order.
void DirectiveRandom(const TemplateRun& run);
// "%kqs": reads command words and runs the first known one.
void DirectiveList(const TemplateRun& run);

}  // namespace tallypad
