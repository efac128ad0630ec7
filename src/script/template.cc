// The main loop of the template processor: page bytes are copied to the
// output until a "<" starts a tag or, in reports, a "{" starts a field name.
// A tag's name picks the first matching rule: the stop name, value markers,
// section tags, directives, script blocks, form fields, or plain text.
#include "script/template.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "base/read.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "base/wordlist.h"
#include "script/directives.h"
#include "script/expr.h"
#include "script/functions.h"
#include "script/page_read.h"

namespace tallypad {

namespace {

// One marker's text keeps at most this many characters (the tag buffer less
// room for the end marker); the rest is read and dropped.
constexpr size_t kMarkerTextLimit = kTagBufferSize - 4;
// The current select name keeps at most this many characters.
constexpr size_t kSelectNameLimit = 127;
// Gathering a page's choices keeps this much of a tag name: enough to tell
// a form field from any other tag.
constexpr size_t kTagNameLimit = 16;
// At most this many attributes of a rewritten form field are kept.
constexpr size_t kMaxFieldAttributes = 20;
// The failing statement copied into a script error report is cut here.
constexpr size_t kScriptErrorCopyLimit = 1024;
// The failing statement quoted in a script error's log line is cut here:
// enough to recognise it, and a log line stays one line of a window.
constexpr size_t kLoggedStatementLimit = 80;
// Plain page text is gathered and written in pieces of about this size.
constexpr size_t kWriteChunk = 4096;

thread_local int t_depth = 0;
thread_local long t_nested_runs = 0;
thread_local long t_nested_files = 0;
// When the outermost run started, and why the page was stopped (empty while
// it runs): out of time, or out of nested runs.
thread_local std::chrono::steady_clock::time_point t_started;
thread_local std::string t_stopped;
// Whether the page's error line for being stopped has been written.
thread_local bool t_stop_line_written = false;

class DepthGuard {
 public:
  DepthGuard() { ++t_depth; }
  ~DepthGuard() { --t_depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

// Gathers the run's own output and writes it to the stream in pieces. Every
// writer outside the run gets the stream through Stream(), which writes what
// was gathered first, so the order of the output is kept.
class PageWriter {
 public:
  explicit PageWriter(OutputStream* out) : out_(out) {}
  ~PageWriter() { Flush(); }
  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;

  void Put(char c) {
    if (!out_) return;
    text_.push_back(c);
    if (text_.size() >= kWriteChunk) Flush();
  }
  void Write(std::string_view s) {
    if (!out_) return;
    text_.append(s);
    if (text_.size() >= kWriteChunk) Flush();
  }
  void WriteHtml(std::string_view s) {
    if (!out_) return;
    text_.append(HtmlEscape(s));
    if (text_.size() >= kWriteChunk) Flush();
  }
  OutputStream* Stream() {
    Flush();
    return out_;
  }
  void Flush() {
    if (text_.empty()) return;
    StreamWrite(out_, text_.data(), text_.size());
    text_.clear();
  }

 private:
  OutputStream* out_;
  std::string text_;
};

// The state of one run; nothing of it survives the run.
struct Run {
  explicit Run(const TemplateRun& run_in) : run(run_in), page(*run_in.page), w(run_in.out) {}

  const TemplateRun& run;  // what the caller asked for
  PageReader& page;        // run.page
  PageWriter w;
  std::string tag;  // the tag buffer
  int delim = 0;    // the character that ended the tag name
  bool in_script = false;
  std::string select_name;
  VarTablePtr scratch_vars;  // variables of script blocks when the run has none
  // The choices the page offers (field name, value), gathered when first
  // needed.
  std::optional<std::vector<std::pair<std::string, std::string>>> page_choices;
};

// What the main loop does after a tag or a brace.
enum Step { kStepStop = 0, kStepEnd = -1, kStepGoOn = 1 };

std::string_view TrimLeadingWhite(std::string_view s) {
  while (!s.empty() && PageIsWhite(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  return s;
}

// Skips the rest of a tag unless its name was ended by ">".
void FinishTag(const Run& r) {
  if (r.delim != '>') PageSkipPast(r.page, '>');
}

// The run as a directive met it: what was gathered is written first, and
// the directive's nested runs choose their own stop names.
TemplateRun DirectiveRunOf(Run& r) {
  TemplateRun met = r.run;
  met.out = r.w.Stream();
  met.stop = {};
  return met;
}

// ---- Form fields ----

// Names compared without regard to case, as the variable table compares
// them; inline because every form field compares against every variable.
inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

enum class FormTag { kNone, kInput, kSelect, kOption, kTextarea, kTextareaEnd };

FormTag FormTagOf(std::string_view name) {
  if (SameName(name, "INPUT")) return FormTag::kInput;
  if (SameName(name, "SELECT")) return FormTag::kSelect;
  if (SameName(name, "OPTION")) return FormTag::kOption;
  if (SameName(name, "TEXTAREA")) return FormTag::kTextarea;
  if (SameName(name, "/TEXTAREA")) return FormTag::kTextareaEnd;
  return FormTag::kNone;
}

// The value of attribute `name`, "" when it is missing or has none.
std::string AttributeValue(const VarTable* attrs, std::string_view name) {
  const VarEntry* e = VarTableFind(attrs, name);
  return e && e->value ? *e->value : std::string();
}

// Calls `fn` for every used entry named `name`, in every block.
template <typename Table, typename Fn>
void ForEachNamed(Table* vars, std::string_view name, Fn fn) {
  if (name.empty()) return;
  VarTableForEach(vars, [&](auto& e) {
    if (SameName(*e.name, name)) fn(e);
  });
}

// Removes every entry named `name` from the pending fields: each becomes a
// free entry, as VarTableRename to no name leaves it.
void RemovePending(VarTable* pending, std::string_view name) { VarTableRemoveAll(pending, name); }

// Removes every attribute named `name` (they are no longer written).
void RemoveAttribute(VarTable* attrs, std::string_view name) { VarTableRemoveAll(attrs, name); }

// The non-empty values of every variable named `name`: a group of boxes
// comes as one field per ticked box, and every one must show ticked.
std::vector<std::string> Answers(const VarTable* vars, std::string_view name) {
  std::vector<std::string> answers;
  ForEachNamed(vars, name, [&](const VarEntry& e) {
    if (e.value && !e.value->empty()) answers.push_back(*e.value);
  });
  return answers;
}

// True for the page's own navigation fields (_PAGENEXT, _PAGESKIP, ...).
// One with a value of its own holds the author's navigation, which is never
// replaced; one without a value carries the engine's queue along.
bool IsNavigationField(std::string_view name) { return StrStartsNoCase(name, "_PAGE"); }

// Gathers the radio buttons, boxes and options of the whole page as (field
// name, value) pairs, with a reader of its own: the run's reader stays
// where it is.
std::vector<std::pair<std::string, std::string>> PageChoices(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> choices;
  PageReader page(text);
  std::string name, select;
  for (int c; (c = page.Get()) != EOF;) {
    if (c != '<') continue;
    int delim = PageReadToken(page, &name, kTagNameLimit, "> \t\r\n");
    const FormTag kind = FormTagOf(name);
    if (delim == '>' || (kind != FormTag::kInput && kind != FormTag::kSelect &&
                         kind != FormTag::kOption))
      continue;
    VarTablePtr attrs = ReadTagAttributes(page, kMaxFieldAttributes);
    const std::string field_name = AttributeValue(attrs.get(), "NAME");
    const std::string type = AttributeValue(attrs.get(), "TYPE");
    if (kind == FormTag::kSelect) {
      select = field_name;
    } else if (kind == FormTag::kOption) {
      choices.emplace_back(select, AttributeValue(attrs.get(), "VALUE"));
    } else if (StrEqualNoCase(type, "RADIO") || StrEqualNoCase(type, "CHECKBOX")) {
      choices.emplace_back(field_name, AttributeValue(attrs.get(), "VALUE"));
    }
  }
  return choices;
}

// True when the choice `value` of field `name` is chosen by `answers`. The
// page's own choices are gathered only when a single answer would be read
// as a stored group ("2,3"), to tell it from one choice that holds a comma.
bool Chosen(Run& r, std::string_view name, const std::vector<std::string>& answers,
            std::string_view value) {
  if (!ChoiceChosen(answers, value)) return false;
  if (answers.size() != 1 || answers.front() == value) return true;
  if (!r.page_choices) r.page_choices = PageChoices(r.page.text());
  std::vector<std::string> offered;
  for (const auto& [field, choice] : *r.page_choices)
    if (SameName(field, name)) offered.push_back(choice);
  return ChoiceChosen(answers, value, &offered);
}

void WriteAttributes(PageWriter& w, const VarTable* attrs) {
  for (const VarEntry& e : attrs->entries) {
    if (!e.IsUsed()) continue;
    w.Put(' ');
    w.Write(*e.name);
    if (e.value) {
      w.Write("=\"");
      w.WriteHtml(*e.value);
      w.Put('"');
    }
  }
}

void FormInput(Run& r, VarTable* attrs, const std::string& name) {
  const std::string type = AttributeValue(attrs, "TYPE");
  const std::string value = AttributeValue(attrs, "VALUE");
  RemovePending(r.run.pending, name);
  r.w.Write("<INPUT");
  if (!StrEqualNoCase(type, "RADIO") && !StrEqualNoCase(type, "CHECKBOX")) {
    const bool authors_value = IsNavigationField(name) && !value.empty();
    const std::string current = name.empty() || authors_value || r.run.page_values
                                    ? std::string()
                                    : VarTableGet(r.run.vars, name, "");
    RemoveAttribute(attrs, "VALUE");
    r.w.Write(" VALUE=\"");
    if (!current.empty()) {
      r.w.WriteHtml(current);
    } else {
      r.w.Write(value);
    }
    r.w.Put('"');
  } else {
    const std::vector<std::string> answers = Answers(r.run.vars, name);
    if (!answers.empty()) {
      if (Chosen(r, name, answers, value)) {
        r.w.Write(" CHECKED");
      } else {
        RemoveAttribute(attrs, "CHECKED");
      }
    }
  }
  WriteAttributes(r.w, attrs);
  r.w.Put('>');
}

void FormOption(Run& r, VarTable* attrs) {
  const std::string query = AttributeValue(attrs, "query");
  if (!query.empty() && CondEvaluate(query, r.run.vars, nullptr) != 1) {
    PageSkipUntil(r.page, "</OPTION>", "</OPTION>");
    return;
  }
  const std::string value = AttributeValue(attrs, "VALUE");
  bool exists = false;
  ForEachNamed(r.run.vars, r.select_name, [&](const VarEntry&) { exists = true; });
  const bool selected = exists && Chosen(r, r.select_name, Answers(r.run.vars, r.select_name), value);
  r.w.Write("<OPTION");
  if (selected) {
    r.w.Write(" SELECTED ");
  } else if (!exists) {
    RemoveAttribute(attrs, "SELECTED");
  }
  WriteAttributes(r.w, attrs);
  r.w.Put('>');
}

void FormField(Run& r, FormTag kind) {
  VarTablePtr attrs =
      r.delim == '>' ? VarTableNew(0) : ReadTagAttributes(r.page, kMaxFieldAttributes);
  const std::string name = AttributeValue(attrs.get(), "NAME");
  switch (kind) {
    case FormTag::kInput:
      FormInput(r, attrs.get(), name);
      break;
    case FormTag::kSelect:
      RemovePending(r.run.pending, name);
      r.select_name = name.substr(0, kSelectNameLimit);
      r.w.Write("<SELECT");
      WriteAttributes(r.w, attrs.get());
      r.w.Put('>');
      break;
    case FormTag::kOption:
      FormOption(r, attrs.get());
      break;
    case FormTag::kTextarea: {
      RemovePending(r.run.pending, name);
      r.w.Write("<TEXTAREA");
      WriteAttributes(r.w, attrs.get());
      r.w.Put('>');
      const std::string current = name.empty() ? std::string() : VarTableGet(r.run.vars, name, "");
      r.w.WriteHtml(current.empty() ? AttributeValue(attrs.get(), "VALUE") : current);
      r.w.Write("</TEXTAREA>");
      // The page's own text of the area never shows: a default is given
      // as a VALUE attribute.
      PageSkipUntil(r.page, "</TEXTAREA>", "</TEXTAREA>");
      break;
    }
    case FormTag::kTextareaEnd:
    case FormTag::kNone:
      break;
  }
}

// ---- Conditional sections ----

// Shows or skips branches from a "%if" tag whose name is r.tag; `keyword` is
// the length of the keyword at its start. Sections do not nest: a skip ends
// at the first "<%el" or "<%en", whichever section it belongs to.
void ConditionalSection(Run& r, size_t keyword) {
  std::string cond = r.tag.substr(keyword);
  PageFinishMarker(r.page, &cond, r.delim, "%>", kMarkerTextLimit);
  std::string rest, word;
  for (;;) {
    // An evaluation error shows the branch, as a true condition does.
    if (CondEvaluate(cond, r.run.vars, r.run.record) != 0) return;
    PageFound found = PageSkipUntil(r.page, "<%el", "<%en");
    if (found != kPageFoundA) {
      PageSkipPast(r.page, '>');
      return;
    }
    int d = PageReadToken(r.page, &rest, kMarkerTextLimit, "> \t\r\n");
    const std::string tag = "%el" + rest;
    if (StrEqualNoCase(tag, "%else") && PageIsWhite(d)) {
      int c;
      do {
        c = r.page.Get();
      } while (PageIsWhite(c));
      if (c != EOF) r.page.Unget();
      int wd = c == EOF ? -1 : PageReadToken(r.page, &word, kMarkerTextLimit, "> \t\r\n");
      if (c != EOF && StrEqualNoCase(word, "if") && wd != '>') {
        cond.clear();
        PageFinishMarker(r.page, &cond, wd, "%>", kMarkerTextLimit);
        continue;
      }
      // A plain "%else" (any word after it is dropped): its branch shows.
      if (wd != '>') PageSkipPast(r.page, '>');
      return;
    }
    if (StrStartsNoCase(tag, "%elsif") || StrStartsNoCase(tag, "%elif")) {
      cond = tag.substr(StrStartsNoCase(tag, "%elsif") ? 6 : 5);
      PageFinishMarker(r.page, &cond, d, "%>", kMarkerTextLimit);
      continue;
    }
    if (d != '>') PageSkipPast(r.page, '>');
    return;
  }
}

// ---- Script blocks ----

void ScriptBlock(Run& r) {
  OutputStream* out = r.w.Stream();
  VarTable* vars = r.run.vars;
  if (!vars) {
    if (!r.scratch_vars) r.scratch_vars = VarTableCopy(nullptr, 16);
    vars = r.scratch_vars.get();
  }
  const ScriptObject objects[] = {{"data", r.run.record}};
  ScriptContext ctx;
  ctx.out = out;
  ctx.base_path = std::string(r.run.base_path);
  ctx.objects = objects;
  ctx.functions = PageTemplateFunctions();
  const int code = ScriptRun(ctx, r.page, vars);
  if (code > 0) {
    StatusLogAppend("\n" + ScriptErrorLogLine(ctx, r.page, code, TemplateShownName(r.run)));
    if (!r.run.author_view) {
      // A respondent gets neither the report nor the rest of the block as
      // page text: the page goes on after the block.
      PageSkipUntil(r.page, "%>", "%>");
      return;
    }
    // The report copies the failing statement; the page then goes on from
    // where the copy ended.
    StreamWriteText(out, "[");
    ScriptError(out, ctx, r.page, code);
    StreamWriteText(out, "]");
  }
}

// ---- Tags ----

// The directives that a tag of their name starts, in the order they are
// tried.
struct DirectiveRow {
  std::string_view tag;
  bool prefix;  // the tag's name only begins with `tag`
  void (*run)(const TemplateRun& run);
};
constexpr DirectiveRow kDirectives[] = {
    {"%include", false, DirectiveInclude}, {"%source", false, DirectiveSource},
    {"%report", false, DirectiveReport},   {"%stats", false, DirectiveStats},
    {"%random", true, DirectiveRandom},
};

// The template's own tags, which all begin with "%" or "!": value markers,
// section tags, directives and script blocks.
// Returns false when the tag is none of them.
bool MarkupTag(Run& r, Step* step) {
  const std::string_view name = r.tag;
  *step = kStepGoOn;
  if (StrStartsNoCase(name, "!--$")) {
    std::string text = r.tag;
    PageFinishMarker(r.page, &text, r.delim, "-->", kMarkerTextLimit);
    TemplateEmitValue(TrimLeadingWhite(std::string_view(text).substr(4)), r.w.Stream(), r.run.vars);
    return true;
  }
  if (name.size() >= 2 && name[0] == '%' && name[1] == '=') {
    std::string text = r.tag;
    PageFinishMarker(r.page, &text, r.delim, "%>", kMarkerTextLimit);
    TemplateEmitValue(TrimLeadingWhite(std::string_view(text).substr(2)), r.w.Stream(), r.run.vars);
    return true;
  }
  if (StrStartsNoCase(name, "%end")) {
    FinishTag(r);  // a stray end tag writes nothing
    return true;
  }
  // "<%break%>" reads as the name "%break%".
  if (StrEqualNoCase(name, "%break") || StrEqualNoCase(name, "%break%")) {
    *step = kStepEnd;
    return true;
  }
  if (StrStartsNoCase(name, "%if")) {
    ConditionalSection(r, 3);
    return true;
  }
  if (StrStartsNoCase(name, "%else") || StrStartsNoCase(name, "%elsif") ||
      StrStartsNoCase(name, "%elif")) {
    // A later branch of a section whose shown branch has ended.
    PageSkipUntil(r.page, "<%end", "<%end");
    PageSkipPast(r.page, '>');
    return true;
  }
  // In a dry run the words of "%kqs" are page text.
  if (StrStartsNoCase(name, "%kqs") && r.run.out) {
    DirectiveList(DirectiveRunOf(r));
    return true;
  }
  for (const DirectiveRow& row : kDirectives) {
    if (row.prefix ? StrStartsNoCase(name, row.tag) : StrEqualNoCase(name, row.tag)) {
      row.run(DirectiveRunOf(r));
      return true;
    }
  }
  // A dry run runs no script: the block's text is read as page text.
  if (name == "%" && PageIsWhite(r.delim) && r.run.out) {
    ScriptBlock(r);
    return true;
  }
  return false;
}

// Acts on the tag whose name is in r.tag, following the first rule that
// matches; says whether the run goes on.
Step Tag(Run& r) {
  const std::string_view name = r.tag;
  if (!r.run.stop.empty() && StrEqualNoCase(name, r.run.stop)) {
    FinishTag(r);
    return kStepStop;
  }
  if (!name.empty() && (name[0] == '%' || name[0] == '!')) {
    Step step;
    if (MarkupTag(r, &step)) return step;
  }
  if (SameName(name, "SCRIPT")) {
    r.in_script = true;
  } else if (SameName(name, "/SCRIPT")) {
    r.in_script = false;
  }
  if (r.run.formfill && !r.in_script) {
    FormTag kind = FormTagOf(name);
    if (kind != FormTag::kNone) {
      FormField(r, kind);
      return kStepGoOn;
    }
  }
  r.w.Put('<');
  r.w.Write(name);
  if (r.delim > 0) r.w.Put(static_cast<char>(r.delim));
  return kStepGoOn;
}

// A "{" in a report: "{NAME}" writes the record's value of NAME.
Step Brace(Run& r) {
  int d = r.page.Get();
  if (d == EOF) return kStepEnd;
  if (d == '}' || PageIsWhite(d)) {
    r.w.Put('{');
    r.w.Put(static_cast<char>(d));
    return kStepGoOn;
  }
  std::string name;
  if (d != 0) name.push_back(static_cast<char>(d));
  std::string rest;
  PageReadToken(r.page, &rest, kMarkerTextLimit - name.size(), "}");
  name += rest;
  if (!r.run.stop.empty() && StrEqualNoCase(name, r.run.stop)) return kStepStop;
  TemplateEmitValue(name, r.w.Stream(), r.run.record);
  return kStepGoOn;
}

// Writes the error line of a page that was stopped, once per page.
void WriteStopLine(OutputStream* out, const PageReader& page) {
  if (t_stop_line_written || !out) return;
  t_stop_line_written = true;
  DirectiveError(out, page, "page", t_stopped + ": the rest is left out");
}

// True when the page has run out of time or out of nested runs. The first
// run with output that finds it out writes the error line where it got to:
// a dry pass (the search for a report body's end) that found out first has
// nowhere to write it.
bool MustStop(Run& r) {
  if (t_stopped.empty()) {
    if (t_nested_runs >= kMaxNestedRuns) {
      t_stopped = StrPrintf("ran more than %ld nested blocks", kMaxNestedRuns);
    } else if (std::chrono::steady_clock::now() - t_started > kPageTimeBudget) {
      t_stopped = StrPrintf("took more than %lld ms",
                            static_cast<long long>(kPageTimeBudget.count()));
    } else {
      return false;
    }
  }
  if (r.run.out) WriteStopLine(r.w.Stream(), r.page);
  return true;
}

int MainLoop(Run& r) {
  PageReader& page = r.page;
  for (;;) {
    int c = page.Get();
    if (c == EOF) return -1;
    if ((c == '<' || c == '{') && MustStop(r)) return -1;
    if (c == '{' && r.run.record) {
      Step s = Brace(r);
      if (s != kStepGoOn) return s;
      continue;
    }
    if (c != '<') {
      if (c != 0) r.w.Put(static_cast<char>(c));
      continue;
    }
    r.delim = PageReadToken(page, &r.tag, kMarkerTextLimit, "> \t\r\n");
    if (r.delim == -1) return -1;
    Step s = Tag(r);
    if (s != kStepGoOn) return s;
  }
}

}  // namespace

int TemplateProcess(const TemplateRun& run) {
  if (!run.page || t_depth >= kMaxTemplateDepth) return -1;
  const bool outermost = t_depth == 0;
  if (outermost) {
    t_nested_runs = 0;
    t_nested_files = 0;
    const auto now = std::chrono::steady_clock::now();
    t_started = run.started.value_or(now);
    t_stopped.clear();
    t_stop_line_written = false;
    // A later run of a page whose time is up does nothing: the error line
    // was written by the run that ran out.
    if (now - t_started > kPageTimeBudget) return -1;
  } else if (++t_nested_runs > kMaxNestedRuns || !t_stopped.empty()) {
    return -1;
  }
  int result;
  {
    DepthGuard guard;
    Run r(run);
    result = MainLoop(r);
  }
  if (outermost && !t_stopped.empty()) {
    WriteStopLine(run.out, *run.page);
    StatusLogAppend(StrPrintf("\nThe page %.*s %s; the rest was left out",
                              static_cast<int>(run.name.size()), run.name.data(),
                              t_stopped.c_str()));
  }
  return result;
}

bool TemplateProcessFile(const std::string& path, TemplateRun run) {
  const std::optional<std::string> text = ReadPageFile(path);
  if (!text) return false;
  PageReader page(*text);
  run.page = &page;
  if (run.name.empty()) run.name = path;
  TemplateProcess(run);
  return true;
}

std::string ScriptErrorLogLine(const ScriptContext& ctx, const PageReader& page, int code,
                               std::string_view shown_name) {
  const std::string_view message = ScriptErrorMessage(code);
  // The statement begins at its first byte that is no blank or line break.
  const std::string_view text = page.text();
  size_t first = static_cast<size_t>(std::max(ctx.statement_start, 0L));
  while (first < text.size() && PageIsWhite(static_cast<unsigned char>(text[first]))) ++first;
  std::string line = StrPrintf("Script error %d (%.*s) in %.*s line %d", code,
                               static_cast<int>(message.size()), message.data(),
                               static_cast<int>(shown_name.size()), shown_name.data(),
                               PageLineAt(text, first));
  const long span = ctx.stop_position - ctx.statement_start;
  if (span > 0 && ctx.statement_start >= 0) {
    std::string statement(page.text().substr(
        static_cast<size_t>(ctx.statement_start),
        std::min(static_cast<size_t>(span), kLoggedStatementLimit)));
    for (char& c : statement)
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    const size_t first = statement.find_first_not_of(' ');
    if (first != std::string::npos) line += ": " + statement.substr(first);
  }
  line += '.';
  return line;
}

std::string TemplateShownName(const TemplateRun& run) {
  if (run.name.empty()) return "(a page)";
  if (run.name.front() != '/') return std::string(run.name);
  return PathShown(run.base_path, run.name);
}

int TemplateDepth() { return t_depth; }

bool TemplateStopped() { return !t_stopped.empty(); }

bool TemplateCountFile() { return ++t_nested_files <= kMaxNestedFiles; }

void ScriptError(OutputStream* out, const ScriptContext& ctx, PageReader& page, int code) {
  const std::string_view message = ScriptErrorMessage(code);
  StreamPrintf(out, "Script error %d: %.*s:", code, static_cast<int>(message.size()),
               message.data());
  const long span = ctx.stop_position - ctx.statement_start;
  if (span < 1 || ctx.statement_start < 0) return;
  page.Seek(static_cast<size_t>(ctx.statement_start));
  const std::string_view copy =
      page.Rest().substr(0, std::min(static_cast<size_t>(span), kScriptErrorCopyLimit));
  StreamWrite(out, copy.data(), copy.size());
  page.Seek(page.Tell() + copy.size());
}

}  // namespace tallypad
