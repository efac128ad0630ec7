#include "base/utf8_cut.h"

namespace tallypad {

namespace {

// Length of the UTF-8 sequence starting at `i`, or 1 for a byte that does
// not start a complete, well-formed sequence.
size_t SequenceLength(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
  if (n == 1 || i + n > s.size()) return 1;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace

std::string Utf8CutToCharacters(std::string_view text, size_t capacity) {
  size_t end = 0;
  for (size_t chars = 0; end < text.size() && chars < capacity; ++chars)
    end += SequenceLength(text, end);
  return std::string(text.substr(0, end));
}

std::string Utf8CutToBytes(std::string_view text, size_t capacity) {
  size_t end = 0;
  while (end < text.size()) {
    size_t n = SequenceLength(text, end);
    if (end + n > capacity) break;
    end += n;
  }
  return std::string(text.substr(0, end));
}

}  // namespace tallypad
