#include "base/wordlist.h"

#include <cctype>

namespace tallypad {

namespace {

bool IsSeparator(char c) { return c == ',' || c == ' '; }

// Position of the first item matching `word` and the item's end, or nullopt.
std::optional<std::pair<size_t, size_t>> FindItem(std::string_view list, std::string_view word,
                                                  bool ignore_case) {
  if (list.empty() || word.empty()) return std::nullopt;
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsSeparator(list[i])) ++i;
    if (i >= list.size()) break;
    size_t end = i;
    while (end < list.size() && !IsSeparator(list[end])) ++end;
    std::string_view item = list.substr(i, end - i);
    bool same = item.size() == word.size();
    for (size_t k = 0; same && k < item.size(); ++k) {
      same = ignore_case ? std::toupper(static_cast<unsigned char>(item[k])) ==
                               std::toupper(static_cast<unsigned char>(word[k]))
                         : item[k] == word[k];
    }
    if (same) return std::make_pair(i, end);
    i = end;
  }
  return std::nullopt;
}

void TrimSeparators(std::string& s, bool front, bool back) {
  if (back)
    while (!s.empty() && IsSeparator(s.back())) s.pop_back();
  if (front) {
    size_t n = 0;
    while (n < s.size() && IsSeparator(s[n])) ++n;
    s.erase(0, n);
  }
}

}  // namespace

std::vector<std::string> ListItems(std::string_view list) {
  std::vector<std::string> items;
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ',' || list[i] == ' ')) ++i;
    size_t end = i;
    while (end < list.size() && list[end] != ',' && list[end] != ' ') ++end;
    if (end > i) items.emplace_back(list.substr(i, end - i));
    i = end;
  }
  return items;
}

bool ListContains(std::string_view list, std::string_view word) {
  return FindItem(list, word, false).has_value();
}

bool ListContainsNoCase(std::string_view list, std::string_view word) {
  return FindItem(list, word, true).has_value();
}

void ListRemove(std::string& list, std::string_view word) {
  auto found = FindItem(list, word, false);
  if (!found) return;
  size_t end = found->second;
  while (end < list.size() && IsSeparator(list[end])) ++end;
  list.erase(found->first, end - found->first);
}

void ListRemoveAll(std::string& list, std::string_view word) {
  if (list.empty() || word.empty()) return;
  std::string kept;
  kept.reserve(list.size());
  size_t i = 0;
  while (i < list.size()) {
    size_t item = i;
    while (item < list.size() && IsSeparator(list[item])) ++item;
    size_t end = item;
    while (end < list.size() && !IsSeparator(list[end])) ++end;
    if (end > item && std::string_view(list).substr(item, end - item) == word) {
      // The item goes with the separators after it; those before it stay.
      kept.append(list, i, item - i);
      while (end < list.size() && IsSeparator(list[end])) ++end;
    } else {
      kept.append(list, i, end - i);
    }
    i = end;
  }
  list = std::move(kept);
}

std::optional<std::string> ListPopFirst(std::string& list, char separator) {
  size_t at = separator ? list.find(separator) : list.find_first_of(", ");
  if (at == std::string::npos) return std::nullopt;
  std::string first = list.substr(0, at);
  list.erase(0, at + 1);
  return first;
}

std::string ListShiftVar(VarTable* t, std::string_view name, char separator) {
  VarEntry* e = VarTableFind(t, name);
  if (!e || !e->value || e->value->empty()) return std::string();
  std::string& list = *e->value;
  TrimSeparators(list, true, false);
  std::optional<std::string> item = ListPopFirst(list, separator);
  TrimSeparators(list, false, true);
  if (item) return *item;
  std::string single = std::move(list);
  list.clear();
  return single;
}

namespace {

// Whether `choice` is one of the choices a stored group is made of, when
// `group` can be read as offered choices joined by commas; nullopt when it
// cannot. Offered choices may hold commas themselves ("Coffee, black"), so
// every way of cutting the group at its commas into offered choices counts.
std::optional<bool> GroupOfferedHolds(std::string_view group, std::string_view choice,
                                      const std::vector<std::string>& offered) {
  const size_t n = group.size();
  struct Piece {
    size_t from, to;  // the choice's bytes; `to` is the end or a comma
    bool is_choice;
  };
  // Forward: the positions a cut can start at, and the pieces found there.
  std::vector<bool> starts(n + 1, false);
  starts[0] = true;
  std::vector<Piece> pieces;
  for (size_t at = 0; at <= n; ++at) {
    if (!starts[at]) continue;
    for (const std::string& one : offered) {
      const size_t to = at + one.size();
      if (one.empty() || to > n || group.compare(at, one.size(), one) != 0) continue;
      if (to != n && group[to] != ',') continue;
      pieces.push_back(Piece{at, to, one == choice});
      if (to < n) starts[to + 1] = true;
    }
  }
  // Backward: the starts from which the rest of the group reads whole.
  std::vector<bool> finishes(n + 2, false);
  finishes[n + 1] = true;  // past a piece that ends the group
  for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece)
    if (finishes[piece->to + 1]) finishes[piece->from] = true;
  if (!finishes[0]) return std::nullopt;
  for (const Piece& piece : pieces)
    if (piece.is_choice && finishes[piece.to + 1]) return true;
  return false;
}

}  // namespace

bool ChoiceChosen(const std::vector<std::string>& answers, std::string_view choice,
                  const std::vector<std::string>* offered) {
  if (choice.empty()) return false;
  for (const std::string& answer : answers)
    if (answer == choice) return true;
  if (answers.size() != 1) return false;
  std::string_view group = answers.front();
  if (offered) {
    if (std::optional<bool> holds = GroupOfferedHolds(group, choice, *offered)) return *holds;
  }
  // A stored group of choices not all known: the choice stands between
  // commas (or at an end).
  for (size_t at = group.find(choice); at != std::string_view::npos;
       at = group.find(choice, at + 1)) {
    size_t end = at + choice.size();
    if ((at == 0 || group[at - 1] == ',') && (end == group.size() || group[end] == ','))
      return true;
  }
  return false;
}

}  // namespace tallypad
