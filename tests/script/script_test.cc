#include "script/script.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "script/script_fixture.h"

namespace tallypad {
namespace {

using testing::ScriptFixture;
using testing::ScriptVars;
using testing::Value;

using Expected = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct StatementCase {
  const char* name;
  const char* script;
  std::vector<std::string> vars;  // "name=value" before the run
  int code;
  Expected expected;  // variables after the run (nullopt: missing or empty)
  const char* printed = "";
  const char* rest = nullptr;  // the unread part of the file, when checked
};

void RunCases(const std::vector<StatementCase>& cases, VarTable* record = nullptr) {
  for (const StatementCase& c : cases) {
    ScriptFixture f;
    VarTablePtr vars = ScriptVars(c.vars);
    EXPECT_EQ(f.Run(c.script, vars.get(), record), c.code) << c.name;
    for (const auto& [name, value] : c.expected)
      EXPECT_EQ(Value(vars.get(), name), value) << c.name << ": " << name;
    EXPECT_EQ(f.Printed(), c.printed) << c.name;
    if (c.rest) {
      EXPECT_EQ(f.Rest(), c.rest) << c.name;
    }
  }
}

// Reads every token of `text` as "token" pieces joined by "|", with the
// final lookahead after each token in brackets when it is not a blank.
std::string Tokens(std::string_view text) {
  PageReader f(text);
  std::string out;
  std::string token;
  int la = 0;
  for (int guard = 0; guard < 100; ++guard) {
    int r = ScriptNextToken(f, &token, kScriptTokenBufferSize, &la);
    if (r == -1) {
      if (!token.empty()) out += "|" + token + "<unterminated>";
      break;
    }
    out += "|" + token;
    if (la != ' ') out += "[" + (la == -1 ? std::string("EOF") : std::string(1, char(la))) + "]";
  }
  return out;
}

TEST(ScriptNextToken, SplitsWordsSymbolsAndTexts) {
  struct Case {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"x = 'a' + y;", "|x[=]|=[']|'a|+[y]|y[;]|;"},
      {"n=3+4\n", "|n[=]|=[3]|3[+]|+[4]|4[\n]"},
      {"a == b === c", "|a[=]|==|b[=]|==="
                       "|c[EOF]"},
      {"a==1", "|a[=]|==[1]|1[EOF]"},
      {"x += 1 <= 2 >= 3", "|x[+]|+=|1[<]|<=|2[>]|>=|3[EOF]"},
      {"if (a) {b}", "|if[(]|(|a[)]|)|{|b[}]|}"},
      {"\"dq\\\"x\\n\" 'it''s'", "|'dq\"x\n|'it|'s"},
      {"</SCRIPT> more", "|</SCRIPT>|more[EOF]"},
      {"f.x&y$z!w 5%", "|f.x&y$z!w[5]|5%[EOF]"},
      {"%x", "|%[x]|x[EOF]"},
      {"a %> b", "|a[%]"},
      {"a%> b", "|a[%]"},
      {"a\t \tb", "|a[b]|b[EOF]"},
      {"'open", "|'open<unterminated>"},
      {"a < b", "|a[<]|<[b]|b[EOF]"},
      {"#*-/,;[]", "|#|*|-|/|,|;|[|]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << c.text;
}

TEST(ScriptNextToken, KeepsAtMostTheBufferAndDropsTheRest) {
  std::string word(5000, 'w');
  std::string text = "'" + std::string(5000, 't') + "' " + word + " next";
  PageReader f(text);
  std::string token;
  int la = 0;
  ASSERT_GE(ScriptNextToken(f, &token, kScriptTokenBufferSize, &la), 0);
  EXPECT_EQ(token, "'" + std::string(4093, 't'));
  ASSERT_GE(ScriptNextToken(f, &token, kScriptTokenBufferSize, &la), 0);
  EXPECT_EQ(token, std::string(4094, 'w'));
  ASSERT_GE(ScriptNextToken(f, &token, kScriptTokenBufferSize, &la), 0);
  EXPECT_EQ(token, "next");
}

TEST(ScriptRun, AssignmentsBuildTextsOrComputeNumbers) {
  RunCases({
      {"text pieces joined", "x = 'a' + y + 'b';\n%>", {"y=Y"}, 0, {{"x", "aYb"}}},
      {"pieces without plus", "x = 'a' y \"b\";%>", {"y=Y"}, 0, {{"x", "aYb"}}},
      {"missing semicolon after a text takes the next line",
       "x = 'a'\ny = 2\nz = 3;\n%>", {"y=Y"}, 0, {{"x", "aY"}, {"y", "Y"}, {"z", "3"}}},
      {"number", "n = 42\n%>", {}, 0, {{"n", "42"}}},
      {"sum", "n = 3 + 4\n%>", {}, 0, {{"n", "7"}}},
      {"numeric variable in arithmetic", "n = m * 2;\n%>", {"m=5"}, 0, {{"n", "10"}}},
      {"numeric variable alone", "n = m\n%>", {"m=5"}, 0, {{"n", "5"}}},
      {"missing variable makes a text", "n = m + 2;\n%>", {}, 0, {{"n", std::nullopt}}},
      {"text variable makes a text", "n = m * 2;\n%>", {"m=abc"}, 0, {{"n", "abc0"}}},
      {"append a text", "x += 'z';\n%>", {"x=ab"}, 0, {{"x", "abz"}}},
      {"append a number sets it", "x += 5\n%>", {"x=ab"}, 0, {{"x", "5"}}},
      {"append to nothing", "x += 'z';\n%>", {}, 0, {{"x", "z"}}},
      {"text of a variable", "x = y;\n%>", {"y=hello"}, 0, {{"x", "hello"}}},
      {"escapes in texts", "x = 'a\\tb\\n\\'';\n%>", {}, 0, {{"x", "a\tb\n'"}}},
      {"var is ignored", "var x = 5;\n%>", {}, 0, {{"x", "5"}}},
      {"delete removes", "delete x\ny = 1;\n%>", {"x=1"}, 0, {{"x", std::nullopt}, {"y", "1"}}},
      {"comments", "# x = 1\n// y = 2\nz = 3;\n%>", {}, 0,
       {{"x", std::nullopt}, {"y", std::nullopt}, {"z", "3"}}},
      {"statements after the block end are not run", "x = 1;\n%>\ny = 2;", {}, 0,
       {{"x", "1"}, {"y", std::nullopt}}, "", "\ny = 2;"},
      {"a number before the block end", "x = 5 %>rest", {}, 0, {{"x", "5"}}, "", "rest"},
      {"arithmetic before the block end", "x = m * 2 %>rest", {"m=5"}, 0, {{"x", "10"}}, "",
       "rest"},
      {"a word right before the block end", "x = y%>rest", {"y=abc"}, 0, {{"x", "abc"}}, "",
       "rest"},
  });
}

TEST(ScriptRun, ConditionalChainsRunExactlyOneBody) {
  const char* chain =
      "if (a == 1) { r += 'A'; } elsif (a == 2) { r += 'B'; } else { r += 'C'; }\n%>";
  RunCases({
      {"if taken", chain, {"a=1"}, 0, {{"r", "A"}}},
      {"elsif taken", chain, {"a=2"}, 0, {{"r", "B"}}},
      {"else taken", chain, {"a=3"}, 0, {{"r", "C"}}},
      {"first true wins", "if (a == 1) {r += 'A';} elif (b == 1) {r += 'B';} else {r += 'C';}%>",
       {"a=1", "b=1"}, 0, {{"r", "A"}}},
      {"else if", "if (a == 1) {r = 'A';} else if (a == 2) {r = 'B';} else {r = 'C';}%>", {"a=2"},
       0, {{"r", "B"}}},
      {"bodies on their own lines",
       "if (a == 1)\n{\n  r = 'A';\n}\nelse\n{\n  r = 'C';\n}\nz = 1;\n%>", {"a=5"}, 0,
       {{"r", "C"}, {"z", "1"}}},
      {"combined condition", "if (a == 1 | b == 2) { r = 'y'; }%>", {"a=0", "b=2"}, 0,
       {{"r", "y"}}},
      {"a condition ends at its first paren", "if ((a == 1) | (b == 2)) { r = 'y'; }%>",
       {"a=0", "b=2"}, 0, {{"r", std::nullopt}}},
      {"a malformed condition counts as true", "if (a ==) { r = 'y'; }%>", {"a=0"}, 0,
       {{"r", "y"}}},
      {"block end inside a condition", "if (s == '%>') { r = 1; }\n%>", {"s=%>"}, 0, {{"r", "1"}}},
      {"skipped body counts braces in texts", "if (a == 1) { x = '{'; } y = 2;\n%>rest", {"a=0"},
       0, {{"x", std::nullopt}, {"y", std::nullopt}}, "", ""},
      {"nested chains", "if (a == 1) { if (b == 1) { r = 'AB'; } else { r = 'A'; } }%>",
       {"a=1", "b=0"}, 0, {{"r", "A"}}},
      {"nested blocks keep the chain", "if (a == 1) {r = 'A';} {x = 1;} else {r = 'C';}%>",
       {"a=0"}, 0, {{"r", "C"}, {"x", "1"}}},
  });
}

TEST(ScriptRun, ErrorsEndTheScriptWithTheirCode) {
  RunCases({
      {"else after an assignment", "x = 1;\nelse { y = 2; }\nz = 3;\n%>", {}, kScriptElseWithoutIf,
       {{"x", "1"}, {"y", std::nullopt}, {"z", std::nullopt}}},
      {"elsif without if", "elsif (a == 1) { y = 2; }%>", {}, kScriptElseWithoutIf, {}},
      {"else after a finished chain", "if (a) {x = 1;} else {x = 2;} else {x = 3;}%>", {"a=1"},
       kScriptElseWithoutIf, {{"x", "1"}}},
      {"open text", "x = 'abc", {"x=keep"}, kScriptNeedClosingQuote, {{"x", "keep"}}},
      {"open later text keeps what was built", "x = 'a' + 'bc", {}, kScriptNeedClosingQuote,
       {{"x", "abc"}}},
      {"no paren after if", "if a == 1 { x = 1; }", {}, kScriptParenExpected, {}},
      {"no closing paren", "if (a == 1 { x = 1; }", {}, kScriptNeedClosingParen, {}},
      {"no body", "if (a == 1) x = 1;", {"a=1"}, kScriptNeedClosingBrace, {}},
      {"object without a table", "v = data['Q1'];%>", {}, kScriptObjectNotFound, {}},
      {"not a command", "x 5;\n%>", {}, kScriptCannotProcess, {}},
      {"not a command at the block end", "x %>", {}, kScriptCannotProcess, {}},
      {"nothing after the sign", "x = %>", {}, kScriptExpectingValue, {}},
      {"unknown function", "x = foo(1);\n%>", {"x=keep"}, kScriptFunctionNotFound,
       {{"x", "keep"}}},
      {"error in a nested block ends every level", "{ { x = 1; y 2; } z = 3; } w = 4;\n%>", {},
       kScriptCannotProcess, {{"x", "1"}, {"z", std::nullopt}, {"w", std::nullopt}}},
  });
}

TEST(ScriptRun, StopKeywordsEndTheWholeScript) {
  RunCases({
      {"exit in a nested block", "{ x = 1; { exit; y = 2; } z = 3; }\nw = 4;\n%>after", {}, 0,
       {{"x", "1"}, {"y", std::nullopt}, {"z", std::nullopt}, {"w", std::nullopt}}, "",
       " y = 2; } z = 3; }\nw = 4;\n%>after"},
      {"exit in a taken branch", "if (a == 1) { exit } x = 1;%>", {"a=1"}, 0,
       {{"x", std::nullopt}}, "", " x = 1;%>"},
      {"&exit", "&exit\nx = 1;%>", {}, 0, {{"x", std::nullopt}}, "", "x = 1;%>"},
      {"&end", "&END;x = 1;%>", {}, 0, {{"x", std::nullopt}}, "", "x = 1;%>"},
      {"&return", "&return x = 1;%>", {}, 0, {{"x", std::nullopt}}, "", " = 1;%>"},
      {"exit before the block end", "x = 1; exit %>page", {}, 0, {{"x", "1"}}, "", "page"},
      {"exit right before the block end", "exit%>page", {}, 0, {}, "", "page"},
      {"end of a script element", "x = 1;</script>page", {}, 0, {{"x", "1"}}, "", "page"},
  });
}

TEST(ScriptRun, ObjectValuesReadTheRecord) {
  VarTablePtr record = ScriptVars({"Q1=7", "Q2=x y"});
  RunCases(
      {
          {"quoted key", "v = data['Q1'];\n%>", {}, 0, {{"v", "7"}}},
          {"key from a variable", "v = data[Q];\n%>", {"Q=Q2"}, 0, {{"v", "x y"}}},
          {"object name without case", "v = DATA[\"Q1\"];\n%>", {}, 0, {{"v", "7"}}},
          {"missing field", "v = data['Q9'];\n%>", {"v=old"}, 0, {{"v", std::nullopt}}},
          {"empty key", "v = data[];\n%>", {}, kScriptObjectNotFound, {}},
          {"unknown object", "v = other['Q1'];\n%>", {}, kScriptObjectNotFound, {}},
          {"object ends a text", "v = 'Q1 is ' data['Q1'] 'ignored';\n%>", {}, 0,
           {{"v", "Q1 is 7"}}},
          {"object as an argument", "print(data['Q1'], '!');\n%>", {}, 0, {}, "7!"},
      },
      record.get());
}

TEST(ScriptRun, AssignmentsGrowAFullTable) {
  ScriptFixture f;
  VarTablePtr vars = VarTableFromPairs({"a=1"}, 0);  // no free entry
  std::string script;
  for (int i = 0; i < 300; ++i) script += "v" + std::to_string(i) + " = " + std::to_string(i) + ";\n";
  script += "%>";
  EXPECT_EQ(f.Run(script, vars.get()), 0);
  EXPECT_EQ(Value(vars.get(), "a"), "1");
  for (int i = 0; i < 300; ++i)
    EXPECT_EQ(Value(vars.get(), "v" + std::to_string(i)), std::to_string(i));
}

TEST(ScriptRun, NestingStopsAtItsLimit) {
  auto nested = [](int levels) {
    return std::string(levels - 1, '{') + " x = 1; " + std::string(levels - 1, '}') + " %>";
  };
  ScriptFixture f;
  VarTablePtr vars = ScriptVars({});
  EXPECT_EQ(f.Run(nested(kScriptMaxNesting), vars.get()), 0);
  EXPECT_EQ(Value(vars.get(), "x"), "1");

  VarTablePtr deeper = ScriptVars({});
  EXPECT_EQ(f.Run(nested(kScriptMaxNesting + 1), deeper.get()), kScriptNeedClosingBrace);
  EXPECT_EQ(Value(deeper.get(), "x"), std::nullopt);

  // Far deeper input ends the same way instead of exhausting the stack.
  EXPECT_EQ(f.Run(std::string(100000, '{'), vars.get()), kScriptNeedClosingBrace);
  std::string calls;
  for (int i = 0; i < 20000; ++i) calls += "print(";
  EXPECT_EQ(f.Run(calls, vars.get()), kScriptNeedClosingParen);
}

TEST(ScriptRun, ValuesStayBoundedWhenDoubled) {
  ScriptFixture f;
  VarTablePtr vars = ScriptVars({"x=abcdefgh"});
  std::string script;
  for (int i = 0; i < 40; ++i) script += "x = x x;\n";
  EXPECT_EQ(f.Run(script + "%>", vars.get()), 0);
  std::string x = VarTableGet(vars.get(), "x");
  EXPECT_GT(x.size(), 100000u);
  EXPECT_LE(x.size(), 1u << 20);
  EXPECT_EQ(x.substr(0, 16), "abcdefghabcdefgh");
}

TEST(ScriptRun, RecordsTheFailingStatementForTheErrorReport) {
  ScriptFixture f;
  VarTablePtr vars = ScriptVars({});
  EXPECT_EQ(f.Run("x = 1;\ny = foo(2);\nz = 3;\n%>", vars.get()), kScriptFunctionNotFound);
  EXPECT_EQ(f.Statement(), "\ny = foo(");
  EXPECT_EQ(f.Rest(), "2);\nz = 3;\n%>");

  VarTablePtr with_a = ScriptVars({"a=1"});
  EXPECT_EQ(f.Run("x = 1\nif (a == 1) {\n  print('a');\n  y 2;\n}\n%>", with_a.get()),
            kScriptCannotProcess);
  EXPECT_EQ(f.Statement(), "\n  y 2;");
}

TEST(ScriptRun, LeavesTheLookaheadForTheCaller) {
  ScriptFixture f;
  VarTablePtr vars = ScriptVars({});
  EXPECT_EQ(f.Run("x = 1; %>page", vars.get()), 0);
  EXPECT_EQ(f.context().lookahead, -1);
  EXPECT_EQ(f.Rest(), "page");
  EXPECT_EQ(f.Run("x = 1; } y = 2; %>", vars.get()), 0);  // a stray "}" ends the level
  EXPECT_NE(f.context().lookahead, -1);
  EXPECT_EQ(Value(vars.get(), "y"), std::nullopt);
}

TEST(ScriptErrorMessage, NamesEveryCode) {
  EXPECT_EQ(ScriptErrorMessage(40), "Need a closing quote");
  EXPECT_EQ(ScriptErrorMessage(41), "( expected after if or elsif");
  EXPECT_EQ(ScriptErrorMessage(42), "Need a closing paren");
  EXPECT_EQ(ScriptErrorMessage(43), "Need a closing brace");
  EXPECT_EQ(ScriptErrorMessage(44), "An else or elsif must come after an if");
  EXPECT_EQ(ScriptErrorMessage(45), "Object variable not found");
  EXPECT_EQ(ScriptErrorMessage(46), "Unable to process this command");
  EXPECT_EQ(ScriptErrorMessage(47), "Wrong number of parameters in a function call");
  EXPECT_EQ(ScriptErrorMessage(48), "Function not found");
  EXPECT_EQ(ScriptErrorMessage(49), "Expecting something after an = sign");
  EXPECT_EQ(ScriptErrorMessage(50), "Unknown scripting error");
  EXPECT_EQ(ScriptErrorMessage(0), "Unknown scripting error");
}

}  // namespace
}  // namespace tallypad
