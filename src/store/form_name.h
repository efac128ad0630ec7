// The names of forms and pages: the one check of the characters a name a
// request gives may not hold. A form's name becomes the name of its
// configuration, data and validation files in the server root, and a page's
// name the name of its file in the form's folder; both are also written into
// quoted attributes of the pages. The survey engine refuses a form or page
// name that fails the check; the rights check refuses to read a form whose
// name would lead out of the server root.
#pragma once

#include <string_view>

namespace tallypad {

// What a name is checked for.
enum class NameCheck {
  // Only the characters that would lead a file name out of its folder or
  // into a pattern ('/', '.', '\\', '*', '?', '$', '|') or cut it (NUL).
  kFileName,
  // Those, and the quotes (' and "), which would end the quoted attribute
  // the name is written into.
  kFileAndAttribute,
};

// True when `name` holds a character that `check` forbids.
bool NameHasForbiddenCharacter(std::string_view name,
                               NameCheck check = NameCheck::kFileAndAttribute);

}  // namespace tallypad
