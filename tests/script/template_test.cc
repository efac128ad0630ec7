#include "script/template.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "script/functions.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::ReadFileText;

// A table of used entries from "name=value" pairs, with room for more.
VarTablePtr Table(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 4); }

// What one run wrote, its result and what was left of the page.
struct Rendered {
  std::string output;
  int result = 0;
  std::string rest;
};

struct RunArgs {
  VarTable* vars = nullptr;
  VarTable* record = nullptr;
  VarTable* pending = nullptr;
  bool formfill = false;
  std::string_view stop = {};
};

Rendered Render(std::string_view page, const RunArgs& a = {}) {
  PageReader reader(page);
  StrBuf buf;
  OutputStream out{nullptr, nullptr, &buf};
  Rendered r;
  r.result = TemplateProcess({.base_path = "/nowhere/page.htm",
                              .out = &out,
                              .page = &reader,
                              .vars = a.vars,
                              .record = a.record,
                              .pending = a.pending,
                              .formfill = a.formfill,
                              .stop = a.stop});
  r.output = buf.ToString();
  r.rest = reader.Rest();
  return r;
}

std::string Out(std::string_view page, const RunArgs& a = {}) { return Render(page, a).output; }

struct PageCase {
  const char* name;
  std::string page;
  std::string expected;
};

void ExpectPages(const std::vector<PageCase>& cases, const RunArgs& a) {
  for (const PageCase& c : cases) EXPECT_EQ(Out(c.page, a), c.expected) << c.name;
}

TEST(TemplateProcess, PlainTextAndUnknownTagsPassUnchanged) {
  auto vars = Table({"Q1=x"});
  ExpectPages(
      {
          {"text", "hello\r\nworld", "hello\r\nworld"},
          {"less-than with a blank", "a < b", "a < b"},
          {"ordinary tags", "<p class=\"x\">t</p><br>", "<p class=\"x\">t</p><br>"},
          {"tag name ended by a line end", "<div\nid=1>", "<div\nid=1>"},
          {"zero bytes write nothing", std::string("a\0b", 3), "ab"},
          {"braces without a record", "{Q1} { }", "{Q1} { }"},
          {"stray end tags are dropped", "a<%end%>b<%end >c", "abc"},
          {"a tag cut off by the end of the file is lost", "x<abc", "x"},
          {"a script tag ended by '>' is page text", "<%>", "<%>"},
      },
      {vars.get()});
}

TEST(TemplateProcess, ResultTellsStopFromEndOfFile) {
  Rendered r = Render("abc</REPORT>def", {.stop = "/report"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "abc");
  EXPECT_EQ(r.rest, "def");  // the stop tag is consumed

  r = Render("abc</report x=1>def", {.stop = "/report"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.rest, "def");

  r = Render("abc", {.stop = "/report"});
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.output, "abc");

  // "<%break%>" ends the page: nothing after it is processed.
  r = Render("a<%break%>b<%= Q1 %>");
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.output, "a");
  EXPECT_EQ(r.rest, "b<%= Q1 %>");
  EXPECT_EQ(Render("a<%BREAK >b").output, "a");
}

TEST(TemplateProcess, ValueMarkers) {
  auto vars = Table({"Q1=a<b", "A=4", "x=1", "N=3.14159", "E=", "W=yes"});
  ExpectPages(
      {
          {"with blanks", "[<%= Q1 %>]", "[a<b]"},
          {"without blanks", "[<%=Q1%>]", "[a<b]"},
          {"comment form", "[<!--$Q1-->][<!--$ Q1 -->]", "[a<b][a<b]"},
          {"line ends inside", "[<%=\r\n  Q1\r\n%>]", "[a<b]"},
          {"missing variable writes nothing", "[<%= nosuch %>]", "[]"},
          {"empty variable writes nothing", "[<%= E %>]", "[]"},
          {"expression", "[<%= A*2+1 %>]", "[9]"},
          {"toFixed", "[<%= toFixed(N, 2) %>]", "[3.14]"},
          {"toFixed of an expression", "[<%= TOFIXED(A/3,3) %>]", "[1.333]"},
          {"toFixed without a comma", "[<%= toFixed(N) %>]", "[3]"},
          {"toFixed decimals limited to 20", "[<%= toFixed(A, 99) %>]",
           "[4.00000000000000000000]"},
          {"toFixed of a missing value", "[<%= toFixed(nosuch, 1) %>]", "[0.0]"},
          {"comparison alone writes nothing", "[<%= x == 1 %>]", "[]"},
          {"quoted choices, true", "[<%= x == 1 ? 'one' : \"other\" %>]", "[one]"},
          {"quoted choices, false", "[<%= x == 2 ? 'one' : \"other\" %>]", "[other]"},
          {"unquoted THEN runs to the colon", "[<%= x == 1 ? one thing : other %>]",
           "[one thing]"},
          {"unquoted ELSE runs to the end", "[<%= x == 2 ? one : other thing %>]",
           "[other thing]"},
          {"$ names a value", "[<%= x == 1 ? $A+1 : 'no' %>]", "[5]"},
          {"quoted $ names a value", "[<%= x == 2 ? 'no' : '$W' %>]", "[yes]"},
          {"backslashes keep the next character", "[<%= x == 1 ? 'it\\'s \\:' : 'n' %>]",
           "[it's :]"},
          {"colon inside a quoted THEN", "[<%= x == 1 ? 'a:b' : 'c' %>]", "[a:b]"},
          {"ELSE without THEN", "[<%= x == 2 : 'else' %>][<%= x == 1 : 'else' %>]",
           "[else][]"},
          {"no ELSE", "[<%= x == 2 ? 'then' %>]", "[]"},
          {"truth test", "[<%= W ? 'set' : 'unset' %>]", "[set]"},
          {"values are not escaped", "<%= x == 1 ? '<b>' : '' %>", "<b>"},
      },
      {vars.get()});
}

TEST(TemplateProcess, ToFixedOfHugeValuesStaysShort) {
  auto vars = Table({"B=1e200", "T=1e20"});
  EXPECT_EQ(Out("<%= toFixed(B, 2) %>", {vars.get()}), "1e+200");
  EXPECT_EQ(Out("<%= toFixed(T, 1) %>", {vars.get()}), "100000000000000000000.0");
}

TEST(TemplateEmitValue, ResultSaysWhatTheTextWas) {
  auto vars = Table({"x=1"});
  StrBuf buf;
  OutputStream out{nullptr, nullptr, &buf};
  EXPECT_EQ(TemplateEmitValue("x", &out, vars.get()), -1);
  EXPECT_EQ(TemplateEmitValue("x == 1 ? 'T' : 'F'", &out, vars.get()), 1);
  EXPECT_EQ(TemplateEmitValue("x == 2 ? 'T' : 'F'", &out, vars.get()), 0);
  // Without a table the text is written as it stands.
  EXPECT_EQ(TemplateEmitValue("x == 1 ? 'T'", &out, nullptr), -1);
  EXPECT_EQ(buf.ToString(), "1TFx == 1 ? 'T'");
  // Without a stream nothing is written or evaluated.
  EXPECT_EQ(TemplateEmitValue("x == 1", nullptr, vars.get()), 0);
}

TEST(TemplateProcess, MarkerTextIsBoundedButItsEndIsStillFound) {
  auto vars = Table({"Q1=v"});
  // The text beyond the buffer is read and dropped; the marker still ends
  // at its own "%>".
  std::string page = "[<%=Q1" + std::string(20000, ' ') + "%>]after";
  EXPECT_EQ(Out(page, {vars.get()}), "[v]after");
  // An overlong expression is cut, not written past its buffer.
  page = "[<%= " + std::string(20000, 'Z') + " %>]";
  EXPECT_EQ(Out(page, {vars.get()}), "[]");
  // A tag name longer than the buffer keeps its first part.
  std::string long_name(9000, 'a');
  EXPECT_EQ(Out("<" + long_name + ">x"), "<" + long_name.substr(0, 8192) + ">x");
  // A marker that the file cuts off uses what was read.
  EXPECT_EQ(Out("[<%= Q1", {vars.get()}), "[v");
}

TEST(TemplateProcess, ConditionalSections) {
  const std::string section = "<%if x == 1%>A<%elsif x == 2%>B<%else%>C<%end%>.";
  struct Case {
    const char* x;
    const char* expected;
  } cases[] = {{"1", "A."}, {"2", "B."}, {"3", "C."}, {"", "C."}};
  for (const Case& c : cases) {
    auto vars = Table({std::string("x=") + c.x});
    EXPECT_EQ(Out(section, {vars.get()}), c.expected) << "x=" << c.x;
  }

  auto vars = Table({"x=2", "y=5"});
  ExpectPages(
      {
          {"else if is elsif", "<%if x == 1%>A<%else if x == 2%>B<%else%>C<%end%>", "B"},
          {"elif", "<%if x == 1%>A<%elif(x==2)%>B<%end%>", "B"},
          {"keywords without case", "<%IF x == 1%>A<%ELSIF x == 2%>B<%END%>", "B"},
          {"first true branch only", "<%if x == 2%>A<%elsif y == 5%>B<%else%>C<%end%>", "A"},
          {"false without else", "<%if x == 1%>A<%end%>z", "z"},
          {"malformed condition shows its branch", "<%if x%>A<%else%>C<%end%>", "A"},
          {"else followed by another word", "<%if x == 1%>A<%else foo%>C<%end%>", "C"},
          {"condition after blanks", "<%if   x == 2   %>A<%end%>", "A"},
          {"nested in a shown branch", "<%if x == 2%>a<%if y == 5%>b<%end%>c<%end%>", "abc"},
          {"nested false in a shown branch",
           "<%if x == 2%>a<%if y == 1%>b<%else%>B<%end%>c<%end%>", "aBc"},
          // Sections do not count nesting: inside a skipped branch the skip
          // ends at the first "<%el" or "<%en", whichever section it is.
          {"nested in a skipped branch", "<%if x == 1%>a<%if y == 5%>b<%end%>c<%end%>d", "cd"},
          {"unterminated section", "<%if x == 1%>A", ""},
          {"skip to end of file", "<%if x == 1%>A<%else", ""},
      },
      {vars.get()});
}

TEST(TemplateProcess, ConditionsSeeTheRecordAsSecondTable) {
  auto vars = Table({"x=1"});
  auto record = Table({"Q1=5"});
  EXPECT_EQ(Out("<%if $Q1 == 5%>yes<%else%>no<%end%>", {vars.get(), record.get()}), "yes");
}

TEST(TemplateProcess, BraceSubstitutionInReports) {
  auto record = Table({"Q1=red", "N=3", "#=2"});
  ExpectPages(
      {
          {"field", "[{Q1}]", "[red]"},
          {"record number", "[{#}]", "[2]"},
          {"missing field writes nothing", "[{nosuch}]", "[]"},
          {"blank after the brace", "[{ Q1}]", "[{ Q1}]"},
          {"empty braces", "[{}]", "[{}]"},
          {"line end after the brace", "{\n}", "{\n}"},
          {"expression", "[{N*2}]", "[6]"},
          {"choice", "[{N > 2 ? 'big' : 'small'}]", "[big]"},
          {"runs to the end of the file", "[{Q1", "[red"},
          {"inside a tag's attributes", "<a href=\"?q={Q1}\">", "<a href=\"?q=red\">"},
      },
      {nullptr, record.get()});
  // A brace name equal to the stop name stops the run.
  Rendered r = Render("a{END}b", {nullptr, record.get(), nullptr, false, "end"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "a");
  EXPECT_EQ(r.rest, "b");
}

TEST(TemplateProcess, InputFieldsShowTheCurrentAnswer) {
  auto vars = Table({"Q1=a<b", "c=2,3", "r=b", "Q9=&x"});
  RunArgs a{vars.get()};
  a.formfill = true;
  ExpectPages(
      {
          {"text field: new VALUE first",
           "<INPUT TYPE=TEXT NAME=Q1 VALUE=x>",
           "<INPUT VALUE=\"a&lt;b\" TYPE=\"TEXT\" NAME=\"Q1\">"},
          {"no variable: the page's VALUE as it stood",
           "<input type=\"text\" name=\"Q2\" value=\"a&amp;b\">",
           "<INPUT VALUE=\"a&amp;b\" type=\"text\" name=\"Q2\">"},
          {"no VALUE at all", "<INPUT NAME=Q2>", "<INPUT VALUE=\"\" NAME=\"Q2\">"},
          {"tag ended by '>'", "<INPUT>", "<INPUT VALUE=\"\">"},
          {"attribute values are escaped again",
           "<INPUT NAME=Q1 TITLE=\"a &amp; b\" disabled>",
           "<INPUT VALUE=\"a&lt;b\" NAME=\"Q1\" TITLE=\"a &amp;amp; b\" disabled>"},
          {"hidden field", "<INPUT TYPE=hidden NAME=Q9 VALUE=1>",
           "<INPUT VALUE=\"&amp;x\" TYPE=\"hidden\" NAME=\"Q9\">"},
          {"checkbox in the list", "<INPUT TYPE=CHECKBOX NAME=c VALUE=2>",
           "<INPUT CHECKED TYPE=\"CHECKBOX\" NAME=\"c\" VALUE=\"2\">"},
          {"checkbox not in the list loses CHECKED",
           "<INPUT TYPE=checkbox NAME=c VALUE=1 CHECKED>",
           "<INPUT TYPE=\"checkbox\" NAME=\"c\" VALUE=\"1\">"},
          {"list items match whole", "<INPUT TYPE=checkbox NAME=c VALUE=23>",
           "<INPUT TYPE=\"checkbox\" NAME=\"c\" VALUE=\"23\">"},
          {"radio", "<INPUT TYPE=radio NAME=r VALUE=a CHECKED><INPUT TYPE=radio NAME=r VALUE=b>",
           "<INPUT TYPE=\"radio\" NAME=\"r\" VALUE=\"a\"><INPUT CHECKED TYPE=\"radio\" NAME=\"r\" "
           "VALUE=\"b\">"},
          {"no answer leaves the page default",
           "<INPUT TYPE=radio NAME=none VALUE=a CHECKED>",
           "<INPUT TYPE=\"radio\" NAME=\"none\" VALUE=\"a\" CHECKED>"},
          {"single quotes are part of a bare value", "<INPUT NAME='Q1'>",
           "<INPUT VALUE=\"\" NAME=\"'Q1'\">"},
      },
      a);
}

TEST(TemplateProcess, CheckBoxGroupPostedAsSeparateFieldsShowsEveryTick) {
  // A browser posts c=2&c=3 for two ticked boxes of group c.
  auto vars = FormDecode(0, "c=2&c=3", 4);
  ASSERT_NE(vars, nullptr);
  RunArgs a{vars.get()};
  a.formfill = true;
  std::string page;
  for (int v = 1; v <= 3; ++v) page += "<input type=checkbox name=c value=" + std::to_string(v) + ">";
  EXPECT_EQ(Out(page, a),
            "<INPUT type=\"checkbox\" name=\"c\" value=\"1\">"
            "<INPUT CHECKED type=\"checkbox\" name=\"c\" value=\"2\">"
            "<INPUT CHECKED type=\"checkbox\" name=\"c\" value=\"3\">");
}

TEST(TemplateProcess, SelectOptionsAndTextAreas) {
  auto vars = Table({"S=b", "M=x,z", "show=1", "T=<new>"});
  RunArgs a{vars.get()};
  a.formfill = true;
  ExpectPages(
      {
          {"matching option selected",
           "<SELECT NAME=S><OPTION VALUE=a SELECTED>A</OPTION><OPTION VALUE=b>B</OPTION></SELECT>",
           "<SELECT NAME=\"S\"><OPTION VALUE=\"a\" SELECTED>A</OPTION>"
           "<OPTION SELECTED  VALUE=\"b\">B</OPTION></SELECT>"},
          {"no variable removes the page default",
           "<select name=none><option value=a selected>A</select>",
           "<SELECT name=\"none\"><OPTION value=\"a\">A</select>"},
          {"multiple choice", "<SELECT NAME=M><OPTION VALUE=x><OPTION VALUE=y><OPTION VALUE=z>",
           "<SELECT NAME=\"M\"><OPTION SELECTED  VALUE=\"x\"><OPTION VALUE=\"y\">"
           "<OPTION SELECTED  VALUE=\"z\">"},
          {"option with a false query disappears",
           "<SELECT NAME=S><OPTION VALUE=a query=\"show == 2\">A</OPTION>"
           "<OPTION VALUE=c query=\"show == 1\">C</OPTION></SELECT>",
           "<SELECT NAME=\"S\"><OPTION VALUE=\"c\" query=\"show == 1\">C</OPTION></SELECT>"},
          {"option with a malformed query disappears",
           "<SELECT NAME=S><OPTION VALUE=a query=\"show ==\">A</option>.", "<SELECT NAME=\"S\">."},
          {"text area shows the answer, never its content",
           "<TEXTAREA NAME=T ROWS=2>old text</TEXTAREA>after",
           "<TEXTAREA NAME=\"T\" ROWS=\"2\">&lt;new&gt;</TEXTAREA>after"},
          {"text area default from VALUE", "<textarea name=none value=\"d&\">old</textarea>",
           "<TEXTAREA name=\"none\" value=\"d&amp;\">d&amp;</TEXTAREA>"},
          {"end tag alone is dropped", "a</TEXTAREA>b", "ab"},
      },
      a);
}

TEST(TemplateProcess, FormFieldsAreLeftAloneWithoutFormfillOrInsideScripts) {
  auto vars = Table({"Q1=new"});
  const std::string field = "<INPUT NAME=Q1 VALUE=old>";
  EXPECT_EQ(Out(field, {vars.get()}), field);
  RunArgs a{vars.get()};
  a.formfill = true;
  std::string script = "<SCRIPT>s='" + field + "';</SCRIPT>";
  EXPECT_EQ(Out(script + field, a), script + "<INPUT VALUE=\"new\" NAME=\"Q1\">");
}

TEST(TemplateProcess, PendingFieldsLoseTheFieldsOfThePage) {
  auto vars = Table({"Q1=x"});
  auto pending = VarTableFromPairs({"Q1=x", "Q2=y", "Q3=z", "Q4=w", "Q5=v", "Q6=u", "Q2=again"}, 0);
  const std::string page =
      "<form><INPUT NAME=Q1><select name=q2><option value=1></select>"
      "<TEXTAREA NAME=Q3></TEXTAREA><INPUT TYPE=checkbox NAME=Q4 VALUE=1>"
      // In a dry run a script block is not run; its text is page text.
      "<% s = '<INPUT NAME=Q5>'; %></form>";

  // The dry run: nothing written, nothing run, only the fields removed.
  PageReader f(page);
  EXPECT_EQ(TemplateProcess({.base_path = "/x/p.htm",
                             .page = &f,
                             .vars = vars.get(),
                             .pending = pending.get(),
                             .formfill = true}),
            -1);
  std::vector<std::string> left;
  VarTableForEach(pending.get(), [&](const VarEntry& e) { left.push_back(*e.name); });
  EXPECT_EQ(left, std::vector<std::string>{"Q6"});
  EXPECT_EQ(VarTableGet(vars.get(), "Q1"), "x");
}

TEST(TemplateProcess, DryRunStopsAtTheStopName) {
  auto pending = VarTableFromPairs({"A=1", "B=2"}, 0);
  PageReader f("<INPUT NAME=A></FORM><INPUT NAME=B>");
  EXPECT_EQ(TemplateProcess({.base_path = "/x/p.htm",
                             .page = &f,
                             .pending = pending.get(),
                             .formfill = true,
                             .stop = "/FORM"}),
            0);
  EXPECT_EQ(VarTableGet(pending.get(), "A"), "");
  EXPECT_EQ(VarTableGet(pending.get(), "B"), "2");
}

TEST(TemplateProcess, WholeFormPageMatchesItsExpectedOutput) {
  const std::string dir = std::string(TALLYPAD_TEST_DATA_DIR) + "/script/fixtures/";
  const std::optional<std::string> text = ReadPageFile(dir + "form_page.htm");
  ASSERT_NE(text, std::nullopt);
  PageReader page(*text);
  auto vars = FormDecode(0, 
      "NAME=Ann+%3CB%3E&AGE=42&COLOR=green&PETS=cat&PETS=fish&NOTE=line1%0D%0Aline2&LANG=fr", 8);
  auto pending = VarTableFromPairs({"NAME=", "AGE=", "COLOR=", "PETS=", "NOTE=", "LANG=", "X="}, 0);
  StrBuf buf;
  OutputStream out{nullptr, nullptr, &buf};
  const std::string path = dir + "form_page.htm";
  EXPECT_EQ(TemplateProcess({.base_path = path,
                             .out = &out,
                             .page = &page,
                             .vars = vars.get(),
                             .pending = pending.get(),
                             .formfill = true}),
            -1);
  EXPECT_EQ(buf.ToString(), ReadFileText(dir + "form_page.expected.htm"));
  std::vector<std::string> left;
  VarTableForEach(pending.get(), [&](const VarEntry& e) { left.push_back(*e.name); });
  EXPECT_EQ(left, std::vector<std::string>{"X"});
}

TEST(TemplateProcess, DepthIsCountedOnlyDuringARun) {
  EXPECT_EQ(TemplateDepth(), 0);
  Out("<p>");
  EXPECT_EQ(TemplateDepth(), 0);
}

TEST(ScriptError, WritesTheMessageAndCopiesTheFailingStatement) {
  const std::string text = "<% x = foo(1); %>rest";
  struct Case {
    const char* name;
    int code;
    long start, stop;
    std::string expected;
    long position_after;  // -1: the page is not moved
  } cases[] = {
      {"unknown function", 48, 3, 11, "Script error 48: Function not found:x = foo(", 11},
      {"other code", 99, 3, 5, "Script error 99: Unknown scripting error:x ", 5},
      {"nothing to copy", 44, 7, 7, "Script error 44: An else or elsif must come after an if:", -1},
  };
  for (const Case& c : cases) {
    PageReader page(text);
    page.Seek(17);
    ScriptContext ctx;
    ctx.statement_start = c.start;
    ctx.stop_position = c.stop;
    StrBuf buf;
    OutputStream out{nullptr, nullptr, &buf};
    ScriptError(&out, ctx, page, c.code);
    EXPECT_EQ(buf.ToString(), c.expected) << c.name;
    EXPECT_EQ(static_cast<long>(page.Tell()), c.position_after == -1 ? 17 : c.position_after)
        << c.name;
  }
}

TEST(ScriptError, CopiesAtMost1024BytesOfTheStatement) {
  std::string text = "<% " + std::string(3000, 'x') + " %>";
  PageReader page(text);
  ScriptContext ctx;
  ctx.statement_start = 3;
  ctx.stop_position = 3003;
  StrBuf buf;
  OutputStream out{nullptr, nullptr, &buf};
  ScriptError(&out, ctx, page, 46);
  EXPECT_EQ(buf.ToString(),
            "Script error 46: Unable to process this command:" + std::string(1024, 'x'));
  EXPECT_EQ(page.Tell(), 3u + 1024u);
}

// Script blocks with real statements; they run once the statement runner
// and the page-template function table are linked in.
class TemplateScriptBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (PageTemplateFunctions().empty()) GTEST_SKIP() << "no statement runner linked yet";
  }
};

TEST_F(TemplateScriptBlocks, StatementsChangeVariablesForLaterMarkers) {
  auto vars = Table({"m=5"});
  EXPECT_EQ(Out("<% n = m * 2; t = 'a' + m + 'b'; %>[<%= n %>][<%= t %>]", {vars.get()}),
            "[10][a5b]");
  EXPECT_EQ(VarTableGet(vars.get(), "n"), "10");
}

TEST_F(TemplateScriptBlocks, FunctionsWriteIntoThePage) {
  auto vars = Table({"y=3.14159"});
  ExpectPages(
      {
          {"print", "a<% print('x', 'y'); %>b", "axyb"},
          {"eleven arguments", "<% print(1,2,3,4,5,6,7,8,9,10,11); %>", "12345678910"},
          {"eval", "<% print(eval('2*3')); %>", "6"},
          {"toFixed", "<% x = toFixed(y, 2); print(x); %>", "3.14"},
          {"escape", "<% x = escape('a<b'); print(x); %>", "a&lt;b"},
          {"number", "<% x = number('abc'); print('[', x, ']'); %>", "[]"},
          {"runReport in a page gives nothing", "<% x = runReport('r.htm'); print('[', x, ']'); %>",
           "[]"},
      },
      {vars.get()});
}

TEST_F(TemplateScriptBlocks, AnErrorIsReportedWithItsStatementAndThePageGoesOn) {
  auto vars = Table({});
  EXPECT_EQ(Out("<% x = foo(1); %>after", {vars.get()}),
            "[Script error 48: Function not found:x = foo(]1); %>after");
  EXPECT_EQ(VarTableGet(vars.get(), "x"), "");
}

TEST_F(TemplateScriptBlocks, RecordIsTheDataObject) {
  auto vars = Table({});
  auto record = Table({"Q1=red"});
  EXPECT_EQ(Out("<% v = data['Q1']; %>[<%= v %>]", {vars.get(), record.get()}), "[red]");
}

TEST_F(TemplateScriptBlocks, ExitStopsTheBlockAndThePageGoesOn) {
  auto vars = Table({});
  EXPECT_EQ(Out("<% { exit } x = 1; %>[<%= x %>]", {vars.get()}), " x = 1; %>[]");
}

}  // namespace
}  // namespace tallypad
