// The survey dispatcher driven over HTTP through the real program: the
// chooser page, the refusals of malformed requests and their codes, closed
// and full forms, the ID file, the rights a password grants as the notice
// shows them, the permission prompt and the report action.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/html_form.h"
#include "support/outbox_mail.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormFields;
using testing::HtmlInputs;
using testing::HttpGet;
using testing::HttpPost;
using testing::HttpResponse;
using testing::InputValue;
using testing::ServedRoot;
using testing::ServedRootSuite;

constexpr char kChooser[] =
    "<head><title>Tallypad CGI</title></head>\n"
    "<FORM METHOD=GET ACCEPT-CHARSET=\"UTF-8\">\n"
    "<H3>Start filling out a form</H3><P><label for=D>Please type the name of the form:</label> "
    "<input ID=D name=DATABASE><BR>\n"
    "<input type=submit value=\"  Click here to begin   \"></FORM>";

constexpr char kVersionComment[] = "<!-- Velkorn CGI 5.04 -->";

std::string Trailer(int code) {
  if (code == 101) return std::string("<P>Error: Access denied.\n") + kVersionComment;
  return "<P><A href=/help/cgi/kqs/error.html#s" + std::to_string(code) + ">Error " +
         std::to_string(code) + "</a>\n" + kVersionComment;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

constexpr char kNoRights[] = "<P>You are not permitted to use this server.";

class SurveyTest : public ServedRootSuite<SurveyTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const auto& root = served_->root();
    root.Write("single.ini", "[DATABASE]\nFORM=single\n[access]\nPWDAPPEND=(allow)\n");
    root.Write("single.html", "<form><input name=q1></form>\n");
    root.Write("multi.ini", "[DATABASE]\nMULTIPAGE=1\n[access]\nPWDAPPEND=(allow)\n");
    root.Write("multi/page0",
               "x\n\n\n<form><input type=hidden name=_PAGE value=page0>Page 0</form>");
    root.Write("multi/page1",
               "x\n\n\n<form><input type=hidden name=_PAGE value=page1>Page 1</form>");
    root.Write("multi.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n"
               "</SCRIPT>\n");
    root.Write("inactive.ini", "[DATABASE]\nACTIVE=0\nFORM=single\n[access]\nPWD=(allow)\n");
    root.Write("noconfig.ini", "[access]\nPWD=(allow)\n");
    std::string long_name(128, 'a');
    root.Write(long_name + ".ini", "[DATABASE]\nFORM=single\n[access]\nPWDAPPEND=(allow)\n");

    root.Write("kqscounts.ini", "[responses]\nfull=2\nredirect=5\nroom=1\n");
    root.Write("full.ini",
               "[DATABASE]\nMAXRESPONSES=2\nFORM=single\n[access]\nPWDAPPEND=(allow)\n");
    root.Write("room.ini",
               "[DATABASE]\nMAXRESPONSES=2\nFORM=single\n[access]\nPWDAPPEND=(allow)\n");
    root.Write(
        "redirect.ini",
        "[DATABASE]\nMAXRESPONSES=5\nMAXMESSAGE=http://127.0.0.1/closed.html\nFORM=single\n");

    root.Write("ids/allowed.txt", "alice\tBOB\r\n  carol\n");
    root.Write("pwd.ini",
               "[DATABASE]\nPWDFILE=ids/allowed.txt\nFORM=single\n[access]\n"
               "PWDAPPEND=(allow)\n");
    root.Write("pwdabs.ini", "[DATABASE]\nPWDFILE=" + root.File("ids/allowed.txt") +
                                 "\nIDFIELDS=LOGIN,SECRET\nPWDMESSAGE=http://127.0.0.1/who.html\n"
                                 "FORM=single\n[access]\nPWDAPPEND=(allow)\n");

    const char* rights_forms[][2] = {
        {"r_beta", "PWDREAD=beta\nPWDUPDATE=gamma\n"},
        {"r_allow", "PWDAPPEND=(ALLOW)\n"},
        {"r_deny", "PWD=(deny)\nPWDREPORT=(allow)\n"},
        {"r_pwd", "PWD=secret\n"},
    };
    for (const auto& form : rights_forms)
      root.Write(std::string(form[0]) + ".ini", std::string("[DATABASE]\nMULTIPAGE=1\nREPORT2="
                                                            "reports/r.txt\n[access]\n") +
                                                    form[1]);
    root.Write("reports/r.txt", "Report for <%= who %>.");
    root.Write("closed.ini", "[DATABASE]\nFORM=single\n");
    root.Write("watched.ini",
               "[DATABASE]\nFORM=single\nADMINEMAIL=admin@example.org\n"
               "EMAILSERVER=127.0.0.1\n");
    root.Write("a<b>&c.ini", "[DATABASE]\nFORM=single\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static HttpResponse Get(const std::string& query) { return HttpGet(port(), "/kqs?" + query); }
  static HttpResponse Post(const std::string& body) { return HttpPost(port(), "/kqs", body); }

};

TEST_F(SurveyTest, WithoutAFormNameTheChooserPageAsksForOne) {
  for (const char* path : {"/kqs", "/kqs?DATABASE=", "/kqs.exe?q=1", "/kqs.cgi"}) {
    HttpResponse r = HttpGet(port(), path);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK") << path;
    EXPECT_EQ(r.body.find(kChooser), 0u) << path << "\n" << r.body;
    EXPECT_NE(r.body.find("5.04"), std::string::npos) << path;
    EXPECT_EQ(r.body.find("Error"), std::string::npos) << path;
  }
}

TEST_F(SurveyTest, MalformedRequestsAreRefusedWithTheirCodes) {
  const std::string name128(128, 'a');
  const std::string name129(129, 'a');
  struct Case {
    const char* what;
    std::string query;
    std::string body;  // the whole body, trailer included
  } cases[] = {
      {"short page name", "DATABASE=single&_PAGE=abcd", "Bad page name: abcd" + Trailer(103)},
      {"page name echoed escaped", "DATABASE=single&_PAGE=%3Cb%3E",
       "Bad page name: &lt;b&gt;" + Trailer(103)},
      {"dot in the database name", "DATABASE=a.b", "Bad database name: a.b" + Trailer(104)},
      {"quote in the database name", "DATABASE=x%22y",
       "Bad database name: x&quot;y" + Trailer(104)},
      {"markup in a refused database name", "DATABASE=%3Cimg+src=x+onerror=alert(1)%3E.x",
       "Bad database name: &lt;img src=x onerror=alert(1)&gt;.x" + Trailer(104)},
  };
  for (const Case& c : cases) {
    HttpResponse r = Get(c.query);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK") << c.what;
    EXPECT_EQ(r.body, c.body) << c.what;
  }
  // Over-long texts get no page at all: only the server's trailer.
  for (std::string query :
       {"DATABASE=" + name129, "DATABASE=single&_PASSWORD=" + name129,
        "DATABASE=single&_ACTION=" + name129, "DATABASE=single&_PAGE=" + name129}) {
    HttpResponse r = Get(query);
    EXPECT_EQ(r.raw, Trailer(102)) << query.substr(0, 40);
  }
  // 128 characters pass every length test: the form is shown, and an
  // unknown action of 128 characters ends silently.
  HttpResponse r = Get("DATABASE=" + name128 + "&_PAGE=" + std::string(128, 'p') +
                       "&_PASSWORD=" + std::string(128, 'w'));
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(r.body.find("name=\"q1\""), std::string::npos) << r.body;
  EXPECT_EQ(r.raw.find("Error"), std::string::npos);
  EXPECT_EQ(Get("DATABASE=" + name128 + "&_ACTION=" + std::string(128, 'x')).raw, "");
}

TEST_F(SurveyTest, AFormWithoutConfigurationShowsTheChooserAndCode21) {
  for (const char* form : {"nosuch", "noconfig"}) {
    HttpResponse r = Get(std::string("DATABASE=") + form);
    EXPECT_EQ(r.body.find(kChooser), 0u) << form;
    // The page names the engine, never the server's folders.
    const std::string text = std::string("kqs") +
                             ": A configuration file for the database \"<b>" + form +
                             "</b>\" was not found. Please check your spelling and server setup "
                             "and try again.<P>\nCannot access file (" +
                             form + ".ini)Error 21 in cgi\\kqs@1888: Cannot access file (" + form +
                             ".ini)" + Trailer(21);
    EXPECT_TRUE(EndsWith(r.body, text)) << r.body;
    EXPECT_TRUE(served_->server().WaitForOutput(
        std::string("cgi\\kqs: Cannot access file (%s.ini)\t") + form))
        << served_->server().Output();
  }
}

TEST_F(SurveyTest, AClosedFormShowsTheChooser) {
  HttpResponse r = Get("DATABASE=inactive");
  EXPECT_EQ(r.body.find(kChooser), 0u) << r.body;
  EXPECT_EQ(r.body.find("Error"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("<input name"), std::string::npos) << "the form itself is not shown";
}

TEST_F(SurveyTest, ActionsAnyCaseAndUnknownActionsEndSilently) {
  EXPECT_NE(Post("DATABASE=multi&_ACTION=next&_PAGE=page0&_SESSION=s").body.find("Page 1"),
            std::string::npos);
  EXPECT_NE(Post("DATABASE=multi&_ACTION=Start&_SESSION=s").body.find("Page 0"), std::string::npos);
  // Unknown actions, and page steps on a single-page form: no response at all.
  for (const char* body : {"DATABASE=multi&_ACTION=DANCE", "DATABASE=single&_ACTION=NEXT",
                           "DATABASE=single&_ACTION=BACK&_PAGE=page0"}) {
    HttpResponse r = Post(body);
    EXPECT_TRUE(r.closed) << body;
    EXPECT_EQ(r.raw, "") << body;
  }
}

TEST_F(SurveyTest, ANewRespondentGetsASessionIdentifierAndKeepsIt) {
  FormFields first = HtmlInputs(Get("DATABASE=multi").body);
  const std::string session = InputValue(first, "_SESSION");
  EXPECT_EQ(session.rfind("x", 0), 0u) << session;
  EXPECT_NE(session.find('Y'), std::string::npos) << session;
  FormFields second = HtmlInputs(Get("DATABASE=multi").body);
  EXPECT_NE(InputValue(second, "_SESSION"), session);
  FormFields kept = HtmlInputs(Get("DATABASE=multi&_SESSION=mine").body);
  EXPECT_EQ(InputValue(kept, "_SESSION"), "mine");
}

TEST_F(SurveyTest, AFullFormShowsItsMessageOrRedirects) {
  HttpResponse full = Get("DATABASE=full");
  EXPECT_EQ(full.body, "Sorry, this form is no longer available." + Trailer(12));

  HttpResponse room = Get("DATABASE=room");
  EXPECT_NE(room.body.find("name=\"q1\""), std::string::npos) << room.body;
  EXPECT_EQ(room.body.find("Error"), std::string::npos) << room.body;

  HttpResponse moved = Get("DATABASE=redirect");
  EXPECT_EQ(moved.status_line, "HTTP/1.1 302 Found");
  EXPECT_EQ(moved.Header("Location"), "http://127.0.0.1/closed.html");
}

TEST_F(SurveyTest, TheIdFileAdmitsOnlyTheIdsItLists) {
  const std::string refused = "Sorry, you need a password to access this form." + Trailer(11);
  struct Case {
    const char* query;
    bool admitted;
  } cases[] = {
      {"DATABASE=pwd&IFMUID=alice", true},
      {"DATABASE=pwd&IFMUID=bob", true},  // without regard to case
      {"DATABASE=pwd&IFMUID=CAROL", true},
      {"DATABASE=pwd&IFMUID=ali", false},
      {"DATABASE=pwd&IFMUID=dave", false},
      {"DATABASE=pwd", false},
      {"DATABASE=pwd&IFMUID=", false},
  };
  for (const Case& c : cases) {
    HttpResponse r = Get(c.query);
    if (c.admitted) {
      EXPECT_NE(r.body.find("<INPUT VALUE=\"\" name=\"q1\">"), std::string::npos) << c.query;
    } else {
      EXPECT_EQ(r.body, refused) << c.query;
    }
  }
  // An absolute file name stands as it is; the first of IDFIELDS is the ID.
  EXPECT_EQ(Get("DATABASE=pwdabs&LOGIN=carol").body.find("Error"), std::string::npos);
  HttpResponse who = Get("DATABASE=pwdabs&SECRET=carol");
  EXPECT_EQ(who.status_line, "HTTP/1.1 302 Found");
  EXPECT_EQ(who.Header("Location"), "http://127.0.0.1/who.html");
}

// The rights notice, shown after a refused page name (code 104), lists the
// rights the posted password grants.
TEST_F(SurveyTest, TheRightsNoticeShowsWhatAPasswordGrants) {
  const std::string with = "<P>With this database, you may:<UL>";
  struct Case {
    const char* form;
    const char* password;
    std::string notice;
  } cases[] = {
      {"r_beta", "alpha, beta", with + "<LI>Read data\n</UL>"},
      {"r_beta", "alpha,beta gamma", with + "<LI>Read data\n<LI>Update existing records\n</UL>"},
      {"r_beta", "Beta", kNoRights},
      {"r_beta", "", kNoRights},
      {"r_beta", "betagamma", kNoRights},
      {"r_allow", "", with + "<LI>Append new records\n</UL>"},
      {"r_deny", "", with + "</UL>"},
      {"r_pwd", "secret",
       with + "<LI>Read data\n<LI>Edit records\n<LI>Update existing records\n"
              "<LI>Append new records\n<LI>Administer the database\n"
              "<LI>Delete records\n</UL>"},
      {"r_pwd", "other secret",
       with + "<LI>Read data\n<LI>Edit records\n<LI>Update existing "
              "records\n<LI>Append new records\n<LI>Administer the "
              "database\n<LI>Delete records\n</UL>"},
      {"r_pwd", "Secret", kNoRights},
  };
  for (const Case& c : cases) {
    FormFields post = {{"DATABASE", c.form},      {"_ACTION", "NEXT"},       {"_PAGE", "page0"},
                       {"_PAGENEXT", "bad.page"}, {"_PASSWORD", c.password}, {"_SESSION", "s"}};
    HttpResponse r = Post(testing::FormBody(post));
    EXPECT_EQ(r.body, c.notice + Trailer(104)) << c.form << " / " << c.password;
  }
}

TEST_F(SurveyTest, TheReportActionNeedsTheReportRight) {
  EXPECT_EQ(Get("DATABASE=r_deny&_ACTION=report&who=me").body, "Report for me.");
  EXPECT_EQ(Get("DATABASE=r_pwd&_ACTION=REPORT&_PASSWORD=secret&who=you").body, "Report for you.");
  HttpResponse refused = Get("DATABASE=r_beta&_ACTION=REPORT&_PASSWORD=beta");
  EXPECT_EQ(refused.body.find("<H3>Permission denied</H3>\n<P>Please enter your password to view "
                              "reports of this file.\n"),
            0u)
      << refused.body;
  EXPECT_TRUE(EndsWith(refused.body,
                       "<P>With this database, you may:<UL><LI>Read data\n</UL>" + Trailer(101)))
      << refused.body;
}

TEST_F(SurveyTest, SubmittingWithoutAnAccessSectionAsksForAPassword) {
  HttpResponse r = Post("DATABASE=closed&_ACTION=SUBMIT&q1=x%22y&_PASSWORD=wrong&_SESSION=s1");
  const std::string prompt =
      "<H3>Permission denied</H3>\n<P>Please enter your password to append data to this file.\n"
      "<P><FORM METHOD=POST ACCEPT-CHARSET=\"UTF-8\">\n"
      "<INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"closed\">\n"
      "<INPUT TYPE=HIDDEN NAME=_ACTION VALUE=\"SUBMIT\">\n";
  EXPECT_EQ(r.body.find(prompt), 0u) << r.body;
  FormFields fields = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(fields, "q1"), "x\"y");
  EXPECT_EQ(InputValue(fields, "_SESSION"), "s1");
  EXPECT_NE(r.body.find("VALUE=\"x&quot;y\""), std::string::npos);
  // The refused password is not carried: the one typed next must be the one read.
  EXPECT_EQ(InputValue(fields, "_PASSWORD"), "");
  EXPECT_TRUE(EndsWith(r.body,
                       "<INPUT TYPE=PASSWORD NAME=_PASSWORD> <INPUT TYPE=SUBMIT "
                       "VALUE=\"Login\"></FORM><HR>" +
                           std::string(kNoRights) + Trailer(101)))
      << r.body;

  // The name of the form is escaped in its hidden field.
  HttpResponse odd = Post("DATABASE=a%3Cb%3E%26c&_ACTION=submit");
  EXPECT_NE(odd.body.find("<INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"a&lt;b&gt;&amp;c\">\n"
                          "<INPUT TYPE=HIDDEN NAME=_ACTION VALUE=\"submit\">\n"),
            std::string::npos)
      << odd.body;
}

TEST_F(SurveyTest, SavingWithTheAppendRightReachesTheResultPage) {
  for (const char* action : {"SUBMIT", "save"}) {
    HttpResponse r = Post(std::string("DATABASE=single&_SESSION=s&q1=a&_ACTION=") + action);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK") << action;
    EXPECT_NE(r.body.find("<P>Thank you!"), std::string::npos) << action << r.body;
    EXPECT_EQ(r.raw.find("HTTP/1.1", 1), std::string::npos) << "one header only";
  }
}

TEST_F(SurveyTest, ARefusedRequestIsReportedToTheAdministrator) {
  HttpResponse r = Post(
      "DATABASE=watched&_ACTION=SUBMIT&_PAGE=page1&_PAGEBACK=page0%2C"
      "&_PASSWORD=guess&_SESSION=s");
  EXPECT_TRUE(EndsWith(r.body, std::string(kNoRights) + Trailer(101))) << r.body;
  // The mail waits in the outbox (or its backup, once the server tried to send it).
  const std::string report = "Database: watched\r\nError code: 101\r\nRemote host: ";
  const std::string rest =
      "\r\nPage file: page1\r\nAction: SUBMIT\r\n_PAGE: page1\r\n"
      "_PAGEBACK: page0,\r\n_PAGENEXT: \r\n_PASSWORD: guess\r\n";
  std::string mail;
  for (int i = 0; i < 100; ++i) {
    mail = testing::DescribeQueuedMails(served_->root().Read("outbox.kqs")) +
           testing::DescribeQueuedMails(served_->root().Read("outbox.bak"));
    if (mail.find(rest) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(mail.find("Subject: Web access denied/breakin attempt"), std::string::npos) << mail;
  EXPECT_NE(mail.find(report), std::string::npos) << mail;
  EXPECT_NE(mail.find(rest), std::string::npos) << mail;
}

}  // namespace
}  // namespace tallypad
