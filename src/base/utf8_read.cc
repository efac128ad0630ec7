#include "base/utf8_read.h"

namespace tallypad {

namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

char32_t Utf8Next(std::string_view text, size_t* pos) {
  const unsigned char lead = static_cast<unsigned char>(text[*pos]);
  if (lead < 0x80) {
    ++*pos;
    return lead;
  }
  size_t length;
  char32_t c;
  char32_t lowest;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, lowest = 0x10000;
  } else {
    ++*pos;
    return kReplacementCharacter;
  }
  if (text.size() - *pos < length) {
    ++*pos;
    return kReplacementCharacter;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned char b = static_cast<unsigned char>(text[*pos + i]);
    if (!IsContinuation(b)) {
      ++*pos;
      return kReplacementCharacter;
    }
    c = (c << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates and values past the last character are no
  // characters at all.
  if (c < lowest || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
    ++*pos;
    return kReplacementCharacter;
  }
  *pos += length;
  return c;
}

void Utf8Append(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

size_t Utf8BrowserLength(std::string_view text) {
  size_t length = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') {
      ++pos;  // the pair is one line break: the LF counts it
      continue;
    }
    length += Utf8Next(text, &pos) > 0xFFFF ? 2 : 1;
  }
  return length;
}

std::string Utf8Repaired(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t at = pos;
    const char32_t c = Utf8Next(text, &pos);
    if (c == kReplacementCharacter && pos - at == 1 && static_cast<unsigned char>(text[at]) >= 0x80) {
      Utf8Append(c, &out);
    } else {
      out.append(text.substr(at, pos - at));
    }
  }
  return out;
}

}  // namespace tallypad
