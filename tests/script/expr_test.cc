#include "script/expr.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/decode.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

// A table of used entries from "name=value" pairs.
VarTablePtr Table(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 0); }

// A table whose entries may lack a value (nullopt), which pairs cannot say.
VarTablePtr TableOf(const std::vector<std::pair<std::string, std::optional<std::string>>>& items) {
  auto t = VarTableNew(items.size() + 1);
  for (size_t i = 0; i < items.size(); ++i) t->entries[i] = VarEntry{items[i].first, items[i].second};
  return t;
}

struct ValueCase {
  const char* text;
  const char* result;
};

void ExpectValues(const VarTable* vars, const std::vector<ValueCase>& cases) {
  for (const ValueCase& c : cases) EXPECT_EQ(ExprEvaluate(vars, c.text), c.result) << c.text;
}

TEST(ExprEvaluate, LeftToRightWithTheRestAsOneOperand) {
  auto vars = Table({"A=4"});
  ExpectValues(vars.get(), {
                               {"A+1", "5"},
                               {"A*2+1", "9"},
                               {"1+A*2", "9"},  // A*2 first, then 1+8
                               {"2+3*4", "20"},
                               {"1+2*3", "9"},
                               {"7/2", "3.500000"},
                               {"6/2", "3"},
                               {"7%3", "1"},
                               {"-7%3", "-1"},
                               {"5/0", "0"},
                               {"5%0", "0"},
                               {"2^10", "1024"},
                               {"-2^3", "-8"},  // 0 - 2, then to the power 3
                               {"(0-8)^0.5", "0"},
                               {"2*-3", "-6"},
                               {"1+.5", "1"},  // .5 is looked up as a name
                               {"1+1e3", "1001"},
                               {"1e3+0", "1000"},
                               {"A+", "4"},  // a missing operand reads as 0
                               {"A*", "0"},
                               {"A+2#3", "6"},  // no operator: ignored
                           });
}

TEST(ExprEvaluate, LoneOperandIsTheStoredValue) {
  auto vars = Table({"A=04", "5=five"});
  ExpectValues(vars.get(), {
                               {"=A", "04"},
                               {"A", "04"},
                               {"  =a", "04"},  // leading white space, one '=' and case are ignored
                               {"= A", "0"},   // the text after '=' ends at once
                               {"A+0", "4"},
                               {"5", "five"},  // a lone number is a name too
                               {"6", ""},
                               {"missing", ""},
                               {"", ""},
                               {"   ", ""},
                               {"=", ""},
                           });
}

TEST(ExprEvaluate, GroupsInParentheses) {
  auto vars = Table({"A=4"});
  ExpectValues(vars.get(), {
                               {"(1+2)*3", "9"},
                               {"2*(1+2)", "6"},
                               {"()", "0"},
                               {"2(5+1)", "6"},  // a group right after an operand replaces it
                               {"2*(1+2", "2"},  // no closing parenthesis ends the walk
                               {"3+()+4", "3"},
                               {"((A+1))*2", "10"},
                               {"(A)", "4"},
                           });
}

TEST(ExprEvaluate, TheFirstSpaceEndsTheExpression) {
  auto vars = Table({"A=4", "B=x"});
  ExpectValues(vars.get(), {
                               {"A B+1", "5"},  // the text between A and + is ignored
                               {"A+1 B", "5"},
                               {"A+1 +7", "5"},
                               {"1+ A", "1"},
                               {"(1 + 2)*3", "0"},
                               {"A B", "4"},
                               {"1+A\t*2", "1"},  // only a space ends it: the tab stays in the name
                           });
}

TEST(ExprEvaluate, TheWalkGoesOnInANonNumericResult) {
  // After a name operand the walk continues in the text of its value, right
  // after the number read from it.
  auto vars = Table({"B=5+2", "C=abc", "D=(3)"});
  ExpectValues(vars.get(), {
                               {"1+B", "8"},
                               {"1+C", "1"},
                               {"1+D", "0"},  // the group in D replaces the accumulator
                           });
}

TEST(ExprEvaluate, NumbersAlwaysPrintAsNumbers) {
  auto vars = Table({"A=4", "INF=1e999"});
  ExpectValues(vars.get(), {
                               {"0^2", "0"},
                               {"0^0", "1"},
                               {"0^-1", "0"},
                               {"-2^2", "4"},
                               {"-2^-1", "-0.500000"},
                               {"2^0.5", "1.414214"},
                               {"10^2", "100"},
                               {"10^2%7", "2"},
                               {"3^2", "9"},
                               {"10^200", "1e+200"},  // "%f" would not fit the result
                               {"1e300*1e300", "0"},  // infinite
                               {"10^400", "0"},
                               {"INF+1", "1"},
                               {"0+1e999", "0"},
                               {"2147483647+0", "2147483647"},
                               {"2147483647+1", "2147483648.000000"},
                               {"-2147483648%-1", "0"},
                               {"0-0", "0"},
                               {"0*-1", "0"},
                           });
}

TEST(ExprEvaluate, AbsentTableAndLength) {
  auto vars = Table({"A=4"});
  EXPECT_EQ(ExprEvaluate(nullptr, "A+1 x"), "A+1 x");
  EXPECT_EQ(ExprEvaluateN(vars.get(), "A+1xyz", 3), "5");
  EXPECT_EQ(ExprEvaluateN(vars.get(), "1+2345", 3), "3");  // the number ends with the length
  EXPECT_EQ(ExprEvaluateN(vars.get(), "A+1", 99), "5");
  EXPECT_EQ(ExprEvaluateN(vars.get(), "A+1", 0), "");
  EXPECT_EQ(ExprEvaluateN(vars.get(), "A+1", -5), "");
  EXPECT_EQ(ExprEvaluateN(nullptr, "A+1", 2), "A+");
  EXPECT_EQ(ExprEvaluate(vars.get(), std::string_view("A+1\0+5", 6)), "5");
}

TEST(ExprEvaluate, RunawayInputEnds) {
  // Values that lead back to themselves keep the walk going round.
  auto vars = Table({"A=-A", "B=xB", "C=x+C"});
  ExpectValues(vars.get(), {{"0+A", "0"}, {"1+B", "1"}, {"1+C", "1"}});

  // Long chains: within the depth bound the value is exact; beyond it the
  // rest reads as 0 and nothing overflows.
  std::string chain = "1";
  for (int i = 0; i < 150; ++i) chain += "+A";
  EXPECT_EQ(ExprEvaluate(vars.get(), chain), "1");  // every A reads as 0 here
  auto four = Table({"A=4"});
  EXPECT_EQ(ExprEvaluate(four.get(), chain), "601");
  for (int i = 0; i < 20000; ++i) chain += "+A";
  EXPECT_FALSE(ExprEvaluate(four.get(), chain).empty());

  std::string nested = std::string(50, '(') + "1+0" + std::string(50, ')');
  EXPECT_EQ(ExprEvaluate(four.get(), nested), "1");
  nested = std::string(20000, '(') + "1+0" + std::string(20000, ')');
  EXPECT_EQ(ExprEvaluate(four.get(), nested), "0");
  EXPECT_EQ(ExprEvaluate(four.get(), std::string(20000, '(')), "0");
  EXPECT_EQ(ExprEvaluate(four.get(), std::string(20000, '-') + "1"), "0");
}

struct CondCase {
  const char* text;
  int result;
};

void ExpectConditions(const VarTable* vars, const VarTable* second,
                      const std::vector<CondCase>& cases) {
  for (const CondCase& c : cases) EXPECT_EQ(CondEvaluate(c.text, vars, second), c.result) << c.text;
}

TEST(CondEvaluate, Comparisons) {
  auto vars = Table({"Q1=red", "A=4", "Z=0", "H=0.5", "D=00", "M=-1", "N=a\\'b", "E="});
  ExpectConditions(vars.get(), nullptr,
                   {
                       {"Q1='RED'", 1},
                       {"Q1 eq 'red'", 1},
                       {"Q1=\"red\"", 1},
                       {"Q1=red", 0},  // the value of the missing variable red
                       {"Q1=~'E'", 1},
                       {"Q1 s 'ED'", 1},
                       {"Q1!~'x'", 1},
                       {"Q1=~''", 1},  // an empty text is in any non-empty value
                       {"E=~''", 0},
                       {"Q1==0", 1},  // both read as 0
                       {"Q1 gt 0", 0},
                       {"A>=5", 0},
                       {"A >= 5", 0},
                       {"A gte 5", 0},
                       {"A>=4", 1},
                       {"A gte 4", 1},
                       {"A<=4", 1},
                       {"A lte 4", 1},
                       {"A<4", 0},
                       {"A lt 5", 1},
                       {"A>3", 1},
                       {"A gt 3", 1},
                       {"A===4.0", 1},
                       {"A==4.0", 1},
                       {"A=4.0", 0},  // text equal
                       {"A!=4", 0},
                       {"A ne 5", 1},
                       {"A=2*2", 0},  // a numeric-looking right side is taken as written
                       {"A*2=8", 1},
                       {"A + 1=5", 1},
                       {"A+1 +1=5", 1},  // the left value ends at its first space
                       {"N='a\\'b'", 1},  // the backslash stays in the value
                       {"Q1 = 'red'", 1},
                   });
}

TEST(CondEvaluate, TruthTest) {
  auto vars = Table({"A=4", "Z=0", "H=0.5", "D=00", "M=-1"});
  ExpectConditions(vars.get(), nullptr,
                   {
                       {"A ?", 1},
                       {"A ? 'x' : 'y'", 1},
                       {"A :", 1},
                       {"Z ?", 0},
                       {"H ?", 0},  // begins with '0'
                       {"D ?", 0},
                       {"M ?", 1},
                       {"MISSING ?", 0},
                       {"A", -1},
                       {"A?", -1},  // the token A? runs to the end
                   });
}

TEST(CondEvaluate, UndefinedRightSide) {
  auto vars = Table({"A=4"});
  ExpectConditions(vars.get(), nullptr,
                   {
                       {"X=''", 1},
                       {"X=undefined", 0},  // "" against the text undefined
                       {"X=", 1},
                       {"A=", 0},
                   });
}

TEST(CondEvaluate, CombinationsLeftToRight) {
  for (int bits = 0; bits < 8; ++bits) {
    const bool a = bits & 1, b = bits & 2, c = bits & 4;
    auto vars = Table({std::string("A=") + (a ? "1" : "0"), std::string("B=") + (b ? "2" : "0"),
                       std::string("C=") + (c ? "3" : "0")});
    SCOPED_TRACE(bits);
    EXPECT_EQ(CondEvaluate("A=1&B=2|C=3", vars.get(), nullptr), (a && b) || c);
    EXPECT_EQ(CondEvaluate("(A=1&B=2)|C=3", vars.get(), nullptr), (a && b) || c);
    EXPECT_EQ(CondEvaluate("A=1 & (B=2 | C=3)", vars.get(), nullptr), a && (b || c));
    EXPECT_EQ(CondEvaluate("A=1|B=2&C=3", vars.get(), nullptr), (a || b) && c);
    EXPECT_EQ(CondEvaluate("A=1 && B=2 || C=3", vars.get(), nullptr), (a && b) || c);
    EXPECT_EQ(CondEvaluate("A=1 ^ B=2", vars.get(), nullptr), a != b);
    EXPECT_EQ(CondEvaluate("!A=1 & !(B=2)", vars.get(), nullptr), !a && !b);
  }
}

TEST(CondEvaluate, ShapeOfTheCondition) {
  auto vars = Table({"Q1=red", "A=4"});
  ExpectConditions(vars.get(), nullptr,
                   {
                       {"", 1},
                       {" \t\r\n", 1},
                       {"!Q1='red'", 0},
                       {"! Q1='blue'", 1},
                       {"!(Q1='red')", 0},
                       {"!!Q1='red'", 1},
                       {"!A", -1},  // a negated invalid condition stays invalid
                       {"A=4 trailing words", 1},
                       {"A=4) | A=5", 1},
                       {"(A=4", 1},
                       {"A=4 & (", 1},  // an empty group is true
                       {"A=4 &", -1},
                       {"A=4 & B", -1},
                       {"A=4 | ()", -1},
                       {"=4", -1},  // an operator at the very start
                       {"gt 4", -1},
                       {"A ~ 4", -1},
                       {"A ! 4", -1},
                       {"Q1='red", -1},
                       {"Q1='red\\'", -1},
                   });
}

TEST(CondEvaluate, PatternMode) {
  auto yes_in_q3_1 = Table({"Q3=no", "Q3_1=maybe, yes", "Q30=yes"});
  auto yes_in_other = Table({"Q3_OTHER=yes"});
  auto only_q30 = Table({"Q30=yes", "Q3X=yes"});
  auto wrong_case = Table({"Q3=Yes"});
  for (const char* cond : {"Q3 has 'yes'", "/Q3/ has 'yes'", "/Q3 has 'yes'", "q3 HAS 'yes'"}) {
    EXPECT_EQ(CondEvaluate(cond, yes_in_q3_1.get(), nullptr), 1) << cond;
    EXPECT_EQ(CondEvaluate(cond, yes_in_other.get(), nullptr), 1) << cond;
    EXPECT_EQ(CondEvaluate(cond, only_q30.get(), nullptr), 0) << cond;
    EXPECT_EQ(CondEvaluate(cond, wrong_case.get(), nullptr), 0) << cond;
  }
  // Unquoted, yes is the value of a variable named yes.
  EXPECT_EQ(CondEvaluate("Q3 has yes", yes_in_q3_1.get(), nullptr), 0);
  EXPECT_EQ(CondEvaluate("/Q3/='no'", yes_in_q3_1.get(), nullptr), 1);
  EXPECT_EQ(CondEvaluate("/Q3/=~'MAY'", yes_in_q3_1.get(), nullptr), 1);
  EXPECT_EQ(CondEvaluate("!/Q3/='no'", yes_in_q3_1.get(), nullptr), 0);
  EXPECT_EQ(CondEvaluate("/Q3/='none'", only_q30.get(), nullptr), 0);

  auto empty_value = TableOf({{"Q3_1", ""}});
  auto no_value = TableOf({{"Q3_1", std::nullopt}});
  EXPECT_EQ(CondEvaluate("/Q3/=undefined", empty_value.get(), nullptr), 0);
  EXPECT_EQ(CondEvaluate("/Q3/=undefined", no_value.get(), nullptr), 1);
  EXPECT_EQ(CondEvaluate("/Q3/=''", no_value.get(), nullptr), 1);
  EXPECT_EQ(CondEvaluate("/Q3/==undef", no_value.get(), nullptr), 1);  // becomes a text test
  EXPECT_EQ(CondEvaluate("/Q3/='x'", no_value.get(), nullptr), -1);

  // A variable without a value met before the one holding the item.
  auto gap = TableOf({{"Q3_1", std::nullopt}, {"Q3_2", "yes"}});
  EXPECT_EQ(CondEvaluate("Q3 has 'yes'", gap.get(), nullptr), -1);
  auto gap_after = TableOf({{"Q3_2", "yes"}, {"Q3_1", std::nullopt}});
  EXPECT_EQ(CondEvaluate("Q3 has 'yes'", gap_after.get(), nullptr), 1);
}

TEST(CondEvaluate, SecondTableServesDollarNames) {
  auto vars = Table({"Q1=red", "$NAME=first"});
  auto second = Table({"NAME=bob", "COLOR=red"});
  ExpectConditions(vars.get(), second.get(),
                   {
                       {"$NAME='bob'", 1},
                       {"Q1=$COLOR", 1},
                       {"Q1=$NAME", 0},
                       {"$COLOR=Q1", 1},  // Q1 is read from the first table
                   });
  ExpectConditions(vars.get(), nullptr,
                   {
                       {"$NAME='first'", 1},
                       {"$COLOR=''", 1},
                       {"Q1=$COLOR", 0},
                   });
  auto record = Table({"Q9=blue"});
  EXPECT_EQ(CondEvaluate("$Q9='blue'", vars.get(), record.get()), 1);
  EXPECT_EQ(CondEvaluate("$Q9='blue'", vars.get(), nullptr), 0);
  EXPECT_EQ(CondEvaluate("$='x'", vars.get(), record.get()), 0);
}

TEST(CondEvaluate, AbsentOrEmptyTable) {
  EXPECT_EQ(CondEvaluate("A=1", nullptr, nullptr), 0);
  EXPECT_EQ(CondEvaluate("", nullptr, nullptr), 1);
  auto empty = VarTableNew(4);  // every entry blank
  EXPECT_EQ(CondEvaluate("A=''", empty.get(), nullptr), 0);
  EXPECT_EQ(CondEvaluate("!A=''", empty.get(), nullptr), 1);
  EXPECT_EQ(CondEvaluate("A='", empty.get(), nullptr), -1);
}

TEST(CondCompare, EndsWhereTheComparisonEnds) {
  auto vars = Table({"Q1=red", "A=4"});
  struct Case {
    const char* text;
    int result;
    size_t end;
  } cases[] = {
      {"Q1='red' ? 'yes' : 'no'", 1, 8},
      {"A ? x : y", 1, 2},  // a truth test ends at the '?'
      {"A>3 & B=2", 1, 3},
      {"A=5)", 0, 3},
      {"Q1 eq red|x", 0, 9},
      {"A>3", 1, 3},
  };
  for (const Case& c : cases) {
    size_t end = 99;
    EXPECT_EQ(CondCompare(c.text, vars.get(), nullptr, &end), c.result) << c.text;
    EXPECT_EQ(end, c.end) << c.text;
  }
  EXPECT_EQ(CondCompare("", vars.get(), nullptr, nullptr), -1);
  EXPECT_EQ(CondCompare("A=4", nullptr, nullptr, nullptr), 0);
}

TEST(CondEvaluate, RunawayInputEnds) {
  auto vars = Table({"A=4", "S=-S"});
  std::string nested = std::string(100, '(') + "A=4" + std::string(100, ')');
  EXPECT_EQ(CondEvaluate(nested, vars.get(), nullptr), 1);
  nested = std::string(20000, '(') + "A=4" + std::string(20000, ')');
  EXPECT_EQ(CondEvaluate(nested, vars.get(), nullptr), -1);
  EXPECT_EQ(CondEvaluate(std::string(20000, '!') + "A=4", vars.get(), nullptr), -1);
  EXPECT_EQ(CondEvaluate("0+S=0 & 0+S==0", vars.get(), nullptr), 1);
}

TEST(QueryFilter, UsesRecordColumnsAndRequestVariables) {
  // Live records a, c and d; a blank line, an all-empty record and the
  // superseded record b are never offered to the filter.
  TempDir dir;
  std::string path = dir.Write("d.asc",
                               "#_SESSION\tQ1\tQ2\t\r\n"
                               "\"s1\"\t\"a\"\t\"x\"\t\r\n"
                               "\r\n"
                               "\"\"\t\"\"\t\"\"\t\r\n"
                               "#s2\"\t\"b\"\t\"x\"\t\r\n"
                               "\"s3\"\t\"c\"\t\"y\"\t\r\n"
                               "\"s4\"\t\"d\"\t\"x\"\t\r\n");
  auto vars = VarTableFromPairs({"MODE=all", "Q1=ignored"}, 0);
  struct Case {
    const char* query;
    std::vector<std::string> found;
  } cases[] = {
      {"", {"a", "c", "d"}},
      {"Q1='c'", {"c"}},            // Q1 is the record's column, not the variable
      {"Q2='X'", {"a", "d"}},       // text equality ignores case
      {"$MODE='all'", {"a", "c", "d"}},  // $NAME reads the request variables
      {"$MODE='none'", {}},
  };
  for (const Case& c : cases) {
    auto df = DataFile::Open(path, 0);
    ASSERT_NE(df, nullptr);
    std::vector<std::string> found;
    while (df->ReadWhere(QueryFilter(vars.get(), c.query))) found.push_back(VarTableGet(df->columns(), "Q1"));
    EXPECT_EQ(found, c.found) << c.query;
  }
}

}  // namespace
}  // namespace tallypad
