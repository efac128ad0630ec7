// Value expressions: a left-to-right walk over the text with one numeric
// accumulator. An operand that is a name starts the evaluation of the whole
// rest of the expression, whose result is applied as one operand, so
// 1+A*2 is 1+(A*2) while 1+2*3 is (1+2)*3. Survey pages depend on exactly
// these rules, so they are kept as they are.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "script/expr.h"

namespace tallypad {

namespace {

// Deepest nesting of operands that are evaluated as expressions of their own
// (the rest of an expression after a name, a group in parentheses). Real
// expressions stay far below it; deeper input evaluates as 0 instead of
// running the stack out.
constexpr int kMaxExprDepth = 200;

// Work allowed for one evaluation: one unit per call and per operator step,
// plus one per 64 bytes of text a call scans. A variable whose value leads
// back to itself (A holding "-A", read by "0+A") would otherwise keep the
// walk going round for ever; when the budget is spent the rest reads as 0.
constexpr long kMaxExprWork = 100000;

// A computed number prints into this many bytes, terminator included; a
// number too large for "%f" to fit is printed with "%g".
constexpr size_t kResultSize = 128;

// The characters that end the first operand of an expression.
constexpr std::string_view kOperatorChars = "(+-*/^%";

struct ExprRun {
  const VarTable* vars;
  int depth = 0;
  long work = 0;
};

class DepthGuard {
 public:
  explicit DepthGuard(ExprRun& run) : run_(run) { ++run_.depth; }
  ~DepthGuard() { --run_.depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  ExprRun& run_;
};

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Infinite and undefined numbers never reach a printed value: they count as 0.
double Finite(double x) { return std::isfinite(x) ? x : 0.0; }

// Reads a number as strtod does from `text` at `at` and sets *used to the
// bytes it took; a text that does not begin with a number reads as 0.
// REQUIRES: `text` lies inside a zero-terminated buffer (every text the
// evaluator handles is a view into a std::string or a literal), so strtod
// cannot leave the buffer. A number that runs on past the end of the view
// is read again from a copy that ends where the view ends.
double ReadNumber(std::string_view text, size_t at, size_t* used) {
  const char* start = text.data() + at;
  char* stop = nullptr;
  double x = std::strtod(start, &stop);
  size_t n = static_cast<size_t>(stop - start);
  if (n > text.size() - at) {
    std::string copy(text.substr(at));
    x = std::strtod(copy.c_str(), &stop);
    n = static_cast<size_t>(stop - copy.c_str());
  }
  if (used) *used = n;
  return Finite(x);
}

// The stored value of a variable, "" when it is missing or empty. The view
// stays valid as long as the table is left unchanged.
std::string_view StoredValue(const VarTable* vars, std::string_view name) {
  // An empty name would find a free entry, which may still hold the value
  // of a deleted variable.
  if (name.empty()) return "";
  const VarEntry* e = VarTableFind(vars, name);
  if (e && e->value && !e->value->empty()) return *e->value;
  return "";
}

int32_t TruncateToInt32(double x) {
  if (!(x > -2147483649.0)) return INT32_MIN;
  if (!(x < 2147483648.0)) return INT32_MAX;
  return static_cast<int32_t>(x);
}

double Power(double a, double b) {
  if (a > 0) return Finite(std::pow(a, b));
  if (a < 0) {
    if (b != std::floor(b)) return 0;
    double r = Finite(std::pow(-a, b));
    return std::fmod(b, 2.0) != 0 ? -r : r;
  }
  // A zero base: 0 to a positive or a negative power is 0, to the power 0 is 1.
  return b == 0 ? 1 : 0;
}

double Remainder(double a, double b) {
  int64_t x = TruncateToInt32(a);
  int64_t y = TruncateToInt32(b);
  return y == 0 ? 0 : static_cast<double>(x % y);
}

// Applies operator `op` to the accumulator `a` and the operand `b`; a
// character that is no operator leaves the accumulator as it is.
double Apply(char op, double a, double b) {
  switch (op) {
    case '+': return Finite(a + b);
    case '-': return Finite(a - b);
    case '*': return Finite(a * b);
    case '/': return b == 0 ? 0 : Finite(a / b);
    case '^': return Power(a, b);
    case '%': return Remainder(a, b);
    case '(': return b;  // a group right after an operand replaces it: 2(5+1) is 6
    default: return a;
  }
}

// Prints a computed number: as an integer when it is one that fits 32 bits,
// otherwise with six decimals.
std::string_view Print(double a, std::string& out) {
  a = Finite(a);
  char buf[kResultSize];
  int len;
  if (a > -2147483649.0 && a < 2147483648.0 && static_cast<double>(static_cast<int32_t>(a)) == a) {
    len = std::snprintf(buf, sizeof buf, "%d", static_cast<int>(a));
  } else {
    len = std::snprintf(buf, sizeof buf, "%f", a);
    if (len < 0 || static_cast<size_t>(len) >= sizeof buf)
      len = std::snprintf(buf, sizeof buf, "%g", a);
  }
  out.assign(buf, len > 0 ? static_cast<size_t>(len) : 0);
  return out;
}

// Offset of the ')' that closes the '(' at `open`, or npos.
size_t MatchingParen(std::string_view text, size_t open) {
  int depth = 0;
  for (size_t i = open; i < text.size(); ++i) {
    if (text[i] == '(') {
      ++depth;
    } else if (text[i] == ')' && --depth == 0) {
      return i;
    }
  }
  return std::string_view::npos;
}

std::string_view Evaluate(ExprRun& run, std::string_view text, std::string& storage);

// Walks the rest of an expression, applying each operator and its operand
// to the accumulator.
void Walk(ExprRun& run, std::string_view cur, double* acc) {
  // After a name operand the walk goes on in the text of its result. The
  // result is kept in one of two slots: the next result goes into the other
  // slot, so the text being walked is never overwritten.
  std::string slots[2];
  int spare = 0;
  size_t pos = 0;
  while (pos < cur.size()) {
    if (++run.work > kMaxExprWork) return;
    while (pos < cur.size() && IsWhite(cur[pos])) ++pos;
    if (pos == cur.size()) return;
    const char op = cur[pos];
    size_t at = op == '(' ? pos : pos + 1;
    while (at < cur.size() && IsWhite(cur[at])) ++at;
    double b;
    if (at < cur.size() && IsDigit(cur[at])) {
      size_t used = 0;
      b = ReadNumber(cur, at, &used);
      pos = at + used;
    } else if (at < cur.size() && cur[at] == '(') {
      size_t close = MatchingParen(cur, at);
      // An open or empty group ends the walk; the accumulator is the result.
      if (close == std::string_view::npos || close == at + 1) return;
      b = ReadNumber(Evaluate(run, cur.substr(at + 1, close - at - 1), slots[spare]), 0, nullptr);
      pos = close + 1;
    } else {
      // A name, a '.' or a sign: the rest of the text is evaluated first.
      std::string_view result = Evaluate(run, cur.substr(at), slots[spare]);
      size_t used = 0;
      b = ReadNumber(result, 0, &used);
      cur = result;
      pos = used;
      spare ^= 1;
    }
    *acc = Apply(op, *acc, b);
  }
}

// Evaluates `text`; the result is a view into `storage` (a computed
// number), into a variable's stored value or into a literal, and always
// ends with a zero byte.
std::string_view Evaluate(ExprRun& run, std::string_view text, std::string& storage) {
  run.work += 1 + static_cast<long>(text.size() / 64);
  if (run.depth >= kMaxExprDepth || run.work > kMaxExprWork) return "0";
  DepthGuard guard(run);

  size_t i = 0;
  while (i < text.size() && IsWhite(text[i])) ++i;
  if (i < text.size() && text[i] == '=') ++i;
  text.remove_prefix(i);

  // The expression ends at its first space; what follows is ignored, except
  // that an operator after the space still starts the rest (A B+1 is A+1).
  const size_t ended = std::min(text.find(' '), text.size());
  const size_t n = std::min(text.find_first_of(kOperatorChars), text.size());
  if (n == ended) return StoredValue(run.vars, text.substr(0, ended));

  std::string_view first = text.substr(0, std::min(n, ended));
  std::string_view rest = n < ended ? text.substr(n, ended - n) : text.substr(n);
  std::string_view value = StoredValue(run.vars, first);
  double acc = ReadNumber(value.empty() ? first : value, 0, nullptr);
  Walk(run, rest, &acc);
  return Print(acc, storage);
}

}  // namespace

std::string ExprEvaluate(const VarTable* vars, std::string_view text) {
  // A zero byte ends the text, as it does in every stored value.
  text = text.substr(0, text.find('\0'));
  if (!vars) return std::string(text);
  const std::string copy(text);  // gives the views below their zero terminator
  std::string storage;
  ExprRun run{vars};
  return std::string(Evaluate(run, copy, storage));
}

std::string ExprEvaluateN(const VarTable* vars, std::string_view text, long length) {
  if (length < 1) return "";
  if (static_cast<unsigned long>(length) < text.size()) text = text.substr(0, length);
  return ExprEvaluate(vars, text);
}

}  // namespace tallypad
