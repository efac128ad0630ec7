// Conditions: comparisons found by scanning for an operator from a table,
// combined strictly left to right with '&', '|' and '^', grouped with
// parentheses and negated with '!'. A comparison may test every variable
// whose name begins with a prefix (pattern mode: "/Q3/ has 'yes'").
#include <cstdlib>

#include "base/str.h"
#include "base/text.h"
#include "base/wordlist.h"
#include "script/expr.h"

namespace tallypad {

namespace {

// Deepest nesting of parenthesised groups; deeper input is no valid
// condition rather than a risk to the stack.
constexpr int kMaxCondDepth = 200;

enum class CondOp {
  kTruth,  // no operator: the left value alone is tested
  kTextEqual,
  kTextNotEqual,
  kGreater,
  kGreaterEqual,
  kLess,
  kLessEqual,
  kNumEqual,
  kContains,
  kNotContains,
  kHas,  // list has word; always tests in pattern mode
};

struct CondOperator {
  std::string_view text;  // compared without regard to case
  CondOp op;
  size_t skip;  // how far the operator reaches before its right operand
};

// Tried in this order at every token start; the first that matches wins.
constexpr CondOperator kCondOperators[] = {
    {"gte ", CondOp::kGreaterEqual, 4}, {"has ", CondOp::kHas, 4},
    {">=", CondOp::kGreaterEqual, 2},   {"<=", CondOp::kLessEqual, 2},
    {"lte ", CondOp::kLessEqual, 3},    {">", CondOp::kGreater, 1},
    {"gt ", CondOp::kGreater, 3},       {"<", CondOp::kLess, 1},
    {"lt ", CondOp::kLess, 3},          {"=~", CondOp::kContains, 2},
    {"!~", CondOp::kNotContains, 2},    {"s ", CondOp::kContains, 2},
    {"eq ", CondOp::kTextEqual, 2},     {"===", CondOp::kNumEqual, 3},
    {"==", CondOp::kNumEqual, 2},       {"=", CondOp::kTextEqual, 1},
    {"!=", CondOp::kTextNotEqual, 2},   {"ne ", CondOp::kTextNotEqual, 2},
};

// Characters that make a malformed condition when no operator begins there.
constexpr std::string_view kOperatorStarts = "~=<>!";
// Characters that end a token skipped while looking for the operator.
constexpr std::string_view kTokenEnds = "~=<>! ";
// Characters that end an unquoted right operand.
constexpr std::string_view kRightEnds = "?:!&|) \r\t\n";

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t SkipWhite(std::string_view text, size_t at) {
  while (at < text.size() && IsWhite(text[at])) ++at;
  return at;
}

const CondOperator* MatchOperator(std::string_view text) {
  for (const CondOperator& row : kCondOperators)
    if (StrStartsNoCase(text, row.text)) return &row;
  return nullptr;
}

// Offset of the quote that closes the one at `open`, or npos; a backslash
// makes the character after it part of the text.
size_t ClosingQuote(std::string_view text, size_t open) {
  const char quote = text[open];
  for (size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == quote) {
      return i;
    }
  }
  return std::string_view::npos;
}

double Number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

bool Contains(const std::string& left, const std::string& right) {
  if (left.empty()) return false;
  return right.empty() || StrFindNoCase(left, right).has_value();
}

bool Test(CondOp op, const std::string& left, const std::string& right) {
  switch (op) {
    case CondOp::kTruth: return !left.empty() && left[0] != '0';
    case CondOp::kTextEqual: return left.size() == right.size() && StrEqualNoCase(left, right);
    case CondOp::kTextNotEqual: return !(left.size() == right.size() && StrEqualNoCase(left, right));
    case CondOp::kGreater: return Number(left) > Number(right);
    case CondOp::kGreaterEqual: return Number(left) >= Number(right);
    case CondOp::kLess: return Number(left) < Number(right);
    case CondOp::kLessEqual: return Number(left) <= Number(right);
    case CondOp::kNumEqual: return Number(left) == Number(right);
    case CondOp::kContains: return Contains(left, right);
    case CondOp::kNotContains: return !Contains(left, right);
    case CondOp::kHas: return ListContains(left, right);
  }
  return false;
}

// Evaluates `text` in `second` (without its '$') when it names a variable
// of the second table, otherwise in `vars`.
std::string OperandValue(std::string_view text, const VarTable* vars, const VarTable* second,
                         size_t min_length) {
  if (second && text.size() >= min_length && !text.empty() && text[0] == '$')
    return ExprEvaluateN(second, text.substr(1), static_cast<long>(text.size() - 1));
  return ExprEvaluateN(vars, text, static_cast<long>(text.size()));
}

// Tests the comparison against the stored value of every variable of the
// first block named `prefix` or `prefix` followed by '_' and more: 1 as soon
// as one satisfies it, 0 when none does, -1 for one without a value (unless
// the right side is undefined).
int TestPattern(const VarTable* vars, std::string_view prefix, CondOp op, const std::string& right,
                bool undefined) {
  for (const VarEntry& e : vars->entries) {
    if (e.IsBlank()) break;
    if (e.IsFree()) continue;
    const std::string& name = *e.name;
    if (!StrStartsNoCase(name, prefix)) continue;
    if (name.size() > prefix.size() && name[prefix.size()] != '_') continue;
    bool hit;
    if (!e.value) {
      if (!undefined) return -1;
      const std::string both = "undefined";
      hit = Test(op == CondOp::kNumEqual ? CondOp::kTextEqual : op, both, both);
    } else {
      hit = Test(op, *e.value, right);
    }
    if (hit) return 1;
  }
  return 0;
}

// A condition being read: the text and how far it has been read.
struct CondScan {
  std::string_view text;
  size_t pos;
  const VarTable* vars;
  const VarTable* second;
};

int Condition(CondScan& s, int depth);

// A factor: an optional '!', then a group in parentheses or one comparison.
int Factor(CondScan& s, int depth) {
  bool negate = false;
  if (s.pos < s.text.size() && s.text[s.pos] == '!') {
    negate = true;
    s.pos = SkipWhite(s.text, s.pos + 1);
  }
  int r;
  if (s.pos < s.text.size() && s.text[s.pos] == '(') {
    if (depth >= kMaxCondDepth) return -1;
    s.pos = SkipWhite(s.text, s.pos + 1);
    // An empty condition is true, in a group as at the top.
    r = s.pos == s.text.size() ? 1 : Condition(s, depth + 1);
  } else {
    size_t used = 0;
    r = CondCompare(s.text.substr(s.pos), s.vars, s.second, &used);
    s.pos += used;
  }
  if (r < 0) return -1;
  return negate ? 1 - r : r;
}

// Factors combined left to right, up to the end, a ')' (which is consumed)
// or any other character that cannot follow a factor.
int Condition(CondScan& s, int depth) {
  int r = Factor(s, depth);
  if (r < 0) return -1;
  for (;;) {
    s.pos = SkipWhite(s.text, s.pos);
    if (s.pos == s.text.size()) return r;
    const char c = s.text[s.pos];
    if (c == ')') {
      ++s.pos;
      return r;
    }
    if (c != '&' && c != '|' && c != '^') return r;
    while (s.pos < s.text.size() && s.text[s.pos] == c) ++s.pos;  // && is one &
    s.pos = SkipWhite(s.text, s.pos);
    if (s.pos == s.text.size()) return -1;
    // Both sides are always evaluated, so an invalid right side is reported.
    int f = Factor(s, depth);
    if (f < 0) return -1;
    if (c == '&') {
      r = r && f;
    } else if (c == '|') {
      r = r || f;
    } else {
      r = r != f;
    }
  }
}

}  // namespace

int CondCompare(std::string_view text, const VarTable* vars, const VarTable* second, size_t* end) {
  if (end) *end = 0;
  text = text.substr(0, text.find('\0'));
  if (!vars) return 0;
  if (text.empty()) return -1;

  size_t p = 0;
  bool negate = false;
  if (text[p] == '!') {
    negate = true;
    p = SkipWhite(text, p + 1);
  }
  bool pattern = false;
  if (p < text.size() && text[p] == '/') {
    pattern = true;
    ++p;
  }
  const size_t start = p;

  // Find the operator, token by token. A '?' or ':' ends the search with a
  // truth test (the condition of "cond ? a : b").
  const CondOperator* op = nullptr;
  for (;;) {
    if (p >= text.size()) return -1;
    op = MatchOperator(text.substr(p));
    if (op) {
      if (p == start) return -1;
      break;
    }
    const char c = text[p];
    if (c == '?' || c == ':') break;
    if (IsWhite(c)) {
      p = SkipWhite(text, p);
      continue;
    }
    if (kOperatorStarts.find(c) != std::string_view::npos) return -1;
    while (p < text.size() && kTokenEnds.find(text[p]) == std::string_view::npos) ++p;
    p = SkipWhite(text, p);
  }
  const size_t op_at = p;

  std::string_view left_text = text.substr(start, op_at - start);
  while (!left_text.empty() && IsWhite(left_text.back())) left_text.remove_suffix(1);

  // The right operand. An empty quoted text, or a bare token that is a
  // beginning of the word "undefined", marks the right side as undefined.
  std::string right;
  bool undefined = false;
  size_t stop = op_at;
  if (op) {
    const size_t r = SkipWhite(text, op_at + op->skip);
    if (r < text.size() && (text[r] == '\'' || text[r] == '"')) {
      const size_t close = ClosingQuote(text, r);
      if (close == std::string_view::npos) return -1;
      right = text.substr(r + 1, close - r - 1);
      undefined = right.empty();
      stop = close + 1;
    } else {
      size_t e = r;
      while (e < text.size() && kRightEnds.find(text[e]) == std::string_view::npos) ++e;
      const std::string_view token = text.substr(r, e - r);
      stop = e;
      if (StrStartsNoCase("undefined", token)) {
        undefined = true;
        right = token;
      } else if (StrLooksNumeric(token)) {
        right = token;
      } else {
        right = OperandValue(token, vars, second, 2);
      }
    }
  }
  if (end) *end = stop;

  // An empty table (its first entry unnamed) satisfies no comparison.
  if (vars->entries.empty() || vars->entries.front().IsBlank()) return negate ? 1 : 0;

  const CondOp kind = op ? op->op : CondOp::kTruth;
  int r;
  if (pattern || kind == CondOp::kHas) {
    std::string_view prefix = left_text;
    if (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
    r = TestPattern(vars, prefix, kind, right, undefined);
    if (r < 0) return -1;
  } else {
    r = Test(kind, OperandValue(left_text, vars, second, 1), right) ? 1 : 0;
  }
  return negate ? 1 - r : r;
}

int CondEvaluate(std::string_view text, const VarTable* vars, const VarTable* second) {
  text = text.substr(0, text.find('\0'));
  CondScan s{text, SkipWhite(text, 0), vars, second};
  if (s.pos == text.size()) return 1;
  return Condition(s, 0);
}

RecordFilter QueryFilter(const VarTable* vars, std::string query) {
  return [vars, query = std::move(query)](const VarTable* record) {
    return CondEvaluate(query, record, vars) != 0;
  };
}

}  // namespace tallypad
