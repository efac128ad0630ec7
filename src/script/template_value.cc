// The value markers of pages: "<%= ... %>", "<!--$ ... -->" and, in
// reports, "{NAME}". A marker's text is a value expression, a "toFixed("
// call that prints a value with a number of decimals, or a comparison that
// may choose between two texts ("Q1 == 1 ? 'yes' : 'no'").
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/str.h"
#include "base/text.h"
#include "script/expr.h"
#include "script/page_read.h"
#include "script/template.h"

namespace tallypad {

namespace {

// "toFixed(" prints at most this many decimals.
constexpr int kMaxFixedDecimals = 20;
// A fixed-point text longer than this (values of about 10^100 and above) is
// printed with "%g" instead.
constexpr int kMaxFixedLength = 100;

constexpr std::string_view kToFixed = "toFixed(";

size_t SkipWhite(std::string_view s, size_t at) {
  while (at < s.size() && PageIsWhite(static_cast<unsigned char>(s[at]))) ++at;
  return at;
}

std::string_view TrimTrailingWhite(std::string_view s) {
  while (!s.empty() && PageIsWhite(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The integer at the start of `s` (after blanks), clamped to 0..20.
int ReadDecimals(std::string_view s) {
  size_t i = SkipWhite(s, 0);
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int n = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    n = n * 10 + (s[i] - '0');
    if (n > kMaxFixedDecimals) n = kMaxFixedDecimals;
  }
  return negative ? 0 : n;
}

// "toFixed(EXPR, N)": the value of EXPR with N decimals; without a comma,
// with none.
void WriteFixed(std::string_view rest, OutputStream* out, const VarTable* table) {
  std::string_view expr = rest;
  int decimals = 0;
  size_t comma = rest.rfind(',');
  if (comma != std::string_view::npos) {
    expr = rest.substr(0, comma);
    decimals = ReadDecimals(rest.substr(comma + 1));
  } else {
    expr = TrimTrailingWhite(expr);
    if (!expr.empty() && expr.back() == ')') expr.remove_suffix(1);
  }
  const std::string value = ExprEvaluate(table, expr);
  const double x = std::strtod(value.c_str(), nullptr);
  char area[kMaxFixedLength + 28];
  int n = std::snprintf(area, sizeof area, "%.*f", decimals, x);
  if (n < 0 || n > kMaxFixedLength) n = std::snprintf(area, sizeof area, "%g", x);
  if (n > 0) StreamWrite(out, area, static_cast<size_t>(n));
}

// Offset of the quote that closes the one at `open` (a backslash makes the
// next character part of the text), or npos when it is not closed.
size_t ClosingQuote(std::string_view s, size_t open) {
  for (size_t i = open + 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == s[open]) {
      return i;
    }
  }
  return std::string_view::npos;
}

// One choice at `at`: a quoted text (without its quotes; an unclosed one runs
// to the end), else the text up to `stop` (0: to the end). Sets *next to
// where reading goes on.
std::string_view ReadChoice(std::string_view s, size_t at, char stop, size_t* next) {
  if (at < s.size() && (s[at] == '\'' || s[at] == '"')) {
    const size_t close = ClosingQuote(s, at);
    if (close == std::string_view::npos) {
      *next = s.size();
      return s.substr(at + 1);
    }
    *next = close + 1;
    return s.substr(at + 1, close - at - 1);
  }
  size_t end = stop ? s.find(stop, at) : std::string_view::npos;
  if (end == std::string_view::npos) end = s.size();
  *next = end;
  return s.substr(at, end - at);
}

// The ELSE part: after the next ":" from `at`, blanks and colons skipped.
std::optional<std::string_view> ReadElse(std::string_view s, size_t at) {
  size_t colon = s.find(':', at);
  if (colon == std::string_view::npos) return std::nullopt;
  size_t p = colon;
  while (p < s.size() && (s[p] == ':' || PageIsWhite(static_cast<unsigned char>(s[p])))) ++p;
  size_t next = 0;
  return ReadChoice(s, p, 0, &next);
}

// Writes a chosen part: "$NAME..." as the value of an expression, anything
// else with each backslash removed and the character after it kept.
void WriteChoice(std::string_view part, OutputStream* out, const VarTable* table) {
  if (!part.empty() && part.front() == '$') {
    StreamWriteText(out, ExprEvaluate(table, part.substr(1)));
    return;
  }
  std::string text;
  text.reserve(part.size());
  for (size_t i = 0; i < part.size(); ++i) {
    if (part[i] == '\\') {
      if (++i == part.size()) break;
    }
    text.push_back(part[i]);
  }
  StreamWriteText(out, text);
}

}  // namespace

int TemplateEmitValue(std::string_view text, OutputStream* out, VarTable* table) {
  if (!out) return 0;
  if (!table) {
    StreamWriteText(out, text);
    return -1;
  }
  size_t end = 0;
  const int r = CondCompare(text, table, nullptr, &end);
  if (r < 0) {
    if (StrStartsNoCase(text, kToFixed)) {
      WriteFixed(text.substr(kToFixed.size()), out, table);
    } else {
      StreamWriteText(out, ExprEvaluate(table, text));
    }
    return -1;
  }

  std::optional<std::string_view> then_part, else_part;
  size_t p = SkipWhite(text, end);
  if (p < text.size() && text[p] == '?') {
    p = SkipWhite(text, p + 1);
    const bool quoted = p < text.size() && (text[p] == '\'' || text[p] == '"');
    size_t next = p;
    // An unquoted THEN runs to the next ":" (or the end); the blanks
    // before that ":" are layout, not part of it.
    std::string_view part = ReadChoice(text, p, ':', &next);
    then_part = quoted ? part : TrimTrailingWhite(part);
    else_part = ReadElse(text, next);
  } else {
    else_part = ReadElse(text, p);
  }
  const std::optional<std::string_view>& chosen = r == 1 ? then_part : else_part;
  if (chosen) WriteChoice(*chosen, out, table);
  return r;
}

}  // namespace tallypad
