#include "base/utf8_read.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallypad {
namespace {

std::vector<char32_t> Characters(std::string_view text) {
  std::vector<char32_t> out;
  for (size_t pos = 0; pos < text.size();) out.push_back(Utf8Next(text, &pos));
  return out;
}

TEST(Utf8Next, ReadsCharactersAndReplacesWhatIsNoUtf8) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<char32_t> characters;
  } cases[] = {
      {"ascii", "ab", {'a', 'b'}},
      {"two bytes", "\xc3\xab", {0xEB}},
      {"three bytes", "\xe2\x80\x9c", {0x201C}},
      {"four bytes", "\xf0\x9f\x98\x80", {0x1F600}},
      {"a lone continuation byte", "\x80z", {kReplacementCharacter, 'z'}},
      {"an overlong slash", "\xc0\xaf", {kReplacementCharacter, kReplacementCharacter}},
      {"an overlong three-byte form", "\xe0\x80\xaf",
       {kReplacementCharacter, kReplacementCharacter, kReplacementCharacter}},
      {"a surrogate", "\xed\xa0\x80",
       {kReplacementCharacter, kReplacementCharacter, kReplacementCharacter}},
      {"past U+10FFFF", "\xf4\x90\x80\x80",
       {kReplacementCharacter, kReplacementCharacter, kReplacementCharacter, kReplacementCharacter}},
      {"cut at the end", "a\xe2\x80", {'a', kReplacementCharacter, kReplacementCharacter}},
  };
  for (const Case& c : cases) EXPECT_EQ(Characters(c.text), c.characters) << c.name;
}

TEST(Utf8BrowserLength, CountsUtf16UnitsAndALineBreakOnce) {
  EXPECT_EQ(Utf8BrowserLength(""), 0u);
  EXPECT_EQ(Utf8BrowserLength("Zo\xc3\xab"), 3u);
  EXPECT_EQ(Utf8BrowserLength("\xf0\x9f\x98\x80"), 2u);  // two UTF-16 units
  EXPECT_EQ(Utf8BrowserLength("a\r\nb"), 3u);            // as a text area counts it
  EXPECT_EQ(Utf8BrowserLength("a\nb\rc"), 5u);
}

TEST(Utf8Repaired, KeepsUtf8AndReplacesTheRest) {
  EXPECT_EQ(Utf8Repaired("Zo\xc3\xab \xe2\x80\x9cq\xe2\x80\x9d"), "Zo\xc3\xab \xe2\x80\x9cq\xe2\x80\x9d");
  EXPECT_EQ(Utf8Repaired("a\xffz"), "a\xef\xbf\xbdz");
  EXPECT_EQ(Utf8Repaired("\xc3"), "\xef\xbf\xbd");
  EXPECT_EQ(Utf8Repaired(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace tallypad
