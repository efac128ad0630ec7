#include "check/template_scan.h"

#include <optional>

#include "base/read.h"
#include "base/str.h"
#include "base/vartable.h"
#include "check/script_scan.h"
#include "platform/profile.h"
#include "script/directives.h"
#include "script/functions.h"
#include "script/script.h"
#include "store/datafile.h"

namespace tallypad {

namespace {

// The words of the template's own tags, for the closest one to an unknown tag.
const std::vector<std::string> kTagWords = {"if",      "elsif",  "elif",   "else",
                                            "end",     "break",  "include", "source",
                                            "report",  "stats",  "random", "kqs"};
// Attributes kept of a form field's tag, as the processor keeps them.
constexpr size_t kFieldAttributes = 20;

bool IsWhite(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Upper(std::string_view s) { return StrUpper(s); }

// The value of attribute `name`, "" when missing.
std::string Attribute(const VarTable* attrs, std::string_view name) {
  const VarEntry* e = VarTableFind(attrs, name);
  return e && e->value ? *e->value : std::string();
}


// The body of a "%report" or "%stats" directive being scanned.
struct Body {
  bool stats = false;
  int line = 0;
  bool known = false;              // the names of its data or statistics file were read
  std::string file;                // that file, relative to the root
  std::vector<std::string> names;  // its columns, or its keys (sums as NAME.SUM)
};

class Scanner {
 public:
  Scanner(const TemplateScanInput& in, Findings* findings, TemplateFacts* facts)
      : in_(in), text_(in.text), findings_(*findings), facts_(*facts) {}

  void Run();

 private:
  int Line(size_t offset) const { return PageLineAt(text_, offset); }
  void Error(size_t offset, std::string text) { findings_.Error(in_.file, Line(offset), text); }
  void Warning(size_t offset, std::string text) {
    findings_.Warning(in_.file, Line(offset), text);
  }

  // Reads a tag name from pos_ (after the '<'): the bytes up to a blank, a
  // line break, '>' or the end. Returns the delimiter, -1 at the end.
  int ReadName(std::string* name);
  // Completes a marker whose name (with its delimiter) is `begun`: its text
  // up to `end`, which is passed. Nullopt when the page ends first.
  std::optional<std::string> MarkerText(std::string begun, int delim, std::string_view end);
  void AddReads(std::string_view text, size_t offset, bool marker);
  // True, with an error, when a marker's text runs over the beginning of a
  // later tag: its own end is missing, and it took the end of another.
  bool Swallows(std::string_view text, size_t at, const std::string& tag, std::string_view end);
  void AddScriptFacts(const ScriptFacts& found);

  void Markup(const std::string& name, int delim, size_t at);
  void Section(const std::string& name, int delim, size_t at);
  void Directive(const std::string& name, size_t at);
  void ScriptBlock(size_t at);
  void FormTag(const std::string& upper, int delim, size_t at);
  void Brace(size_t at);
  void CloseBody(size_t at);

  const TemplateScanInput& in_;
  std::string_view text_;
  Findings& findings_;
  TemplateFacts& facts_;
  size_t pos_ = 0;
  std::vector<size_t> sections_;  // offsets of the open "<%if" tags
  std::vector<Body> bodies_;
  bool in_html_script_ = false;
  std::string select_;
  bool form_open_ = false;
};

int Scanner::ReadName(std::string* name) {
  name->clear();
  while (pos_ < text_.size()) {
    const char c = text_[pos_++];
    if (c == '>' || IsWhite(c) || c == '\0') return static_cast<unsigned char>(c);
    name->push_back(c);
  }
  return -1;
}

std::optional<std::string> Scanner::MarkerText(std::string begun, int delim,
                                               std::string_view end) {
  if (delim > 0) begun.push_back(static_cast<char>(delim));
  if (begun.size() >= end.size() && begun.compare(begun.size() - end.size(), end.size(), end) == 0)
    return begun.substr(0, begun.size() - end.size());
  const size_t found = text_.find(end, pos_);
  if (found == std::string_view::npos) return std::nullopt;
  begun.append(text_.substr(pos_, found - pos_));
  pos_ = found + end.size();
  return begun;
}

void Scanner::AddReads(std::string_view text, size_t offset, bool marker) {
  std::vector<NameUse> uses;
  if (marker) {
    ScanMarkerNames(text, offset, &uses);
  } else {
    ScanExpressionNames(text, offset, &uses);
  }
  for (const NameUse& use : uses) {
    // "$NAME" is a record's column in a report body, else the variable.
    if (use.record && !bodies_.empty()) continue;
    facts_.reads.push_back({use.name, in_.file, Line(use.offset), use.pattern, use.compared});
  }
}

bool Scanner::Swallows(std::string_view text, size_t at, const std::string& tag,
                       std::string_view end) {
  if (text.find("<%") == std::string_view::npos && text.find("<!--$") == std::string_view::npos)
    return false;
  Error(at, "this " + tag + " has no " + std::string(end) + " of its own: it runs on to the " +
                std::string(end) + " of a later tag on line " + std::to_string(Line(pos_ - 1)) +
                ", and that tag is lost");
  return true;
}

void Scanner::AddScriptFacts(const ScriptFacts& found) {
  for (const ScriptProblem& problem : found.problems) {
    if (problem.warning) {
      Warning(problem.offset, problem.text);
    } else {
      Error(problem.offset, problem.text);
    }
  }
  for (const NameUse& use : found.reads)
    facts_.reads.push_back({use.name, in_.file, Line(use.offset), use.pattern, use.compared});
  for (const NameUse& use : found.sets)
    facts_.sets.push_back({use.name, in_.file, Line(use.offset)});
}

void Scanner::Run() {
  pos_ = in_.start;
  while (pos_ < text_.size()) {
    const size_t at = text_.find_first_of(bodies_.empty() ? "<" : "<{", pos_);
    if (at == std::string_view::npos) break;
    pos_ = at + 1;
    if (text_[at] == '{') {
      Brace(at);
      continue;
    }
    std::string name;
    const int delim = ReadName(&name);
    if (delim == -1) break;
    if (!name.empty() && (name[0] == '%' || name[0] == '!')) {
      Markup(name, delim, at);
      continue;
    }
    const std::string upper = Upper(name);
    if (upper == "/REPORT") {
      CloseBody(at);
      continue;
    }
    if (upper == "SCRIPT") in_html_script_ = true;
    if (upper == "/SCRIPT") in_html_script_ = false;
    if (!in_html_script_) FormTag(upper, delim, at);
  }
  for (size_t open : sections_)
    Error(open,
          "this <%if has no <%end%>: when its condition is false, everything after it is left "
          "out of the page");
  for (const Body& body : bodies_)
    findings_.Error(in_.file, body.line,
                    std::string("this <%") + (body.stats ? "stats" : "report") +
                        " has no </report>: its body runs to the end of the page");
}

void Scanner::Markup(const std::string& name, int delim, size_t at) {
  if (StrStartsNoCase(name, "!--$")) {
    std::optional<std::string> text = MarkerText(name, delim, "-->");
    if (!text) {
      Error(at, "this <!--$ marker has no -->: the rest of the page is read as its text");
      pos_ = text_.size();
      return;
    }
    if (!Swallows(*text, at, "<!--$", "-->")) AddReads(std::string_view(*text).substr(4), at + 5, true);
    return;
  }
  if (name.size() >= 2 && name[0] == '%' && name[1] == '=') {
    std::optional<std::string> text = MarkerText(name, delim, "%>");
    if (!text) {
      Error(at, "this <%= marker has no %>: the rest of the page is read as its text");
      pos_ = text_.size();
      return;
    }
    if (!Swallows(*text, at, "<%=", "%>")) AddReads(std::string_view(*text).substr(2), at + 3, true);
    return;
  }
  if (StrStartsNoCase(name, "%end")) {
    if (sections_.empty())
      Warning(at, "this <%end%> closes no <%if: it writes nothing");
    else
      sections_.pop_back();
    if (delim != '>') {
      const size_t close = text_.find('>', pos_);
      pos_ = close == std::string_view::npos ? text_.size() : close + 1;
    }
    return;
  }
  if (StrEqualNoCase(name, "%break") || StrEqualNoCase(name, "%break%")) return;
  if (StrStartsNoCase(name, "%if") || StrStartsNoCase(name, "%else") ||
      StrStartsNoCase(name, "%elsif") || StrStartsNoCase(name, "%elif")) {
    Section(name, delim, at);
    return;
  }
  if (StrStartsNoCase(name, "%kqs") || StrStartsNoCase(name, "%random")) {
    const size_t end = text_.find("%>", pos_);
    pos_ = end == std::string_view::npos ? text_.size() : end + 2;
    return;
  }
  const std::string upper = Upper(name);
  if (upper == "%INCLUDE" || upper == "%SOURCE" || upper == "%REPORT" || upper == "%STATS") {
    Directive(upper, at);
    return;
  }
  if (name == "%" && IsWhite(delim)) {
    ScriptBlock(at);
    return;
  }
  if (name[0] == '%' && name.size() > 1) {
    // The processor writes a tag it does not know as page text.
    std::string word = name.substr(1);
    const bool statement = word.find_first_of("(=;") != std::string::npos;
    word = word.substr(0, word.find_first_of("%(=; "));
    Warning(at, "<" + QuoteStatement(name.substr(0, 20)) +
                    " is no tag of the template language: it is written into the page as text" +
                    DidYouMean(ClosestName(word, kTagWords)) +
                    (statement ? "; a script block begins with <% and a blank or a line break"
                               : ""));
  }
}

void Scanner::Section(const std::string& name, int delim, size_t at) {
  const bool opens = StrStartsNoCase(name, "%if");
  size_t keyword = 0;
  std::string begun = name;
  if (opens) {
    keyword = 3;
  } else if (StrStartsNoCase(name, "%elsif")) {
    keyword = 6;
  } else if (StrStartsNoCase(name, "%elif")) {
    keyword = 5;
  } else if (StrEqualNoCase(name, "%else") && IsWhite(delim)) {
    // "<%else if cond%>" is an elsif; "<%else%>" has no condition.
    size_t word = pos_;
    while (word < text_.size() && IsWhite(text_[word])) ++word;
    if (word + 2 < text_.size() && StrEqualNoCase(text_.substr(word, 2), "if") &&
        IsWhite(text_[word + 2])) {
      pos_ = word + 3;
      begun.clear();
      delim = -1;
    } else {
      keyword = begun.size();
    }
  } else {
    keyword = 5;  // "%else" and what follows it
  }
  std::optional<std::string> text = MarkerText(begun, delim, "%>");
  if (!text) {
    Error(at, "this <%" + name.substr(1, 6) + " has no %>: the rest of the page is read as its "
              "condition");
    pos_ = text_.size();
    return;
  }
  if (opens) {
    if (!sections_.empty())
      Warning(at, "this <%if stands inside the section of line " +
                      std::to_string(Line(sections_.back())) +
                      ": sections do not nest, so when the outer branch is skipped, skipping "
                      "ends at this section's tags; write the inner choice in a script block");
    sections_.push_back(at);
  } else if (sections_.empty()) {
    // Met while showing, a later branch is skipped up to the next "<%end".
    Error(at, "this <%" + name.substr(1, StrStartsNoCase(name, "%elsif") ? 5 : 4) +
                  " belongs to no <%if: everything after it up to the next <%end%> is left "
                  "out of the page");
  }
  if (keyword < text->size() && !StrEqualNoCase(*text, "%else") &&
      !Swallows(*text, at, "<%" + name.substr(1, opens ? 2 : 4), "%>"))
    AddReads(std::string_view(*text).substr(keyword), at + 1 + keyword, false);
}

void Scanner::Directive(const std::string& upper, size_t at) {
  PageReader page(text_);
  page.Seek(pos_);
  std::string name;
  const bool has_name = DirectiveReadParameter(page, &name, kDirectiveParameterLimit);
  pos_ = page.Tell();
  if (!has_name) {
    if (upper == "%INCLUDE" || upper == "%SOURCE")
      Error(at, "this <%" + std::string(upper == "%INCLUDE" ? "include" : "source") +
                    " names no file");
    return;
  }
  const bool glued = name.size() > 2 && name.compare(name.size() - 2, 2, "%>") == 0;
  if (glued) {
    Error(at, "write a blank before %>: the file name is read as \"" + name +
                  "\", and everything up to the next %> is left out");
    name.resize(name.size() - 2);
  }
  const std::string path = PathBuild(in_.root, name);
  const bool exists = !path.empty() && FileExists(path);
  if (upper == "%INCLUDE" || upper == "%SOURCE") {
    if (!glued) {
      const size_t end = text_.find("%>", pos_);
      pos_ = end == std::string_view::npos ? text_.size() : end + 2;
    }
    if (!exists)
      Error(at, "the file " + name + " that this <%" +
                    (upper == "%INCLUDE" ? std::string("include") : std::string("source")) +
                    " names does not exist (names are relative to the server root)");
    else if (upper == "%INCLUDE")
      facts_.includes.push_back({name, in_.file, Line(at)});
    return;
  }
  // "%report file query %>" and "%stats file %>": a body up to </report>.
  Body body;
  body.stats = upper == "%STATS";
  body.line = Line(at);
  body.file = name;
  if (!glued) {
    const size_t end = text_.find("%>", pos_);
    const std::string_view query =
        text_.substr(pos_, (end == std::string_view::npos ? text_.size() : end) - pos_);
    // "$NAME" as the whole query takes it from the variable NAME.
    size_t first = query.find_first_not_of(" \t\r\n");
    if (!body.stats && first != std::string_view::npos && query[first] == '$') {
      size_t stop = query.find_first_of(" \t\r\n", first);
      if (stop == std::string_view::npos) stop = query.size();
      facts_.reads.push_back({std::string(query.substr(first + 1, stop - first - 1)), in_.file,
                              Line(pos_ + first)});
    }
    pos_ = end == std::string_view::npos ? text_.size() : end + 2;
  }
  if (!exists) {
    Error(at, body.stats ? "the statistics file " + name +
                               " that this <%stats reads does not exist: its body is shown "
                               "with every brace as written"
                         : "the data file " + name +
                               " that this <%report reads does not exist: the page shows an "
                               "error instead of the records");
  } else if (body.stats) {
    for (const std::string& line : ProfileGetSection(path, "COUNT"))
      body.names.push_back(line.substr(0, line.find('=')));
    for (const std::string& line : ProfileGetSection(path, "SUM"))
      body.names.push_back(line.substr(0, line.find('=')) + ".SUM");
    body.known = true;
  } else if (VarTablePtr columns = DataFileReadColumns(path, 0)) {
    VarTableForEach(columns.get(), [&](const VarEntry& e) { body.names.push_back(*e.name); });
    body.names.push_back("#");
    body.known = true;
  } else {
    Error(at, "the data file " + name + " that this <%report reads has no header line");
  }
  bodies_.push_back(std::move(body));
}

void Scanner::CloseBody(size_t at) {
  if (bodies_.empty()) {
    Warning(at, "this </report> ends no <%report or <%stats: it is written into the page");
    return;
  }
  bodies_.pop_back();
}

void Scanner::Brace(size_t at) {
  if (pos_ >= text_.size()) return;
  const char next = text_[pos_];
  if (next == '}' || IsWhite(next)) return;
  const size_t close = text_.find('}', pos_);
  const size_t end = close == std::string_view::npos ? text_.size() : close;
  const std::string_view inside = text_.substr(pos_, end - pos_);
  pos_ = close == std::string_view::npos ? text_.size() : close + 1;
  const Body& body = bodies_.back();
  if (!body.known) return;
  std::vector<NameUse> uses;
  ScanExpressionNames(inside, at + 1, &uses);
  for (size_t i = 0; i < uses.size(); ++i) {
    std::string name = uses[i].name;
    // In statistics, "NAME.SUM" is the sum of NAME.
    if (i + 1 < uses.size() && StrEqualNoCase(uses[i + 1].name, "SUM") &&
        uses[i + 1].offset == uses[i].offset + name.size() + 1 &&
        text_[uses[i].offset + name.size()] == '.') {
      name += ".SUM";
      ++i;
    }
    bool found = false;
    for (const std::string& known : body.names) found = found || StrEqualNoCase(known, name);
    if (found) continue;
    Warning(uses[i].offset,
            "{" + name + "} names no " + (body.stats ? "key" : "column") + " of " + body.file +
                ": it writes nothing" + DidYouMean(ClosestName(name, body.names)));
  }
}

void Scanner::ScriptBlock(size_t at) {
  const size_t begin = pos_;
  const size_t end = ScriptBlockEnd(text_, begin);
  // A dry run finds what the processor would stop at.
  VarTablePtr scratch = VarTableCopy(nullptr, 16);
  VarTablePtr record = VarTableCopy(nullptr, 16);
  const ScriptObject objects[] = {{"data", record.get()}};
  PageReader page(text_);
  page.Seek(begin);
  ScriptContext ctx;
  ctx.objects = objects;
  ctx.functions = PageTemplateFunctions();
  ctx.dry_run = true;
  const int code = ScriptRun(ctx, page, scratch.get());
  if (code > 0) {
    size_t from = static_cast<size_t>(std::max(ctx.statement_start, 0L));
    const size_t stop = static_cast<size_t>(std::max(ctx.stop_position, 0L));
    // The statement begins at its first byte that is no blank.
    while (from < stop && from < text_.size() && IsWhite(text_[from])) ++from;
    const size_t span = stop > from ? stop - from : 0;
    Error(from, "script error " + std::to_string(code) + " (" +
                    std::string(ScriptErrorMessage(code)) + "): " +
                    QuoteStatement(text_.substr(from, span)) +
                    (code == kScriptFunctionNotFound
                         ? "; page scripts have print, write, eval, timestamp, toFixed, escape, "
                           "hasRecord, runReport, number, toNumber and random"
                         : ""));
  } else if (end != std::string_view::npos && page.Tell() < end &&
             text_.substr(page.Tell(), end - page.Tell()).find_first_not_of(" \t\r\n;") !=
                 std::string_view::npos) {
    Warning(page.Tell(), "the script stops here (exit, or a } without its {): the rest of the "
                         "block up to %> is written into the page as text");
  }
  if (end == std::string_view::npos) {
    Error(at, "this script block has no %>: the rest of the page is read as script");
    pos_ = text_.size();
    return;
  }
  ScriptFacts found;
  ScanScript(text_.substr(begin, end - begin), begin, &found);
  AddScriptFacts(found);
  pos_ = end + 2;
}

void Scanner::FormTag(const std::string& upper, int delim, size_t at) {
  if (upper == "FORM") {
    if (facts_.form_line == 0) facts_.form_line = Line(at);
    form_open_ = true;
    return;
  }
  if (upper == "/FORM") {
    if (facts_.form_line != 0 && facts_.form_end_line == 0) facts_.form_end_line = Line(at);
    form_open_ = false;
    return;
  }
  if (upper != "INPUT" && upper != "SELECT" && upper != "OPTION" && upper != "TEXTAREA" &&
      upper != "BUTTON")
    return;
  VarTablePtr attrs = VarTableNew(0);
  if (delim != '>') {
    PageReader page(text_);
    page.Seek(pos_);
    attrs = ReadTagAttributes(page, kFieldAttributes);
    pos_ = page.Tell();
  }
  FormField field;
  field.tag = upper;
  field.name = Attribute(attrs.get(), "NAME");
  field.type = Upper(Attribute(attrs.get(), "TYPE"));
  field.value = Attribute(attrs.get(), "VALUE");
  field.line = Line(at);
  field.in_form = form_open_;
  if (upper == "SELECT") select_ = field.name;
  if (upper == "OPTION") {
    field.name = select_;
    const std::string query = Attribute(attrs.get(), "query");
    if (!query.empty()) {
      // The condition's text lies in the tag; its names are placed on the tag's line.
      std::vector<NameUse> uses;
      ScanExpressionNames(query, 0, &uses);
      for (const NameUse& use : uses)
        facts_.reads.push_back({use.name, in_.file, field.line, use.pattern, use.compared});
    }
  }
  facts_.fields.push_back(std::move(field));
  if (upper == "TEXTAREA") {
    // Form filling never shows the area's own text: the processor skips it.
    const std::string_view rest = text_.substr(pos_);
    size_t close = std::string_view::npos;
    for (size_t i = rest.find('<'); i != std::string_view::npos; i = rest.find('<', i + 1)) {
      if (rest.size() - i >= 11 && StrEqualNoCase(rest.substr(i, 11), "</TEXTAREA>")) {
        close = i;
        break;
      }
    }
    pos_ = close == std::string_view::npos ? text_.size() : pos_ + close + 11;
  }
}

}  // namespace

void ScanTemplate(const TemplateScanInput& input, Findings* findings, TemplateFacts* facts) {
  Scanner scanner(input, findings, facts);
  scanner.Run();
}

}  // namespace tallypad
