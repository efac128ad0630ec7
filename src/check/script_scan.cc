#include "check/script_scan.h"

#include <span>

#include "base/str.h"
#include "base/wordlist.h"

namespace tallypad {

namespace {

// Words of conditions that are operators or values, never names.
constexpr std::string_view kConditionWords[] = {"eq",  "ne", "gt",  "gte",      "lt",
                                                "lte", "has", "s",  "undefined"};
// Words of script statements that are no names.
constexpr std::string_view kScriptKeywords[] = {"if",    "elsif", "elif",  "else",  "var",
                                                "exit",  "&exit", "&end",  "&return"};

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsOneOf(std::string_view word, std::span<const std::string_view> words) {
  for (std::string_view w : words)
    if (StrEqualNoCase(w, word)) return true;
  return false;
}

// Offset just after the quoted text that begins at `open` (a backslash
// keeps the next character), or the end of the text.
size_t AfterQuoted(std::string_view text, size_t open) {
  const char quote = text[open];
  for (size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == quote) {
      return i + 1;
    }
  }
  return text.size();
}

size_t SkipWhite(std::string_view text, size_t at) {
  while (at < text.size() && IsWhite(text[at])) ++at;
  return at;
}

// The quoted text at `at` (after blanks), without its quotes; `*end` gets
// the offset after it. Empty and `*end` unchanged when none stands there.
std::string QuotedAt(std::string_view text, size_t at, size_t* end) {
  at = SkipWhite(text, at);
  if (at >= text.size() || (text[at] != '\'' && text[at] != '"')) return {};
  const size_t after = AfterQuoted(text, at);
  *end = after;
  const size_t close = after > at + 1 && text[after - 1] == text[at] ? after - 1 : after;
  return std::string(text.substr(at + 1, close - at - 1));
}


}  // namespace

void ScanExpressionNames(std::string_view text, size_t offset, std::vector<NameUse>* reads) {
  bool pattern_next = false;
  bool after_operator = false;
  char previous = 0;  // the last character that is not blank, 0 at the start
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (IsWhite(c)) {
      ++i;
      continue;
    }
    if (c == '\'' || c == '"') {
      i = AfterQuoted(text, i);
      previous = c;
      after_operator = false;
      continue;
    }
    if (c >= '0' && c <= '9') {
      while (i < text.size() && (IsNameChar(text[i]) || text[i] == '.')) ++i;
      previous = '0';
      after_operator = false;
      continue;
    }
    if (c == '/' && (previous == 0 || previous == '(' || previous == '&' || previous == '|' ||
                     previous == '^' || previous == '!')) {
      pattern_next = true;
      ++i;
      continue;
    }
    const bool record = c == '$';
    const size_t start = record ? i + 1 : i;
    if (start < text.size() && IsNameStart(text[start])) {
      size_t end = start;
      while (end < text.size() && IsNameChar(text[end])) ++end;
      const std::string_view word = text.substr(start, end - start);
      const size_t next = SkipWhite(text, end);
      if (next < text.size() && text[next] == '(' && !record) {
        // A function's name ("toFixed(").
      } else if (!record && IsOneOf(word, kConditionWords) && end < text.size() &&
                 IsWhite(text[end]) && previous != 0 && previous != '(') {
        // A word operator; "has" tests its left side as a group.
        if (StrEqualNoCase(word, "has") && !reads->empty()) reads->back().pattern = true;
        after_operator = true;
        i = end;
        previous = 'o';
        continue;
      } else if (!record && StrEqualNoCase(word, "undefined") && after_operator) {
        // The right side "undefined" is a value.
      } else {
        NameUse use;
        use.name = std::string(word);
        use.offset = offset + start;
        use.pattern = pattern_next;
        use.record = record;
        use.compared = after_operator;
        reads->push_back(std::move(use));
      }
      pattern_next = false;
      after_operator = false;
      previous = 'a';
      i = end;
      continue;
    }
    // Operators: a comparison makes the next name its right side.
    after_operator = c == '=' || c == '<' || c == '>' || c == '~';
    if (c == '!' && i + 1 < text.size() && (text[i + 1] == '=' || text[i + 1] == '~'))
      after_operator = true;
    if (c != '/' || !pattern_next) previous = c;
    ++i;
  }
}

void ScanMarkerNames(std::string_view text, size_t offset, std::vector<NameUse>* reads) {
  // The first '?' outside quoted texts divides the condition from its choices.
  size_t question = std::string_view::npos;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\'' || text[i] == '"') {
      i = AfterQuoted(text, i);
    } else if (text[i] == '?') {
      question = i;
      break;
    } else {
      ++i;
    }
  }
  // "A = 4 : 'no'" has no '?' but a ':' choice: the condition ends there.
  size_t condition_end = question;
  if (condition_end == std::string_view::npos) {
    for (size_t i = 0; i < text.size();) {
      if (text[i] == '\'' || text[i] == '"') {
        i = AfterQuoted(text, i);
      } else if (text[i] == ':') {
        condition_end = i;
        break;
      } else {
        ++i;
      }
    }
  }
  ScanExpressionNames(text.substr(0, condition_end), offset, reads);
  if (condition_end == std::string_view::npos) return;
  // Each choice is a quoted text, plain text up to ':' or "$expression".
  size_t i = condition_end + 1;
  while (i < text.size()) {
    i = SkipWhite(text, i);
    if (i >= text.size()) break;
    if (text[i] == '\'' || text[i] == '"') {
      i = AfterQuoted(text, i);
      continue;
    }
    size_t end = text.find(':', i);
    if (end == std::string_view::npos) end = text.size();
    if (text[i] == '$') ScanExpressionNames(text.substr(i + 1, end - i - 1), offset + i + 1, reads);
    i = end + 1;
  }
}

size_t ScriptBlockEnd(std::string_view text, size_t from) {
  size_t i = from;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\'' || c == '"') {
      i = AfterQuoted(text, i);
    } else if (c == '#' || (c == '/' && i + 1 < text.size() && text[i + 1] == '/')) {
      // A comment runs to the end of its line, over a "%>" too, as the
      // statement reader skips it.
      const size_t line_end = text.find('\n', i);
      if (line_end == std::string_view::npos) return std::string_view::npos;
      i = line_end + 1;
    } else if (c == '%' && i + 1 < text.size() && text[i + 1] == '>') {
      return i;
    } else {
      ++i;
    }
  }
  return std::string_view::npos;
}

void ScanScript(std::string_view text, size_t offset, ScriptFacts* facts) {
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (IsWhite(c) || c == ';' || c == '{' || c == '}' || c == ',' || c == ')' || c == '+') {
      ++i;
      continue;
    }
    if (c == '#' || (c == '/' && i + 1 < text.size() && text[i + 1] == '/')) {
      const size_t line_end = text.find('\n', i);
      i = line_end == std::string_view::npos ? text.size() : line_end + 1;
      continue;
    }
    if (c == '\'' || c == '"') {
      const size_t after_text = AfterQuoted(text, i);
      if (text.substr(i, after_text - i).find('\n') != std::string_view::npos)
        facts->problems.push_back(
            {offset + i,
             "this text runs over a line break, which a text may, but most likely its closing "
             "quote is missing: the text then ends at the next quote, in another statement",
             true});
      i = after_text;
      continue;
    }
    if (c >= '0' && c <= '9') {
      while (i < text.size() && (IsNameChar(text[i]) || text[i] == '.')) ++i;
      continue;
    }
    const bool ampersand = c == '&';
    const size_t start = ampersand ? i + 1 : i;
    if (start >= text.size() || !IsNameStart(text[start])) {
      // An operator of a calculation, '(' of an argument, ...
      ++i;
      continue;
    }
    size_t end = start;
    while (end < text.size() && IsNameChar(text[end])) ++end;
    const std::string_view word = text.substr(i, end - i);
    const std::string_view name = text.substr(start, end - start);
    const size_t next = SkipWhite(text, end);
    const char after = next < text.size() ? text[next] : 0;

    if (StrEqualNoCase(word, "if") || StrEqualNoCase(word, "elsif") ||
        StrEqualNoCase(word, "elif")) {
      // The condition runs from "(" to the first ")"; the body is a block.
      // The engine looks for the next "(" and "{" wherever they are, so a
      // missing one takes another statement's.
      if (after == '(') {
        const size_t close = text.find(')', next);
        const size_t stop = close == std::string_view::npos ? text.size() : close;
        ScanExpressionNames(text.substr(next + 1, stop - next - 1), offset + next + 1,
                            &facts->reads);
        const size_t body = SkipWhite(text, stop + 1);
        if (close != std::string_view::npos && (body >= text.size() || text[body] != '{'))
          facts->problems.push_back(
              {offset + start, "write the body of " + std::string(word) +
                                   " in braces: if (...) { ... }; without them the engine runs "
                                   "the statements from the next '{' it finds"});
        i = stop;
      } else {
        facts->problems.push_back(
            {offset + start, "write the condition of " + std::string(word) +
                                 " in parentheses: if (NAME = '') { ... }; without them the "
                                 "engine takes the next '(' it finds for the condition"});
        i = end;
      }
      continue;
    }
    if (StrEqualNoCase(word, "else") && after != '{' &&
        !(next + 1 < text.size() && StrEqualNoCase(text.substr(next, 2), "if"))) {
      facts->problems.push_back(
          {offset + start, "write the body of else in braces: else { ... }; without them the "
                           "engine runs the statements from the next '{' it finds"});
      i = end;
      continue;
    }
    if (StrEqualNoCase(word, "delete")) {
      // "delete NAME" names a variable it removes: neither read nor set.
      size_t at = SkipWhite(text, end);
      while (at < text.size() && IsNameChar(text[at])) ++at;
      i = at;
      continue;
    }
    if (ampersand || IsOneOf(word, kScriptKeywords)) {
      i = end;
      continue;
    }
    if (after == '(') {
      // A call; showpage with a quoted page names a page.
      if (StrEqualNoCase(name, "showpage")) {
        size_t quoted_end = next + 1;
        std::string page = QuotedAt(text, next + 1, &quoted_end);
        if (!page.empty() && page != "(save)")
          facts->targets.push_back({page, offset + SkipWhite(text, next + 1), "showpage"});
      }
      i = next + 1;
      continue;
    }
    if (after == '[') {
      // An object's value: data['Q1'] reads a column, data[F] the variable F.
      const size_t close = text.find(']', next);
      const size_t stop = close == std::string_view::npos ? text.size() : close;
      size_t at = SkipWhite(text, next + 1);
      if (at < stop && IsNameStart(text[at])) {
        size_t key_end = at;
        while (key_end < stop && IsNameChar(text[key_end])) ++key_end;
        facts->reads.push_back({std::string(text.substr(at, key_end - at)), offset + at});
      }
      i = stop;
      continue;
    }
    const bool assigns = after == '=' && (next + 1 >= text.size() || text[next + 1] != '=');
    const bool appends = after == '+' && next + 1 < text.size() && text[next + 1] == '=';
    if (assigns || appends) {
      facts->sets.push_back({std::string(name), offset + start});
      if (appends) facts->reads.push_back({std::string(name), offset + start});
      const size_t value = next + (assigns ? 1 : 2);
      if (StrEqualNoCase(name, "_PAGENEXT")) {
        size_t quoted_end = value;
        const std::string list = QuotedAt(text, value, &quoted_end);
        for (std::string& page : ListItems(list))
          facts->targets.push_back({std::move(page), offset + SkipWhite(text, value), "_PAGENEXT"});
      }
      i = value;
      continue;
    }
    facts->reads.push_back({std::string(name), offset + start});
    i = end;
  }
}

}  // namespace tallypad
