// Word lists: plain strings whose items are separated by any run of ',' and
// ' ' ("HOST,DATE,TIME", a group of check-box values, a queue of page
// names). Items are never empty; leading and trailing separators are allowed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"

namespace tallypad {

// Returns the items of `list` in order.
std::vector<std::string> ListItems(std::string_view list);
// True when an item of `list` equals `word` exactly (case included).
bool ListContains(std::string_view list, std::string_view word);
// True when an item of `list` equals `word` without regard to case.
bool ListContainsNoCase(std::string_view list, std::string_view word);
// Removes the first item equal to `word` together with the separators after it.
void ListRemove(std::string& list, std::string_view word);
// Removes every item equal to `word`, each with the separators after it, in
// one pass over the list.
void ListRemoveAll(std::string& list, std::string_view word);
// Takes the first item off `list` up to the first `separator` (',' or ' '
// when 0) and returns it; nullopt, with `list` unchanged, when there is no
// separator.
std::optional<std::string> ListPopFirst(std::string& list, char separator);
// Takes the first item off the list held by variable `name` and returns it;
// the variable keeps the rest, or becomes empty after its last item. A
// missing or empty variable yields "" and is left unchanged.
std::string ListShiftVar(VarTable* t, std::string_view name, char separator);

// True when the choice `choice` (the value of a radio button, box or option)
// is among `answers`, the non-empty answers given under its name. A choice
// is chosen when one answer equals it exactly; only when none does, and there
// is a single answer, that answer is read as a stored group ("2,3", as a data
// file keeps a group of boxes) holding the choice between commas. Blanks
// never separate choices: "by train" and "tea with milk" are single choices.
// `offered` (when known) lists the choices offered under the name: a group
// is then read as offered choices joined by commas, so that a choice that
// holds a comma ("Coffee, black") is never taken for two ("Coffee").
bool ChoiceChosen(const std::vector<std::string>& answers, std::string_view choice,
                  const std::vector<std::string>* offered = nullptr);

}  // namespace tallypad
