#include "store/statistics.h"

#include <charconv>
#include <climits>
#include <cstdlib>

#include "base/str.h"
#include "base/text.h"
#include "base/wordlist.h"
#include "platform/named_mutex.h"

namespace tallypad {

namespace {

constexpr std::string_view kCountSection = "COUNT";
constexpr std::string_view kSumSection = "SUM";

bool HasText(const VarEntry& e) { return e.value && !e.value->empty(); }

// True when `name` is `part` (compared with case) alone or followed by "_".
bool NameOfPart(std::string_view name, std::string_view part) {
  return name.size() >= part.size() && name.compare(0, part.size(), part) == 0 &&
         (name.size() == part.size() || name[part.size()] == '_');
}

// Rule for a key without an underscore and no answer of that name with a
// value: some answer named key or key_... is not empty.
bool AnyPartAnswered(std::string_view key, const VarTable* vars) {
  bool answered = false;
  VarTableForEach(vars, [&](const VarEntry& e) {
    answered = NameOfPart(*e.name, key) && HasText(e);
    return !answered;
  });
  return answered;
}

// Rule for question_choice: from the question's variable onwards, while the
// names stay the question's, the answers hold the choice. A choice is held
// as a page shows it ticked: one answer equals it, or a single stored group
// ("1,3") holds it between commas; blanks never split a choice.
bool ChoiceAnswered(std::string_view question, std::string_view choice, const VarTable* vars,
                    const std::vector<std::string>* keys) {
  if (question.empty()) return false;
  const VarEntry* start = VarTableFind(vars, question);
  if (!start) return false;
  bool walking = false;
  std::vector<std::string> answers;
  VarTableForEach(vars, [&](const VarEntry& e) {
    if (&e == start) walking = true;
    if (!walking) return true;
    if (!NameOfPart(*e.name, question)) return false;
    if (HasText(e)) answers.push_back(*e.value);
    return true;
  });
  if (!keys) return ChoiceChosen(answers, choice);
  // The choices of the question that the statistics count.
  std::vector<std::string> offered;
  for (const std::string& key : *keys)
    if (key.size() > question.size() && key.compare(0, question.size(), question) == 0 &&
        key[question.size()] == '_')
      offered.push_back(key.substr(question.size() + 1));
  return ChoiceChosen(answers, choice, &offered);
}

struct StatLine {
  std::string key;
  std::string value;
};

// Splits "key=value" lines; a key met twice (without case) counts once,
// with its first value, as a profile lookup would see it.
std::vector<StatLine> ParseLines(const std::vector<std::string>& lines) {
  std::vector<StatLine> out;
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string_view key(line.data(), eq);
    std::string_view value(line.data() + eq + 1, line.size() - eq - 1);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (key.empty()) continue;
    bool seen = false;
    for (const StatLine& s : out) seen = seen || StrEqualNoCase(s.key, key);
    if (!seen) out.push_back(StatLine{std::string(key), std::string(value)});
  }
  return out;
}

// The stored count (leading digits with an optional sign, 0 otherwise)
// plus `change`, held at the ends of the range rather than overflowing.
long long CountPlus(const std::string& text, int change) {
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if ((change > 0 && v > LLONG_MAX - change) || (change < 0 && v < LLONG_MIN - change)) return v;
  return v + change;
}

bool InSumRange(double v) { return v > -kStatSumLimit && v < kStatSumLimit; }

}  // namespace

bool ResponseCountsFor(std::string_view key, const VarTable* vars,
                       const std::vector<std::string>* keys) {
  if (key.empty() || !vars) return false;
  const VarEntry* exact = VarTableFind(vars, key);
  if (exact && exact->value) return !exact->value->empty();
  size_t underscore = key.find('_');
  if (underscore == std::string_view::npos) return !exact && AnyPartAnswered(key, vars);
  return ChoiceAnswered(key.substr(0, underscore), key.substr(underscore + 1), vars, keys);
}

double StatNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (!StrLooksNumeric(text)) return 0;
  bool negative = text.front() == '-';
  if (text.front() == '-' || text.front() == '+') text.remove_prefix(1);
  // Decimal notation only: no hexadecimal, infinity or not-a-number.
  double value = 0;
  auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) {
    value = std::strtod(std::string(text.data(), end).c_str(), nullptr);
  } else if (error != std::errc()) {
    return 0;
  }
  return negative ? -value : value;
}

std::vector<ProfileUpdate> StatisticsChanges(const std::vector<std::string>& count_lines,
                                             const std::vector<std::string>& sum_lines,
                                             const VarTable* vars,
                                             const std::vector<const VarTable*>& previous) {
  std::vector<ProfileUpdate> updates;
  const std::vector<StatLine> counts = ParseLines(count_lines);
  std::vector<std::string> keys;
  for (const StatLine& line : counts) keys.push_back(line.key);
  for (const StatLine& line : counts) {
    int change = ResponseCountsFor(line.key, vars, &keys) ? 1 : 0;
    for (const VarTable* old : previous)
      if (ResponseCountsFor(line.key, old, &keys)) --change;
    if (change == 0) continue;
    updates.push_back(ProfileUpdate{std::string(kCountSection), line.key,
                                    std::to_string(CountPlus(line.value, change))});
  }
  for (const StatLine& line : ParseLines(sum_lines)) {
    double sum = StatNumber(line.value);
    double value = StatNumber(VarTableGet(vars, line.key, ""));
    if (InSumRange(sum) && InSumRange(value)) {
      for (const VarTable* old : previous) value -= StatNumber(VarTableGet(old, line.key, ""));
      if (InSumRange(value)) sum += value;
    }
    if (value == 0) continue;
    updates.push_back(ProfileUpdate{std::string(kSumSection), line.key, StrPrintf("%f", sum)});
  }
  return updates;
}

bool StatisticsUpdate(const std::string& path, const VarTable* vars,
                      const std::vector<const VarTable*>& previous) {
  if (path.empty()) return true;
  // Held from reading the old values to writing the new ones, so that other
  // programs saving to the same file never lose an update.
  NamedMutex lock(NamedMutexNameForFile(path), kNamedMutexWaitMs);
  std::vector<ProfileUpdate> updates =
      StatisticsChanges(ProfileGetSection(path, kCountSection),
                        ProfileGetSection(path, kSumSection), vars, previous);
  if (updates.empty()) return true;
  return ProfileWrite(path, updates);
}

}  // namespace tallypad
