#include "base/str.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

namespace tallypad {
namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(StrCompare, NoCaseOrdersLikeTheServer) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"Database", "DATABASE", 0}, {"ab", "abc", -1}, {"abc", "ab", 1},
      {"", "", 0},                 {"", "a", -1},     {"b", "A", 1},
      {"a_b", "A_B", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Sign(StrCompareNoCase(c.a, c.b)), c.sign) << c.a << " vs " << c.b;
}

TEST(StrCompare, LimitedComparison) {
  struct Case {
    const char* a;
    const char* b;
    size_t limit;
    int sign;
  } cases[] = {
      {"location: /x", "Location:", 9, 0},
      {"Loc", "Location:", 9, -1},
      {"abc", "abd", 2, 0},
      {"abc", "abd", 3, -1},
      {"x", "y", 0, 0},
      {"ab", "ab", 5, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Sign(StrCompareNoCaseN(c.a, c.b, c.limit)), c.sign) << c.a << " vs " << c.b;
}

TEST(StrLooksNumeric, BeginningDecides) {
  struct Case {
    const char* text;
    bool numeric;
  } cases[] = {
      {"-.5", true}, {"+3", true},   {".7", true},  {"12abc", true}, {"0", true},
      {"-", false},  {".", false},   {"-.", false}, {"abc", false},  {"", false},
      {"+x", false}, {"..5", false}, {" 5", false},
  };
  for (const Case& c : cases) EXPECT_EQ(StrLooksNumeric(c.text), c.numeric) << c.text;
}

TEST(StrToIntClamped, ReadsLikeAtoiWithinTheRangeOfAnInt) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {
      {"42", 42},
      {"  -7 apples", -7},
      {"+3", 3},
      {"", 0},
      {"abc", 0},
      {"- 5", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-99999999999999999999999", INT_MIN},
      {"99999999999999999999999", INT_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(StrToIntClamped(c.text), c.value) << c.text;
}

TEST(PathBuild, ResolvesAgainstTheBaseFolder) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  struct Case {
    const char* base;
    const char* name;
    const char* ext;
    std::string expected;
  } cases[] = {
      {"/web/forms/a.htm", "sub/b", ".ini", "/web/forms/sub/b.ini"},
      {"/web/forms/", "survey", ".ini", "/web/forms/survey.ini"},
      {"/web/forms/a.htm", "sub\\b.htm", "", "/web/forms/sub/b.htm"},
      {"/web/forms/a.htm", "/x/y.htm", "", "/x/y.htm"},
      {"/web/forms/a.htm", "/x\\y.htm", "", "/x\\y.htm"},
      {"a.htm", "b.htm", "", std::string(cwd) + "/b.htm"},
      {"", "b.htm", "", std::string(cwd) + "/b.htm"},
      {"/web\\forms/a", "x", "", "/web\\forms/x"},
  };
  for (const Case& c : cases) EXPECT_EQ(PathBuild(c.base, c.name, c.ext), c.expected) << c.name;
}

TEST(PathBuild, RefusesOverlongNames) {
  std::string longname(kMaxPathLength + 1, 'a');
  EXPECT_EQ(PathBuild("/web/", longname), "");
  EXPECT_EQ(PathBuild("/web/", "/" + longname), "");
  EXPECT_FALSE(PathOpenRelative("/web/", longname));
}

TEST(PathOpenRelative, EmptyNameOpensNothing) {
  EXPECT_FALSE(PathOpenRelative("/tmp/", ""));
  EXPECT_FALSE(PathOpenRelative("/tmp/", "surely-not-a-file-here"));
}

TEST(StrDup, AbsentGivesEmpty) {
  EXPECT_EQ(StrDup(nullptr), "");
  EXPECT_EQ(StrDupN(nullptr, 4), "");
  EXPECT_EQ(StrDupN("abcdef", 3), "abc");
  EXPECT_EQ(StrConcat3("a", "", "c"), "ac");
}

}  // namespace
}  // namespace tallypad
