#include "script/directives.h"

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/file.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "platform/profile.h"
#include "script/expr.h"
#include "script/page_read.h"
#include "script/template.h"
#include "store/datafile.h"

namespace tallypad {

namespace {

// Where a "%report" or "%stats" body ends.
constexpr std::string_view kReportEnd = "/report";
constexpr std::string_view kReportEndTag = "</report>";
// The seed of the "%random" shuffle starts here before the session and host
// are added.
constexpr int64_t kRandomSeedBase = 452;

// Skips the rest of a directive's tag, up to and including "%>".
void SkipTagEnd(PageReader& page) { PageSkipUntil(page, "%>", "%>"); }

// The place of a directive in its page for the message log:
// "library/results.htm line 12".
std::string PlaceOf(const TemplateRun& run) {
  return TemplateShownName(run) + " line " +
         std::to_string(PageLineAt(run.page->text(), run.page->Tell()));
}

// Where a directive's error line goes: into the page for the author; a
// respondent on another computer gets the page without it (the message log
// names what went wrong either way).
OutputStream* ErrorOut(const TemplateRun& run) { return run.author_view ? run.out : nullptr; }

// A directive that would nest one run deeper than allowed is refused.
bool NestingAllowed() { return TemplateDepth() < kMaxTemplateDepth; }

// Milliseconds since the first call in this process; steady, and safe to
// call from any thread.
int64_t ProcessMilliseconds() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// The query of a "%report" tag: the text up to "%>", trimmed; a quoted text
// is the text inside the quotes, "$NAME" the value of variable NAME.
std::string ReadReportQuery(PageReader& page, const VarTable* vars) {
  std::string raw;
  PageSkipUntil(page, "%>", "%>", &raw, kDirectiveParameterLimit);
  std::string_view q = raw;
  while (!q.empty() && PageIsWhite(static_cast<unsigned char>(q.front()))) q.remove_prefix(1);
  while (!q.empty() && PageIsWhite(static_cast<unsigned char>(q.back()))) q.remove_suffix(1);
  if (!q.empty() && (q.front() == '\'' || q.front() == '"')) {
    const char quote = q.front();
    q.remove_prefix(1);
    if (!q.empty() && q.back() == quote) q.remove_suffix(1);
    return std::string(q);
  }
  if (!q.empty() && q.front() == '$') return VarTableGet(vars, q.substr(1), "");
  return std::string(q);
}

// Adds the character codes of a variable's value, each read as a signed byte.
void AddCharacterCodes(uint64_t* s, const VarTable* vars, std::string_view name) {
  for (char c : VarTableGet(vars, name, ""))
    *s += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
}

}  // namespace

bool DirectiveReadParameter(PageReader& page, std::string* param, size_t limit, bool* at_end) {
  param->clear();
  if (at_end) *at_end = false;
  int c;
  do {
    c = page.Get();
  } while (PageIsWhite(c));
  if (c == EOF) {
    if (at_end) *at_end = true;
    return false;
  }
  if (c == '\'' || c == '"') {
    const int quote = c;
    for (;;) {
      c = page.Get();
      if (c == EOF || c == quote) break;
      if (c == '\\') {
        c = page.Get();
        if (c == EOF) break;
        if (c == 'n') c = '\n';
        else if (c == 'r') c = '\r';
        else if (c == 't') c = '\t';
      }
      if (param->size() < limit) param->push_back(static_cast<char>(c));
    }
  } else {
    // "%>" does not end a word: "<%include a.htm%>" names the file "a.htm%>".
    while (c != EOF && !PageIsWhite(c)) {
      if (param->size() < limit) param->push_back(static_cast<char>(c));
      c = page.Get();
    }
  }
  return !param->empty() && *param != "%>";
}

void DirectiveError(OutputStream* out, const PageReader& page, std::string_view subject,
                    std::string_view message) {
  if (!out) return;
  StreamWriteText(out, "<HR>Error in (");
  StreamWriteText(out, subject);
  StreamPrintf(out, ")[%d]: ", static_cast<int>(page.Tell()));
  StreamWriteText(out, message);
  StreamWriteText(out, "<HR>");
}

void DirectiveInclude(const TemplateRun& run) {
  PageReader& page = *run.page;
  std::string name;
  if (!DirectiveReadParameter(page, &name, kDirectiveParameterLimit)) {
    DirectiveError(ErrorOut(run), page, "include", "parameter missing");
    return;
  }
  SkipTagEnd(page);
  // Included files are resolved against the including page's base path, and
  // their form fields are never rewritten.
  const TemplateRun included{.base_path = run.base_path,
                             .out = run.out,
                             .vars = run.vars,
                             .record = run.record,
                             .author_view = run.author_view};
  // A file that would go deeper than the nesting limit (or past the number
  // of files one page may open) counts as one that cannot be opened, so a
  // page that includes itself ends with this line.
  if (!NestingAllowed() || !TemplateCountFile() ||
      !TemplateProcessFile(PathBuild(run.base_path, name), included)) {
    DirectiveError(ErrorOut(run), page, name, "cannot open file");
    if (run.out)
      StatusLogAppend("\nThe page " + PlaceOf(run) + " includes " + name +
                      ", which cannot be opened (or includes itself too deeply).");
  }
}

void DirectiveSource(const TemplateRun& run) {
  PageReader& page = *run.page;
  std::string name;
  if (!DirectiveReadParameter(page, &name, kDirectiveParameterLimit)) {
    DirectiveError(ErrorOut(run), page, "source", "parameter missing");
    return;
  }
  SkipTagEnd(page);
  std::string path = PathBuild(run.base_path, name);
  FilePtr f = FileOpen(path, "r");
  if (!f) {
    DirectiveError(ErrorOut(run), page, PathShown(run.base_path, path), "cannot open file");
    if (run.out)
      StatusLogAppend("\nThe page " + PlaceOf(run) + " copies " + name +
                      " (<%source), which cannot be opened.");
    return;
  }
  StreamCopyFile(run.out, f.get());
}

void DirectiveReport(const TemplateRun& run) {
  PageReader& page = *run.page;
  std::string name;
  if (!DirectiveReadParameter(page, &name, kDirectiveParameterLimit)) return;
  std::string query = ReadReportQuery(page, run.vars);
  std::string path = PathBuild(run.base_path, name);
  if (!NestingAllowed()) {
    DirectiveError(ErrorOut(run), page, PathShown(run.base_path, path), "cannot open file");
    PageSkipUntil(page, kReportEndTag, kReportEndTag);
    return;
  }
  std::unique_ptr<DataFile> data;
  if (FileExists(path)) data = DataFile::Open(path, 1);
  if (!data) {
    // The body is not skipped: it follows as ordinary page text. A dry run
    // leaves no trace, not even in the log.
    if (run.out) {
      if (OutputStream* out = ErrorOut(run)) {
        StreamWriteText(out, "[Error: Unable to open the database ");
        StreamWriteHtml(out, PathShown(run.base_path, path));
        StreamWriteText(out, "]");
      }
      StatusLogAppend("\nThe report in " + PlaceOf(run) + " reads the data file " +
                      PathShown(run.base_path, path) +
                      ", which cannot be opened or has no header line.");
    }
    return;
  }
  VarTable* columns = data->columns();
  VarTableRename(columns, "", "#");

  // A pass without output finds the end of the body and leaves the page
  // after "</report>".
  const size_t body = page.Tell();
  TemplateProcess({.base_path = run.base_path, .page = &page, .stop = kReportEnd});
  const size_t after = page.Tell();

  // Without an output stream a record pass has no effect at all (report
  // passes carry no pending fields), so the passes are left out: nested
  // reports in a dry run then cost one pass each instead of one per record.
  if (run.out) {
    const TemplateRun per_record{.base_path = run.base_path,
                                 .out = run.out,
                                 .page = &page,
                                 .vars = run.vars,
                                 .record = columns,
                                 .stop = kReportEnd,
                                 .name = run.name,
                                 .author_view = run.author_view};
    int number = 0;
    const RecordFilter wanted = QueryFilter(run.vars, query);
    while (!TemplateStopped() && data->ReadWhere(wanted)) {
      ++number;
      VarTableSet(columns, "#", std::to_string(number));
      page.Seek(body);
      TemplateProcess(per_record);
    }
  }
  page.Seek(after);
}

void DirectiveStats(const TemplateRun& run) {
  PageReader& page = *run.page;
  std::string name;
  if (!DirectiveReadParameter(page, &name, kDirectiveParameterLimit)) return;
  SkipTagEnd(page);
  std::string path = PathBuild(run.base_path, name);
  if (!NestingAllowed()) {
    DirectiveError(ErrorOut(run), page, PathShown(run.base_path, path), "cannot open file");
    PageSkipUntil(page, kReportEndTag, kReportEndTag);
    return;
  }
  VarTablePtr counts, sums;
  if (FileExists(path)) {
    counts = IniLoadSection(path, "COUNT", 0);
    sums = IniLoadSection(path, "SUM", 0);
  } else if (run.out) {
    // The body is still shown, once, with its braces as they stand.
    StatusLogAppend("\nThe statistics in " + PlaceOf(run) + " read the file " +
                    PathShown(run.base_path, path) + ", which does not exist.");
  }
  VarTableForEach(sums.get(), [](VarEntry& e) { *e.name = StrConcat3(*e.name, ".SUM", ""); });
  VarTablePtr table;
  if (counts && sums) {
    table = VarTableMerge(counts.get(), sums.get(), 0);
  } else {
    table = counts ? std::move(counts) : std::move(sums);
  }
  TemplateProcess({.base_path = run.base_path,
                   .out = run.out,
                   .page = &page,
                   .vars = run.vars,
                   .record = table.get(),
                   .stop = kReportEnd,
                   .name = run.name,
                   .author_view = run.author_view});
}

void DirectiveRandom(const TemplateRun& run) {
  PageReader& page = *run.page;
  std::string item_tag, end_tag;
  if (!DirectiveReadParameter(page, &item_tag, kRandomTagNameLimit)) return;
  if (!DirectiveReadParameter(page, &end_tag, kRandomTagNameLimit)) return;
  SkipTagEnd(page);
  const std::string item_marker = "<" + item_tag + ">";
  const std::string end_marker = "<" + end_tag + ">";
  // Markers of different lengths cannot share one window: the items are
  // then ordinary page text, as they are when nesting is refused.
  if (item_marker.size() != end_marker.size() || !NestingAllowed()) return;

  std::vector<size_t> items;
  for (size_t k = 0; k < kRandomMaxItems; ++k) {
    const size_t start = page.Tell();
    if (PageSkipUntil(page, item_marker, end_marker) != kPageFoundA) break;
    items.push_back(start);
  }
  const size_t after = page.Tell();

  if (items.size() >= 2) {
    // Unsigned arithmetic: the seed wraps instead of overflowing, and its
    // magnitude (after negation) is never negative.
    uint64_t s = static_cast<uint64_t>(kRandomSeedBase);
    AddCharacterCodes(&s, run.vars, "_SESSION");
    AddCharacterCodes(&s, run.vars, "HOST");
    for (size_t i = 0; i < items.size(); ++i) {
      s += static_cast<uint64_t>(ProcessMilliseconds()) + static_cast<uint64_t>(items[i]);
      if (static_cast<int64_t>(s) < 0) s = 0 - s;
      std::swap(items[i], items[s % items.size()]);
    }
  }
  TemplateRun item = run;
  item.stop = item_tag;
  for (size_t start : items) {
    page.Seek(start);
    TemplateProcess(item);
  }
  page.Seek(after);
}

namespace {

// A command word of "%kqs" and the directive it runs.
struct DirectiveWord {
  std::string_view word;  // compared without regard to case
  void (*run)(const TemplateRun& run);
};

constexpr DirectiveWord kDirectiveWords[] = {
    {"include", DirectiveInclude}, {"source", DirectiveSource}, {"report", DirectiveReport},
    {"random", DirectiveRandom},   {"stats", DirectiveStats},
};

}  // namespace

void DirectiveList(const TemplateRun& run) {
  for (;;) {
    std::string word;
    bool at_end = false;
    DirectiveReadParameter(*run.page, &word, kDirectiveParameterLimit, &at_end);
    if (at_end || word == "%>") return;
    for (const DirectiveWord& row : kDirectiveWords) {
      if (!StrEqualNoCase(word, row.word)) continue;
      row.run(run);
      return;
    }
    DirectiveError(ErrorOut(run), *run.page, word, "Unknown command");
  }
}

}  // namespace tallypad
