#include "cgi/kqs/page_scripts.h"

#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/decode.h"
#include "base/strbuf.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

std::optional<std::string> Call(ScriptCallback fn, std::vector<std::string> args,
                                VarTable* vars = nullptr, const VarTable* settings = nullptr,
                                std::string base_path = "") {
  ScriptContext ctx;
  ctx.settings = settings;
  ctx.base_path = std::move(base_path);
  return fn(ctx, "", args, vars);
}

TEST(RankSort, SortsNamesByTheirIntegerValues) {
  const struct {
    std::vector<std::string> args;
    std::optional<std::string> result;
  } cases[] = {
      {{"a=3,b=1,c=2"}, "b,c,a"},
      {{"a=3", "b=1", "c=2"}, "b,c,a"},
      {{"x=10,y=9"}, "y,x"},          // numbers, not texts
      {{"x=-1,y=abc,z=5"}, "x,y,z"},  // a value that is no number counts as 0
      {{"a=,b=2,c"}, "b"},            // items without a value are left out
      {{"a="}, ""},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " | ";
    EXPECT_EQ(Call(ScriptFnRankSort, c.args), c.result) << shown;
  }
}

TEST(RankIndex, CountsOnePlusTheSeparatorsBeforeTheItem) {
  const struct {
    std::vector<std::string> args;
    std::optional<std::string> result;
  } cases[] = {
      {{"a,b,c", "c"}, "3"},         {{"a,b,c", "a"}, "1"},     {{"a,b,c", "d"}, std::nullopt},
      {{"a b c", "b"}, "2"},         {{"a, b", "b"}, "3"},  // every separator character counts
      {{"ab,b", "b"}, "2"},                                 // whole items only
      {{"a,b,c", ""}, std::nullopt}, {{"a,b,c"}, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Call(ScriptFnRankIndex, c.args), c.result)
        << c.args[0] << " / " << (c.args.size() > 1 ? c.args[1] : "");
}

TEST(ShowPageFunction, BuildsTheSkipListWithoutRepeats) {
  VarTablePtr vars = VarTableCopy(nullptr, 4);
  for (const char* page : {"p3", "p5", "p3", "p5"})
    EXPECT_EQ(Call(ScriptFnShowPage, {page}, vars.get()), std::nullopt);
  EXPECT_EQ(VarTableGet(vars.get(), "_PAGESKIP"), "p3,p5");
  Call(ScriptFnShowPage, {}, vars.get());
  EXPECT_EQ(VarTableGet(vars.get(), "_PAGESKIP"), "p3,p5");

  VarTablePtr save = VarTableCopy(nullptr, 4);
  Call(ScriptFnShowPage, {"(save)"}, save.get());
  EXPECT_EQ(VarTableGet(save.get(), "_PAGESKIP"), "(save)");
}

TEST(DateAndTimeFunctions, GiveDigitsOnly) {
  std::string date = Call(ScriptFnTimeDate, {}).value_or("");
  std::string time = Call(ScriptFnTimeTime, {}).value_or("");
  EXPECT_EQ(date.size(), 8u);
  EXPECT_EQ(time.size(), 6u);
  EXPECT_EQ(date.find_first_not_of("0123456789"), std::string::npos) << date;
  EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos) << time;
  EXPECT_EQ(date.substr(0, 2), "20");
}

TEST(SendMailFunction, QueuesThroughTheFormsMailServer) {
  TempDir root;
  VarTablePtr settings = VarTableFromList("EMAILSERVER=127.0.0.1", ',', 0);
  EXPECT_EQ(Call(ScriptFnSendMail, {"ann@example.org", "Hello", "Body text"}, nullptr,
                 settings.get(), root.path()),
            std::nullopt);
  const std::string outbox = root.Read("outbox.kqs");
  EXPECT_NE(outbox.find("ann@example.org"), std::string::npos) << outbox;
  EXPECT_NE(outbox.find("Body text"), std::string::npos) << outbox;

  TempDir quiet;
  VarTablePtr no_server = VarTableFromList("TITLE=x", ',', 0);
  Call(ScriptFnSendMail, {"ann@example.org", "Hello", "Body"}, nullptr, no_server.get(),
       quiet.path());
  Call(ScriptFnSendMail, {"ann@example.org", "Hello"}, nullptr, settings.get(), quiet.path());
  Call(ScriptFnSendMail, {"ann@example.org", "Hello", "Body"}, nullptr, nullptr, quiet.path());
  EXPECT_EQ(quiet.Read("outbox.kqs"), "");
}

class PageScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write(
        "form.val",
        "<page name=\"PAGE1\" ACTION=kqs>\n"
        "<SCRIPT>\nwent = 'forward'; order = ranksort('a=2,b=1');\n</SCRIPT>\n"
        "<SCRIPT TYPE=BACK>\nwent = 'back';\n</SCRIPT>\n"
        "<PAGE NAME=\"bad\" ACTION=kqs>\n<SCRIPT>\nx = 1;\ny = nosuch(1);\nz = 2;\n</SCRIPT>\n"
        "<PAGE NAME=\"backonly\" ACTION=kqs>\n<SCRIPT TYPE=BACK>\n"
        "n = rankindex('a,b', 'b');\n</SCRIPT>\n");
    vars_ = VarTableCopy(nullptr, 8);
    out_.buffer = &text_;
  }

  void Run(std::string_view page, PageScript which) {
    RunPageScript(root_.path(), &out_, ValidationFile::Load(root_.path(), "form"), nullptr,
                  vars_.get(), page, which);
  }

  TempDir root_;
  VarTablePtr vars_;
  StrBuf text_;
  OutputStream out_;
};

TEST_F(PageScriptTest, ForwardAndBackScriptsAreFoundAfterThePagesEntry) {
  Run("page1", PageScript::kForward);
  EXPECT_EQ(VarTableGet(vars_.get(), "went"), "forward");
  EXPECT_EQ(VarTableGet(vars_.get(), "order"), "b,a");
  for (const char* name : {"_PAGEWARN", "_PAGENEXT", "_PAGESKIP"})
    EXPECT_NE(VarTableFind(vars_.get(), name), nullptr) << name;
  Run("page1", PageScript::kBack);
  EXPECT_EQ(VarTableGet(vars_.get(), "went"), "back");
  EXPECT_EQ(text_.ToString(), "");
}

TEST_F(PageScriptTest, NothingRunsWithoutTheEntryOrTheFile) {
  Run("page2", PageScript::kForward);
  Run("", PageScript::kForward);
  RunPageScript(root_.path(), &out_, ValidationFile::Load(root_.path(), "other"), nullptr,
                vars_.get(), "page1", PageScript::kForward);
  EXPECT_EQ(VarTableFind(vars_.get(), "_PAGEWARN"), nullptr);
  EXPECT_EQ(VarTableFind(vars_.get(), "went"), nullptr);
}

TEST_F(PageScriptTest, ScriptErrorsGoToTheOutput) {
  Run("bad", PageScript::kForward);
  EXPECT_EQ(text_.ToString().find("Script error 48: Function not found:"), 0u) << text_.ToString();
  EXPECT_NE(text_.ToString().find("nosuch("), std::string::npos) << text_.ToString();
  EXPECT_EQ(VarTableGet(vars_.get(), "x"), "1");
  EXPECT_EQ(VarTableGet(vars_.get(), "z"), "") << "the error ends the script";
}

TEST_F(PageScriptTest, BackScriptsHaveNoRankingFunctions) {
  Run("backonly", PageScript::kBack);
  EXPECT_EQ(text_.ToString().find("Script error 48: Function not found:"), 0u) << text_.ToString();
  EXPECT_EQ(VarTableGet(vars_.get(), "n"), "");
}

std::vector<std::string_view> NamesOf(std::span<const ScriptFunction> table) {
  std::vector<std::string_view> names;
  for (const ScriptFunction& row : table) names.push_back(row.name);
  return names;
}

TEST(PageScriptFunctions, BackScriptsHaveTheForwardFunctionsBarTheRankingOnes) {
  const std::vector<std::string_view> forward = {"print",    "write",     "eval",     "timestamp",
                                                 "tofixed",  "runReport", "number",   "toNumber",
                                                 "random",   "timedate",  "timetime", "uniqueid",
                                                 "sendmail", "showpage",  "ranksort", "rankindex"};
  const std::vector<std::string_view> back = {
      "print",    "write",  "eval",     "timestamp", "toFixed",  "runReport", "number",
      "toNumber", "random", "timedate", "timetime",  "uniqueid", "sendMail",  "showpage"};
  EXPECT_EQ(NamesOf(ForwardScriptFunctions()), forward);
  EXPECT_EQ(NamesOf(BackScriptFunctions()), back);
  // A function both kinds have takes the same arguments and does the same.
  for (size_t i = 0; i < BackScriptFunctions().size(); ++i) {
    const ScriptFunction& f = ForwardScriptFunctions()[i];
    const ScriptFunction& b = BackScriptFunctions()[i];
    EXPECT_EQ(f.max_args, b.max_args) << b.name;
    EXPECT_EQ(f.callback, b.callback) << b.name;
  }
}

TEST(ValidationFile, FindsEntriesByNameWithoutRegardToCase) {
  TempDir root;
  const std::string text =
      "<PAGE NAME=\"page10\" ACTION=one>\n<page name=\"Page1\" ACTION=\"/kqs\" METHOD=GET>\n"
      "<PAGE  NAME=\"spaced\">\n<PAGE NAME=\"open";
  root.Write("form.val", text);
  const ValidationFile file = ValidationFile::Load(root.path(), "form");
  EXPECT_EQ(file.text(), text);
  struct Case {
    const char* page;
    std::optional<size_t> after_name;
  } cases[] = {
      {"page10", text.find(" ACTION=one")},
      {"PAGE1", text.find(" ACTION=\"/kqs\"")},
      {"page", std::nullopt},
      {"spaced", std::nullopt},  // one blank between the words, exactly
      {"open", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(file.FindEntry(c.page), c.after_name) << c.page;

  VarTablePtr attrs = file.EntryAttributes("page1");
  ASSERT_TRUE(attrs);
  EXPECT_EQ(VarTableGet(attrs.get(), "ACTION"), "/kqs");
  EXPECT_EQ(VarTableGet(attrs.get(), "METHOD"), "GET");
  EXPECT_EQ(file.EntryAttributes("page2"), nullptr);

  const ValidationFile none = ValidationFile::Load(root.path(), "other");
  EXPECT_EQ(none.text(), "");
  EXPECT_EQ(none.FindEntry("page10"), std::nullopt);
}

TEST(ValidationFile, OnlyTheFirstBytesUpToTheLimitAreRead) {
  TempDir root;
  const std::string entry = "<PAGE NAME=\"late\">\n<SCRIPT>\nx = 1;\n</SCRIPT>\n";
  // The entry's name ends exactly at the limit, or runs past it.
  const size_t name_length = entry.find('>');
  root.Write("fits.val", std::string(kMaxValidationFileBytes - name_length, ' ') + entry);
  root.Write("beyond.val", std::string(kMaxValidationFileBytes - name_length + 1, ' ') + entry);
  EXPECT_NE(ValidationFile::Load(root.path(), "fits").FindEntry("late"), std::nullopt);
  const ValidationFile beyond = ValidationFile::Load(root.path(), "beyond");
  EXPECT_EQ(beyond.text().size(), kMaxValidationFileBytes);
  EXPECT_EQ(beyond.FindEntry("late"), std::nullopt);
}

}  // namespace
}  // namespace tallypad
