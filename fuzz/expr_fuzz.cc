// Fuzzes the expression evaluator: value expressions and conditions.
// Input: the first line is the expression; each further line (at most
// kMaxVariables) is a variable "name=value", or a name alone for a variable
// without a value. Lines beginning with '$' go, without the '$', into the
// second table that conditions read $NAME from.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/vartable.h"
#include "script/expr.h"
#include "fuzz_check.h"

namespace {

using fuzzing::Check;

constexpr size_t kMaxVariables = 8;

// True when `text` is a value the evaluator may hand out: a stored value, ""
// or a printed finite number that fits the result area.
bool IsPlausibleValue(const tallypad::VarTable* vars, const std::string& text) {
  if (text.empty()) return true;
  for (const tallypad::VarEntry& e : vars->entries)
    if (e.value && *e.value == text) return true;
  if (text.size() > 127) return false;
  char* end = nullptr;
  double x = std::strtod(text.c_str(), &end);
  return *end == '\0' && std::isfinite(x);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t eol = input.find('\n');
  std::string_view expr = input.substr(0, eol);
  std::string_view rest = eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);

  auto vars = tallypad::VarTableNew(kMaxVariables + 1);
  auto second = tallypad::VarTableNew(kMaxVariables + 1);
  size_t nvars = 0, nsecond = 0;
  while (!rest.empty() && nvars + nsecond < kMaxVariables) {
    size_t at = rest.find('\n');
    std::string_view line = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    bool to_second = !line.empty() && line[0] == '$';
    if (to_second) line.remove_prefix(1);
    size_t eq = line.find('=');
    tallypad::VarEntry entry;
    entry.name = std::string(line.substr(0, eq));
    if (eq != std::string_view::npos) entry.value = std::string(line.substr(eq + 1));
    if (to_second) {
      second->entries[nsecond++] = std::move(entry);
    } else {
      vars->entries[nvars++] = std::move(entry);
    }
  }

  std::string value = tallypad::ExprEvaluate(vars.get(), expr);
  Check(IsPlausibleValue(vars.get(), value));
  value = tallypad::ExprEvaluateN(vars.get(), expr, static_cast<long>(expr.size() / 2));
  Check(IsPlausibleValue(vars.get(), value));
  Check(tallypad::ExprEvaluate(nullptr, expr) == expr.substr(0, expr.find('\0')));

  int r = tallypad::CondEvaluate(expr, vars.get(), second.get());
  Check(r >= -1 && r <= 1);
  r = tallypad::CondEvaluate(expr, vars.get(), nullptr);
  Check(r >= -1 && r <= 1);
  size_t end = 0;
  r = tallypad::CondCompare(expr, vars.get(), second.get(), &end);
  Check(r >= -1 && r <= 1 && end <= expr.size());
  return 0;
}
