#include "script/functions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.h"
#include "script/script_fixture.h"

namespace tallypad {
namespace {

using testing::ScriptFixture;
using testing::ScriptVars;
using testing::Value;

struct CallCase {
  const char* script;
  std::vector<std::string> vars;
  int code;
  std::optional<std::string> x;  // the value of x afterwards
  const char* printed = "";
};

void RunCalls(const std::vector<CallCase>& cases) {
  for (const CallCase& c : cases) {
    ScriptFixture f;
    VarTablePtr vars = ScriptVars(c.vars);
    EXPECT_EQ(f.Run(c.script, vars.get()), c.code) << c.script;
    EXPECT_EQ(Value(vars.get(), "x"), c.x) << c.script;
    EXPECT_EQ(f.Printed(), c.printed) << c.script;
  }
}

TEST(PageTemplateFunctions, HasTheRowsInOrder) {
  std::vector<std::pair<std::string, int>> rows;
  for (const ScriptFunction& row : PageTemplateFunctions()) {
    EXPECT_NE(row.callback, nullptr) << row.name;
    rows.emplace_back(std::string(row.name), row.max_args);
  }
  EXPECT_EQ(rows, (std::vector<std::pair<std::string, int>>{{"print", 10},
                                                            {"write", 10},
                                                            {"eval", 1},
                                                            {"timestamp", 0},
                                                            {"toFixed", 2},
                                                            {"escape", 1},
                                                            {"hasRecord", 2},
                                                            {"runReport", 8},
                                                            {"number", 1},
                                                            {"toNumber", 1},
                                                            {"random", 1}}));
}

TEST(ScriptCallFunction, ParsesArgumentsAndDispatchesByName) {
  RunCalls({
      {"print('a', 'b');%>", {}, 0, std::nullopt, "ab"},
      {"PRINT('a');%>", {}, 0, std::nullopt, "a"},
      {"&print('a');%>", {}, 0, std::nullopt, "a"},
      {"write(\"w\")\n%>", {}, 0, std::nullopt, "w"},
      {"print(1,2,3,4,5,6,7,8,9,10,11);%>", {}, 0, std::nullopt, "12345678910"},
      {"print(y, ' ', y + 1);%>", {"y=4"}, 0, std::nullopt, "4 41"},  // words are values
      {"print((y*2), -1);%>", {"y=4"}, 0, std::nullopt, "81"},
      {"print(escape('<'), 'after');%>", {}, 0, std::nullopt, "&lt;after"},
      {"print(eval('2*3'));%>", {}, 0, std::nullopt, "6"},
      {"print(\n  'a',\n  'b'\n);%>", {}, 0, std::nullopt, "ab"},
      {"x = foo(1);%>", {"x=keep"}, kScriptFunctionNotFound, "keep"},
      {"print(foo(1));%>", {}, kScriptFunctionNotFound, std::nullopt},
      {"print('a'", {}, kScriptNeedClosingParen, std::nullopt},
      {"print('a' %>", {}, kScriptNeedClosingParen, std::nullopt},
      {"print('a", {}, kScriptNeedClosingQuote, std::nullopt},
      {"print((1+2", {}, kScriptNeedClosingParen, std::nullopt},
      {"x = print('p') 'ignored';%>", {"x=old"}, 0, std::nullopt, "p"},
      {"x = 'a' escape('<') 'ignored';%>", {}, 0, "a&lt;"},
  });
}

TEST(ScriptFunctions, ResultsOfTheGeneralFunctions) {
  RunCalls({
      {"x = eval('y+1');%>", {"y=4"}, 0, "5"},
      {"x = eval();%>", {"x=old"}, 0, std::nullopt},
      {"x = toFixed(y, 2);%>", {"y=3.14159"}, 0, "3.14"},
      {"x = toFixed('abc');%>", {}, 0, "0"},
      {"x = toFixed(3);%>", {}, 0, "3"},
      {"x = toFixed(2.5, 0);%>", {}, 0, "2"},
      {"x = toFixed('1', 50);%>", {}, 0, "1.00000000000000000000"},
      {"x = toFixed('1', -3);%>", {}, 0, "1"},
      {"x = toFixed('1e200', 2);%>", {}, 0, "1e+200"},
      {"x = toFixed();%>", {"x=old"}, 0, std::nullopt},
      {"x = escape('a<b');%>", {}, 0, "a&lt;b"},
      {"x = escape('\"x\" & <y>');%>", {}, 0, "&quot;x&quot; &amp; &lt;y&gt;"},
      {"x = escape('a', 'b');%>", {}, 0, "a"},  // the second argument is dropped
      {"x = escape();%>", {"x=old"}, 0, std::nullopt},
      {"x = escape('');%>", {"x=old"}, 0, std::nullopt},
      {"x = number('12a');%>", {}, 0, "12a"},
      {"x = number('abc');%>", {"x=old"}, 0, std::nullopt},
      {"x = toNumber('-.5');%>", {}, 0, "-.5"},
      {"x = number();%>", {"x=old"}, 0, std::nullopt},
      {"x = runReport('r.htm');%>", {"x=old"}, 0, std::nullopt},
  });
}

TEST(ScriptFunctions, TimestampIsTheLocalTimeAsFourteenDigits) {
  std::string before_date;
  FormatDateTime(&before_date, nullptr);
  ScriptFixture f;
  VarTablePtr vars = ScriptVars({});
  ASSERT_EQ(f.Run("x = timestamp();%>", vars.get()), 0);
  std::string after_date;
  FormatDateTime(&after_date, nullptr);
  std::string x = VarTableGet(vars.get(), "x");
  ASSERT_EQ(x.size(), 14u);
  EXPECT_EQ(x.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_TRUE(x.substr(0, 8) == before_date || x.substr(0, 8) == after_date) << x;
}

TEST(ScriptFunctions, RandomAddsTheTimeToOneCounter) {
  ScriptFixture f;
  VarTablePtr vars = ScriptVars({});
  ASSERT_EQ(f.Run("x = random(10); y = random(); z = random();%>", vars.get()), 0);
  int x = std::stoi(VarTableGet(vars.get(), "x", "-1"));
  EXPECT_GE(x, 0);
  EXPECT_LT(x, 10);
  // Two bare calls differ by the time in seconds (modulo 2^32).
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  uint32_t y = static_cast<uint32_t>(std::stol(VarTableGet(vars.get(), "y")));
  uint32_t z = static_cast<uint32_t>(std::stol(VarTableGet(vars.get(), "z")));
  EXPECT_LE(now - (z - y), 1u);
}

TEST(ScriptFunctions, RandomCounterLosesNoIncrementAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 1000;
  ScriptContext ctx;
  auto bare = [&ctx] {
    return static_cast<uint32_t>(std::stol(*ScriptFnRandom(ctx, "random", {}, nullptr)));
  };
  const uint32_t t0 = static_cast<uint32_t>(std::time(nullptr));
  const uint32_t first = bare();
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&bare] {
      for (int k = 0; k < kCalls; ++k) bare();
    });
  for (std::thread& t : threads) t.join();
  const uint32_t last = bare();
  const uint32_t t1 = static_cast<uint32_t>(std::time(nullptr));
  // Each of the calls after the first added a time between t0 and t1.
  const uint32_t added = last - first;
  const uint32_t calls = kThreads * kCalls + 1;
  EXPECT_LE(added - calls * t0, calls * (t1 - t0));
}

TEST(ScriptFunctions, HasRecordSearchesADataFile) {
  ScriptFixture f;
  f.dir().Write("answers.asc",
                "#_SESSION\tQ1\tQ2\t\r\n\"s1\"\t\"3\"\t\"a\"\t\r\n\"s2\"\t\"5\"\t\"b\"\t\r\n");
  f.dir().Write("sub/other.asc", "#_SESSION\tQ1\t\n\"s1\"\t\"9\"\t\n");
  f.dir().Write("noheader.asc", "");
  struct Case {
    const char* script;
    std::optional<std::string> x;
  } cases[] = {
      {"x = hasRecord('answers.asc', 'Q1 == 5');%>", "1"},
      {"x = hasRecord('answers.asc', 'Q1 == 4');%>", "0"},
      {"x = hasRecord('answers.asc', 'Q2 == want');%>", "1"},  // variables as second table
      {"x = hasRecord('sub\\\\other.asc', 'Q1 == 9');%>", "1"},
      {"x = hasRecord('missing.asc', 'Q1 == 5');%>", "0"},
      {"x = hasRecord('noheader.asc', '');%>", "0"},
      {"x = hasRecord('answers.asc');%>", std::nullopt},
  };
  for (const Case& c : cases) {
    VarTablePtr vars = ScriptVars({"want=b", "x=old"});
    EXPECT_EQ(f.Run(c.script, vars.get()), 0) << c.script;
    EXPECT_EQ(Value(vars.get(), "x"), c.x) << c.script;
  }
  // An absolute name is used as it stands.
  VarTablePtr vars = ScriptVars({});
  std::string script = "x = hasRecord('" + f.dir().File("answers.asc") + "', 'Q1 == 3');%>";
  EXPECT_EQ(f.Run(script, vars.get()), 0);
  EXPECT_EQ(Value(vars.get(), "x"), "1");
}

// The report files hold plain text, which the template processor copies
// unchanged; reports with markers are tested with the processor itself.
TEST(ScriptFunctions, RunReportRendersTheNamedFilesInOrderWithSettings) {
  ScriptFixture f;
  f.dir().Write("r1.htm", "first;");
  f.dir().Write("reports/r2.htm", "second;");
  VarTablePtr settings = ScriptVars({"DATABASE=demo"});
  f.set_settings(settings.get());
  VarTablePtr vars = ScriptVars({});
  EXPECT_EQ(f.Run("x = runReport('r1.htm', '', 'missing.htm', 'reports/r2.htm', 'reports');%>",
                  vars.get()),
            0);
  EXPECT_EQ(Value(vars.get(), "x"), "first;second;");
  EXPECT_EQ(f.Run("x = runReport();%>", vars.get()), 0);
  EXPECT_EQ(Value(vars.get(), "x"), std::nullopt);
}

}  // namespace
}  // namespace tallypad
