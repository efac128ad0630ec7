// The template processor: every page the system shows passes through
// TemplateProcess. A page is read into memory once (at most kMaxPageBytes;
// a larger page is processed as if it ended there) and walked forward by a
// PageReader; the processor copies it to an OutputStream, acting on the
// markers embedded in it: value markers, conditional sections, directives,
// script blocks and, when asked, the form fields it rewrites to show the
// current answers. A TemplateRun says what one run reads, writes and works
// with. Nested files (includes, report templates) are read into buffers of
// their own and processed by recursive runs; passes over a part of the same
// page (a report body per record) set the page's reader back. Runs on the
// server thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "base/output_stream.h"
#include "base/read.h"
#include "base/vartable.h"
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

// One run of the template processor: the page it reads, where its output
// goes and what it works with. Callers fill it with designated initializers
// and leave out what they do not use.
struct TemplateRun {
  std::string_view base_path{};   // the page's path: file names resolve against its folder
  OutputStream* out = nullptr;    // null: a dry run that writes nothing and runs no script block
  PageReader* page = nullptr;     // the page, read on from its current position
  VarTable* vars = nullptr;       // the variables
  VarTable* record = nullptr;     // the current record of a report (may be null)
  VarTable* pending = nullptr;    // pending fields: every form field met is removed (may be null)
  bool formfill = false;          // rewrite form fields to show the current answers
  // With formfill: text fields keep the VALUE the page gives them instead of
  // the current answer, for reading which fields a page shows as written.
  bool page_values = false;
  std::string_view stop{};        // a tag name at which the run stops (empty: none)
  std::string_view name{};        // the page as the message log names it (empty: unnamed)
  // When the page's time began, for a page processed in several runs; an
  // outermost run without it begins the time itself.
  std::optional<std::chrono::steady_clock::time_point> started{};
  // Who the page is for: true, the author (errors show their detail, such as
  // the statement a script failed at); false, a respondent on another
  // computer, who gets no script error report. The message log names every
  // error either way.
  bool author_view = true;
};

// How long one page may take, with everything its directives, reports and
// scripts do: beyond it the page stops with an error line where it got to,
// so that no page holds the server for long.
inline constexpr std::chrono::milliseconds kPageTimeBudget{2000};

// Processes `run.page` from its current position as `run` says. Returns 0
// when the stop tag was met, -1 at the end of the page, after "%break",
// when there is no page, or when the page ran out of time.
int TemplateProcess(const TemplateRun& run);

// Reads the file at `path` into memory and processes all of it as `run`
// says (its `page` is replaced by the file's). Returns false, having done
// nothing, when the file cannot be opened.
bool TemplateProcessFile(const std::string& path, TemplateRun run);

// Writes the value of a marker's text (an expression, "toFixed(expr, n)" or
// "condition ? THEN : ELSE"). Returns -1 when written as a value, 1 or 0 when
// the text was a comparison that came out true or false.
int TemplateEmitValue(std::string_view text, OutputStream* out, VarTable* table);

// Writes the report of script error `code`: "Script error %d: %s:" and the
// failing statement's text copied from `page` (at most 1,024 bytes), leaving
// the page's reader just after the copied bytes.
void ScriptError(OutputStream* out, const ScriptContext& ctx, PageReader& page, int code);

// The message-log sentence for script error `code` of the script that ran
// from `page` (named `shown_name`), with the line and the failing statement:
// "Script error 48 (Function not found) in travel.val line 9: x = foo(".
std::string ScriptErrorLogLine(const ScriptContext& ctx, const PageReader& page, int code,
                               std::string_view shown_name);

// The name of the run's page as the message log shows it: relative to the
// folder of its base path (the server root for every page the engines and
// the router show).
std::string TemplateShownName(const TemplateRun& run);

// The nesting depth of TemplateProcess runs on this thread (0 outside any run).
int TemplateDepth();
// True once the outermost run on this thread has been stopped (it used up
// kPageTimeBudget or kMaxNestedRuns); reports and other loops stop then.
bool TemplateStopped();

// Counts a file about to be processed by a nested run (an include, a report
// template); false when the outermost run has already opened
// kMaxNestedFiles of them, and the file must then be refused.
bool TemplateCountFile();

}  // namespace tallypad
