#include "cgi/kqs/pages.h"

#include <gtest/gtest.h>

#include <string>

#include "base/decode.h"
#include "base/strbuf.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(SingleFormFileName, AddsHtmlUnlessTheExtensionIsHtmlOrHtm) {
  const struct {
    const char* form;
    const char* file;
  } cases[] = {
      {"survey", "survey.html"},         {"survey.html", "survey.html"},
      {"survey.htm", "survey.htm"},      {"survey.HTML", "survey.HTML.html"},
      {"survey.txt", "survey.txt.html"}, {"forms.v2/survey", "forms.v2/survey.html"},
  };
  for (const auto& c : cases) EXPECT_EQ(SingleFormFileName(c.form), c.file) << c.form;
}

struct StepCase {
  const char* what;
  const char* skip;
  const char* next;
  const char* current;
  const char* back;
  const char* page;      // expected
  const char* new_back;  // expected
  const char* rest;      // expected _PAGENEXT afterwards
};

TEST(NextPageStep, MergesTheSkipListAndTakesTheFirstPage) {
  const StepCase cases[] = {
      {"plain queue", "", "page2,page3", "page1", "page0,", "page2", "page1,page0,", "page3"},
      {"one showpage goes first", "p3", "page9,p3", "page1", "", "p3", "page1,", "page9"},
      {"two showpage calls mark the page", "p3,p5", "", "page0", "", "P3", "page0,", "p5"},
      {"skip list before the queue", "p3,p5", "page9", "page0", "", "P3", "page0,", "p5 page9"},
      {"only a p can carry the mark", "q3,q5", "", "page0", "", "q3", "page0,", "q5"},
      {"leading separators", "", " ,page2", "page1", "", "page2", "page1,", ""},
      {"nothing left", "", "", "page1", "page0,", "", "page1,page0,", ""},
  };
  for (const StepCase& c : cases) {
    VarTablePtr vars = VarTableCopy(nullptr, 8);
    VarTableSet(vars.get(), "_PAGESKIP", c.skip);
    VarTableSet(vars.get(), "_PAGENEXT", c.next);
    PageStep step = NextPageStep(vars.get(), c.current, c.back);
    EXPECT_EQ(step.page, c.page) << c.what;
    EXPECT_EQ(step.back_list, c.new_back) << c.what;
    EXPECT_EQ(VarTableGet(vars.get(), "_PAGENEXT"), c.rest) << c.what;
  }
}

TEST(PreviousPageStep, PopsTheBackListAndRequeuesSkippedPages) {
  const StepCase cases[] = {
      {"pop keeps the final comma", "", "", "page3", "page2,page1,page0,", "page2", "page1,page0,",
       ""},
      {"a queue from showpage gets the page back", "", "p5 page9", "p3", "page0,", "page0", "",
       "p3,p5 page9"},
      {"a marked page drops the first of the queue", "", "p5 page9", "P3", "page0,", "page0", "",
       "page9"},
      {"a queue without blanks stays", "", "page4", "page3", "page2,", "page2", "", "page4"},
      {"the last page of the list", "", "", "page1", "page0", "page0", "", ""},
      {"nothing to go back to", "", "", "page0", "", "", "", ""},
  };
  for (const StepCase& c : cases) {
    VarTablePtr vars = VarTableCopy(nullptr, 8);
    VarTableSet(vars.get(), "_PAGENEXT", c.next);
    VarTableSet(vars.get(), "_PAGEBACK", c.back);
    PageStep step = PreviousPageStep(vars.get(), c.current);
    EXPECT_EQ(step.page, c.page) << c.what;
    EXPECT_EQ(step.back_list, c.new_back) << c.what;
    EXPECT_EQ(VarTableGet(vars.get(), "_PAGENEXT"), c.rest) << c.what;
  }
}

TEST(RemoveFromPageNext, RemovesEveryOccurrence) {
  VarTablePtr vars = VarTableCopy(nullptr, 4);
  VarTableSet(vars.get(), "_PAGENEXT", "page1,page2 page1,page10");
  RemoveFromPageNext(vars.get(), "page1");
  EXPECT_EQ(VarTableGet(vars.get(), "_PAGENEXT"), "page2 page10");
}

class ShowPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("form/page0", "ACTION=kqs\n\n\n<form><input name=q></form>");
    validation_ = ValidationFile::Load(root_.path(), "form");
    vars_ = FormDecode(0, "q=1&_PAGE=page5&_PAGE=page6&_PAGESKIP=x&other=2", 4);
    out_.buffer = &text_;
  }
  TempDir root_;
  ValidationFile validation_;
  VarTablePtr vars_;
  StrBuf text_;
  OutputStream out_;
};

TEST_F(ShowPageTest, AForbiddenPageNameShowsNoPageButTheFailure) {
  for (const char* name : {"../x", "a.b", "page*", "pa'ge", "pa\"ge", "a|b", "$page", "a\\b"}) {
    StrBuf text;
    OutputStream out{nullptr, nullptr, &text};
    EXPECT_EQ(ShowPage(root_.path(), &out, "form", validation_, vars_.get(), "", name, false),
              ResultCode::kForbiddenNameCharacter)
        << name;
    // A respondent reads that the survey cannot go on; no page file is read.
    EXPECT_EQ(text.ToString(),
              "<P class=\"kqs-error\">Sorry, the next page of this survey is missing, so the "
              "survey cannot go on. Please tell the people who run it.</P>\n")
        << name;
  }
  EXPECT_EQ(ShowPage(root_.path(), &out_, "form", validation_, vars_.get(), "",
                     std::string("page0\0x", 7), true, "It came from page9."),
            ResultCode::kForbiddenNameCharacter);
  // The author also reads the name and what led to it.
  EXPECT_NE(text_.ToString().find("holds a character page names may not hold"),
            std::string::npos)
      << text_.ToString();
  EXPECT_NE(text_.ToString().find("It came from page9."), std::string::npos) << text_.ToString();
  EXPECT_EQ(text_.ToString().find("<FORM"), std::string::npos) << text_.ToString();
}

TEST_F(ShowPageTest, ACapitalPNamesTheSamePageAndTheNavigationVariablesGo) {
  EXPECT_EQ(ShowPage(root_.path(), &out_, "form", validation_, vars_.get(), "page1,", "Page0"),
            ResultCode::kOk);
  const std::string page = text_.ToString();
  EXPECT_NE(page.find("<INPUT VALUE=\"1\" name=\"q\">"), std::string::npos) << page;
  EXPECT_NE(page.find("NAME=_PAGEBACK VALUE=\"page1,\""), std::string::npos) << page;
  EXPECT_NE(page.find("NAME=\"other\" VALUE=\"2\""), std::string::npos) << page;
  for (const char* name : {"_PAGE", "_PAGESKIP", "_PAGEBACK"})
    EXPECT_EQ(VarTableFind(vars_.get(), name), nullptr) << name;
}

}  // namespace
}  // namespace tallypad
