#include "mail/mail_encode.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace tallypad {

namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

constexpr std::string_view kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Header lines are kept to this many characters where the text allows
// (RFC 5322, 2.1.1).
constexpr size_t kHeaderLineLimit = 78;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsPrintableAscii(unsigned char b) { return b >= 0x20 && b < 0x7f; }

// The length of the UTF-8 prefix of `text` of at most `limit` bytes that
// ends on a character boundary (`limit` itself when there is none).
size_t CharacterBoundary(std::string_view text, size_t limit) {
  if (limit >= text.size()) return text.size();
  size_t end = limit;
  // Continuation bytes are 10xxxxxx; a character has at most three.
  for (int back = 0; back < 3 && end > 0; ++back) {
    if ((static_cast<unsigned char>(text[end]) & 0xc0) != 0x80) return end;
    --end;
  }
  return (static_cast<unsigned char>(text[end]) & 0xc0) != 0x80 && end > 0 ? end : limit;
}

// Decodes one encoded word "=?charset?B?text?=" or "...?Q?...", starting at
// `at` in `value`; returns its bytes and sets `*end` behind it.
std::optional<std::string> DecodeWord(std::string_view value, size_t at, size_t* end) {
  if (value.compare(at, 2, "=?") != 0) return std::nullopt;
  size_t q1 = value.find('?', at + 2);
  if (q1 == std::string_view::npos || q1 + 2 >= value.size() || value[q1 + 2] != '?')
    return std::nullopt;
  const char kind = value[q1 + 1];
  size_t close = value.find("?=", q1 + 3);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view text = value.substr(q1 + 3, close - q1 - 3);
  if (text.find(' ') != std::string_view::npos) return std::nullopt;
  std::optional<std::string> bytes;
  if (kind == 'B' || kind == 'b') {
    bytes = Base64Decode(text);
  } else if (kind == 'Q' || kind == 'q') {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '_') {
        out.push_back(' ');
      } else if (text[i] == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                 HexValue(text[i + 2]) >= 0) {
        out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
        i += 2;
      } else {
        out.push_back(text[i]);
      }
    }
    bytes = std::move(out);
  }
  if (bytes) *end = close + 2;
  return bytes;
}

// Reads an unsigned decimal number of at most `max_digits` digits at `*at`.
std::optional<int> ReadNumber(std::string_view text, size_t* at, size_t max_digits) {
  size_t start = *at;
  int value = 0;
  while (*at < text.size() && *at - start < max_digits && text[*at] >= '0' && text[*at] <= '9')
    value = value * 10 + (text[(*at)++] - '0');
  if (*at == start) return std::nullopt;
  return value;
}

void SkipBlanks(std::string_view text, size_t* at) {
  while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kBase64Alphabet[n >> 18]);
    out.push_back(kBase64Alphabet[(n >> 12) & 63]);
    out.push_back(kBase64Alphabet[(n >> 6) & 63]);
    out.push_back(kBase64Alphabet[n & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out.push_back(kBase64Alphabet[n >> 18]);
    out.push_back(kBase64Alphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  size_t padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    int v = Base64Value(c);
    if (v < 0 || padding > 0) return std::nullopt;
    bits = bits << 6 | static_cast<uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>((bits >> 8) & 0xff));
      out.push_back(static_cast<char>(bits & 0xff));
      bits = 0;
      count = 0;
    }
  }
  if (count == 1 || padding > 2) return std::nullopt;
  if (count == 2) out.push_back(static_cast<char>(bits >> 4));
  if (count == 3) {
    out.push_back(static_cast<char>(bits >> 10));
    out.push_back(static_cast<char>((bits >> 2) & 0xff));
  }
  return out;
}

std::string QuotedPrintableEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 4);
  size_t column = 0;  // characters on the current output line
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
      column = 0;
      continue;
    }
    const bool line_ends = i + 1 == text.size() || text[i + 1] == '\r' || text[i + 1] == '\n';
    // A blank at the end of a line would be lost by transports that trim it.
    bool escape = !IsPrintableAscii(b) || c == '=' || ((c == ' ' || c == '\t') && line_ends);
    // A soft line break "=" must still fit behind the token.
    if (column + (escape ? 3 : 1) > kQuotedPrintableLineLimit - 1) {
      out += "=\r\n";
      column = 0;
    }
    // A "." opening a line is escaped: it would otherwise need doubling on
    // the wire and, alone on its line, would end the mail.
    if (c == '.' && column == 0) escape = true;
    if (escape) {
      out.push_back('=');
      out.push_back(kHexDigits[b >> 4]);
      out.push_back(kHexDigits[b & 15]);
      column += 3;
    } else {
      out.push_back(c);
      column += 1;
    }
  }
  return out;
}

std::string QuotedPrintableDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\n') {
      i += 1;
    } else if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
      i += 2;
    } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back('=');
    }
  }
  return out;
}

std::string HeaderTextEncode(std::string_view text, size_t name_length) {
  bool plain = name_length + text.size() <= kHeaderLineLimit &&
               text.find("=?") == std::string_view::npos;
  for (char c : text) plain = plain && IsPrintableAscii(static_cast<unsigned char>(c));
  if (plain) return std::string(text);
  std::string out;
  while (!text.empty()) {
    size_t take = CharacterBoundary(text, kEncodedWordBytes);
    if (!out.empty()) out += "\r\n ";
    out += "=?utf-8?B?" + Base64Encode(text.substr(0, take)) + "?=";
    text.remove_prefix(take);
  }
  return out;
}

std::string HeaderTextDecode(std::string_view value) {
  std::string out;
  bool after_word = false;  // the last thing written was an encoded word
  size_t blanks_from = std::string::npos;
  for (size_t i = 0; i < value.size();) {
    const char c = value[i];
    if (c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    size_t end = 0;
    if (c == '=') {
      if (std::optional<std::string> word = DecodeWord(value, i, &end)) {
        // Blanks between two encoded words belong to neither.
        if (after_word && blanks_from != std::string::npos) out.resize(blanks_from);
        out += *word;
        after_word = true;
        blanks_from = std::string::npos;
        i = end;
        continue;
      }
    }
    if (c == ' ' || c == '\t') {
      if (blanks_from == std::string::npos) blanks_from = out.size();
    } else {
      after_word = false;
      blanks_from = std::string::npos;
    }
    out.push_back(c);
    ++i;
  }
  return out;
}

std::string MailDate(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  long offset = local.tm_gmtoff / 60;  // minutes east of UTC
  const char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char text[64];
  std::snprintf(text, sizeof text, "%.3s, %d %.3s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDayNames[local.tm_wday % 7].data(), local.tm_mday,
                kMonthNames[local.tm_mon % 12].data(), local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
  return text;
}

std::optional<std::time_t> MailDateParse(std::string_view text) {
  size_t at = 0;
  SkipBlanks(text, &at);
  // An optional day name and comma.
  size_t comma = text.find(',');
  if (comma != std::string_view::npos && comma < 12) {
    at = comma + 1;
    SkipBlanks(text, &at);
  }
  std::tm t{};
  std::optional<int> day = ReadNumber(text, &at, 2);
  SkipBlanks(text, &at);
  if (!day || at + 3 > text.size()) return std::nullopt;
  int month = -1;
  for (int m = 0; m < 12; ++m)
    if (text.substr(at, 3) == kMonthNames[m]) month = m;
  if (month < 0) return std::nullopt;
  at += 3;
  SkipBlanks(text, &at);
  std::optional<int> year = ReadNumber(text, &at, 4);
  SkipBlanks(text, &at);
  std::optional<int> hour = ReadNumber(text, &at, 2);
  if (!year || !hour || at >= text.size() || text[at] != ':') return std::nullopt;
  ++at;
  std::optional<int> minute = ReadNumber(text, &at, 2);
  std::optional<int> second = 0;
  if (at < text.size() && text[at] == ':') {
    ++at;
    second = ReadNumber(text, &at, 2);
  }
  SkipBlanks(text, &at);
  if (!minute || !second || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60)
    return std::nullopt;
  long offset_minutes = 0;
  std::string_view zone = text.substr(at);
  if (!zone.empty() && (zone[0] == '+' || zone[0] == '-')) {
    size_t z = 1;
    std::optional<int> hhmm = ReadNumber(zone, &z, 4);
    if (!hhmm || z != 5) return std::nullopt;
    offset_minutes = (*hhmm / 100) * 60 + *hhmm % 100;
    if (zone[0] == '-') offset_minutes = -offset_minutes;
  } else if (!(zone.substr(0, 3) == "GMT" || zone.substr(0, 2) == "UT")) {
    return std::nullopt;
  }
  t.tm_year = *year - 1900;
  t.tm_mon = month;
  t.tm_mday = *day;
  t.tm_hour = *hour;
  t.tm_min = *minute;
  t.tm_sec = *second;
  return timegm(&t) - offset_minutes * 60;
}

}  // namespace tallypad
