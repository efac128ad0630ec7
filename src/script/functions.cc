// The general script functions and the page-template function table.
// Functions never fail: an unusable argument list gives no result, which an
// assignment stores as "".
#include "script/functions.h"


#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/file.h"
#include "base/str.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "script/expr.h"
#include "script/template.h"
#include "store/datafile.h"

namespace tallypad {

namespace {

// Most decimals toFixed prints: more says nothing about a double.
constexpr int kMaxFixedDecimals = 20;
// Longest fixed-point text toFixed prints; a longer one (a magnitude near
// 1e100 and above) is printed with "%g" instead.
constexpr int kMaxFixedText = 100;
// File names of hasRecord and runReport longer than this are refused, and a
// base path is only put in front while both together stay below it.
constexpr size_t kMaxScriptPath = 1024;
// First chunk of the buffer runReport renders into.
constexpr size_t kReportBufferSize = 1024;

// The counter behind random(): one for the whole process, never reset.
std::atomic<uint32_t> g_random_counter{0};

// The integer at the start of `text` (blanks skipped), 0 when there is none;
// values beyond the int range are clamped.
int IntegerValue(const std::string& text) {
  long n = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long>(n, INT_MIN, INT_MAX));
}

// `name` resolved against the base path's folder, when the base path is
// given and both together are short enough; "" otherwise.
std::string ResolveAgainstBase(const ScriptContext& ctx, const std::string& name) {
  if (ctx.base_path.empty() || ctx.base_path.size() + name.size() >= kMaxScriptPath) return "";
  return PathBuild(ctx.base_path, name);
}

constexpr ScriptFunction kPageTemplateFunctions[] = {
    {"print", 10, ScriptFnWrite},
    {"write", 10, ScriptFnWrite},
    {"eval", 1, ScriptFnEval},
    {"timestamp", 0, ScriptFnTimestamp},
    {"toFixed", 2, ScriptFnToFixed},
    {"escape", 1, ScriptFnEscape},
    {"hasRecord", 2, ScriptFnHasRecord},
    {"runReport", 8, ScriptFnRunReport},
    {"number", 1, ScriptFnNumber},
    {"toNumber", 1, ScriptFnNumber},
    {"random", 1, ScriptFnRandom},
};

}  // namespace

std::span<const ScriptFunction> PageTemplateFunctions() { return kPageTemplateFunctions; }

std::optional<std::string> ScriptFnWrite(ScriptContext& ctx, std::string_view,
                                         std::span<const std::string> args, VarTable*) {
  for (const std::string& arg : args) StreamWriteText(ctx.out, arg);
  return std::nullopt;
}

std::optional<std::string> ScriptFnEval(ScriptContext&, std::string_view,
                                        std::span<const std::string> args, VarTable* vars) {
  if (args.empty()) return std::nullopt;
  return ExprEvaluate(vars, args[0]);
}

std::optional<std::string> ScriptFnTimestamp(ScriptContext&, std::string_view,
                                             std::span<const std::string>, VarTable*) {
  std::string date;
  std::string time;
  FormatDateTime(&date, &time);
  return date + time;
}

std::optional<std::string> ScriptFnToFixed(ScriptContext&, std::string_view,
                                           std::span<const std::string> args, VarTable*) {
  if (args.empty()) return std::nullopt;
  const double value = std::strtod(args[0].c_str(), nullptr);
  const int decimals =
      args.size() > 1 ? std::clamp(IntegerValue(args[1]), 0, kMaxFixedDecimals) : 0;
  char text[kMaxFixedText + 28];
  int n = std::snprintf(text, sizeof text, "%.*f", decimals, value);
  if (n < 0 || n > kMaxFixedText) n = std::snprintf(text, sizeof text, "%g", value);
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::optional<std::string> ScriptFnEscape(ScriptContext&, std::string_view,
                                          std::span<const std::string> args, VarTable*) {
  if (args.size() != 1) return std::nullopt;
  return HtmlEscape(args[0]);
}

std::optional<std::string> ScriptFnHasRecord(ScriptContext& ctx, std::string_view,
                                             std::span<const std::string> args, VarTable* vars) {
  if (args.size() < 2 || args[0].size() > kMaxScriptPath) return std::nullopt;
  std::string path = ResolveAgainstBase(ctx, args[0]);
  if (path.empty()) path = args[0];
  std::unique_ptr<DataFile> data = DataFile::Open(path, 0);
  if (!data) return "0";
  return data->ReadWhere(QueryFilter(vars, args[1])) ? "1" : "0";
}

std::optional<std::string> ScriptFnRunReport(ScriptContext& ctx, std::string_view,
                                             std::span<const std::string> args, VarTable* vars) {
  if (!ctx.settings || args.empty()) return std::nullopt;
  StrBuf buffer(kReportBufferSize);
  OutputStream out;
  out.buffer = &buffer;
  const TemplateRun report{.base_path = ctx.base_path, .out = &out, .vars = vars};
  for (const std::string& name : args) {
    if (name.empty()) continue;
    // A report that runs itself ends here instead of recursing for ever.
    if (TemplateDepth() >= kMaxTemplateDepth) break;
    // A name is resolved against the page's folder first, then taken as it is.
    const std::string path = ResolveAgainstBase(ctx, name);
    if (!path.empty() && TemplateProcessFile(path, report)) continue;
    TemplateProcessFile(name, report);
  }
  return buffer.ToString();
}

std::optional<std::string> ScriptFnNumber(ScriptContext&, std::string_view,
                                          std::span<const std::string> args, VarTable*) {
  if (args.empty() || !StrLooksNumeric(args[0])) return std::nullopt;
  return args[0];
}

std::optional<std::string> ScriptFnRandom(ScriptContext&, std::string_view,
                                          std::span<const std::string> args, VarTable*) {
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  uint32_t value = g_random_counter.fetch_add(now, std::memory_order_relaxed) + now;
  const int modulus = args.empty() ? 0 : IntegerValue(args[0]);
  if (modulus != 0) value %= static_cast<uint32_t>(modulus);
  // Printed as a signed number: a large counter shows as negative.
  return std::to_string(static_cast<int32_t>(value));
}

}  // namespace tallypad
