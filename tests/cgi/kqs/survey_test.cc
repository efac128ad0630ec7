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

// The engine's two paragraphs of an error: the respondent's, and the
// author's, which requests from this machine (all of this suite's) get.
std::string Respondent(const std::string& text) {
  return "<P class=\"kqs-error\">" + text + "</P>\n";
}
std::string Author(const std::string& text) {
  return "<P class=\"kqs-author\"><B>For the survey's author</B> (shown only on this computer): " +
         text + "</P>\n";
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
  const std::string cannot_go_on =
      Respondent("Sorry, this survey cannot go on from this page. Please tell the people who run "
                 "it.");
  auto short_page = [&](const std::string& shown) {
    return cannot_go_on +
           Author("A page of the form single posted the page name &quot;" + shown +
                  "&quot; in its _PAGE field, but page names need at least 5 characters: rename "
                  "the page (its file, its _PAGE value and every _PAGENEXT or showpage that "
                  "names it).") +
           Trailer(103);
  };
  auto bad_name = [&](const std::string& shown, const std::string& hint = "") {
    return Respondent("There is no survey named &quot;" + shown +
                      "&quot; here. Please check the address you were given.") +
           Author("The form name &quot;" + shown +
                  "&quot; holds a character form names may not hold (/ . \\ * ? $ | ' "
                  "&quot;)." + hint) +
           Trailer(104);
  };
  struct Case {
    const char* what;
    std::string query;
    std::string body;  // the whole body, trailer included
  } cases[] = {
      {"short page name", "DATABASE=single&_PAGE=abcd", short_page("abcd")},
      {"page name echoed escaped", "DATABASE=single&_PAGE=%3Cb%3E", short_page("&lt;b&gt;")},
      {"dot in the database name", "DATABASE=a.b", bad_name("a.b")},
      {"quote in the database name", "DATABASE=x%22y", bad_name("x&quot;y")},
      {"markup in a refused database name", "DATABASE=%3Cimg+src=x+onerror=alert(1)%3E.x",
       bad_name("&lt;img src=x onerror=alert(1)&gt;.x")},
      {"a start page's link to a form file in capitals", "DATABASE=SURVEY.INI",
       bad_name("SURVEY.INI",
                " A start-page link names the whole file when its name ends in another case "
                "than &quot;.ini&quot;: rename SURVEY.INI to end in &quot;.ini&quot; (lower "
                "case).")},
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
    // The page names the form's file, never the server's folders; the
    // author's text says whether the file or its section is missing.
    const std::string author =
        std::string(form) == "nosuch"
            ? "The server root has no file nosuch.ini, so there is no form \"nosuch\": check the "
              "form's name in the link, or create nosuch.ini with a [DATABASE] section."
            : "noconfig.ini has no [DATABASE] section (or it is empty), so the form noconfig "
              "has no settings: put them after a line [DATABASE].";
    std::string shown = author;
    for (size_t at = 0; (at = shown.find('"', at)) != std::string::npos; at += 6)
      shown.replace(at, 1, "&quot;");
    const std::string text = Respondent("There is no survey named &quot;" + std::string(form) +
                                        "&quot; here. Please check the address you were given.") +
                             Author(shown) + Trailer(21);
    EXPECT_TRUE(EndsWith(r.body, text)) << r.body;
    EXPECT_TRUE(served_->server().WaitForOutput("kqs: " + author + "\n"))
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
  EXPECT_EQ(full.body, "Sorry, this form is no longer available." +
                           Author("The form full has saved 2 responses (kqscounts.ini), as many "
                                  "as MAXRESPONSES allows, so it shows MAXMESSAGE: raise "
                                  "MAXRESPONSES, or remove the form's key from kqscounts.ini to "
                                  "count again.") +
                           Trailer(12));

  HttpResponse room = Get("DATABASE=room");
  EXPECT_NE(room.body.find("name=\"q1\""), std::string::npos) << room.body;
  EXPECT_EQ(room.body.find("Error"), std::string::npos) << room.body;

  HttpResponse moved = Get("DATABASE=redirect");
  EXPECT_EQ(moved.status_line, "HTTP/1.1 302 Found");
  EXPECT_EQ(moved.Header("Location"), "http://127.0.0.1/closed.html");
}

TEST_F(SurveyTest, TheIdFileAdmitsOnlyTheIdsItLists) {
  const std::string refused = "Sorry, you need a password to access this form.";
  const std::string no_id =
      "The form pwd admits only the IDs listed in ids/allowed.txt (PWDFILE), and this request "
      "carries no ID in IFMUID: give respondents a link or a login page that sends it.";
  auto not_listed = [](const std::string& id) {
    return "The ID &quot;" + id + "&quot; is not listed in ids/allowed.txt (PWDFILE of the form "
           "pwd).";
  };
  struct Case {
    const char* query;
    bool admitted;
    std::string author;  // the author's text of a refusal
  } cases[] = {
      {"DATABASE=pwd&IFMUID=alice", true, ""},
      {"DATABASE=pwd&IFMUID=bob", true, ""},  // without regard to case
      {"DATABASE=pwd&IFMUID=CAROL", true, ""},
      {"DATABASE=pwd&IFMUID=ali", false, not_listed("ali")},
      {"DATABASE=pwd&IFMUID=dave", false, not_listed("dave")},
      {"DATABASE=pwd", false, no_id},
      {"DATABASE=pwd&IFMUID=", false, no_id},
  };
  for (const Case& c : cases) {
    HttpResponse r = Get(c.query);
    if (c.admitted) {
      EXPECT_NE(r.body.find("<INPUT VALUE=\"\" name=\"q1\">"), std::string::npos) << c.query;
    } else {
      EXPECT_EQ(r.body, refused + Author(c.author) + Trailer(11)) << c.query;
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
    EXPECT_TRUE(EndsWith(r.body, c.notice + Trailer(104))) << c.form << " / " << c.password;
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
  // The author learns why nobody may save.
  EXPECT_TRUE(EndsWith(r.body,
                       "<INPUT TYPE=PASSWORD NAME=_PASSWORD> <INPUT TYPE=SUBMIT "
                       "VALUE=\"Login\"></FORM><HR>" +
                           Author("closed.ini has no [access] section, so nobody may save "
                                  "answers: a public survey needs PWDAPPEND=(allow) in a section "
                                  "[access].") +
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
