// The template processor: every page the system shows passes through
// TemplateProcess. It reads a page file strictly forward, one byte at a time,
// and copies it to an OutputStream, acting on the markers embedded in it:
// value markers, conditional sections, directives, script blocks and, when
// asked, the form fields it rewrites to show the current answers. Nested
// files (includes, reports) are processed by recursive calls on their own
// open file. Runs on the server thread.
#pragma once

#include <cstdio>
#include <string_view>

#include "base/vartable.h"
#include "base/output_stream.h"
#include "script/script.h"

namespace tallypad {

// Size of the tag buffer of one run: a marker keeps at most 8,192 characters.
inline constexpr size_t kTagBufferSize = 8196;
// Nested runs (includes, reports, runReport) deeper than this are refused,
// so a page that includes itself ends with an error line, not a crash.
inline constexpr int kMaxTemplateDepth = 16;
// Nested runs, and files opened for nested runs, within one outermost run.
// Depth alone does not bound the work: a page that includes itself three
// times, or reports nested in report bodies, multiply the runs at every
// level. Runs beyond the limits are refused. Far above any real page (a
// report is one run per matching record).
inline constexpr long kMaxNestedRuns = 1000000;
inline constexpr long kMaxNestedFiles = 10000;

// Processes `page` from its current position to `out` (null: a dry run that
// writes nothing and runs no script block). `vars` are the variables,
// `record` (may be null) the current record of a report, `pending` (may be
// null) the pending-fields table from which every form field met is removed,
// `formfill` turns on form-field rewriting, and `stop` (empty: none) a tag
// name at which the run stops. Returns 0 when the stop tag was met, -1 at the
// end of the file, after "%break", or when a read fails.
int TemplateProcess(std::string_view base_path, OutputStream* out, std::FILE* page, VarTable* vars,
                    VarTable* record, VarTable* pending, bool formfill, std::string_view stop);

// Writes the value of a marker's text (an expression, "toFixed(expr, n)" or
// "condition ? THEN : ELSE"). Returns -1 when written as a value, 1 or 0 when
// the text was a comparison that came out true or false.
int TemplateEmitValue(std::string_view text, OutputStream* out, VarTable* table);

// Writes the report of script error `code`: "Script error %d: %s:" and the
// failing statement's text copied from `page` (at most 1,024 bytes), leaving
// the page just after the copied bytes.
void ScriptError(OutputStream* out, const ScriptContext& ctx, std::FILE* page, int code);

// The nesting depth of TemplateProcess runs on this thread (0 outside any run).
int TemplateDepth();

// Counts a file about to be processed by a nested run (an include, a report
// template); false when the outermost run has already opened
// kMaxNestedFiles of them, and the file must then be refused.
bool TemplateCountFile();

}  // namespace tallypad
