#include "cgi/kqs/page_scripts.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/read.h"
#include "base/str.h"
#include "base/text.h"
#include "base/wordlist.h"

#include "cgi/kqs/survey_errors.h"
#include "cgi/kqs/unique_id.h"
#include "mail/mail_compose.h"
#include "script/functions.h"
#include "script/template.h"

namespace tallypad {

namespace {

// One function of page scripts, with its name in forward scripts and its
// name in back scripts ("" where that kind of script does not have it).
// Both tables list the functions in this order.
struct PageScriptFunction {
  std::string_view forward_name;
  std::string_view back_name;
  int max_args;
  ScriptCallback callback;
  // The function acts beyond the request's variables (mails, counts,
  // reads files): a look-ahead run calls nothing in its place.
  bool acts_outside = false;
};

constexpr PageScriptFunction kPageScriptFunctions[] = {
    {"print", "print", 10, ScriptFnWrite},
    {"write", "write", 10, ScriptFnWrite},
    {"eval", "eval", 1, ScriptFnEval},
    {"timestamp", "timestamp", 0, ScriptFnTimestamp},
    {"tofixed", "toFixed", 2, ScriptFnToFixed},
    {"runReport", "runReport", 8, ScriptFnRunReport, true},
    {"number", "number", 1, ScriptFnNumber},
    {"toNumber", "toNumber", 1, ScriptFnNumber},
    {"random", "random", 1, ScriptFnRandom},
    {"timedate", "timedate", 0, ScriptFnTimeDate},
    {"timetime", "timetime", 0, ScriptFnTimeTime},
    {"uniqueid", "uniqueid", 1, ScriptFnUniqueId, true},
    {"sendmail", "sendMail", 3, ScriptFnSendMail, true},
    {"showpage", "showpage", 1, ScriptFnShowPage},
    // Back scripts only go back: they have no ranking functions.
    {"ranksort", "", 128, ScriptFnRankSort},
    {"rankindex", "", 2, ScriptFnRankIndex},
};

// Which of the two names a table is built from.
using PageScriptName = std::string_view PageScriptFunction::*;

constexpr size_t CountNamed(PageScriptName name) {
  size_t count = 0;
  for (const PageScriptFunction& row : kPageScriptFunctions)
    if (!(row.*name).empty()) ++count;
  return count;
}

// The function table of one kind of script: every row that has a name for
// it, under that name.
template <PageScriptName kName>
constexpr std::array<ScriptFunction, CountNamed(kName)> FunctionTableOf() {
  std::array<ScriptFunction, CountNamed(kName)> table{};
  size_t at = 0;
  for (const PageScriptFunction& row : kPageScriptFunctions)
    if (!(row.*kName).empty()) table[at++] = {row.*kName, row.max_args, row.callback};
  return table;
}

constexpr auto kForwardFunctions = FunctionTableOf<&PageScriptFunction::forward_name>();
constexpr auto kBackFunctions = FunctionTableOf<&PageScriptFunction::back_name>();

// Stands in for a function that acts outside the request: no result.
std::optional<std::string> NoEffect(ScriptContext&, std::string_view, std::span<const std::string>,
                                    VarTable*) {
  return std::nullopt;
}

// The forward table of a look-ahead run: the same names, with every
// function that acts outside the request made inert.
constexpr std::array<ScriptFunction, kForwardFunctions.size()> LookAheadTable() {
  std::array<ScriptFunction, kForwardFunctions.size()> table{};
  size_t at = 0;
  for (const PageScriptFunction& row : kPageScriptFunctions)
    if (!row.forward_name.empty())
      table[at++] = {row.forward_name, row.max_args, row.acts_outside ? NoEffect : row.callback};
  return table;
}
constexpr auto kLookAheadFunctions = LookAheadTable();

// Variables a page script may set to steer the navigation; they exist
// (empty) before the script runs.
constexpr std::string_view kNavigationVariables[] = {"_PAGEWARN", "_PAGENEXT", "_PAGESKIP"};

bool IsListSeparator(char c) { return c == ',' || c == ' '; }

// The first position of `tag` (which begins with '<') in `text` at or after
// `from`, compared without regard to case. Only the '<' bytes are tried,
// which keeps the search of a large validation file quick.
std::optional<size_t> FindTag(std::string_view text, std::string_view tag, size_t from = 0) {
  for (size_t at = text.find('<', from); at != std::string_view::npos;
       at = text.find('<', at + 1)) {
    if (text.size() - at < tag.size()) break;
    if (StrEqualNoCase(text.substr(at, tag.size()), tag)) return at;
  }
  return std::nullopt;
}

// The offset where the script body of the entry whose name ends at
// `after_name` begins, or nullopt.
std::optional<size_t> ScriptBodyStart(std::string_view text, size_t after_name, PageScript which) {
  if (which == PageScript::kBack) {
    constexpr std::string_view kBackTag = "<SCRIPT TYPE=BACK>";
    std::optional<size_t> at = FindTag(text, kBackTag, after_name);
    if (!at) return std::nullopt;
    return *at + kBackTag.size();
  }
  std::optional<size_t> at = FindTag(text, "<SCRIPT", after_name);
  if (!at) return std::nullopt;
  size_t close = text.find('>', *at);
  if (close == std::string_view::npos) return std::nullopt;
  return close + 1;
}

}  // namespace

ValidationFile ValidationFile::Load(std::string_view base_path, std::string_view database) {
  ValidationFile file;
  file.name_ = std::string(database) + ".val";
  std::optional<std::string> text =
      ReadPageFile(PathBuild(base_path, database, ".val"), kMaxValidationFileBytes);
  if (text) file.text_ = std::move(*text);
  return file;
}

std::optional<size_t> ValidationFile::FindEntry(std::string_view page_name) const {
  if (page_name.empty()) return std::nullopt;
  const std::string name = "<PAGE NAME=\"" + std::string(page_name) + "\"";
  std::optional<size_t> at = FindTag(text_, name);
  if (!at) return std::nullopt;
  return *at + name.size();
}

VarTablePtr ValidationFile::EntryAttributes(std::string_view page_name) const {
  std::optional<size_t> after_name = FindEntry(page_name);
  if (!after_name) return nullptr;
  PageReader entry(text_);
  entry.Seek(*after_name);
  return ReadTagAttributes(entry, 0);
}

namespace {

// Runs the script `which` of `page_name` with `functions`; see RunPageScript.
// A look-ahead (`respondent_run` false) leaves errors to the real run.
void RunScriptWith(std::string_view base_path, OutputStream* out, const ValidationFile& validation,
                   const VarTable* settings, VarTable* vars, std::string_view page_name,
                   PageScript which, std::span<const ScriptFunction> functions,
                   bool respondent_run, bool author_view) {
  if (page_name.empty() || !vars) return;
  std::optional<size_t> after_name = validation.FindEntry(page_name);
  if (!after_name) return;
  std::optional<size_t> body = ScriptBodyStart(validation.text(), *after_name, which);
  if (!body) return;
  for (std::string_view name : kNavigationVariables)
    if (!VarTableFind(vars, name)) VarTableSetGrow(vars, name, "");

  PageReader script(validation.text());
  script.Seek(*body);
  ScriptContext ctx;
  ctx.out = out;
  ctx.settings = settings;
  ctx.base_path = std::string(base_path);
  ctx.functions = functions;
  const int code = ScriptRun(ctx, script, vars);
  if (code <= 0 || !respondent_run) return;
  // The statements after the error did not run: the log says which check
  // was cut short, so that it is never skipped unnoticed.
  LogSurveyError(ScriptErrorLogLine(ctx, script, code, validation.name()) +
                 " The rest of the script did not run.");
  if (author_view && out) ScriptError(out, ctx, script, code);
}

}  // namespace

void RunPageScript(std::string_view base_path, OutputStream* out,
                   const ValidationFile& validation, const VarTable* settings, VarTable* vars,
                   std::string_view page_name, PageScript which, bool author_view) {
  RunScriptWith(base_path, out, validation, settings, vars, page_name, which,
                which == PageScript::kForward ? ForwardScriptFunctions() : BackScriptFunctions(),
                true, author_view);
}

void RunForwardScriptAhead(std::string_view base_path, const ValidationFile& validation,
                           VarTable* vars, std::string_view page_name) {
  RunScriptWith(base_path, nullptr, validation, nullptr, vars, page_name, PageScript::kForward,
                kLookAheadFunctions, false, false);
}

std::span<const ScriptFunction> ForwardScriptFunctions() { return kForwardFunctions; }
std::span<const ScriptFunction> BackScriptFunctions() { return kBackFunctions; }

std::optional<std::string> ScriptFnTimeDate(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*) {
  const std::tm now = LocalTimeNow();
  return StrPrintf("%4.4d%2.2d%2.2d", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
}

std::optional<std::string> ScriptFnTimeTime(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*) {
  const std::tm now = LocalTimeNow();
  return StrPrintf("%2.2d%2.2d%2.2d", now.tm_hour, now.tm_min, now.tm_sec);
}

std::optional<std::string> ScriptFnUniqueId(ScriptContext&, std::string_view,
                                            std::span<const std::string> args, VarTable*) {
  return UniqueIdNew(args.empty() ? std::string_view() : std::string_view(args[0]));
}

std::optional<std::string> ScriptFnSendMail(ScriptContext& ctx, std::string_view,
                                            std::span<const std::string> args, VarTable*) {
  if (!ctx.settings || args.size() < 3) return std::nullopt;
  MailQueue(ctx.base_path, args[0], args[1], args[2], VarTableGet(ctx.settings, "EMAILSERVER"),
            VarTableGet(ctx.settings, "EMAILFROM"));
  return std::nullopt;
}

std::optional<std::string> ScriptFnShowPage(ScriptContext&, std::string_view,
                                            std::span<const std::string> args, VarTable* vars) {
  if (args.empty() || !vars) return std::nullopt;
  const std::string& page = args[0];
  std::string skip = VarTableGet(vars, "_PAGESKIP", "");
  if (skip.empty()) {
    skip = page;
  } else if (!ListContains(skip, page)) {
    skip += ',';
    skip += page;
  }
  VarTableSetGrow(vars, "_PAGESKIP", skip);
  return std::nullopt;
}

std::optional<std::string> ScriptFnRankSort(ScriptContext&, std::string_view,
                                            std::span<const std::string> args, VarTable*) {
  if (args.empty()) return std::nullopt;
  std::vector<std::string_view> items;
  if (args.size() == 1) {
    std::string_view list = args[0];
    size_t at = 0;
    while (at <= list.size()) {
      size_t comma = list.find(',', at);
      if (comma == std::string_view::npos) comma = list.size();
      items.push_back(list.substr(at, comma - at));
      at = comma + 1;
    }
  } else {
    items.assign(args.begin(), args.end());
  }
  std::vector<std::pair<int, std::string_view>> ranked;
  for (std::string_view item : items) {
    size_t eq = item.find('=');
    if (eq == std::string_view::npos || eq + 1 == item.size()) continue;  // no value: left out
    ranked.emplace_back(StrToIntClamped(item.substr(eq + 1)), item.substr(0, eq));
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string names;
  for (const auto& [value, name] : ranked) {
    if (!names.empty()) names += ',';
    names.append(name);
  }
  return names;
}

std::optional<std::string> ScriptFnRankIndex(ScriptContext&, std::string_view,
                                             std::span<const std::string> args, VarTable*) {
  if (args.size() < 2 || args[1].empty()) return std::nullopt;
  std::string_view list = args[0];
  const std::string_view item = args[1];
  size_t separators = 0;
  size_t i = 0;
  while (i < list.size()) {
    if (IsListSeparator(list[i])) {
      ++separators;
      ++i;
      continue;
    }
    size_t end = i;
    while (end < list.size() && !IsListSeparator(list[end])) ++end;
    if (list.substr(i, end - i) == item) return std::to_string(separators + 1);
    i = end;
  }
  return std::nullopt;
}

}  // namespace tallypad
