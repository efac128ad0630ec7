// Bounding UTF-8 text where it crosses into the window and the menu page.
// Text stays UTF-8 throughout the program; these functions only cut it,
// never in the middle of a character, so callers keep the limits they were
// written for (1024-character titles, 1024-byte menu-page texts).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tallypad {

// Returns `text` cut to at most `capacity` characters (UTF-8 sequences
// counted as one; bytes that are not valid UTF-8 count one each and pass
// through unchanged).
std::string Utf8CutToCharacters(std::string_view text, size_t capacity);
// Returns `text` cut to at most `capacity` bytes, ending on a character
// boundary.
std::string Utf8CutToBytes(std::string_view text, size_t capacity);

}  // namespace tallypad
