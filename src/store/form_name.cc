#include "store/form_name.h"

namespace tallypad {

namespace {

// The forbidden characters: those of a file name first, then the quotes
// that only an attribute forbids.
constexpr std::string_view kForbiddenCharacters("/.\\*?$|\0'\"", 10);
constexpr size_t kQuoteCount = 2;

}  // namespace

bool NameHasForbiddenCharacter(std::string_view name, NameCheck check) {
  std::string_view forbidden = kForbiddenCharacters;
  if (check == NameCheck::kFileName) forbidden.remove_suffix(kQuoteCount);
  return name.find_first_of(forbidden) != std::string_view::npos;
}

}  // namespace tallypad
