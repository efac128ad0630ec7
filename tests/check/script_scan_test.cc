// The names texts of the template language read and set, as the check finds
// them without running anything: quoted texts, numbers, word operators and
// function names are no names; "/Q3/" and "has" test a group; a quoted page
// after _PAGENEXT or showpage is a page the script sends to.
#include "check/script_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallypad {
namespace {

std::string Names(const std::vector<NameUse>& uses) {
  std::string text;
  for (const NameUse& use : uses) {
    if (!text.empty()) text += ' ';
    if (use.record) text += '$';
    text += use.name;
    if (use.pattern) text += "/";
    if (use.compared) text += "=";
  }
  return text;
}

TEST(ScanExpressionNames, ReadsNamesButNoTextsNumbersOperatorsOrFunctions) {
  struct Case {
    const char* text;
    const char* reads;  // names in order; "/" marks a group, "=" a compared right side
  } cases[] = {
      {"Q1 = 'yes'", "Q1"},
      {"Q1=yes", "Q1 yes="},
      {"A*2+1", "A"},
      {"toFixed(A/B, 2)", "A B"},
      {"A gt 3 & B lte C", "A B C="},
      {"SERVICES has 'events'", "SERVICES/"},
      {"/Q3/ =~ 'ye'", "Q3/"},
      {"!(A==5 | A==6) & Q1 ne ''", "A A Q1"},
      {"X=undefined", "X"},
      {"$COL gt 4", "$COL"},
      {"\"it's\" = NAME", "NAME="},
      {"12abc + 3", ""},
  };
  for (const auto& c : cases) {
    std::vector<NameUse> reads;
    ScanExpressionNames(c.text, 0, &reads);
    EXPECT_EQ(Names(reads), c.reads) << c.text;
  }
}

TEST(ScanMarkerNames, OnlyADollarChoiceIsAnExpression) {
  struct Case {
    const char* text;
    const char* reads;
  } cases[] = {
      {"NAME", "NAME"},
      {"Q1 gt 3 ? big : small", "Q1"},
      {"Q1 == 4 ? $Q1*10 : 'none'", "Q1 Q1"},
      {"Q1 == 5 : 'not five'", "Q1"},
      {"A ? 'A is true' : 'A is false'", "A"},
  };
  for (const auto& c : cases) {
    std::vector<NameUse> reads;
    ScanMarkerNames(c.text, 0, &reads);
    EXPECT_EQ(Names(reads), c.reads) << c.text;
  }
}

TEST(ScanScript, SetsReadsAndPagesOfStatements) {
  struct Case {
    const char* text;
    const char* reads;
    const char* sets;
    const char* targets;
  } cases[] = {
      {"_PAGENEXT = 'page2';\nif (Q1 = '') { _PAGEWARN = 'Please'; }", "Q1", "_PAGENEXT _PAGEWARN",
       "page2"},
      {"_PAGENEXT = 'page2 page3';", "", "_PAGENEXT", "page2 page3"},
      {"if (Q1 = 'plane') { showpage('page4'); } else { showpage('(save)'); }", "Q1", "",
       "page4"},
      {"d = timedate(); t = timetime();\nDONE = '' + d + ' ' + t;", "d t", "d t DONE", ""},
      {"x += NAME; # NOT a name\n// nor this", "x NAME", "x", ""},
      {"v = data['Q1']; w = data[F];", "F", "v w", ""},
      {"delete GONE; exit", "", "", ""},
      {"n = (A*2) + toFixed(B, 1);", "A B", "n", ""},
      {"if (X == 1) { a = 1 } elsif (Y has 'z') { b = 2 }", "X Y/", "a b", ""},
  };
  for (const auto& c : cases) {
    ScriptFacts facts;
    ScanScript(c.text, 0, &facts);
    EXPECT_EQ(Names(facts.reads), c.reads) << c.text;
    EXPECT_EQ(Names(facts.sets), c.sets) << c.text;
    std::string targets;
    for (const PageTarget& t : facts.targets) targets += (targets.empty() ? "" : " ") + t.page;
    EXPECT_EQ(targets, c.targets) << c.text;
  }
}

TEST(ScriptBlockEnd, PassesOverTextsAndCommentsAsTheStatementReaderDoes) {
  struct Case {
    const char* text;
    size_t end;  // npos: the block does not end
  } cases[] = {
      {" x = 1; %>rest", 8},
      {" x = '%>'; %>", 11},
      {" x = 1; # a comment %>\n y = 2; %>", 31},
      {" x = 1;", std::string::npos},
  };
  for (const auto& c : cases) EXPECT_EQ(ScriptBlockEnd(c.text, 0), c.end) << c.text;
}

}  // namespace
}  // namespace tallypad
