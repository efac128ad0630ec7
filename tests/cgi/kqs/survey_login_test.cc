// Forms whose respondents sign in with ID fields, over HTTP: the login
// page with its numbered password fields, a new respondent's start, a
// returning respondent resumed on their stored page, and the prompts when
// the update or append right is missing.
#include <gtest/gtest.h>

#include <string>

#include "support/html_form.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormFields;
using testing::HtmlInputs;
using testing::HttpGet;
using testing::HttpResponse;
using testing::InputValue;
using testing::ServedRoot;
using testing::ServedRootSuite;

constexpr char kLoginHead[] = "<head><title>Login</title></head>\n\n<BODY>\n";
constexpr char kFormStart[] =
    "<FORM METHOD=\"POST\" ACCEPT-CHARSET=\"UTF-8\">\n"
    "<INPUT TYPE=\"HIDDEN\" NAME=\"_ACTION\" VALUE=\"START\" />\n";

// The login part of the login page for form `database`, filled in.
std::string LoginForm(const std::string& database, const std::string& login,
                      const std::string& password = "") {
  return std::string("<H3>Please enter your login and password</H3>") + kFormStart +
         "<INPUT TYPE=\"HIDDEN\" NAME=\"DATABASE\" VALUE=\"" + database +
         "\" />\n<tt><label for=\"N\">Login:</label>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;</tt>"
         "<INPUT ID=\"N\" NAME=\"IFMUID\" VALUE=\"" +
         login +
         "\" />\n<br><tt><label for=\"P2\">Password2:</label>&nbsp;</tt>"
         "<INPUT ID=\"P2\" TYPE=\"PASSWORD\" NAME=\"IFMUID2\" VALUE=\"" +
         password +
         "\" />\n<br>"
         "<INPUT TYPE=\"SUBMIT\" VALUE=\"  Login to the survey  \" /></FORM></BODY>";
}

std::string StartForm(const std::string& database) {
  return std::string("<H3>Start</H3>") + kFormStart +
         "<INPUT TYPE=\"HIDDEN\" NAME=\"DATABASE\" VALUE=\"" + database +
         "\" />\n<INPUT TYPE=\"SUBMIT\" VALUE=\"  Start Survey  \" /></FORM>";
}

class SurveyLoginTest : public ServedRootSuite<SurveyLoginTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const auto& root = served_->root();
    // The data file has no column IFMUID1: the login page skips that field.
    const std::string settings =
        "[DATABASE]\nHASUID=1\nMULTIPAGE=1\nIDFIELDS=IFMUID,IFMUID1,IFMUID2\n"
        "SAVEDATANAME=data/login.asc\n";
    root.Write("login.ini", settings + "[access]\nPWDAPPEND=(allow)\nPWDUPDATE=upd\n");
    root.Write("members.ini", settings + "[access]\nPWDUPDATE=upd\n");
    root.Write("data/login.asc",
               "#_SESSION\tIFMUID\tIFMUID2\t_PAGE\t_PAGEBACK\tq1\tq2\t\r\n"
               "\"s0\"\t\"bob\"\t\"pw\"\t\"page1\"\t\"page0,\"\t\"old\"\t\"\"\t\r\n"
               "\"s1\"\t\"bob\"\t\"pw\"\t\"page2\"\t\"page1,page0,\"\t\"stored \"\"answer\"\"\"\t"
               "\"kept\"\t\r\n"
               "\"s2\"\t\"eve\"\t\"pw\"\t\"\"\t\"\"\t\"e\"\t\"\"\t\r\n");
    for (const char* form : {"login", "members"}) {
      for (const char* page : {"page0", "page2"})
        root.Write(std::string(form) + "/" + page,
                   std::string("x\n\n\n<form><input type=hidden name=_PAGE value=") + page +
                       ">Page " + page + "\n<input name=q1></form>\n");
    }
    root.Write("lostdata.ini",
               "[DATABASE]\nHASUID=1\nSAVEDATANAME=missing.asc\nFORM=f\n"
               "[access]\nPWDAPPEND=(allow)\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }


};

TEST_F(SurveyLoginTest, AnEmptyActionShowsTheLoginPageEvenWithTheAppendRight) {
  HttpResponse r = HttpGet(port(), "/kqs?DATABASE=login");
  EXPECT_EQ(r.body, kLoginHead + StartForm("login") + LoginForm("login", ""));

  // Without the append right there is no fresh start; the login given is kept.
  HttpResponse members = HttpGet(port(), "/kqs?DATABASE=members&_ACTION=START");
  EXPECT_EQ(members.body, kLoginHead + LoginForm("members", ""));
}

TEST_F(SurveyLoginTest, StartWithTheAppendRightAndNoIdShowsTheFirstPage) {
  HttpResponse r = Post({{"DATABASE", "login"}, {"_ACTION", "START"}});
  EXPECT_NE(r.body.find("Page page0"), std::string::npos) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGEBACK"), "");
  // An unknown respondent with the append right starts afresh as well.
  HttpResponse stranger =
      Post({{"DATABASE", "login"}, {"_ACTION", "START"}, {"IFMUID", "bob"}, {"IFMUID2", "wrong"}});
  EXPECT_NE(stranger.body.find("Page page0"), std::string::npos) << stranger.body;
}

TEST_F(SurveyLoginTest, AReturningRespondentWithTheUpdateRightGoesOnFromTheStoredPage) {
  HttpResponse r = Post({{"DATABASE", "login"},
                         {"_ACTION", "START"},
                         {"IFMUID", "bob"},
                         {"IFMUID2", "pw"},
                         {"_PASSWORD", "upd"}});
  ASSERT_NE(r.body.find("Page page2"), std::string::npos) << r.body;
  FormFields fields = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(fields, "_PAGEBACK"), "page1,page0,");
  EXPECT_EQ(InputValue(fields, "q1"), "stored \"answer\"") << "the latest record wins";
  EXPECT_EQ(InputValue(fields, "q2"), "kept");
  EXPECT_EQ(InputValue(fields, "_SESSION"), "s1");
  EXPECT_EQ(InputValue(fields, "IFMUID"), "bob");

  // A stored record without a page goes on from the start page.
  HttpResponse eve = Post({{"DATABASE", "login"},
                           {"_ACTION", "START"},
                           {"IFMUID", "eve"},
                           {"IFMUID2", "pw"},
                           {"_PASSWORD", "upd"}});
  EXPECT_NE(eve.body.find("Page page0"), std::string::npos) << eve.body;
}

TEST_F(SurveyLoginTest, MissingRightsGiveThePromptAndTheLoginPage) {
  const std::string notice = "<P>With this database, you may:<UL><LI>Append new records\n</UL>";
  HttpResponse update =
      Post({{"DATABASE", "login"}, {"_ACTION", "START"}, {"IFMUID", "bob"}, {"IFMUID2", "pw"}});
  EXPECT_EQ(update.body.find("<H3>Permission denied</H3>\n<P>Please enter your password to "
                             "update data in this file.\n"),
            0u)
      << update.body;
  const std::string tail = kLoginHead + StartForm("login") + LoginForm("login", "bob", "pw") +
                           notice + "<P>Error: Access denied.\n<!-- Velkorn CGI 5.04 -->";
  EXPECT_EQ(update.body.substr(update.body.size() - std::min(update.body.size(), tail.size())),
            tail);

  HttpResponse append = Post({{"DATABASE", "members"}, {"_ACTION", "START"}, {"IFMUID", "nobody"}});
  EXPECT_EQ(append.body.find("<H3>Permission denied</H3>\n<P>Please enter your password to "
                             "append data to this file.\n"),
            0u)
      << append.body;
  EXPECT_NE(append.body.find(kLoginHead + LoginForm("members", "nobody")), std::string::npos)
      << append.body;
}

TEST_F(SurveyLoginTest, ALoginPageWithoutItsDataFileIsASetupError) {
  HttpResponse r = HttpGet(port(), "/kqs?DATABASE=lostdata");
  EXPECT_EQ(r.body,
            "<head><title>Setup error</title></head>\n\n<BODY>\n"
            "Sorry, I can't access the data file. Check the read/write permissions.");
}

}  // namespace
}  // namespace tallypad
