// Reading UTF-8 text character by character. Answers, pages and data files
// are UTF-8 bytes that nobody checked: the pattern matcher and the answer
// checks read them as characters (code points), the exports write them as
// text that is always valid UTF-8. A byte that does not begin or continue a
// well-formed sequence (an overlong form, a surrogate, a value above
// U+10FFFF, a cut sequence) reads as one U+FFFD REPLACEMENT CHARACTER.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tallypad {

// The character that stands for a byte that is not well-formed UTF-8.
inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Reads the character at `*pos` of `text` and moves `*pos` past it (past
// one byte for a byte that is not well-formed). REQUIRES: *pos < text.size().
char32_t Utf8Next(std::string_view text, size_t* pos);

// Appends the UTF-8 form of `c` (at most U+10FFFF) to `out`.
void Utf8Append(char32_t c, std::string* out);

// The length of `text` as a browser counts it for minlength and maxlength:
// UTF-16 code units (two for a character above U+FFFF), with each CR LF
// pair counted once, as a text area's value holds a line break.
size_t Utf8BrowserLength(std::string_view text);

// Returns `text` with every byte that is not well-formed UTF-8 replaced by
// U+FFFD; well-formed text comes back unchanged.
std::string Utf8Repaired(std::string_view text);

}  // namespace tallypad
