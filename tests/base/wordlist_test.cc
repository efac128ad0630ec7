#include "base/wordlist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/decode.h"

namespace tallypad {
namespace {

TEST(ListItems, SeparatorRunsNeverMakeEmptyItems) {
  const struct {
    const char* list;
    std::vector<std::string> items;
  } cases[] = {
      {"", {}},
      {" ,, ", {}},
      {"page1", {"page1"}},
      {"page1,page2 page3", {"page1", "page2", "page3"}},
      {", IFMUID , ,IFMUID1,", {"IFMUID", "IFMUID1"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ListItems(c.list), c.items) << c.list;
}

TEST(ListContains, ExactAndNoCase) {
  struct Case {
    const char* list;
    const char* word;
    bool exact, nocase;
  } cases[] = {
      {"HOST,DATE,TIME", "HOST", true, true},
      {"HOST,DATE,TIME", "host", false, true},
      {"HOST,DATE,TIME", "DAT", false, false},
      {" a, ,b ,", "b", true, true},
      {"2,3", "3", true, true},
      {"23", "3", false, false},
      {"", "a", false, false},
      {"a,b", "", false, false},
      {"alpha beta", "beta", true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ListContains(c.list, c.word), c.exact) << c.list << " / " << c.word;
    EXPECT_EQ(ListContainsNoCase(c.list, c.word), c.nocase) << c.list << " / " << c.word;
  }
}

TEST(ListRemove, RemovesItemAndFollowingSeparators) {
  struct Case {
    const char* list;
    const char* word;
    const char* after;
  } cases[] = {
      {"a,b,c", "b", "a,c"},
      {"a,b,c", "c", "a,b,"},
      {"a,b,c", "a", "b,c"},
      {"a,  b", "a", "b"},
      {"a,b", "B", "a,b"},
      {"ab,b", "b", "ab,"},
  };
  for (const Case& c : cases) {
    std::string list = c.list;
    ListRemove(list, c.word);
    EXPECT_EQ(list, c.after) << c.list << " - " << c.word;
  }
}

TEST(ListRemoveAll, RemovesWhatRepeatedRemovalsWould) {
  const char* lists[] = {"a,b,c",     "b,b,b",     "a,b,a,b",  ", a  b,,a ", "ab,b,ba",
                         "b",         "",          "a b a b a", "x,y"};
  for (const char* text : lists) {
    for (const char* word : {"a", "b", "x", "ab"}) {
      std::string expected = text;
      while (ListContains(expected, word)) ListRemove(expected, word);
      std::string list = text;
      ListRemoveAll(list, word);
      EXPECT_EQ(list, expected) << text << " - " << word;
    }
  }
}

TEST(ListPopFirst, Cases) {
  std::string list = "p1 p2 p3";
  EXPECT_EQ(ListPopFirst(list, ' '), "p1");
  EXPECT_EQ(list, "p2 p3");
  std::string single = "p3";
  EXPECT_EQ(ListPopFirst(single, ' '), std::nullopt);
  EXPECT_EQ(single, "p3");
  std::string mixed = "a b,c";
  EXPECT_EQ(ListPopFirst(mixed, 0), "a");
  EXPECT_EQ(mixed, "b,c");
  EXPECT_EQ(ListPopFirst(mixed, 0), "b");
}

TEST(ListShiftVar, TakesPagesOffTheQueue) {
  auto t = VarTableFromPairs({"_PAGENEXT=,p2,p3", "EMPTY="}, 0);
  EXPECT_EQ(ListShiftVar(t.get(), "_PAGENEXT", 0), "p2");
  EXPECT_EQ(VarTableGet(t.get(), "_PAGENEXT"), "p3");
  EXPECT_EQ(ListShiftVar(t.get(), "_pagenext", 0), "p3");
  EXPECT_EQ(VarTableGet(t.get(), "_PAGENEXT", "<empty>"), "<empty>");
  EXPECT_EQ(ListShiftVar(t.get(), "_PAGENEXT", 0), "");
  EXPECT_EQ(ListShiftVar(t.get(), "EMPTY", 0), "");
  EXPECT_EQ(ListShiftVar(t.get(), "MISSING", 0), "");
  auto spaced = VarTableFromPairs({"Q=a, b, ", "R=x"}, 0);
  EXPECT_EQ(ListShiftVar(spaced.get(), "Q", ','), "a");
  EXPECT_EQ(ListShiftVar(spaced.get(), "Q", ','), "b");
  EXPECT_EQ(VarTableGet(spaced.get(), "Q", "<empty>"), "<empty>");
}

TEST(ChoiceChosen, AChoiceIsAWholeAnswerOrAnItemOfAStoredGroup) {
  using Answers = std::vector<std::string>;
  const Answers coffee_offered = {"Coffee, black", "Coffee", "Tea"};
  struct Case {
    const char* name;
    Answers answers;
    std::string choice;
    const Answers* offered;
    bool chosen;
  } cases[] = {
      {"equal answer", {"by train"}, "by train", nullptr, true},
      {"blanks never split", {"tea with milk"}, "tea", nullptr, false},
      {"a blank list is one answer", {"1 3"}, "3", nullptr, false},
      {"answer with a comma", {"Coffee, black"}, "Coffee, black", nullptr, true},
      {"one of several answers", {"tea", "Coffee, black"}, "Coffee, black", nullptr, true},
      {"several answers are no group", {"Coffee, black", "Tea"}, "Coffee", nullptr, false},
      {"stored group", {"2,3"}, "3", nullptr, true},
      {"stored group, first item", {"2,3"}, "2", nullptr, true},
      {"not an item of the group", {"2,3"}, "1", nullptr, false},
      {"no substring of an item", {"13,2"}, "3", nullptr, false},
      {"stored group holding a comma choice", {"Tea,Coffee, black"}, "Coffee, black", nullptr,
       true},
      {"stored group with an offered item", {"Tea,Coffee, black"}, "Tea", &coffee_offered, true},
      {"an offered answer is one choice", {"Coffee, black"}, "Coffee", &coffee_offered, false},
      {"without knowing the choices", {"Coffee, black"}, "Coffee", nullptr, true},
      {"group read as offered choices", {"Tea,Coffee, black"}, "Coffee", &coffee_offered, false},
      {"group of short choices", {"Tea,Coffee"}, "Coffee", &coffee_offered, true},
      {"comma choice last in a group", {"Coffee,Coffee, black"}, "Coffee, black",
       &coffee_offered, true},
      {"group with a choice no longer offered", {"Tea,Juice"}, "Tea", &coffee_offered, true},
      {"no answers", {}, "x", nullptr, false},
      {"empty choice", {"a,,b"}, "", nullptr, false},
      {"case counts", {"Tea"}, "tea", nullptr, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ChoiceChosen(c.answers, c.choice, c.offered), c.chosen) << c.name;
}

}  // namespace
}  // namespace tallypad
