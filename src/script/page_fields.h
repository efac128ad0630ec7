// The form fields of a page with their attributes and the question each
// one asks, read from the page's HTML as a browser would find them: for
// the survey engine's answer checks, which hold answers to the constraint
// attributes of the fields (required, type, min, max, ...) and name a
// field by its question in their messages, and for the look-ahead of the
// progress line, which reads a page's own navigation field. The reader
// walks the text once; it passes over HTML comments, the template's own
// markers, and the contents of SCRIPT and STYLE elements and of text
// areas, as a browser shows no field there. The engine reads a page as the
// template processor writes it for the current answers, so that only the
// fields the page shows count.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"

namespace tallypad {

// The question of a field keeps at most this many bytes: enough for any
// label, and a message naming it stays short.
inline constexpr size_t kMaxQuestionBytes = 300;

enum class FieldTag { kInput, kSelect, kOption, kTextarea };

struct PageField {
  FieldTag tag = FieldTag::kInput;
  std::string name;        // the NAME attribute; an option: its select's name
  std::string type;        // an input's TYPE in lower case ("text" when none)
  std::string value;       // an input's VALUE ("on" for a box or radio button
                           // without one); an option's VALUE, else its text
  VarTablePtr attributes;  // the tag's attributes as written (see ReadTagAttributes)
  std::string question;    // what the page asks: label, legend, title or name
};

// The form fields of `text` in page order (options after their select).
// Costs time linear in the text's size.
std::vector<PageField> PageFields(std::string_view text);

// True when `field` has the attribute `name` (a bare attribute counts).
bool FieldHas(const PageField& field, std::string_view name);
// The value of attribute `name` of `field`, "" when it is missing or bare.
std::string FieldAttribute(const PageField& field, std::string_view name);

}  // namespace tallypad
