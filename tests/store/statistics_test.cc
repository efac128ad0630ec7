#include "store/statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;
using testing::WithFileSizeLimit;

VarTablePtr Vars(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 0); }

TEST(ResponseCountsFor, FollowsTheCountingRules) {
  struct Case {
    const char* name;
    std::string key;
    std::vector<std::string> vars;
    bool expected;
  } cases[] = {
      // question_choice: an answer equals the choice, or a single stored
      // group holds it between commas.
      {"choice in a stored group", "Q1_3", {"Q1=1,3"}, true},
      {"choice is not a substring", "Q1_3", {"Q1=13"}, false},
      {"blanks do not split choices", "Q1_3", {"Q1=1 3"}, false},
      {"choice with a blank", "HOW_by train", {"HOW=by train"}, true},
      {"choice that begins another choice", "TEA_tea", {"TEA=tea with milk"}, false},
      {"choice with a comma", "C_Coffee, black", {"C=Coffee, black"}, true},
      {"choice with a comma in a stored group", "C_Coffee, black", {"C=Tea,Coffee, black"}, true},
      {"separate answers are not groups", "Q1_3", {"Q1=1,3", "Q1=2"}, false},
      {"choice in a later answer of the question", "Q1_3", {"Q1=1", "Q1=3"}, true},
      {"choice in an answer named question_...", "Q1_3", {"Q1=1", "Q1_other=3"}, true},
      {"no variable of the question", "Q1_3", {"Q1_other=3"}, false},
      {"walk ends at another question", "Q1_3", {"Q1=1", "Q2=3", "Q1=3"}, false},
      {"question compared with case", "Q1_3", {"q1=3"}, false},
      {"Q10 is not question Q1", "Q1_3", {"Q1=1", "Q10=3"}, false},
      {"choice compared exactly", "Q1_a", {"Q1=A"}, false},
      {"empty choice never counts", "Q1_", {"Q1=1,,3"}, false},
      {"empty question never counts", "_3", {"=3", "X=3"}, false},
      // A variable of exactly the key's name decides by itself.
      {"answer of the key's name, not empty", "Q1_3", {"Q1_3=on", "Q1=1"}, true},
      {"answer of the key's name, empty", "Q1_3", {"Q1_3=", "Q1=3"}, false},
      {"key's name without case", "q1_3", {"Q1_3=on"}, true},
      // A key without underscore: the answer or its parts key_....
      {"answered", "Q2", {"Q2=x"}, true},
      {"answered empty", "Q2", {"Q2=", "Q2_b=x"}, false},
      {"empty part and a non-empty part", "Q2", {"Q2_a=", "Q2_b=x"}, true},
      {"only empty parts", "Q2", {"Q2_a=", "Q2_b="}, false},
      {"Q20 is not a part of Q2", "Q2", {"Q20=x"}, false},
      {"parts compared with case", "Q2", {"q2_b=x"}, false},
      {"no answer", "Q2", {"Q3=x"}, false},
  };
  for (const Case& c : cases) {
    auto vars = Vars(c.vars);
    EXPECT_EQ(ResponseCountsFor(c.key, vars.get()), c.expected) << c.name;
  }
}

TEST(ResponseCountsFor, VariableWithoutValueAndTableShapes) {
  // An entry of the key's name without a value does not count, whatever its
  // parts hold.
  auto table = VarTableNew(2);
  table->entries[0] = VarEntry{std::string("Q2"), std::nullopt};
  table->entries[1] = VarEntry{std::string("Q2_b"), std::string("x")};
  EXPECT_FALSE(ResponseCountsFor("Q2", table.get()));

  // A free entry (a removed variable) does not end the question's answers,
  // and the walk goes on into a chained block.
  auto vars = VarTableNew(4);
  vars->entries[0] = VarEntry{std::string("Q1"), std::string("1")};
  vars->entries[1] = VarEntry{std::string(""), std::string("3")};
  vars->entries[2] = VarEntry{std::string("Q1"), std::string("2")};
  vars->next = VarTableNew(1);
  vars->next->entries[0] = VarEntry{std::string("Q1"), std::string("3")};
  EXPECT_TRUE(ResponseCountsFor("Q1_2", vars.get()));
  EXPECT_TRUE(ResponseCountsFor("Q1_3", vars.get()));
  EXPECT_FALSE(ResponseCountsFor("Q1_4", vars.get()));
  EXPECT_FALSE(ResponseCountsFor("Q1_3", nullptr));
  EXPECT_FALSE(ResponseCountsFor("", vars.get()));
}

TEST(StatNumber, ReadsDecimalNumbersOnly) {
  struct Case {
    const char* text;
    double expected;
  } cases[] = {
      {"5", 5},      {" -2.5", -2.5}, {"+3", 3},  {".5", 0.5},  {"-.25", -0.25},
      {"12abc", 12}, {"1e3", 1000},   {"abc", 0}, {"", 0},      {"0x10", 0},
      {"inf", 0},    {"nan", 0},      {"-", 0},   {"7.000000", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(StatNumber(c.text), c.expected) << c.text;
  EXPECT_TRUE(std::isinf(StatNumber("1e400")));
  EXPECT_LT(StatNumber("-1e400"), 0);
}

std::string Changes(const std::vector<std::string>& count, const std::vector<std::string>& sum,
                    const VarTable* vars, const std::vector<const VarTable*>& previous) {
  std::string out;
  for (const ProfileUpdate& u : StatisticsChanges(count, sum, vars, previous))
    out += u.section + ":" + u.key + "=" + u.value.value_or("<delete>") + ";";
  return out;
}

TEST(StatisticsChanges, CountsAndSums) {
  struct Case {
    const char* name;
    std::vector<std::string> count, sum, vars, previous;
    bool has_previous;
    std::string expected;
  } cases[] = {
      {"a counted rule grows by one; others are left", {"Q1_3=4", "Q2=9"}, {}, {"Q1=1,3"}, {},
       false, "COUNT:Q1_3=5;"},
      {"a count that is not a number starts at 0", {"Q1=abc"}, {}, {"Q1=x"}, {}, false,
       "COUNT:Q1=1;"},
      {"a key met twice counts once", {"Q1=2", "q1=7"}, {}, {"Q1=x"}, {}, false, "COUNT:Q1=3;"},
      {"lines without '=' are no keys", {"Q1"}, {}, {"Q1=x"}, {}, false, ""},
      {"sum", {}, {"AGE=10.5"}, {"AGE=2.25"}, {}, false, "SUM:AGE=12.750000;"},
      {"sum of a non-numeric answer is unchanged", {}, {"AGE=10"}, {"AGE=old"}, {}, false, ""},
      {"sum of a missing answer is unchanged", {}, {"AGE=10"}, {}, {}, false, ""},
      {"negative answer", {}, {"AGE=10"}, {"AGE=-12"}, {}, false, "SUM:AGE=-2.000000;"},
      {"answer at the limit is rewritten unchanged", {}, {"BIG=1"}, {"BIG=1e17"}, {}, false,
       "SUM:BIG=1.000000;"},
      {"answer below the limit is added", {}, {"BIG=0"}, {"BIG=99999999999999984"}, {}, false,
       "SUM:BIG=99999999999999984.000000;"},
      {"sum at the limit is rewritten unchanged", {}, {"BIG=-1e17"}, {"BIG=3"}, {}, false,
       "SUM:BIG=-100000000000000000.000000;"},
      {"previous record counted, this one too", {"Q1=3"}, {}, {"Q1=x"}, {"Q1=y"}, true, ""},
      {"previous record counted, this one not", {"Q1=3"}, {}, {"Q1="}, {"Q1=y"}, true,
       "COUNT:Q1=2;"},
      {"previous record not counted, this one is", {"Q1_2=3"}, {}, {"Q1=2"}, {"Q1=1"}, true,
       "COUNT:Q1_2=4;"},
      {"previous answer taken out of the sum", {}, {"AGE=5"}, {"AGE=7"}, {"AGE=5"}, true,
       "SUM:AGE=7.000000;"},
      {"same answer again changes nothing", {}, {"AGE=5"}, {"AGE=5"}, {"AGE=5"}, true, ""},
      {"previous answer out of range: sum unchanged", {}, {"AGE=5"}, {"AGE=7"}, {"AGE=2e17"}, true,
       "SUM:AGE=5.000000;"},
  };
  for (const Case& c : cases) {
    auto vars = Vars(c.vars);
    auto previous = c.has_previous ? Vars(c.previous) : nullptr;
    std::vector<const VarTable*> replaced;
    if (previous) replaced.push_back(previous.get());
    EXPECT_EQ(Changes(c.count, c.sum, vars.get(), replaced), c.expected) << c.name;
  }
}

TEST(StatisticsChanges, TheKeysTellAChoiceWithACommaFromAStoredGroup) {
  // "Coffee, black" is one of the counted choices, so an answer of it is no
  // group holding "Coffee"; a stored group of two choices still counts both.
  const std::vector<std::string> keys = {"C_Coffee, black=0", "C_Coffee=0", "C_Tea=0"};
  auto one = Vars({"C=Coffee, black"});
  EXPECT_EQ(Changes(keys, {}, one.get(), {}), "COUNT:C_Coffee, black=1;");
  auto group = Vars({"C=Tea,Coffee"});
  EXPECT_EQ(Changes(keys, {}, group.get(), {}), "COUNT:C_Coffee=1;COUNT:C_Tea=1;");
}

TEST(StatisticsChanges, EveryReplacedRecordIsTakenOut) {
  // Two live records of one session (a save cut short before its earlier
  // record was marked) are both replaced by the next save.
  auto vars = Vars({"Q1=x", "AGE=7"});
  auto first = Vars({"Q1=y", "AGE=5"});
  auto second = Vars({"Q1=z", "AGE=6"});
  EXPECT_EQ(Changes({"Q1=2"}, {"AGE=11"}, vars.get(), {first.get(), second.get()}),
            "COUNT:Q1=1;SUM:AGE=7.000000;");
}

TEST(StatisticsUpdate, WritesExistingKeysInOneRewrite) {
  TempDir dir;
  std::string path = dir.Write("stats.ini",
                               "; survey statistics\n[COUNT]\nQ1_3=4\nQ2 = 0\nUnused=7\n\n"
                               "[SUM]\nAGE=10.000000\n");
  auto vars = Vars({"Q1=1,3", "Q2_a=", "Q2_b=x", "AGE=5", "NEW=1"});
  EXPECT_TRUE(StatisticsUpdate(path, vars.get()));
  EXPECT_EQ(dir.Read("stats.ini"),
            "; survey statistics\n[COUNT]\nQ1_3=5\nQ2=1\nUnused=7\n\n[SUM]\nAGE=15.000000\n");
}

TEST(StatisticsUpdate, PreviousRecordIsTakenOut) {
  TempDir dir;
  std::string path = dir.Write("stats.ini", "[COUNT]\nQ1=1\n[SUM]\nAGE=5.000000\n");
  auto vars = Vars({"Q1=x", "AGE=7"});
  auto previous = Vars({"Q1=y", "AGE=5"});
  EXPECT_TRUE(StatisticsUpdate(path, vars.get(), {previous.get()}));
  EXPECT_EQ(dir.Read("stats.ini"), "[COUNT]\nQ1=1\n[SUM]\nAGE=7.000000\n");
}

TEST(StatisticsUpdate, MissingFileOrNoChangeWritesNothing) {
  TempDir dir;
  auto vars = Vars({"Q1=x", "AGE=7"});
  EXPECT_TRUE(StatisticsUpdate(dir.File("none.ini"), vars.get()));
  EXPECT_FALSE(FileExists(dir.File("none.ini")));
  EXPECT_TRUE(StatisticsUpdate("", vars.get()));
  // No keys for these answers: the file keeps its bytes (no rewrite).
  std::string text = "[COUNT]\r\nOTHER=1\r\n";
  std::string path = dir.Write("s.ini", text);
  EXPECT_TRUE(StatisticsUpdate(path, vars.get()));
  EXPECT_EQ(dir.Read("s.ini"), text);
}

TEST(StatisticsUpdate, FailedWriteLeavesTheFileAndSaysSo) {
  TempDir dir;
  std::string text = "[COUNT]\nQ1=1\n";
  std::string path = dir.Write("s.ini", text);
  auto vars = Vars({"Q1=x"});
  bool written = true;
  WithFileSizeLimit(4, [&] { written = StatisticsUpdate(path, vars.get()); });
  EXPECT_FALSE(written);
  EXPECT_EQ(dir.Read("s.ini"), text);
}

TEST(StatisticsUpdate, ConcurrentUpdatersLoseNoCount) {
  TempDir dir;
  std::string path = dir.Write("stats.ini", "[COUNT]\nQ1=0\n[SUM]\nN=0\n");
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      auto vars = Vars({"Q1=x", "N=2"});
      for (int i = 0; i < kEach; ++i) StatisticsUpdate(path, vars.get());
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(dir.Read("stats.ini"), "[COUNT]\nQ1=100\n[SUM]\nN=200.000000\n");
}

}  // namespace
}  // namespace tallypad
