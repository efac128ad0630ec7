// Multi-page surveys walked through over HTTP as a browser would: the back
// list on NEXT and BACK, answers carried as hidden fields and filled into
// inputs, the two page layouts, warnings from page scripts, showpage and
// the skip list, the save step reached from NEXT, and a missing page.
#include <gtest/gtest.h>

#include <string>

#include "support/html_form.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormFields;
using testing::HasInput;
using testing::HtmlInputs;
using testing::HttpGet;
using testing::HttpResponse;
using testing::InputValue;
using testing::ServedRoot;
using testing::ServedRootSuite;

// A page of the form: its own _PAGE field, a marker naming it, one input.
std::string Page(const std::string& name, const std::string& input) {
  return "<html><body>\n<form>\n<input type=hidden name=_PAGE value=" + name + ">\nPage " + name +
         "\n<input name=" + input + ">\n</form></body></html>\n";
}

class SurveyPagesTest : public ServedRootSuite<SurveyPagesTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const auto& root = served_->root();
    const std::string access = "[access]\nPWDAPPEND=(allow)\n";
    root.Write("three.ini", "[DATABASE]\nMULTIPAGE=1\n" + access);
    std::string val;
    for (int n = 0; n < 4; ++n) {
      const std::string name = "page" + std::to_string(n);
      root.Write("three/" + name, Page(name, "a" + std::to_string(n)));
      val += "<PAGE NAME=\"" + name + "\" ACTION=\"kqs\">\n";
      if (n < 3) val += "<SCRIPT>\n_PAGENEXT = 'page" + std::to_string(n + 1) + "';\n</SCRIPT>\n";
    }
    root.Write("three.val", val);

    root.Write("fields.ini", "[DATABASE]\nMULTIPAGE=1\nSTARTPAGE=ask\n" + access);
    root.Write("fields/ask", "ACTION=kqs\n\n\n<form><input name=q1><input name=\"q2\"></form>\n");

    root.Write("plain.ini", "[DATABASE]\nMULTIPAGE=1\n" + access);
    root.Write("plain/header", "<p>HEADER</p>\n");
    root.Write("plain/insert.htm", "<p>INSERT</p>\n");
    root.Write("plain/page0",
               "ACTION=/kqs&AUTOCOMPLETE=off\nthis line is ignored\ninsert.htm\n<h1>Before</h1>\n"
               "<form method=get action=elsewhere>\n<input name=q>\n</form>\n<p>After</p>\n");
    root.Write("plain/noact", "ACTION=first-line\n\n\n<form></form>\n");
    root.Write("plain/vpage", "<form>\n<input name=q>\n</form>\n");
    root.Write("plain.val",
               "<PAGE NAME=\"vpage\" ACTION=\"kqs\" METHOD=\"GET\" AUTOCOMPLETE=\"off\">\n"
               "<PAGE NAME=\"noact\" METHOD=\"GET\">\n");

    root.Write("warn.ini", "[DATABASE]\nMULTIPAGE=1\n" + access);
    root.Write("warn/page0",
               "<form><input type=hidden name=_PAGE value=page0>Page page0 <%= _PAGEWARN %>\n"
               "<input name=age></form>\n");
    root.Write("warn/page1", Page("page1", "b"));
    root.Write("warn.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n"
               "if (age = 'young') { _PAGEWARN = 'too young'; }\n_PAGENEXT = 'page1';\n"
               "</SCRIPT>\n<PAGE NAME=\"page1\" ACTION=\"kqs\">\n<SCRIPT TYPE=BACK>\n"
               "if (b = 'stay') { _PAGEWARN = 'stay here'; }\n</SCRIPT>\n");

    root.Write("skip.ini", "[DATABASE]\nMULTIPAGE=1\n" + access);
    root.Write("skip/page0", Page("page0", "a"));
    root.Write("skip/p3",
               "<form><input type=hidden name=_PAGE value=p3>Page p3\n"
               "<input type=hidden name=_PAGENEXT></form>\n");
    root.Write("skip/p5", Page("p5", "c"));
    root.Write("skip.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n"
               "showpage('p3');\nshowpage('p5');\nshowpage('p3');\nseen = _PAGESKIP;\n"
               "</SCRIPT>\n<PAGE NAME=\"p3\" ACTION=\"kqs\">\n<PAGE NAME=\"p5\" ACTION=\"kqs\">\n");

    const std::string saver_val =
        "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\nshowpage('(save)');\n</SCRIPT>\n"
        "<PAGE NAME=\"SUBMIT\">\n<SCRIPT>\nchecked = 'yes';\n</SCRIPT>\n";
    root.Write("saver.ini", "[DATABASE]\nMULTIPAGE=1\n" + access);
    root.Write("saver/page0", Page("page0", "a"));
    root.Write("saver.val", saver_val);
    root.Write("locked.ini", "[DATABASE]\nMULTIPAGE=1\n");
    root.Write("locked/page0", Page("page0", "a"));
    root.Write("locked.val", saver_val);

    root.Write("final.ini", "[DATABASE]\nMULTIPAGE=1\nSAVEDATA=1\n" + access);
    root.Write("final.asc", "_SESSION\tagree\n");
    root.Write("final/page0",
               "<form><input type=hidden name=_PAGE value=page0>Page page0 <%= _PAGEWARN %>\n"
               "<input name=agree></form>\n");
    root.Write("final.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n</SCRIPT>\n"
               "<PAGE NAME=\"SUBMIT\">\n<SCRIPT>\n"
               "if (agree != 'yes') { _PAGEWARN = 'please agree'; }\n</SCRIPT>\n");

    root.Write("nopages.ini", "[DATABASE]\nMULTIPAGE=1\nSTARTPAGE=page9\n" + access);
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  // Presses a button of the page: posts its inputs, the answers `extra`
  // typed into them (or added), and `action`.
  static HttpResponse Press(const std::string& page, const std::string& action,
                            const FormFields& extra = {}) {
    FormFields fields = HtmlInputs(page);
    fields.emplace_back("_ACTION", action);
    for (const auto& [name, value] : extra) {
      bool typed = false;
      for (auto& field : fields)
        if (field.first == name) typed = true, field.second = value;
      if (!typed) fields.emplace_back(name, value);
    }
    return Post(fields);
  }

};

bool Shows(const HttpResponse& r, const std::string& page) {
  return r.body.find("Page " + page + "\n") != std::string::npos;
}

TEST_F(SurveyPagesTest, NextPushesAndBackPopsTheBackList) {
  HttpResponse r = HttpGet(port(), "/kqs?DATABASE=three");
  ASSERT_TRUE(Shows(r, "page0")) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGEBACK"), "");
  const char* backs[] = {"page0,", "page1,page0,", "page2,page1,page0,"};
  for (int n = 1; n <= 3; ++n) {
    r = Press(r.body, "NEXT", {{"a" + std::to_string(n - 1), "answer" + std::to_string(n - 1)}});
    ASSERT_TRUE(Shows(r, "page" + std::to_string(n))) << r.body;
    EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGEBACK"), backs[n - 1]);
  }
  // Every earlier answer travels with the page.
  FormFields last = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(last, "a0"), "answer0");
  EXPECT_EQ(InputValue(last, "a2"), "answer2");

  r = Press(r.body, "BACK");
  ASSERT_TRUE(Shows(r, "page2")) << r.body;
  FormFields back = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(back, "_PAGEBACK"), "page1,page0,");
  EXPECT_EQ(InputValue(back, "a2"), "answer2") << "the page's own input is filled in";
  r = Press(r.body, "back");
  ASSERT_TRUE(Shows(r, "page1")) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGEBACK"), "page0,");
}

TEST_F(SurveyPagesTest, OtherAnswersTravelAsHiddenFieldsButNotTheNavigationOrRequestFields) {
  HttpResponse r = HttpGet(port(),
                           "/kqs?DATABASE=fields&q1=one&q2=t%22wo&zeta=z%3Cz&_PAGEX=p"
                           "&_pagex=lower&date=d&Host=h&_PAGENEXT=n&_PASSWORD=pw&_SESSION=s");
  FormFields fields = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(fields, "q1"), "one");
  EXPECT_EQ(InputValue(fields, "q2"), "t\"wo");
  EXPECT_NE(r.body.find("<INPUT TYPE=HIDDEN NAME=\"zeta\" VALUE=\"z&lt;z\">\n"), std::string::npos)
      << r.body;
  EXPECT_EQ(InputValue(fields, "_pagex"), "lower") << "the _PAGE prefix is compared with case";
  EXPECT_EQ(InputValue(fields, "_PASSWORD"), "pw");
  EXPECT_EQ(InputValue(fields, "_SESSION"), "s");
  for (const char* name :
       {"_PAGEX", "_PAGENEXT", "date", "Host", "HOST", "DATE", "TIME", "_ACTION"})
    EXPECT_FALSE(HasInput(fields, name)) << name;
  auto count = [&](const std::string& name) {
    size_t n = 0;
    for (const auto& field : fields) n += field.first == name;
    return n;
  };
  EXPECT_EQ(count("q1"), 1u) << "q1 is the page's own input, not carried";
  EXPECT_EQ(count("q2"), 1u);
  EXPECT_EQ(count("DATABASE"), 1u) << "only the engine's own DATABASE field";
  EXPECT_NE(r.body.find("<INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"fields\">\n"), std::string::npos);
}

TEST_F(SurveyPagesTest, ThePlainLayoutTakesItsFormFromTheFirstLineAfterTheHeaderFile) {
  HttpResponse r = HttpGet(port(), "/kqs?DATABASE=plain&_SESSION=S1&z=1");
  EXPECT_EQ(r.body,
            "<p>HEADER</p>\n<h1>Before</h1>\n"
            "<FORM NAME=F onSubmit=\"return kqsOnSubmit(this);\" ACCEPT-CHARSET=\"UTF-8\" "
            "ACTION=\"/kqs\" AUTOCOMPLETE=\"off\" METHOD=POST>\n"
            "<INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"plain\">\n"
            "<INPUT TYPE=HIDDEN NAME=_PAGEBACK VALUE=\"\">\n"
            "<p>INSERT</p>\n"
            "<INPUT TYPE=HIDDEN NAME=\"_SESSION\" VALUE=\"S1\">\n"
            "<INPUT TYPE=HIDDEN NAME=\"z\" VALUE=\"1\">\n"
            "\n<INPUT VALUE=\"\" name=\"q\">\n</form>\n<p>After</p>\n");

  // An entry without ACTION still means the plain layout.
  HttpResponse noact = Post({{"DATABASE", "plain"},
                             {"_ACTION", "NEXT"},
                             {"_PAGE", "page0"},
                             {"_PAGENEXT", "noact"},
                             {"_SESSION", "S1"}});
  EXPECT_EQ(noact.body.find("<p>HEADER</p>\n"), 0u) << noact.body;
  EXPECT_NE(noact.body.find("ACTION=\"first-line\" METHOD=POST>\n"), std::string::npos)
      << noact.body;

  // With ACTION the entry's attributes make the FORM tag, and no header is written.
  HttpResponse v = Post({{"DATABASE", "plain"},
                         {"_ACTION", "NEXT"},
                         {"_PAGE", "page0"},
                         {"_PAGENEXT", "vpage"},
                         {"_SESSION", "S1"}});
  EXPECT_EQ(v.body.find("<FORM NAME=F onSubmit=\"return kqsOnSubmit(this);\" "
                        "ACCEPT-CHARSET=\"UTF-8\" ACTION=\"kqs\" AUTOCOMPLETE=\"off\" "
                        "METHOD=\"GET\">\n"),
            0u)
      << v.body;
  EXPECT_EQ(v.body.find("HEADER"), std::string::npos);
}

TEST_F(SurveyPagesTest, AWarningShowsTheSamePageAgainWithEveryAnswer) {
  FormFields post = {{"DATABASE", "warn"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"},
                     {"_PAGEBACK", "x0,"}, {"age", "young"},    {"other", "kept"},
                     {"_SESSION", "s"}};
  HttpResponse r = Post(post);
  ASSERT_NE(r.body.find("Page page0 too young"), std::string::npos) << r.body;
  FormFields fields = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(fields, "age"), "young");
  EXPECT_EQ(InputValue(fields, "other"), "kept");
  EXPECT_EQ(InputValue(fields, "_PAGEBACK"), "x0,");

  post[4].second = "old";
  r = Post(post);
  ASSERT_TRUE(Shows(r, "page1")) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGEBACK"), "page0,x0,");

  // The back script can refuse too.
  HttpResponse stay = Press(r.body, "BACK", {{"b", "stay"}});
  EXPECT_TRUE(Shows(stay, "page1")) << stay.body;
  EXPECT_EQ(InputValue(HtmlInputs(stay.body), "_PAGEBACK"), "page0,x0,");
  HttpResponse back = Press(r.body, "BACK");
  EXPECT_NE(back.body.find("Page page0 "), std::string::npos) << back.body;
  EXPECT_EQ(InputValue(HtmlInputs(back.body), "_PAGEBACK"), "x0,");
}

TEST_F(SurveyPagesTest, TwoShowpageCallsMakeASkipListAndTheFirstIsShown) {
  HttpResponse r =
      Post({{"DATABASE", "skip"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"}, {"_SESSION", "s"}});
  ASSERT_NE(r.body.find("Page p3"), std::string::npos) << r.body;
  FormFields fields = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(fields, "seen"), "p3,p5") << "a page already listed is not added again";
  EXPECT_EQ(InputValue(fields, "_PAGENEXT"), "p5");
  EXPECT_EQ(InputValue(fields, "_PAGEBACK"), "page0,");
}

TEST_F(SurveyPagesTest, TheSkipListSaveSavesInsteadOfShowingAPage) {
  HttpResponse r = Post({{"DATABASE", "saver"},
                         {"_ACTION", "NEXT"},
                         {"_PAGE", "page0"},
                         {"_SESSION", "s"},
                         {"a", "1"}});
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(r.body.find("<P>Thank you!"), std::string::npos) << r.body;
  EXPECT_EQ(r.raw.find("HTTP/1.1", 1), std::string::npos)
      << "the result page brings the only header";

  // Without the append right the save is refused like SUBMIT, answers carried.
  HttpResponse refused = Post({{"DATABASE", "locked"},
                               {"_ACTION", "NEXT"},
                               {"_PAGE", "page0"},
                               {"_SESSION", "s"},
                               {"a", "1"}});
  EXPECT_EQ(refused.body.find("<H3>Permission denied</H3>\n<P>Please enter your password to "
                              "append data to this file.\n"),
            0u)
      << refused.body;
  FormFields fields = HtmlInputs(refused.body);
  EXPECT_EQ(InputValue(fields, "_ACTION"), "NEXT");
  EXPECT_EQ(InputValue(fields, "a"), "1");
  EXPECT_EQ(refused.body.find("Thank you"), std::string::npos);
}

TEST_F(SurveyPagesTest, TheFinalCheckCanRefuseTheResponse) {
  for (const char* action : {"SUBMIT", "SAVE"}) {
    HttpResponse refused = Post({{"DATABASE", "final"}, {"_ACTION", action}, {"_PAGE", "page0"},
                                 {"_SESSION", "refused"}, {"agree", "no"}});
    EXPECT_NE(refused.body.find("Page page0 please agree"), std::string::npos) << refused.body;
    EXPECT_EQ(InputValue(HtmlInputs(refused.body), "agree"), "no") << action;
    EXPECT_EQ(refused.body.find("Thank you"), std::string::npos) << action;
  }
  HttpResponse saved = Post({{"DATABASE", "final"}, {"_ACTION", "SUBMIT"}, {"_PAGE", "page0"},
                             {"_SESSION", "agreed"}, {"agree", "yes"}});
  EXPECT_NE(saved.body.find("<P>Thank you!"), std::string::npos) << saved.body;
  EXPECT_EQ(served_->root().Read("final.asc"), "_SESSION\tagree\n\"agreed\"\t\"yes\"\t\r\n");
}

TEST_F(SurveyPagesTest, AMissingPageIsNamedRelativeToTheServerRootWithCode2) {
  HttpResponse r = HttpGet(port(), "/kqs?DATABASE=nopages&_SESSION=s");
  // The author (this machine) reads what is missing and what led to it.
  const std::string author =
      "The page file nopages/page9 does not exist. It is the form's first page (STARTPAGE in "
      "nopages.ini, page0 when unset).";
  EXPECT_EQ(r.body, "<P class=\"kqs-error\">Sorry, the next page of this survey is missing, so "
                    "the survey cannot go on. Please tell the people who run it.</P>\n"
                    "<P class=\"kqs-author\"><B>For the survey's author</B> (shown only on this "
                    "computer): " + author + "</P>\n"
                    "<P><A href=/help/cgi/kqs/error.html#s2>Error 2</a>\n"
                    "<!-- Velkorn CGI 5.04 -->");
  // The message log says the same, relative to the server root too.
  EXPECT_TRUE(served_->server().WaitForOutput("kqs: " + author + "\n"));
}

}  // namespace
}  // namespace tallypad
