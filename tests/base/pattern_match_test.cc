#include "base/pattern_match.h"

#include <gtest/gtest.h>

#include <string>

namespace tallypad {
namespace {

TEST(InputPattern, MatchesTheWholeAnswerAsABrowserDoes) {
  struct Case {
    const char* pattern;
    const char* text;
    bool matches;
  } cases[] = {
      // The whole answer, never a part of it.
      {"[0-9]{5}", "12345", true},
      {"[0-9]{5}", "123456", false},
      {"[0-9]{5}", "a12345", false},
      {"abc", "abc", true},
      {"abc", "abcd", false},
      {"", "", true},
      {"", "x", false},
      // Alternatives bind looser than the whole-match anchors.
      {"cat|dog", "dog", true},
      {"cat|dog", "catdog", false},
      {"a|", "", true},
      // Quantifiers, greedy and lazy, counted and open.
      {"a*", "", true},
      {"a+", "", false},
      {"ab?c", "ac", true},
      {"a{2,3}", "aaa", true},
      {"a{2,3}", "aaaa", false},
      {"a{2,}", "aaaaaa", true},
      {"a{2,}?", "aa", true},
      {"(ab)+", "ababab", true},
      {"(?:ab)+", "aba", false},
      {"(?<pair>ab){2}", "abab", true},
      // Classes, ranges, negation and escapes.
      {"[A-Z][a-z]+", "Anna", true},
      {"[^0-9]+", "abc", true},
      {"[^0-9]+", "ab1", false},
      {"[a-z-]+", "a-b", true},
      {"[\\d.]+", "3.14", true},
      {"\\d+", "\xd9\xa3", false},  // an Arabic-Indic digit is no \d
      {"\\w+@\\w+\\.\\w+", "ann@example.org", true},
      {"\\W", "-", true},
      {"\\s", "\xc2\xa0", true},  // a no-break space is white space
      {"\\S+", "a b", false},
      {"\\x41\\u0042\\u{43}", "ABC", true},
      {"\\uD83D\\uDE00", "\xf0\x9f\x98\x80", true},  // a surrogate pair is one character
      {"a\\.b", "a.b", true},
      {"a\\.b", "axb", false},
      {"\\(\\)", "()", true},
      {"\\t", "\t", true},
      // Characters, not bytes: "." takes one whole character.
      {".", "\xc3\xab", true},
      {"Zo.", "Zo\xc3\xab", true},
      {"..", "\xc3\xab", false},
      {".", "\n", false},
      // Anchors and word boundaries.
      {"^abc$", "abc", true},
      {"a\\bb", "ab", false},
      {"a\\b b", "a b", true},
      {"\\Ba", "a", false},
  };
  for (const Case& c : cases) {
    std::optional<InputPattern> pattern = InputPattern::Compile(c.pattern);
    ASSERT_TRUE(pattern) << c.pattern;
    EXPECT_EQ(pattern->MatchesWhole(c.text), c.matches) << c.pattern << " on " << c.text;
  }
}

TEST(InputPattern, RefusesWhatItDoesNotUnderstand) {
  const char* const patterns[] = {
      "(a)\\1",        // a back-reference
      "(?=a)a",        // a look-ahead
      "(?<=a)b",       // a look-behind
      "\\p{L}+",       // a property escape
      "[[a]]",         // a nested class
      "a{3,2}",        // a range the wrong way round
      "(ab",           // a group left open
      "ab)",           // a group never opened
      "[ab",           // a class left open
      "*a",            // a quantifier with nothing before it
      "a{",            // a brace that opens no count
      "^*",            // an anchor repeated
      "[z-a]",         // a class range the wrong way round
      "\\q",           // an escaped letter that means nothing
      "(a{1000}){1000}",  // more instructions than a pattern may have
  };
  for (const char* p : patterns) EXPECT_FALSE(InputPattern::Compile(p)) << p;
}

// A pattern that sends a backtracking matcher into exponential time on a
// long answer that almost matches; here each character is read once.
TEST(InputPattern, TakesLinearTimeOnAnswersThatAlmostMatch) {
  std::optional<InputPattern> nested = InputPattern::Compile("(a+)+b");
  std::optional<InputPattern> alternatives = InputPattern::Compile("(a|a|aa)*c");
  ASSERT_TRUE(nested && alternatives);
  const std::string answer(200000, 'a');
  EXPECT_FALSE(nested->MatchesWhole(answer));
  EXPECT_FALSE(alternatives->MatchesWhole(answer));
  EXPECT_TRUE(nested->MatchesWhole(answer + "b"));
}

TEST(InputPattern, ReadsBytesThatAreNoUtf8AsReplacementCharacters) {
  std::optional<InputPattern> one = InputPattern::Compile(".");
  ASSERT_TRUE(one);
  EXPECT_TRUE(one->MatchesWhole("\xff"));
  EXPECT_FALSE(one->MatchesWhole("\xff\xfe"));
  EXPECT_TRUE(one->MatchesWhole("\xc3"));  // a cut sequence
}

}  // namespace
}  // namespace tallypad
