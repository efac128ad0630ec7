// Errors as respondents and authors see them, through the real program: a
// request from this machine (127.0.0.1) gets the respondent's short text and
// the author's detail, a request from another computer (a client bound to
// 127.0.0.2) the short text alone; the message log gets the author's text as
// whole sentences with the file relative to the server root and, for
// scripts, the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/html_form.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormBody;
using testing::HttpResponse;
using testing::ServedRoot;
using testing::ServedRootSuite;

constexpr char kThisMachine[] = "127.0.0.1";
constexpr char kAnotherComputer[] = "127.0.0.2";
constexpr char kAccess[] = "[access]\nPWDAPPEND=(allow)\nPWDREAD=(allow)\n";

class ErrorViewsTest : public ServedRootSuite<ErrorViewsTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const auto& root = served_->root();
    // A multi-page form whose first page is missing.
    root.Write("gone.ini", std::string("[DATABASE]\nMULTIPAGE=1\nSTARTPAGE=start\n") + kAccess);
    root.Write("gone/other", "<form><input type=hidden name=_PAGE value=other></form>");
    // A single-page form whose data file is missing.
    root.Write("nodata.ini", std::string("[DATABASE]\nFORM=nodata.html\nSAVEDATA=1\n") + kAccess);
    root.Write("nodata.html", "<form><input name=Q1></form>");
    // A form whose check calls a function that does not exist, and whose
    // next page's script block does the same.
    root.Write("checks.ini", std::string("[DATABASE]\nMULTIPAGE=1\n") + kAccess);
    root.Write("checks.val",
               "<PAGE NAME=\"page0\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n"
               "nosuch(1);\nif (Q1 = '') { _PAGEWARN = 'never set'; }\n</SCRIPT>\n"
               "<PAGE NAME=\"page1\" ACTION=\"/kqs\">\n<SCRIPT>\n</SCRIPT>\n");
    root.Write("checks/page0", "<form><input type=hidden name=_PAGE value=page0></form>");
    root.Write("checks/page1",
               "<p>Page one</p>\n<% x = foo(1); %>after\n"
               "<form><input type=hidden name=_PAGE value=page1></form>");
    // A form whose ID file is missing, one whose statistics file is missing,
    // and a page showing statistics that do not exist.
    root.Write("pwd.ini", std::string("[DATABASE]\nFORM=nodata.html\nPWDFILE=ids/none.txt\n") +
                              kAccess);
    root.Write("nostats.ini", std::string("[DATABASE]\nFORM=nodata.html\nSAVEDATA=1\nSAVESTAT=1\n"
                                          "SAVESTATNAME=data/nostats.sta\n") +
                                  kAccess);
    root.Write("nostats.asc", "#Q1\t\r\n");
    root.Write("broken.html", "<p>Broken</p>\n<%include nosuch.htm %>\n<%report none.asc %>{N}</report>\n");
    root.Write("listonly.ini", "[access]\nPWDREAD=(allow)\n");
    root.Write("results.html", "<p>Results</p>\n<%stats data/none.sta %>{N}</report>\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static HttpResponse From(const char* address, const std::string& request) {
    return testing::HttpExchangeFrom(address, port(), request);
  }
  static std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.0\r\n\r\n"; }
  static std::string Post(const testing::FormFields& fields) {
    const std::string body = FormBody(fields);
    return "POST /kqs HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
  }
  static bool Holds(const HttpResponse& r, const std::string& text) {
    return r.body.find(text) != std::string::npos;
  }
};

TEST_F(ErrorViewsTest, RespondentsGetTheShortTextAndTheAuthorTheDetail) {
  struct Case {
    const char* what;
    std::string request;
    std::string everyone;  // what both views show
    std::string author;    // what only this machine is shown
  } cases[] = {
      {"a missing page", Get("/kqs?DATABASE=gone&_SESSION=s"),
       "Sorry, the next page of this survey is missing",
       "The page file gone/start does not exist. It is the form's first page (STARTPAGE in "
       "gone.ini, page0 when unset)."},
      {"no settings", Get("/kqs?DATABASE=nosuch"),
       "There is no survey named &quot;nosuch&quot; here.",
       "The server root has no file nosuch.ini"},
      {"a page name that is too short", Get("/kqs?DATABASE=gone&_PAGE=abc"),
       "Sorry, this survey cannot go on from this page.",
       "posted the page name &quot;abc&quot; in its _PAGE field, but page names need at least 5 "
       "characters"},
      {"answers that cannot be saved",
       Post({{"DATABASE", "nodata"}, {"_ACTION", "SUBMIT"}, {"_SESSION", "s"}, {"Q1", "x"}}),
       "Sorry, your answers could not be saved.",
       "The data file nodata.asc does not exist or has no header line"},
      {"a check that fails", Post({{"DATABASE", "checks"}, {"_ACTION", "NEXT"},
                                  {"_PAGE", "page0"}, {"_SESSION", "s"}}),
       "<p>Page one</p>", "Script error 48: Function not found:\nnosuch("},
      {"a page's script block that fails", Get("/kqs?DATABASE=checks&_ACTION=NEXT&_PAGE=page0"),
       "after", "[Script error 48: Function not found:x = foo(]"},
      {"a page's include and report that fail", Get("/broken.html"), "<p>Broken</p>",
       "<HR>Error in (nosuch.htm)["},
      {"a report's missing data file", Get("/broken.html"), "<p>Broken</p>",
       "[Error: Unable to open the database none.asc]"},
      {"the list viewer", Get("/list?DATABASE=listonly&_ACTION=LIST"),
       "There is no form named &quot;listonly&quot; here.",
       "listonly.ini has no [DATABASE] section"},
  };
  for (const Case& c : cases) {
    HttpResponse author = From(kThisMachine, c.request);
    HttpResponse respondent = From(kAnotherComputer, c.request);
    ASSERT_TRUE(respondent.closed) << c.what << ": no answer from " << kAnotherComputer;
    EXPECT_TRUE(Holds(author, c.everyone)) << c.what << "\n" << author.body;
    EXPECT_TRUE(Holds(respondent, c.everyone)) << c.what << "\n" << respondent.body;
    EXPECT_TRUE(Holds(author, c.author)) << c.what << "\n" << author.body;
    EXPECT_FALSE(Holds(respondent, c.author)) << c.what << "\n" << respondent.body;
    EXPECT_FALSE(Holds(respondent, "shown only on this computer")) << c.what;
    // The failing statement never reaches another computer.
    EXPECT_FALSE(Holds(respondent, "Script error")) << c.what << "\n" << respondent.body;
  }
}

TEST_F(ErrorViewsTest, TheMessageLogSaysWhatWentWrongInSentences) {
  struct Case {
    const char* what;
    std::string request;
    std::string line;  // a whole line of the message log
  } cases[] = {
      {"a missing ID file", Get("/kqs?DATABASE=pwd&IFMUID=ann"),
       "kqs: The ID file ids/none.txt (PWDFILE in pwd.ini) cannot be opened, so every ID is "
       "refused: create it, or correct PWDFILE (it is named relative to the server root)."},
      {"a missing statistics file when saving",
       Post({{"DATABASE", "nostats"}, {"_ACTION", "SUBMIT"}, {"_SESSION", "s"}, {"Q1", "x"}}),
       "kqs: The statistics file data/nostats.sta (SAVESTATNAME in nostats.ini) does not exist: "
       "the response was saved without being counted. Create it with its [COUNT] and [SUM] "
       "keys."},
      {"a missing statistics file on a page", Get("/results.html"),
       "The statistics in results.html line 2 read the file data/none.sta, which does not exist."},
      {"a check's script error, with its file and line",
       Post({{"DATABASE", "checks"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"}, {"_SESSION", "t"}}),
       "kqs: Script error 48 (Function not found) in checks.val line 4: nosuch(. The rest of the "
       "script did not run."},
      {"a page's script error, with its file and line",
       Get("/kqs?DATABASE=checks&_ACTION=NEXT&_PAGE=page0&_SESSION=u"),
       "Script error 48 (Function not found) in checks/page1 line 2: x = foo(."},
      {"an include that fails", Get("/broken.html"),
       "The page broken.html line 2 includes nosuch.htm, which cannot be opened (or includes "
       "itself too deeply)."},
      {"the request's error number, never the page's HTML", Get("/kqs?DATABASE=gone"),
       "The request ended with error 2 (explained at /help/cgi/kqs/error.html#s2)."},
  };
  for (const Case& c : cases) {
    // The log is the same whoever asked.
    From(kAnotherComputer, c.request);
    EXPECT_TRUE(served_->server().WaitForOutput(c.line + "\n"))
        << c.what << "\n" << served_->server().Output();
  }
  EXPECT_EQ(served_->server().Output().find("<P><A href"), std::string::npos)
      << served_->server().Output();
}

}  // namespace
}  // namespace tallypad
