#include "cgi/kqs/answer_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <unordered_set>

#include "base/pattern_match.h"
#include "base/read.h"
#include "base/status_log.h"
#include "base/strbuf.h"
#include "base/str.h"
#include "base/text.h"
#include "base/utf8_read.h"
#include "base/wordlist.h"
#include "cgi/kqs/pages.h"
#include "script/template.h"
#include "store/form.h"
#include "store/form_name.h"

namespace tallypad {

namespace {

// The longest number text read; a browser's number is far shorter.
constexpr size_t kMaxNumberText = 400;
// How close (relative to the number of steps) a value must come to a step
// to lie on it: decimal steps such as 0.01 are not exact in binary.
constexpr long double kStepTolerance = 1e-9L;
// A range input's bounds when the page gives none, as browsers take them.
constexpr long double kRangeDefaultMin = 0;
constexpr long double kRangeDefaultMax = 100;
// Free entries of the copy of the answers a page is written with, for what
// its script blocks set.
constexpr size_t kRenderSpare = 64;
// The page file of the plain layout's header, which is no page.
constexpr std::string_view kHeaderFile = "header";

// What a field is, for the checks.
enum class Kind {
  kIgnored,    // sends any value, or is no answer: hidden, buttons, files, colours
  kText,       // text, search, url, tel, password, and unknown types (a browser shows text)
  kEmail,
  kNumber,
  kRange,      // always sends a number within its bounds
  kDate,
  kOtherTime,  // month, week, time, datetime-local: required only
  kBox,        // radio button or check box
  kSelect,
  kTextarea,
  kOption,
};

struct TypeKind {
  std::string_view type;
  Kind kind;
};

constexpr TypeKind kInputTypes[] = {
    {"hidden", Kind::kIgnored},   {"submit", Kind::kIgnored},    {"reset", Kind::kIgnored},
    {"button", Kind::kIgnored},   {"image", Kind::kIgnored},     {"file", Kind::kIgnored},
    {"color", Kind::kIgnored},    {"email", Kind::kEmail},       {"number", Kind::kNumber},
    {"range", Kind::kRange},      {"date", Kind::kDate},         {"month", Kind::kOtherTime},
    {"week", Kind::kOtherTime},   {"time", Kind::kOtherTime},    {"datetime-local", Kind::kOtherTime},
    {"radio", Kind::kBox},        {"checkbox", Kind::kBox},      {"select", Kind::kSelect},
    {"textarea", Kind::kTextarea}, {"option", Kind::kOption},
};

Kind KindOf(const PageField& field) {
  for (const TypeKind& row : kInputTypes)
    if (field.type == row.type) return row.kind;
  return Kind::kText;
}

bool TextLike(Kind kind) { return kind == Kind::kText || kind == Kind::kEmail; }

// ---- Reading numbers, dates and addresses as browsers do ----

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A valid floating-point number of HTML: an optional "-", digits with an
// optional fraction (or a fraction alone), an optional exponent; finite.
std::optional<long double> HtmlNumber(std::string_view text) {
  if (text.empty() || text.size() > kMaxNumberText) return std::nullopt;
  size_t at = 0;
  if (text[at] == '-') ++at;
  size_t digits = 0;
  while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
  if (at < text.size() && text[at] == '.') {
    ++at;
    size_t fraction = 0;
    while (at < text.size() && IsDigit(text[at])) ++at, ++fraction;
    if (fraction == 0) return std::nullopt;
    digits += fraction;
  }
  if (digits == 0) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    size_t exponent = 0;
    while (at < text.size() && IsDigit(text[at])) ++at, ++exponent;
    if (exponent == 0) return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  // Read as a browser reads it, into a double: a number beyond its range
  // is no number.
  const std::string copy(text);
  const double value = std::strtod(copy.c_str(), nullptr);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

struct Date {
  long year;
  int month;
  int day;
  auto operator<=>(const Date&) const = default;
};

int DaysIn(long year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// A valid date string of HTML: YYYY-MM-DD, four or more digits of year
// (above 0), a real month and day.
std::optional<Date> HtmlDate(std::string_view text) {
  size_t at = 0;
  long year = 0;
  while (at < text.size() && IsDigit(text[at]) && at < 9) year = year * 10 + (text[at++] - '0');
  if (at < 4 || year < 1) return std::nullopt;
  if (text.size() != at + 6 || text[at] != '-' || text[at + 3] != '-') return std::nullopt;
  auto two = [&](size_t from) {
    return IsDigit(text[from]) && IsDigit(text[from + 1])
               ? (text[from] - '0') * 10 + (text[from + 1] - '0')
               : -1;
  };
  const int month = two(at + 1), day = two(at + 4);
  if (month < 1 || month > 12 || day < 1 || day > DaysIn(year, month)) return std::nullopt;
  return Date{year, month, day};
}

bool IsLetterOrDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A valid e-mail address of HTML: a local part of letters, digits and
// .!#$%&'*+/=?^_`{|}~- , "@", and labels of letters, digits and inner
// hyphens (at most 63 each) joined by dots.
bool HtmlEmailAddress(std::string_view text) {
  constexpr std::string_view kLocalPunctuation = ".!#$%&'*+/=?^_`{|}~-";
  const size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0) return false;
  for (char c : text.substr(0, at))
    if (!IsLetterOrDigit(c) && kLocalPunctuation.find(c) == std::string_view::npos) return false;
  std::string_view domain = text.substr(at + 1);
  for (;;) {
    const size_t dot = domain.find('.');
    const std::string_view label = domain.substr(0, dot);
    if (label.empty() || label.size() > 63) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    for (char c : label)
      if (!IsLetterOrDigit(c) && c != '-') return false;
    if (dot == std::string_view::npos) return true;
    domain.remove_prefix(dot + 1);
  }
}

std::string_view TrimAsciiWhite(std::string_view s) {
  auto white = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; };
  while (!s.empty() && white(s.front())) s.remove_prefix(1);
  while (!s.empty() && white(s.back())) s.remove_suffix(1);
  return s;
}

// A non-negative integer attribute (minlength, maxlength); nullopt when the
// attribute is missing or no such number, as browsers then ignore it.
std::optional<size_t> LengthAttribute(const PageField& field, std::string_view name) {
  const std::string text = FieldAttribute(field, name);
  if (text.empty() || text.size() > 9) return std::nullopt;
  size_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  return value;
}

// ---- The constraints ----

// One field with what its checks need, worked out once per check.
struct FieldCheck {
  const PageField* field;
  Kind kind;
  std::optional<InputPattern> pattern;  // compiled `pattern`, when understood
};

std::optional<long double> NumberAttribute(const FieldCheck& f, std::string_view name) {
  return HtmlNumber(FieldAttribute(*f.field, name));
}

// The bounds of a number or range field: the attributes, with a range's
// defaults (and its maximum never below its minimum).
std::optional<long double> MinOf(const FieldCheck& f) {
  std::optional<long double> min = NumberAttribute(f, "min");
  if (!min && f.kind == Kind::kRange) min = kRangeDefaultMin;
  return min;
}
std::optional<long double> MaxOf(const FieldCheck& f) {
  std::optional<long double> max = NumberAttribute(f, "max");
  if (!max && f.kind == Kind::kRange) max = kRangeDefaultMax;
  if (f.kind == Kind::kRange && max && *max < *MinOf(f)) max = MinOf(f);
  return max;
}

std::string LimitText(const FieldCheck& f, std::string_view name, std::string_view fallback) {
  const std::string written = FieldAttribute(*f.field, name);
  return written.empty() ? std::string(fallback) : written;
}

bool IsNumberField(const FieldCheck& f) { return f.kind == Kind::kNumber || f.kind == Kind::kRange; }

// A constraint refuses an answer with the limit its message names ("" when
// none), or passes it (nullopt), as does a constraint that does not apply.
using Refusal = std::optional<std::string>;

Refusal RefusesEmail(const FieldCheck& f, std::string_view answer) {
  if (f.kind != Kind::kEmail) return std::nullopt;
  if (!FieldHas(*f.field, "multiple")) {
    if (HtmlEmailAddress(answer)) return std::nullopt;
    return "";
  }
  for (size_t at = 0;;) {
    const size_t comma = answer.find(',', at);
    if (!HtmlEmailAddress(TrimAsciiWhite(answer.substr(at, comma - at)))) return "";
    if (comma == std::string_view::npos) return std::nullopt;
    at = comma + 1;
  }
}

Refusal RefusesNumber(const FieldCheck& f, std::string_view answer) {
  if (!IsNumberField(f) || HtmlNumber(answer)) return std::nullopt;
  return "";
}

Refusal RefusesDate(const FieldCheck& f, std::string_view answer) {
  if (f.kind != Kind::kDate || HtmlDate(answer)) return std::nullopt;
  return "";
}

Refusal RefusesBelowMin(const FieldCheck& f, std::string_view answer) {
  if (!IsNumberField(f)) return std::nullopt;
  const std::optional<long double> value = HtmlNumber(answer), min = MinOf(f);
  if (!value || !min || *value >= *min) return std::nullopt;
  return LimitText(f, "min", "0");
}

Refusal RefusesAboveMax(const FieldCheck& f, std::string_view answer) {
  if (!IsNumberField(f)) return std::nullopt;
  const std::optional<long double> value = HtmlNumber(answer), max = MaxOf(f);
  if (!value || !max || *value <= *max) return std::nullopt;
  return LimitText(f, "max", "100");
}

Refusal RefusesBeforeMin(const FieldCheck& f, std::string_view answer) {
  if (f.kind != Kind::kDate) return std::nullopt;
  const std::optional<Date> value = HtmlDate(answer);
  const std::optional<Date> min = HtmlDate(FieldAttribute(*f.field, "min"));
  if (!value || !min || *value >= *min) return std::nullopt;
  return FieldAttribute(*f.field, "min");
}

Refusal RefusesAfterMax(const FieldCheck& f, std::string_view answer) {
  if (f.kind != Kind::kDate) return std::nullopt;
  const std::optional<Date> value = HtmlDate(answer);
  const std::optional<Date> max = HtmlDate(FieldAttribute(*f.field, "max"));
  if (!value || !max || *value <= *max) return std::nullopt;
  return FieldAttribute(*f.field, "max");
}

// A number must lie a whole number of steps from the step base: the
// minimum, else the page's VALUE, else 0. The step is 1 unless the page
// gives a positive one; "any" allows every number.
Refusal RefusesStep(const FieldCheck& f, std::string_view answer) {
  if (!IsNumberField(f)) return std::nullopt;
  const std::string written = FieldAttribute(*f.field, "step");
  if (StrEqualNoCase(written, "any")) return std::nullopt;
  const std::optional<long double> value = HtmlNumber(answer);
  if (!value) return std::nullopt;
  std::optional<long double> step = HtmlNumber(written);
  const bool own_step = step && *step > 0;
  if (!own_step) step = 1;
  std::optional<long double> base = MinOf(f);
  if (!base) base = NumberAttribute(f, "value");
  if (!base) base = 0;
  const long double steps = (*value - *base) / *step;
  if (std::fabs(steps - std::nearbyint(steps)) <= kStepTolerance * std::max(1.0L, std::fabs(steps)))
    return std::nullopt;
  return own_step ? written : std::string("1");
}

bool HasLengthLimits(Kind kind) { return TextLike(kind) || kind == Kind::kTextarea; }

Refusal RefusesMinLength(const FieldCheck& f, std::string_view answer) {
  if (!HasLengthLimits(f.kind)) return std::nullopt;
  const std::optional<size_t> min = LengthAttribute(*f.field, "minlength");
  if (!min || Utf8BrowserLength(answer) >= *min) return std::nullopt;
  return std::to_string(*min);
}

Refusal RefusesMaxLength(const FieldCheck& f, std::string_view answer) {
  if (!HasLengthLimits(f.kind)) return std::nullopt;
  const std::optional<size_t> max = LengthAttribute(*f.field, "maxlength");
  if (!max || Utf8BrowserLength(answer) <= *max) return std::nullopt;
  return std::to_string(*max);
}

Refusal RefusesPattern(const FieldCheck& f, std::string_view answer) {
  if (!TextLike(f.kind) || !f.pattern || f.pattern->MatchesWhole(answer)) return std::nullopt;
  return "";
}

// One constraint: the setting that words its message, the message when the
// form has none ({label} is the question, {limit} the limit), and the test
// of one answer (null for the constraints that look at a whole group).
struct ConstraintRow {
  std::string_view setting;
  std::string_view default_message;
  Refusal (*refuses)(const FieldCheck&, std::string_view answer);
};

constexpr ConstraintRow kRequiredRow = {"REQUIREDMESSAGE", "Please answer \u201c{label}\u201d.",
                                        nullptr};
constexpr ConstraintRow kChoiceRow = {
    "CHOICEMESSAGE", "Please choose one of the answers offered for \u201c{label}\u201d.", nullptr};

// The constraints on one answer, in the order they are tried: the first
// that refuses gives the message.
constexpr ConstraintRow kValueRows[] = {
    {"EMAILMESSAGE", "Please enter an e-mail address for \u201c{label}\u201d.", RefusesEmail},
    {"NUMBERMESSAGE", "Please enter a number for \u201c{label}\u201d.", RefusesNumber},
    {"DATEMESSAGE", "Please enter a date (year-month-day) for \u201c{label}\u201d.", RefusesDate},
    {"TOOLOWMESSAGE", "The answer to \u201c{label}\u201d must be at least {limit}.",
     RefusesBelowMin},
    {"TOOHIGHMESSAGE", "The answer to \u201c{label}\u201d must be at most {limit}.",
     RefusesAboveMax},
    {"TOOEARLYMESSAGE", "The date for \u201c{label}\u201d must be {limit} or later.",
     RefusesBeforeMin},
    {"TOOLATEMESSAGE", "The date for \u201c{label}\u201d must be {limit} or earlier.",
     RefusesAfterMax},
    {"STEPMESSAGE", "The answer to \u201c{label}\u201d must be in steps of {limit}.", RefusesStep},
    {"TOOSHORTMESSAGE",
     "The answer to \u201c{label}\u201d must be at least {limit} characters long.",
     RefusesMinLength},
    {"TOOLONGMESSAGE", "The answer to \u201c{label}\u201d must be at most {limit} characters long.",
     RefusesMaxLength},
    {"PATTERNMESSAGE", "The answer to \u201c{label}\u201d is not in the form asked for.",
     RefusesPattern},
};

// Replaces every `hole` in `text` by `with`.
std::string Fill(std::string text, std::string_view hole, std::string_view with) {
  for (size_t at = text.find(hole); at != std::string::npos; at = text.find(hole, at + with.size()))
    text.replace(at, hole.size(), with);
  return text;
}

std::string Message(const VarTable* settings, const ConstraintRow& row, const PageField& field,
                    std::string_view limit) {
  std::string wording = FormSetting(settings, row.setting);
  if (wording.empty()) wording = row.default_message;
  // The question is page text as the author wrote it; a limit is shown as text.
  return Fill(Fill(std::move(wording), "{label}", field.question), "{limit}", HtmlEscape(limit));
}

// The first value constraint of `f` that refuses `answer`, with its limit.
std::optional<std::pair<const ConstraintRow*, std::string>> FirstRefusal(const FieldCheck& f,
                                                                       std::string_view answer) {
  for (const ConstraintRow& row : kValueRows)
    if (Refusal limit = row.refuses(f, answer)) return std::make_pair(&row, std::move(*limit));
  return std::nullopt;
}

// A field the browser leaves out of its checks: a disabled one, and a
// read-only one whose value the respondent cannot change.
bool Barred(const FieldCheck& f) {
  if (FieldHas(*f.field, "disabled")) return true;
  return FieldHas(*f.field, "readonly") && f.kind != Kind::kBox && f.kind != Kind::kSelect;
}

bool RequiredApplies(Kind kind) {
  return kind != Kind::kIgnored && kind != Kind::kRange && kind != Kind::kOption;
}

// The fields of one name (compared without case) and the choices they offer.
struct Group {
  std::string name;
  std::vector<const FieldCheck*> fields{};
  std::vector<std::string> offered{};  // values of its boxes and options
  bool has_select_without_options = false;
  bool holds_groups = false;  // check boxes or a multiple list: a stored "a,b" is an answer
};

// True when `answer` is a choice of `group`, or (for boxes and multiple
// lists) a stored group of its choices joined by commas. A choice may hold
// commas itself; pieces are tried up to the most commas any choice holds,
// so the cost stays linear in the answer's length.
bool OfferedAnswer(const Group& group, std::string_view answer) {
  std::unordered_set<std::string_view> offered(group.offered.begin(), group.offered.end());
  if (offered.contains(answer)) return true;
  if (!group.holds_groups || answer.find(',') == std::string_view::npos) return false;
  size_t most_commas = 0;
  for (const std::string& choice : group.offered)
    most_commas = std::max<size_t>(most_commas, std::count(choice.begin(), choice.end(), ','));
  // reached[i]: the text before position i splits into choices.
  std::vector<bool> reached(answer.size() + 1, false);
  reached[0] = true;
  for (size_t from = 0; from < answer.size(); ++from) {
    if (!reached[from]) continue;
    size_t search = from;
    for (size_t commas = 0; commas <= most_commas; ++commas) {
      const size_t comma = answer.find(',', search);
      const size_t piece_end = comma == std::string_view::npos ? answer.size() : comma;
      if (offered.contains(answer.substr(from, piece_end - from))) {
        if (piece_end == answer.size()) return true;
        reached[piece_end + 1] = true;
      }
      if (comma == std::string_view::npos) break;
      search = comma + 1;
    }
  }
  return false;
}

// The non-empty answers posted under `name`.
std::vector<std::string> AnswersTo(const VarTable* vars, std::string_view name) {
  std::vector<std::string> answers;
  VarTableForEach(vars, [&](const VarEntry& e) {
    if (e.value && !e.value->empty() && StrEqualNoCase(*e.name, name)) answers.push_back(*e.value);
  });
  return answers;
}

// The problem with `group`'s answers, if any.
std::optional<AnswerProblem> CheckGroup(const Group& group, const VarTable* vars,
                                        const VarTable* settings, CheckScope scope) {
  const std::vector<std::string> answers = AnswersTo(vars, group.name);
  if (scope == CheckScope::kAll) {
    for (const FieldCheck* f : group.fields) {
      if (!FieldHas(*f->field, "required") || !RequiredApplies(f->kind)) continue;
      const bool answered =
          f->field->type == "checkbox"
              ? ChoiceChosen(answers, f->field->value, &group.offered)
              : !answers.empty();
      if (!answered) return AnswerProblem{f->field->name, Message(settings, kRequiredRow, *f->field, "")};
    }
  }
  for (const std::string& answer : answers) {
    bool accepted = false;
    for (const FieldCheck* f : group.fields) {
      if (f->kind == Kind::kBox || f->kind == Kind::kSelect) {
        accepted = (f->kind == Kind::kSelect && group.has_select_without_options) ||
                   OfferedAnswer(group, answer);
      } else {
        accepted = TextLike(f->kind) || IsNumberField(*f) || f->kind == Kind::kDate ||
                           f->kind == Kind::kTextarea
                       ? !FirstRefusal(*f, answer)
                       : true;  // hidden fields, buttons, times: any value
      }
      if (accepted) break;
    }
    if (accepted) continue;
    // The message speaks of the group's first field.
    const FieldCheck& first = *group.fields.front();
    if (first.kind == Kind::kBox || first.kind == Kind::kSelect)
      return AnswerProblem{first.field->name, Message(settings, kChoiceRow, *first.field, "")};
    auto refusal = FirstRefusal(first, answer);
    if (!refusal) continue;  // a later field of another kind refused it; the first takes any
    return AnswerProblem{first.field->name,
                         Message(settings, *refusal->first, *first.field, refusal->second)};
  }
  return std::nullopt;
}

// The fields of the page text `text` as the template processor writes it
// for the answers `vars`: a conditional section not shown, an option whose
// query is false leave their fields out; choices a report writes, and
// fields and questions of included files, are there as the browser gets
// them. Text fields keep the page's own VALUE (a number's step base). The
// page runs on a copy of the answers, so its script blocks change nothing.
std::vector<PageField> FieldsShown(std::string_view base_path, std::string_view text,
                                   const VarTable* vars) {
  VarTablePtr copy = VarTableFlatCopy(vars, kRenderSpare);
  StrBuf written;
  OutputStream out{.buffer = &written};
  PageReader page(text);
  TemplateProcess({.base_path = base_path,
                   .out = &out,
                   .page = &page,
                   .vars = copy.get(),
                   .formfill = true,
                   .page_values = true});
  return PageFields(written.ToString());
}

std::string UpperName(std::string_view name) { return StrUpper(name); }

// The page files of the form folder, by name: files whose names can name a
// page, other than the plain layout's header; at most kMaxCheckedFormPages.
std::vector<std::string> FormFolderPages(std::string_view base_path, std::string_view database) {
  std::vector<std::string> pages;
  std::error_code error;
  const std::filesystem::path folder(PathBuild(base_path, database));
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 5 || name == kHeaderFile || NameHasForbiddenCharacter(name)) continue;
    if (!it->is_regular_file(error)) continue;
    pages.push_back(name);
    if (pages.size() >= kMaxCheckedFormPages) break;
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

std::string PageKey(std::string page) {
  if (!page.empty() && page[0] == 'P') page[0] = 'p';
  return page;
}

}  // namespace

std::vector<AnswerProblem> CheckAnswers(const std::vector<PageField>& fields, const VarTable* vars,
                                        const VarTable* settings, CheckScope scope) {
  std::vector<FieldCheck> checks;
  checks.reserve(fields.size());
  for (const PageField& field : fields) {
    FieldCheck f{&field, KindOf(field), std::nullopt};
    if (field.name.empty() || Barred(f)) continue;
    if (TextLike(f.kind) && FieldHas(field, "pattern")) {
      f.pattern = InputPattern::Compile(FieldAttribute(field, "pattern"));
      if (!f.pattern)
        StatusLogAppend("\nThe pattern of the field " + field.name +
                        " is not understood; answers to it are not held to it");
    }
    checks.push_back(std::move(f));
  }
  // Groups in the order of their first field; options join their select's.
  std::vector<Group> groups;
  for (const FieldCheck& f : checks) {
    auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
      return StrEqualNoCase(g.name, f.field->name);
    });
    if (group == groups.end()) {
      groups.push_back({.name = f.field->name});
      group = groups.end() - 1;
    }
    if (f.kind == Kind::kOption) {
      group->offered.push_back(f.field->value);
      continue;
    }
    if (f.kind == Kind::kBox) group->offered.push_back(f.field->value);
    if (f.field->type == "checkbox" || (f.kind == Kind::kSelect && FieldHas(*f.field, "multiple")))
      group->holds_groups = true;
    group->fields.push_back(&f);
  }
  std::vector<AnswerProblem> problems;
  for (Group& group : groups) {
    if (group.fields.empty()) continue;  // options without their select
    bool select = false;
    for (const FieldCheck* f : group.fields) select = select || f->kind == Kind::kSelect;
    // A list whose options a script of the page fills offers nothing the
    // page text shows; its answers are not held to choices.
    group.has_select_without_options = select && std::none_of(checks.begin(), checks.end(),
        [&](const FieldCheck& f) {
          return f.kind == Kind::kOption && StrEqualNoCase(f.field->name, group.name);
        });
    if (std::optional<AnswerProblem> problem = CheckGroup(group, vars, settings, scope))
      problems.push_back(std::move(*problem));
  }
  return problems;
}

std::vector<PageField> ShownPageFields(std::string_view base_path, std::string_view database,
                                       const ValidationFile& validation, const VarTable* vars,
                                       std::string_view page_name) {
  std::optional<FormPageText> page =
      ReadFormPage(base_path, database, validation, std::string(page_name));
  if (!page) return {};
  return FieldsShown(base_path, std::string_view(page->text).substr(page->body), vars);
}

std::vector<PageField> ShownFormFields(std::string_view base_path, std::string_view form,
                                       const VarTable* vars) {
  if (form.empty()) return {};
  std::optional<std::string> text = ReadPageFile(PathBuild(base_path, SingleFormFileName(form)));
  if (!text) return {};
  return FieldsShown(base_path, *text, vars);
}

std::optional<ResponseRefusal> CheckResponse(std::string_view base_path, std::string_view database,
                                             const ValidationFile& validation,
                                             const VarTable* settings, const VarTable* vars,
                                             std::string_view start_page,
                                             std::string_view back_list,
                                             std::string_view current) {
  // The path from the start: the start page, the back list from its far
  // end, the current page; each page once.
  std::vector<std::string> path{PageKey(std::string(start_page))};
  std::vector<std::string> back = BackListPages(back_list);
  path.insert(path.end(), back.rbegin(), back.rend());
  if (!current.empty()) path.push_back(PageKey(std::string(current)));
  std::vector<std::string> unique;
  for (std::string& page : path)
    if (!page.empty() && std::find(unique.begin(), unique.end(), page) == unique.end())
      unique.push_back(std::move(page));

  std::set<std::string> covered;  // field names of the path's pages, upper case
  for (const std::string& page : unique) {
    std::vector<PageField> fields = ShownPageFields(base_path, database, validation, vars, page);
    std::vector<AnswerProblem> problems = CheckAnswers(fields, vars, settings);
    if (!problems.empty()) return ResponseRefusal{page, std::move(problems)};
    for (const PageField& f : fields) covered.insert(UpperName(f.name));
  }
  // Answers to fields of pages off the path hold to those fields' values.
  for (const std::string& page : FormFolderPages(base_path, database)) {
    if (std::find(unique.begin(), unique.end(), page) != unique.end()) continue;
    std::vector<PageField> fields = ShownPageFields(base_path, database, validation, vars, page);
    std::erase_if(fields, [&](const PageField& f) { return covered.contains(UpperName(f.name)); });
    std::vector<AnswerProblem> problems =
        CheckAnswers(fields, vars, settings, CheckScope::kValuesOnly);
    if (!problems.empty()) return ResponseRefusal{page, std::move(problems)};
  }
  return std::nullopt;
}

void SetAnswerWarnings(VarTable* vars, const std::vector<AnswerProblem>& problems) {
  std::string all;
  for (const AnswerProblem& problem : problems) {
    if (!all.empty()) all += ' ';
    all += problem.message;
    VarTableSetGrow(vars, std::string(kFieldWarningPrefix) + problem.name, problem.message);
  }
  VarTableSetGrow(vars, "_PAGEWARN", all);
}

std::vector<std::string> BackListPages(std::string_view back_list) {
  std::vector<std::string> pages;
  size_t at = 0;
  while (at < back_list.size()) {
    const size_t end = back_list.find_first_of(", ", at);
    const std::string_view item =
        back_list.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    if (!item.empty()) pages.push_back(PageKey(std::string(item)));
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return pages;
}

}  // namespace tallypad
