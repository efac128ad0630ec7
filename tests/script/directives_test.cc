#include "script/directives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "base/status_log.h"
#include "script/template.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::ReadFileText;
using testing::TempDir;

constexpr char kAnswers[] =
    "#_SESSION\tQ1\tQ2\t\n\"s1\"\t\"5\"\t\"red\"\t\n\"s2\"\t\"3\"\t\"blue\"\t\n"
    "\"s3\"\t\"5\"\t\"green\"\t\n";

VarTablePtr Table(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 4); }

// Processes the file at `path` with the page's own path as base path.
std::string RenderFile(const std::string& path, VarTable* vars = nullptr,
                       VarTable* pending = nullptr, bool formfill = false) {
  StrBuf buf;
  OutputStream out{nullptr, nullptr, &buf};
  const TemplateRun run{
      .base_path = path, .out = &out, .vars = vars, .pending = pending, .formfill = formfill};
  if (!TemplateProcessFile(path, run)) return "<no page>";
  return buf.ToString();
}

// Writes `page` as p.htm into `dir` and processes it.
std::string RenderIn(const TempDir& dir, std::string_view page, VarTable* vars = nullptr) {
  return RenderFile(dir.Write("p.htm", page), vars);
}

struct PageCase {
  const char* name;
  std::string page;
  std::string expected;
};

TEST(DirectiveInclude, ProcessesTheFileWithThePagesVariables) {
  TempDir dir;
  dir.Write("header.htm", "<h1><%= T %></h1>");
  dir.Write("sub/a.htm", "[a<%include b.htm %>]");
  dir.Write("b.htm", "b");
  auto vars = Table({"T=Title"});
  std::vector<PageCase> cases = {
      {"word", "<%include header.htm %>rest", "<h1>Title</h1>rest"},
      {"quoted", "<%include 'header.htm'%>rest", "<h1>Title</h1>rest"},
      {"anything else in the tag is ignored", "<%include header.htm x y %>rest",
       "<h1>Title</h1>rest"},
      {"case of the tag", "<%INCLUDE header.htm %>", "<h1>Title</h1>"},
      // Names inside an included file resolve against the including page.
      {"nested names resolve against the page", "<%include sub/a.htm %>", "[ab]"},
      {"missing parameter", "<%include %>\nrest",
       "<HR>Error in (include)[13]: parameter missing<HR>rest"},
      {"empty quoted parameter", "<%include '' %>",
       "<HR>Error in (include)[12]: parameter missing<HR> %>"},
      {"missing file", "<%include nothere.htm %>x",
       "<HR>Error in (nothere.htm)[24]: cannot open file<HR>x"},
      // "%>" does not end a word: the name takes it, and the tag then runs
      // to the next "%>".
      {"marker glued to the name", "<%include header.htm%> and more %>B",
       "<HR>Error in (header.htm%>)[34]: cannot open file<HR>B"},
      {"a folder is no file", "<%include sub %>", "<HR>Error in (sub)[16]: cannot open file<HR>"},
      // A device would feed the page without end.
      {"a device is no file", "<%include /dev/zero %>",
       "<HR>Error in (/dev/zero)[22]: cannot open file<HR>"},
  };
  for (const PageCase& c : cases) EXPECT_EQ(RenderIn(dir, c.page, vars.get()), c.expected) << c.name;
}

TEST(DirectiveInclude, FormFieldsOfIncludedFilesAreNeverRewritten) {
  TempDir dir;
  dir.Write("fields.htm", "<INPUT NAME=Q1>");
  auto vars = Table({"Q1=x"});
  auto pending = Table({"Q1=x"});
  std::string path = dir.Write("p.htm", "<%include fields.htm %><INPUT NAME=Q2>");
  EXPECT_EQ(RenderFile(path, vars.get(), pending.get(), true),
            "<INPUT NAME=Q1><INPUT VALUE=\"\" NAME=\"Q2\">");
  EXPECT_EQ(VarTableGet(pending.get(), "Q1"), "x");
}

TEST(DirectiveInclude, APageThatIncludesItselfEndsWithAnErrorLine) {
  TempDir dir;
  std::string out = RenderIn(dir, "x<%include p.htm %>y");
  const std::string error = "<HR>Error in (p.htm)[19]: cannot open file<HR>";
  EXPECT_EQ(out, std::string(kMaxTemplateDepth, 'x') + error + std::string(kMaxTemplateDepth, 'y'));
  EXPECT_EQ(TemplateDepth(), 0);
}

TEST(DirectiveInclude, APageThatIncludesItselfSeveralTimesStillEnds) {
  TempDir dir;
  // Three includes per level would make 3^16 runs; the number of files one
  // page may open stops it far earlier.
  std::string out = RenderIn(dir, "<%include p.htm %><%include p.htm %><%include p.htm %>");
  EXPECT_NE(out.find("cannot open file"), std::string::npos);
  EXPECT_EQ(TemplateDepth(), 0);
  // The budget belongs to one outermost run: the next page starts afresh.
  dir.Write("q.htm", "q");
  EXPECT_EQ(RenderIn(dir, "<%include q.htm %>"), "q");
}

TEST(DirectiveSource, CopiesTheFileUnprocessed) {
  TempDir dir;
  dir.Write("style.css", "b { x: '<%= T %>' }\n");
  auto vars = Table({"T=Title"});
  EXPECT_EQ(RenderIn(dir, "<%source 'style.css' %>.", vars.get()), "b { x: '<%= T %>' }\n.");
  EXPECT_EQ(RenderIn(dir, "<%source %>\nx"), "<HR>Error in (source)[12]: parameter missing<HR>x");
  // Files are named relative to the server root; one outside it by its
  // name alone: the page never shows the server's folders.
  EXPECT_EQ(RenderIn(dir, "<%source /dev/zero %>"),
            "<HR>Error in (zero)[21]: cannot open file<HR>");
  EXPECT_EQ(RenderIn(dir, "<%source sub/none.css %>"),
            "<HR>Error in (sub/none.css)[24]: cannot open file<HR>");
}

TEST(DirectiveReport, ShowsTheBodyForEachMatchingRecord) {
  const std::string fixtures = std::string(TALLYPAD_TEST_DATA_DIR) + "/script/fixtures/";
  EXPECT_EQ(RenderFile(fixtures + "report.htm"), ReadFileText(fixtures + "report.expected.htm"));
}

TEST(DirectiveReport, Queries) {
  TempDir dir;
  dir.Write("a.asc", kAnswers);
  auto vars = Table({"Q=Q2 = 'blue'", "C=red"});
  std::vector<PageCase> cases = {
      {"empty query takes every record", "<%report a.asc %>{#}{Q2};</report>.",
       "1red;2blue;3green;."},
      {"no match writes nothing of the body", "<%report a.asc Q1 == 9 %>{#}</report>after",
       "after"},
      {"query from a variable", "<%report a.asc $Q %>{_SESSION}</report>", "s2"},
      {"quoted query", "<%report a.asc 'Q1 == 3 | Q2 = \"green\"' %>{_SESSION}</report>", "s2s3"},
      {"query reads the variables as second table", "<%report a.asc Q2 = $C %>{#}{Q2}</report>",
       "1red"},
      {"markers in the body see the variables", "<%report a.asc Q1 == 3 %><%= C %>{Q2}</report>",
       "redblue"},
      {"sections in the body see the record",
       "<%report a.asc %><%if $Q1 == 5%>{Q2}<%end%></report>", "redgreen"},
      {"missing file name", "<%report %>\nx</report>", "x</report>"},
  };
  for (const PageCase& c : cases) EXPECT_EQ(RenderIn(dir, c.page, vars.get()), c.expected) << c.name;
}

TEST(DirectiveReport, NestedReportsAndReportsInsideSections) {
  TempDir dir;
  dir.Write("a.asc", kAnswers);
  dir.Write("b.asc", "#K\t\n\"x\"\t\n\"y\"\t\n");
  EXPECT_EQ(RenderIn(dir, "<%report a.asc Q1 == 5 %>{#}<%report b.asc %>{K}</report>;</report>!"),
            "1xy;2xy;!");
}

TEST(DirectiveReport, MissingDataFileWritesAnErrorAndShowsTheBodyAsText) {
  TempDir dir;
  StatusLogReset();
  EXPECT_EQ(RenderIn(dir, "<%report none.asc %>{#}</report>."),
            "[Error: Unable to open the database none.asc]{#}</report>.");
  EXPECT_EQ(StatusLogText(),
            "\nThe report in p.htm line 1 reads the data file none.asc, which cannot be opened or "
            "has no header line.");
  StatusLogReset();
}

TEST(DirectiveReport, DryRunLeavesNoTrace) {
  TempDir dir;
  StatusLogReset();
  std::string path = dir.Write("p.htm", "<%report none.asc %>x</report><INPUT NAME=A>");
  auto pending = Table({"A=1", "B=2"});
  TemplateProcessFile(path, {.base_path = path, .pending = pending.get(), .formfill = true});
  EXPECT_EQ(StatusLogText(), "");
  EXPECT_EQ(VarTableGet(pending.get(), "A"), "");
  EXPECT_EQ(VarTableGet(pending.get(), "B"), "2");
}

TEST(DirectiveStats, ShowsCountsAndSums) {
  const std::string fixtures = std::string(TALLYPAD_TEST_DATA_DIR) + "/script/fixtures/";
  TempDir dir;
  auto vars = Table({"x=1"});
  std::string page = "<%stats " + fixtures + "stats.ini %>Total: {ALL}, sum {Q1.SUM}, count {Q1}, "
                     "{Q2.SUM}<%if $Q1 gt 5%> many<%end%></report>!";
  EXPECT_EQ(RenderIn(dir, page, vars.get()), "Total: 12, sum 35, count 7, 4.5 many!");
  // A missing file: the body once, braces not substituted.
  EXPECT_EQ(RenderIn(dir, "<%stats none.ini %>Total: {ALL}</report>!"), "Total: {ALL}!");
  EXPECT_EQ(RenderIn(dir, "<%stats %>\nx"), "x");
}

TEST(DirectiveStats, OneSectionAlone) {
  TempDir dir;
  dir.Write("s.ini", "[SUM]\nQ1=9\n");
  EXPECT_EQ(RenderIn(dir, "<%stats s.ini %>[{Q1}][{Q1.SUM}]</report>"), "[][9]");
}

// The items written by a "%random" block, which must each appear once.
TEST(DirectiveRandom, WritesEachItemOnce) {
  TempDir dir;
  auto vars = Table({"_SESSION=abc", "HOST=127.0.0.1", "V=v"});
  for (int round = 0; round < 5; ++round) {
    std::string out = RenderIn(dir, "[<%random Q Z %>a<Q>b<%= V %><Q>c<Q><Z>]", vars.get());
    ASSERT_EQ(out.size(), 6u) << out;
    EXPECT_EQ(out.front(), '[');
    EXPECT_EQ(out.back(), ']');
    std::string items = out.substr(1, 4);
    std::vector<std::string> got;
    for (size_t i = 0; i < items.size();) {
      size_t n = items[i] == 'b' ? 2 : 1;
      got.push_back(items.substr(i, n));
      i += n;
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"a", "bv", "c"})) << out;
  }
}

TEST(DirectiveRandom, TheOrderChangesWithTheSession) {
  // The order depends on the session, the host and the clock. The shuffle
  // (one pass of exchanges with a running sum) does not reach every order
  // of three items, but several of them turn up over a few sessions.
  TempDir dir;
  std::string path = dir.Write("p.htm", "<%random i e %>1<i>2<i>3<i><e>");
  std::map<std::string, int> seen;
  for (int i = 0; i < 30; ++i) {
    auto vars = Table({"_SESSION=s" + std::to_string(i)});
    ++seen[RenderFile(path, vars.get())];
  }
  for (const auto& [order, n] : seen) {
    std::string sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "123") << order;
  }
  EXPECT_GE(seen.size(), 3u);
}

TEST(DirectiveRandom, ItemsRewriteFormFieldsAndRemovePendingFields) {
  TempDir dir;
  auto vars = Table({"A=1"});
  auto pending = Table({"A=", "B=", "C="});
  std::string path = dir.Write("p.htm", "<%random Q Z %><INPUT NAME=A><Q><INPUT NAME=B><Q><Z>");
  std::string out = RenderFile(path, vars.get(), pending.get(), true);
  EXPECT_TRUE(out == "<INPUT VALUE=\"1\" NAME=\"A\"><INPUT VALUE=\"\" NAME=\"B\">" ||
              out == "<INPUT VALUE=\"\" NAME=\"B\"><INPUT VALUE=\"1\" NAME=\"A\">")
      << out;
  std::vector<std::string> left;
  VarTableForEach(pending.get(), [&](const VarEntry& e) { left.push_back(*e.name); });
  EXPECT_EQ(left, std::vector<std::string>{"C"});
}

TEST(DirectiveRandom, UnusualBlocks) {
  TempDir dir;
  std::vector<PageCase> cases = {
      // Tag names of different lengths: the items are ordinary page text.
      {"lengths differ", "<%random QQ Z %>a<QQ>b<QQ><Z>.", "a<QQ>b<QQ><Z>."},
      {"one item", "<%random Q Z %>a<Q><Z>.", "a."},
      {"no items", "<%random Q Z %><Z>.", "."},
      {"missing end tag name", "<%random Q %>\na<Q>", "a<Q>"},
      {"tag names without case", "<%random q z %>a<Q><Z>.", "a."},
      // Text after the last item tag and before the end tag is no item.
      {"text before the end tag", "<%random Q Z %>a<Q>b<Z>.", "a."},
  };
  for (const PageCase& c : cases) EXPECT_EQ(RenderIn(dir, c.page), c.expected) << c.name;
}

TEST(DirectiveRandom, AtMost128ItemsAreShuffled) {
  TempDir dir;
  std::string page = "<%random Q Z %>";
  for (int i = 0; i < 130; ++i) page += "x<Q>";
  page += "<Z>.";
  // The 129th and 130th items follow as page text.
  EXPECT_EQ(RenderIn(dir, page), std::string(128, 'x') + "x<Q>x<Q><Z>.");
}

TEST(DirectiveList, RunsOneCommand) {
  TempDir dir;
  dir.Write("a.htm", "A");
  dir.Write("a.asc", kAnswers);
  std::vector<PageCase> cases = {
      {"include", "<%kqs include a.htm %>rest", "Arest"},
      {"command without case", "<%kqs INCLUDE a.htm %> include a.htm", "A include a.htm"},
      {"source", "<%kqs source a.htm %>", "A"},
      {"report", "<%kqs report a.asc Q1 == 3 %>{Q2}</report>", "blue"},
      {"random", "<%kqs random Q Z %>a<Q><Z>", "a"},
      {"unknown word", "<%kqs foo %>\nrest", "<HR>Error in (foo)[10]: Unknown command<HR>rest"},
      {"unknown words before a command", "<%kqs foo include a.htm %>",
       "<HR>Error in (foo)[10]: Unknown command<HR>A"},
      {"end of file", "<%kqs", ""},
  };
  for (const PageCase& c : cases) EXPECT_EQ(RenderIn(dir, c.page), c.expected) << c.name;
}

TEST(DirectiveList, IsPageTextInADryRun) {
  TempDir dir;
  // Run, the command finds no item and the field is never met; in a dry run
  // its words are page text and the field is met.
  std::string path = dir.Write("p.htm", "<%kqs random Q Z %><INPUT NAME=B><Z>");
  auto pending = Table({"B="});
  EXPECT_EQ(RenderFile(path, nullptr, pending.get(), true), "");
  EXPECT_NE(VarTableFind(pending.get(), "B"), nullptr);
  TemplateProcessFile(path, {.base_path = path, .pending = pending.get(), .formfill = true});
  EXPECT_EQ(VarTableFind(pending.get(), "B"), nullptr);
}

TEST(DirectiveReadParameter, QuotesWordsAndMissingParameters) {
  struct Case {
    const char* text;
    bool present;
    const char* param;
  } cases[] = {
      {"  word rest", true, "word"},
      {"\r\n\tword", true, "word"},
      {"'a b' rest", true, "a b"},
      {"\"a\\\"b\\n\\t\\\\\\x\"", true, "a\"b\n\t\\x"},
      {"a.htm%>", true, "a.htm%>"},
      {"%> rest", false, "%>"},
      {"'' rest", false, ""},
      {"   ", false, ""},
      {"'unclosed", true, "unclosed"},
  };
  for (const Case& c : cases) {
    PageReader f(c.text);
    std::string param;
    EXPECT_EQ(DirectiveReadParameter(f, &param, kDirectiveParameterLimit), c.present)
        << c.text;
    EXPECT_EQ(param, c.param) << c.text;
  }
  // Long parameters are cut to the limit and read to their end.
  std::string text = std::string(5000, 'n') + " next";
  PageReader f(text);
  std::string param;
  EXPECT_TRUE(DirectiveReadParameter(f, &param, kDirectiveParameterLimit));
  EXPECT_EQ(param, std::string(kDirectiveParameterLimit, 'n'));
  EXPECT_TRUE(DirectiveReadParameter(f, &param, kDirectiveParameterLimit));
  EXPECT_EQ(param, "next");
}

TEST(DirectiveError, WritesTheOffsetAndNothingWithoutAStream) {
  PageReader f("0123456789");
  f.Seek(7);
  StrBuf buf;
  OutputStream out{nullptr, nullptr, &buf};
  DirectiveError(&out, f, "x.htm", "cannot open file");
  EXPECT_EQ(buf.ToString(), "<HR>Error in (x.htm)[7]: cannot open file<HR>");
  DirectiveError(nullptr, f, "x.htm", "cannot open file");
}

}  // namespace
}  // namespace tallypad
