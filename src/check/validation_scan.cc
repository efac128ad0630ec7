#include "check/validation_scan.h"

#include <optional>

#include "base/read.h"
#include "base/str.h"
#include "base/text.h"
#include "base/vartable.h"
#include "cgi/kqs/page_scripts.h"
#include "check/script_scan.h"
#include "script/script.h"

namespace tallypad {

namespace {

// The exact beginning of an entry and of a back script, as the engine
// looks for them (without regard to case).
constexpr std::string_view kEntryStart = "<PAGE NAME=\"";
constexpr std::string_view kBackScriptTag = "<SCRIPT TYPE=BACK>";

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Offsets of every `tag` (which begins with '<') in `text`, compared
// without regard to case, where the tag's name ends after it.
std::vector<size_t> FindTags(std::string_view text, std::string_view tag) {
  std::vector<size_t> found;
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    if (text.size() - at < tag.size() || !StrEqualNoCase(text.substr(at, tag.size()), tag))
      continue;
    const size_t after = at + tag.size();
    if (after < text.size() && !IsWhite(text[after]) && text[after] != '>') continue;
    found.push_back(at);
  }
  return found;
}


// The names of a function table, for a finding.
std::string FunctionNames(std::span<const ScriptFunction> table) {
  std::string names;
  for (const ScriptFunction& row : table) {
    if (!names.empty()) names += ", ";
    names.append(row.name);
  }
  return names;
}

// One <SCRIPT> of the file.
struct Script {
  size_t tag = 0;    // offset of its '<'
  size_t body = 0;   // offset after its '>'
  size_t end = std::string_view::npos;  // offset of its </SCRIPT>
  bool back = false;  // written exactly <SCRIPT TYPE=BACK>
};

class ValidationScanner {
 public:
  ValidationScanner(std::string_view file, std::string_view text, Findings& findings,
                    ValidationFacts& facts)
      : file_(file), text_(text), findings_(findings), facts_(facts) {}

  void Run() {
    ReadEntries();
    ReadScripts();
    RelateEntriesAndScripts();
  }

 private:
  int Line(size_t offset) const { return PageLineAt(text_, offset); }

  void ReadEntries();
  void ReadScripts();
  void RunScript(const Script& script);
  void RelateEntriesAndScripts();

  std::string_view file_;
  std::string_view text_;
  Findings& findings_;
  ValidationFacts& facts_;
  std::vector<size_t> entry_offsets_;  // of the entries in facts_.entries
  std::vector<Script> scripts_;
};

void ValidationScanner::ReadEntries() {
  for (size_t at : FindTags(text_, "<PAGE")) {
    const bool exact = text_.size() - at >= kEntryStart.size() &&
                       StrEqualNoCase(text_.substr(at, kEntryStart.size()), kEntryStart);
    const size_t close_tag = text_.find('>', at);
    const std::string_view tag =
        text_.substr(at, close_tag == std::string_view::npos ? text_.size() - at
                                                             : close_tag + 1 - at);
    if (!exact) {
      findings_.Error(file_, Line(at),
                      "this entry does not parse: the engine finds an entry only when it is "
                      "written <PAGE NAME=\"name\"> (one blank, the name in double quotes), so "
                      "the checks of " + QuoteStatement(tag) + " never run");
      continue;
    }
    const size_t name_start = at + kEntryStart.size();
    const size_t quote = text_.find('"', name_start);
    if (quote == std::string_view::npos) {
      findings_.Error(file_, Line(at), "this entry's page name has no closing quote");
      continue;
    }
    ValidationEntry entry;
    entry.page = std::string(text_.substr(name_start, quote - name_start));
    entry.line = Line(at);
    PageReader attrs_reader(text_);
    attrs_reader.Seek(quote + 1);
    VarTablePtr attrs = ReadTagAttributes(attrs_reader, 0);
    const VarEntry* action = VarTableFind(attrs.get(), "ACTION");
    entry.has_action = action && action->IsUsed();
    for (const ValidationEntry& earlier : facts_.entries)
      if (StrEqualNoCase(earlier.page, entry.page))
        findings_.Warning(file_, entry.line,
                          "a second entry for the page " + entry.page + " (the first is on line " +
                              std::to_string(earlier.line) + "): the engine only reads the first");
    facts_.entries.push_back(std::move(entry));
    entry_offsets_.push_back(at);
  }
}

void ValidationScanner::ReadScripts() {
  const std::vector<size_t> tags = FindTags(text_, "<SCRIPT");
  for (size_t i = 0; i < tags.size(); ++i) {
    Script script;
    script.tag = tags[i];
    const size_t close = text_.find('>', script.tag);
    if (close == std::string_view::npos) {
      findings_.Error(file_, Line(script.tag), "this <SCRIPT tag has no '>'");
      break;
    }
    script.body = close + 1;
    const std::string_view tag = text_.substr(script.tag, script.body - script.tag);
    script.back = StrEqualNoCase(tag, kBackScriptTag);
    if (!script.back && StrFindNoCase(tag, "BACK"))
      findings_.Error(file_, Line(script.tag),
                      QuoteStatement(tag) + " is not written exactly <SCRIPT TYPE=BACK>: the engine takes "
                                   "it for a forward script (NEXT runs it), and BACK finds none");
    // The script ends at its </SCRIPT>, which must come before the next script.
    const size_t next = i + 1 < tags.size() ? tags[i + 1] : text_.size();
    for (size_t at = text_.find('<', script.body); at != std::string_view::npos && at < next;
         at = text_.find('<', at + 1)) {
      if (text_.size() - at >= 9 && StrEqualNoCase(text_.substr(at, 9), "</SCRIPT>")) {
        script.end = at;
        break;
      }
    }
    if (script.end == std::string_view::npos)
      findings_.Error(file_, Line(script.tag),
                      "this <SCRIPT> has no </SCRIPT> before the next script: it runs on into "
                      "the text after it");
    RunScript(script);
    scripts_.push_back(script);
  }
}

void ValidationScanner::RunScript(const Script& script) {
  const std::span<const ScriptFunction> table =
      script.back ? BackScriptFunctions() : ForwardScriptFunctions();
  VarTablePtr scratch = VarTableCopy(nullptr, 16);
  PageReader page(text_);
  page.Seek(script.body);
  ScriptContext ctx;
  ctx.functions = table;
  ctx.dry_run = true;
  const int code = ScriptRun(ctx, page, scratch.get());
  if (code > 0) {
    size_t from = static_cast<size_t>(std::max(ctx.statement_start, 0L));
    const size_t stop = static_cast<size_t>(std::max(ctx.stop_position, 0L));
    // The statement begins at its first byte that is no blank.
    while (from < stop && from < text_.size() && IsWhite(text_[from])) ++from;
    const size_t span = stop > from ? stop - from : 0;
    findings_.Error(file_, Line(from),
                    "script error " + std::to_string(code) + " (" +
                        std::string(ScriptErrorMessage(code)) + "): " +
                        QuoteStatement(text_.substr(from, span)) +
                        (code == kScriptFunctionNotFound
                             ? std::string("; ") + (script.back ? "back" : "forward") +
                                   " scripts have " + FunctionNames(table)
                             : std::string()) +
                        ". The statements after it never run");
  }
  const size_t end = script.end == std::string_view::npos ? text_.size() : script.end;
  ScriptFacts found;
  ScanScript(text_.substr(script.body, end - script.body), script.body, &found);
  for (const NameUse& use : found.reads)
    facts_.reads.push_back({use.name, std::string(file_), Line(use.offset), use.pattern,
                            use.compared});
  for (const NameUse& use : found.sets)
    facts_.sets.push_back({use.name, std::string(file_), Line(use.offset)});
  for (const ScriptProblem& problem : found.problems) {
    if (problem.warning) {
      findings_.Warning(file_, Line(problem.offset), problem.text);
    } else {
      findings_.Error(file_, Line(problem.offset), problem.text);
    }
  }
  for (const PageTarget& target : found.targets)
    facts_.targets.push_back({target.page, std::string(file_), Line(target.offset), target.how});
}

void ValidationScanner::RelateEntriesAndScripts() {
  for (size_t i = 0; i < facts_.entries.size(); ++i) {
    const ValidationEntry& entry = facts_.entries[i];
    const size_t at = entry_offsets_[i];
    const size_t next_entry = i + 1 < entry_offsets_.size() ? entry_offsets_[i + 1] : text_.size();
    const std::string next_name = i + 1 < facts_.entries.size() ? facts_.entries[i + 1].page : "";
    // The forward script is the first <SCRIPT after the entry, wherever it is.
    const Script* forward = nullptr;
    const Script* back = nullptr;
    for (const Script& script : scripts_) {
      if (script.tag < at) continue;
      if (!forward) forward = &script;
      if (script.back && !back) back = &script;
    }
    if (forward && forward->tag > next_entry) {
      findings_.Warning(file_, entry.line,
                        "the entry " + entry.page + " has no <SCRIPT> of its own: NEXT on " +
                            entry.page + " runs the script on line " +
                            std::to_string(Line(forward->tag)) + " (after the entry " +
                            next_name + "); give every entry its own script, an empty one will do");
    } else if (forward && forward->back) {
      findings_.Warning(file_, Line(forward->tag),
                        "the first script after the entry " + entry.page +
                            " is its back script, which NEXT then runs as the forward script: "
                            "write the forward <SCRIPT> first");
    }
    if (back && back->tag > next_entry && forward && forward->tag < next_entry) {
      findings_.Warning(file_, entry.line,
                        "the entry " + entry.page + " has no back script of its own: BACK on " +
                            entry.page + " runs the back script on line " +
                            std::to_string(Line(back->tag)) +
                            "; give it an empty <SCRIPT TYPE=BACK></SCRIPT>");
    }
  }
}

}  // namespace

void ScanValidation(std::string_view file, std::string_view text, Findings* findings,
                    ValidationFacts* facts) {
  ValidationScanner scanner(file, text, *findings, *facts);
  scanner.Run();
}

}  // namespace tallypad
