// Saving responses through the real program over HTTP: single-page and
// multi-page surveys walked through as a browser would, with the data file,
// index, XML transactions, statistics and response counter they leave
// checked byte for byte; mail, the counting and summing rules, the response
// limit, the redirect and the result page's variants; files that cannot be
// written; and the interim saves of a survey that saves every page.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/html_form.h"
#include "support/outbox_mail.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormBody;
using testing::FormFields;
using testing::HtmlInputs;
using testing::HttpExchange;
using testing::HttpGet;
using testing::HttpPost;
using testing::DescribeQueuedMails;
using testing::HttpResponse;
using testing::InputValue;
using testing::ServedRoot;
using testing::ServedRootSuite;

constexpr char kOkHead[] =
    "HTTP/1.1 200 OK\r\nclient:close\r\nExpires: 0\r\nCache-control: no-cache\r\n"
    "Pragma: no-cache\r\nContent-type: text/html; charset=utf-8\n\n";
constexpr char kThanks[] = "<html><head><title></title></head><body><P>Thank you!</body></html>\n";

// The line the server adds after the body of a request that ended with `code`.
// The paragraphs of a save that failed: the respondent's, and the author's,
// which requests from this machine (all of this suite's) get.
std::string NotSaved() {
  return "<P class=\"kqs-error\">Sorry, your answers could not be saved. Please tell the people "
         "who run this survey.</P>\n";
}
std::string Author(const std::string& text) {
  return "<P class=\"kqs-author\"><B>For the survey's author</B> (shown only on this computer): " +
         text + "</P>\n";
}

std::string Trailer(int code) {
  return "<P><A href=/help/cgi/kqs/error.html#s" + std::to_string(code) + ">Error " +
         std::to_string(code) + "</a>\n<!-- Velkorn CGI 5.04 -->";
}

// `text` with the request's client, date and time (which differ from run to
// run) replaced by fixed words, in data file records and XML transactions.
std::string Masked(std::string text) {
  static const std::regex kRecord("\n\"[^\"\t]+\"\t\"\\d{8}\"\t\"\\d{6}\"\t");
  static const std::regex kHost("<HOST>[^<]+</HOST>");
  static const std::regex kDate("<DATE>\\d{8}</DATE>");
  static const std::regex kTime("<TIME>\\d{6}</TIME>");
  text = std::regex_replace(text, kRecord, "\n\"host\"\t\"date\"\t\"time\"\t");
  text = std::regex_replace(text, kHost, "<HOST>host</HOST>");
  text = std::regex_replace(text, kDate, "<DATE>date</DATE>");
  return std::regex_replace(text, kTime, "<TIME>time</TIME>");
}

// The inputs of `page` as a browser posts them after the respondent typed
// `answers` into them (answers for inputs the page lacks are added), with
// `action` as the button pressed. Buttons of the page are not posted.
std::string Press(const std::string& page, const std::string& action,
                  const FormFields& answers = {}) {
  FormFields fields;
  for (const auto& field : HtmlInputs(page))
    if (field.first != "_ACTION") fields.push_back(field);
  for (const auto& [name, value] : answers) {
    bool typed = false;
    for (auto& field : fields)
      if (field.first == name) typed = true, field.second = value;
    if (!typed) fields.emplace_back(name, value);
  }
  fields.emplace_back("_ACTION", action);
  return FormBody(fields);
}

// A page of a multi-page form: its own _PAGE field, a marker and inputs.
std::string Page(const std::string& name, const std::vector<std::string>& inputs) {
  std::string page = "<html><body>\n<form>\n<input type=hidden name=_PAGE value=" + name +
                     ">\nPage " + name + "\n";
  for (const std::string& input : inputs) page += "<input name=" + input + ">\n";
  return page + "</form></body></html>\n";
}

// The form's settings file: its DATABASE keys, and the append right for all.
std::string FormIni(const std::string& keys, const std::string& access = "PWDAPPEND=(allow)\n") {
  return "[DATABASE]\n" + keys + "[access]\n" + access;
}

// The single-page form `name`: its own DATABASE and _SESSION fields, the
// inputs, and the submit button.
std::string SingleForm(const std::string& name, const std::vector<std::string>& inputs) {
  std::string form = "<html><body><form method=post action=/kqs>\n"
                     "<input type=hidden name=DATABASE value=" +
                     name + ">\n<input type=hidden name=_SESSION>\n";
  for (const std::string& input : inputs) form += "<input name=" + input + ">\n";
  return form + "<input type=submit name=_ACTION value=SUBMIT>\n</form></body></html>\n";
}

// The program's environment for these tests: offline, so that queued mail
// stays in the outbox, where the tests read it.
std::vector<std::pair<std::string, std::string>> Offline() {
  return {{"TALLYPAD_NETWORK", "offline"}};
}

class SaveProgramTest : public ServedRootSuite<SaveProgramTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>(Offline());
    const auto& root = served_->root();

    // Names this server goes by besides its own, for redirects.
    root.Write("cgi.ini", "[server]\nHOSTNAMES=survey.example, kiosk\n");
    root.Write("single.ini",
               FormIni("FORM=single\nLOGDATETIME=0\nMAXRESPONSES=100\nSAVEDATA=1\n"
                       "SAVEDATANAME=data/single.asc\nSAVEINDEXNAME=data/single.idx\n"
                       "SAVEXML=1\nSAVEXMLNAME=data/single.xml\nSAVESTAT=1\n"
                       "SAVESTATNAME=data/single.sta\n"));
    root.Write("single.html", SingleForm("single", {"Q1", "AGE", "Comment"}));
    root.Write("data/single.asc", "#_SESSION\tQ1\tAGE\tComment\t\r\n");
    root.Write("data/single.idx", "#_SESSION\t_POS\n");
    root.Write("data/single.xml", "");
    root.Write("data/single.sta", "[COUNT]\nQ1=0\nComment=0\n[SUM]\nAGE=0.000000\n");

    root.Write("multi.ini",
               FormIni("MULTIPAGE=1\nMAXRESPONSES=100\nSAVEDATA=1\nSAVEDATANAME=multi.asc\n"
                       "SAVEINDEXNAME=multi.idx\nSAVEXML=1\nSAVEXMLNAME=multi.xml\n"
                       "SAVESTAT=1\nSAVESTATNAME=multi.sta\n"));
    root.Write("multi/page0", Page("page0", {"Q1"}));
    root.Write("multi/page1", Page("page1", {"AGE"}));
    root.Write("multi.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n"
               "</SCRIPT>\n<PAGE NAME=\"page1\" ACTION=\"kqs\">\n<SCRIPT>\nseen = 'page1';\n"
               "</SCRIPT>\n<PAGE NAME=\"SUBMIT\">\n<SCRIPT>\nchecked = 'yes';\n</SCRIPT>\n");
    root.Write("multi.asc",
               "#HOST\tDATE\tTIME\t_SESSION\t_PAGE\tQ1\tAGE\tseen\tchecked\t_FORMDONE\t\r\n");
    root.Write("multi.idx", "#_SESSION\tQ1\t_POS\n");
    root.Write("multi.xml", "");
    root.Write("multi.sta", "[COUNT]\nchecked=0\nseen=0\n[SUM]\nAGE=0\n");

    root.Write("nomail.ini",
               FormIni("FORM=single\nSAVEEMAIL=1\nSAVEEMAILNAME=owner@example.org\n"
                       "SAVEDATA=1\nSAVEXML=1\nSAVEXMLNAME=nomail.xml\n"));
    root.Write("nomail.asc", "#Q1\t\r\n");
    root.Write("nomail.xml", "");

    root.Write("counts.ini", FormIni("FORM=single\nSAVESTAT=1\nSAVESTATNAME=counts.sta\n"));
    root.Write("counts.sta", "[COUNT]\nQ1_3=0\nQ2=0\n");

    root.Write("resume.ini",
               FormIni("FORM=resume\nHASUID=1\nIDFIELDS=IFMUID\nSAVEDATA=1\nSAVESTAT=1\n"
                       "SAVESTATNAME=resume.sta\n",
                       "PWDAPPEND=(allow)\nPWDUPDATE=(allow)\n"));
    root.Write("resume.html",
               "<form method=post action=/kqs>\n<input type=hidden name=DATABASE value=resume>\n"
               "<input type=hidden name=_SESSION>\n<input type=hidden name=IFMUID>\n"
               "<input name=AGE>\n</form>\n");
    root.Write("resume.asc", "#IFMUID\t_SESSION\tAGE\t\r\n");
    root.Write("resume.sta", "[COUNT]\nAGE=0\n[SUM]\nAGE=0\n");

    root.Write("limited.ini", FormIni("FORM=single\nMAXRESPONSES=3\nSAVEDATA=1\n"));
    root.Write("limited.asc", "#Q1\t\r\n");

    root.Write("moved.ini", FormIni("FORM=single\nSAVEDATA=1\nSHOWREDIRECT=1\n"
                                    "REDIRECT=/thanks.html\n"));
    root.Write("moved.asc", "#Q1\t\r\n");
    root.Write("thanks.html", "<p>Thanks, come again.</p>\n");

    root.Write("quiet.ini", FormIni("FORM=single\nMESSAGE=All done\nDISPLAYMESSAGE=0\n"));
    root.Write("echo.ini",
               FormIni("FORM=echo.html\nDISPLAYFORM=1\nDISPLAYHOTLINK=1\nHOTLINK=/next.html\n"));
    root.Write("echo.html",
               "<form><input name=Q1><input name=Comment><input type=checkbox name=Pick "
               "value=b></form>");

    // Data files that cannot take the record.
    root.Write("nodata.ini", FormIni("FORM=single\nMAXRESPONSES=10\nSAVEDATA=1\n"));
    root.Write("folder.ini", FormIni("FORM=single\nSAVEDATA=1\nSAVEDATANAME=folder.d\n"));
    root.Write("folder.d/x", "");
    root.Write("rofile.ini", FormIni("FORM=single\nMAXRESPONSES=10\nSAVEDATA=1\nSAVEXML=1\n"
                                     "SAVEXMLNAME=rofile.xml\n"));
    root.Write("rofile.xml", "");
    root.Write("noxml.ini", FormIni("FORM=single\nSAVEDATA=1\nSAVEXML=1\nSAVEXMLNAME=noxml.xml\n"));
    root.Write("noxml.asc", "#Q1\t\r\n");

    root.Write("steps.ini",
               FormIni("MULTIPAGE=1\nSAVEPAGE=1\nMAXRESPONSES=100\nSAVEDATA=1\n"));
    std::string val;
    for (int n = 0; n < 4; ++n) {
      const std::string name = "page" + std::to_string(n);
      root.Write("steps/" + name, Page(name, {"a" + std::to_string(n)}));
      val += "<PAGE NAME=\"" + name + "\" ACTION=\"kqs\">\n";
      if (n < 3) val += "<SCRIPT>\n_PAGENEXT = 'page" + std::to_string(n + 1) + "';\n</SCRIPT>\n";
    }
    root.Write("steps.val", val);
    root.Write("steps.asc", "#_SESSION\t_PAGE\ta0\ta1\ta2\ta3\t_FORMDONE\t\r\n");

    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static const testing::TempDir& root() { return served_->root(); }
  static HttpResponse Post(const std::string& body) { return HttpPost(port(), "/kqs", body); }
  static HttpResponse Get(const std::string& query) { return HttpGet(port(), "/kqs?" + query); }

};

TEST_F(SaveProgramTest, ASinglePageSurveyIsSavedEndToEnd) {
  HttpResponse form = Get("DATABASE=single");
  ASSERT_EQ(form.status_line, "HTTP/1.1 200 OK");
  const std::string session = InputValue(HtmlInputs(form.body), "_SESSION");
  ASSERT_NE(session, "") << form.body;
  ASSERT_NE(session, "<none>") << form.body;

  HttpResponse saved =
      Post(Press(form.body, "SUBMIT", {{"Q1", "yes"}, {"AGE", "41"}, {"Comment", "say \"hi\""}}));
  EXPECT_EQ(saved.raw, std::string(kOkHead) + kThanks);

  // A second respondent, who leaves the comment empty.
  HttpResponse other = Post(FormBody({{"DATABASE", "single"},
                                      {"_SESSION", "second"},
                                      {"Q1", "no"},
                                      {"AGE", "1.5"},
                                      {"Comment", ""},
                                      {"_ACTION", "SUBMIT"}}));
  EXPECT_EQ(other.raw, std::string(kOkHead) + kThanks);

  const std::string header = "#_SESSION\tQ1\tAGE\tComment\t\r\n";
  const std::string first = "\"" + session + "\"\t\"yes\"\t\"41\"\t\"say \"\"hi\"\"\"\t\r\n";
  const std::string second = "\"second\"\t\"no\"\t\"1.5\"\t\"\"\t\r\n";
  EXPECT_EQ(root().Read("data/single.asc"), header + first + second);
  EXPECT_EQ(root().Read("data/single.idx"),
            "#_SESSION\t_POS\n\"" + session + "\"\t" + std::to_string(header.size()) +
                "\n\"second\"\t" + std::to_string(header.size() + first.size()) + "\n");
  // HOST, DATE and TIME are kept out (LOGDATETIME 0); bookkeeping too.
  EXPECT_EQ(root().Read("data/single.xml"),
            "<TRANSACTION><Q1>yes</Q1>\r\n<AGE>41</AGE>\r\n<Comment>say \"hi\"</Comment>\r\n"
            "</TRANSACTION>\r\n"
            "<TRANSACTION><Q1>no</Q1>\r\n<AGE>1.5</AGE>\r\n<Comment></Comment>\r\n"
            "</TRANSACTION>\r\n");
  EXPECT_EQ(root().Read("data/single.sta"),
            "[COUNT]\nQ1=2\nComment=1\n[SUM]\nAGE=42.500000\n");
  EXPECT_NE(root().Read("kqscounts.ini").find("single=2\n"), std::string::npos)
      << root().Read("kqscounts.ini");
}

TEST_F(SaveProgramTest, AMultiPageSurveyIsSavedEndToEnd) {
  HttpResponse page0 = Get("DATABASE=multi");
  ASSERT_NE(page0.body.find("Page page0"), std::string::npos) << page0.body;
  const std::string session = InputValue(HtmlInputs(page0.body), "_SESSION");
  HttpResponse page1 = Post(Press(page0.body, "NEXT", {{"Q1", "a<b"}}));
  ASSERT_NE(page1.body.find("Page page1"), std::string::npos) << page1.body;
  // SAVE runs the page's own script, then the form's final checks.
  HttpResponse saved = Post(Press(page1.body, "SAVE", {{"AGE", "34"}}));
  EXPECT_EQ(saved.raw, std::string(kOkHead) + kThanks);

  const std::string header =
      "#HOST\tDATE\tTIME\t_SESSION\t_PAGE\tQ1\tAGE\tseen\tchecked\t_FORMDONE\t\r\n";
  EXPECT_EQ(Masked(root().Read("multi.asc")),
            header + "\"host\"\t\"date\"\t\"time\"\t\"" + session +
                "\"\t\"page1\"\t\"a<b\"\t\"34\"\t\"page1\"\t\"yes\"\t\"1\"\t\r\n");
  EXPECT_EQ(root().Read("multi.idx"), "#_SESSION\tQ1\t_POS\n\"" + session + "\"\t\"a<b\"\t" +
                                          std::to_string(header.size()) + "\n");
  // Answers in the order the request holds them: the variables the scripts
  // set take the free entries ahead of the posted fields.
  EXPECT_EQ(Masked(root().Read("multi.xml")),
            "<TRANSACTION><HOST>host</HOST>\r\n<DATE>date</DATE>\r\n<TIME>time</TIME>\r\n"
            "<seen>page1</seen>\r\n<checked>yes</checked>\r\n<Q1>a&lt;b</Q1>\r\n"
            "<AGE>34</AGE>\r\n</TRANSACTION>\r\n");
  EXPECT_EQ(root().Read("multi.sta"), "[COUNT]\nchecked=1\nseen=1\n[SUM]\nAGE=34.000000\n");
  EXPECT_NE(root().Read("kqscounts.ini").find("multi=1\n"), std::string::npos)
      << root().Read("kqscounts.ini");
}

TEST_F(SaveProgramTest, MailWithoutAServerEndsTheSaveWithCode1BeforeTheDataFile) {
  HttpResponse r = Post("DATABASE=nomail&_SESSION=s&Q1=yes&_ACTION=SUBMIT");
  EXPECT_EQ(r.raw, std::string(kOkHead) + NotSaved() +
                       Author("nomail.ini mails every response (SAVEEMAIL=1), but EMAILSERVER "
                              "names no mail server: set EMAILSERVER, or SAVEEMAIL=0. The answers "
                              "were not saved.") +
                       Trailer(1));
  EXPECT_EQ(root().Read("nomail.asc"), "#Q1\t\r\n");
  EXPECT_EQ(root().Read("nomail.xml"), "");
}

TEST_F(SaveProgramTest, CountKeysFollowTheCountingRules) {
  struct Case {
    const char* answers;
    const char* counts;  // the statistics file after this response
  } cases[] = {
      {"Q1=1%2C3", "[COUNT]\nQ1_3=1\nQ2=0\n"},
      {"Q1=13", "[COUNT]\nQ1_3=1\nQ2=0\n"},  // 13 is not the choice 3
      {"Q1=3+1", "[COUNT]\nQ1_3=1\nQ2=0\n"},  // "3 1" is one answer, not the choice 3
      {"Q1=1&Q1=3", "[COUNT]\nQ1_3=2\nQ2=0\n"},  // two check boxes of one question
      {"Q2_a=&Q2_b=x", "[COUNT]\nQ1_3=2\nQ2=1\n"},
      {"Q2_a=&Q2_b=", "[COUNT]\nQ1_3=2\nQ2=1\n"},
      {"Q2=", "[COUNT]\nQ1_3=2\nQ2=1\n"},
      {"Q2=no", "[COUNT]\nQ1_3=2\nQ2=2\n"},
  };
  for (const Case& c : cases) {
    HttpResponse r = Post(std::string("DATABASE=counts&_SESSION=s&_ACTION=SUBMIT&") + c.answers);
    EXPECT_EQ(r.body, kThanks) << c.answers;
    EXPECT_EQ(root().Read("counts.sta"), c.counts) << c.answers;
  }
}

TEST_F(SaveProgramTest, ARespondentWhoSavesAgainIsSummedOnce) {
  // First visit: a new respondent logs in and answers 5.
  HttpResponse form = Post("DATABASE=resume&_ACTION=START&IFMUID=bob");
  ASSERT_NE(form.body.find("name=\"AGE\""), std::string::npos) << form.body;
  EXPECT_EQ(Post(Press(form.body, "SUBMIT", {{"AGE", "5"}})).body, kThanks);
  EXPECT_EQ(root().Read("resume.sta"), "[COUNT]\nAGE=1\n[SUM]\nAGE=5.000000\n");

  // Second visit: the stored answers are shown, and 7 replaces the 5.
  form = Post("DATABASE=resume&_ACTION=START&IFMUID=bob");
  FormFields shown = HtmlInputs(form.body);
  ASSERT_EQ(InputValue(shown, "AGE"), "5") << form.body;
  const std::string session = InputValue(shown, "_SESSION");
  EXPECT_EQ(Post(Press(form.body, "SUBMIT", {{"AGE", "7"}})).body, kThanks);
  EXPECT_EQ(root().Read("resume.sta"), "[COUNT]\nAGE=1\n[SUM]\nAGE=7.000000\n");
  // The resumed response keeps its session: only the new record is live.
  EXPECT_EQ(root().Read("resume.asc"), "#IFMUID\t_SESSION\tAGE\t\r\n#bob\"\t\"" + session +
                                           "\"\t\"5\"\t\r\n\"bob\"\t\"" + session +
                                           "\"\t\"7\"\t\r\n");

  // A third visit takes out the latest answer, not the first.
  form = Post("DATABASE=resume&_ACTION=START&IFMUID=bob");
  ASSERT_EQ(InputValue(HtmlInputs(form.body), "AGE"), "7") << form.body;
  EXPECT_EQ(Post(Press(form.body, "SUBMIT", {{"AGE", "9"}})).body, kThanks);
  EXPECT_EQ(root().Read("resume.sta"), "[COUNT]\nAGE=1\n[SUM]\nAGE=9.000000\n");

  // Another respondent adds to the sum as usual.
  form = Post("DATABASE=resume&_ACTION=START&IFMUID=ann");
  EXPECT_EQ(Post(Press(form.body, "SUBMIT", {{"AGE", "1"}})).body, kThanks);
  EXPECT_EQ(root().Read("resume.sta"), "[COUNT]\nAGE=2\n[SUM]\nAGE=10.000000\n");
}

TEST_F(SaveProgramTest, TheResponseLimitHoldsAfterExactlyThatManySaves) {
  for (int n = 1; n <= 3; ++n) {
    HttpResponse r = Post("DATABASE=limited&_SESSION=s" + std::to_string(n) + "&Q1=r" +
                          std::to_string(n) + "&_ACTION=SUBMIT");
    EXPECT_EQ(r.body, kThanks) << n;
  }
  const std::string full = "Sorry, this form is no longer available." +
                           Author("The form limited has saved 3 responses (kqscounts.ini), as "
                                  "many as MAXRESPONSES allows, so it shows MAXMESSAGE: raise "
                                  "MAXRESPONSES, or remove the form's key from kqscounts.ini to "
                                  "count again.") +
                           Trailer(12);
  EXPECT_EQ(Post("DATABASE=limited&_SESSION=s4&Q1=r4&_ACTION=SUBMIT").body, full);
  EXPECT_EQ(Get("DATABASE=limited").body, full);
  EXPECT_EQ(root().Read("limited.asc"), "#Q1\t\r\n\"r1\"\t\r\n\"r2\"\t\r\n\"r3\"\t\r\n");
  EXPECT_NE(root().Read("kqscounts.ini").find("limited=3\n"), std::string::npos)
      << root().Read("kqscounts.ini");
}

TEST_F(SaveProgramTest, ARedirectLeadsToTheServersOwnAddress) {
  const std::string body = "DATABASE=moved&_SESSION=s&Q1=one&_ACTION=SUBMIT";
  // Without a Host header: the address the server knows itself by.
  HttpResponse plain = Post(body);
  EXPECT_EQ(plain.status_line, "HTTP/1.1 302 Found");
  const std::string address = "127.0.0.1:" + std::to_string(port());
  EXPECT_EQ(plain.Header("Location"), "http://" + address + "/thanks.html");
  EXPECT_EQ(plain.body, "");

  // With a Host header: the name the client used, when it names this
  // server; otherwise the address the request arrived at, so that no
  // client can send a respondent elsewhere.
  const std::string port_text = std::to_string(port());
  struct Case {
    std::string host;
    std::string location;
  } cases[] = {
      {"localhost:" + port_text, "http://localhost:" + port_text},
      {"127.0.0.1:" + port_text, "http://127.0.0.1:" + port_text},
      {"LOCALHOST", "http://LOCALHOST"},
      {"survey.example:8080", "http://survey.example:8080"},  // listed in cgi.ini
      {"kiosk", "http://kiosk"},
      {"evil.example", "http://" + address},
      {"evil.example:" + port_text, "http://" + address},
      {"localhost.evil.example", "http://" + address},
      {"evil.example@localhost", "http://" + address},
      {"localhost:80/evil", "http://" + address},
      {"localhost:x", "http://" + address},
      {"", "http://" + address},
  };
  for (const Case& c : cases) {
    const std::string with_host =
        "POST /kqs HTTP/1.1\r\nHost: " + c.host +
        "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    HttpResponse hosted = HttpExchange(port(), with_host);
    EXPECT_EQ(hosted.status_line, "HTTP/1.1 302 Found") << c.host;
    EXPECT_EQ(hosted.Header("Location"), c.location + "/thanks.html") << c.host;
  }

  // Both responses were saved before the browser was sent on, and the page
  // the redirect names is served.
  std::string saved = "#Q1\t\r\n";
  for (size_t i = 0; i <= std::size(cases); ++i) saved += "\"one\"\t\r\n";
  EXPECT_EQ(root().Read("moved.asc"), saved);
  EXPECT_EQ(HttpGet(port(), "/thanks.html").body, "<p>Thanks, come again.</p>\n");
}

TEST_F(SaveProgramTest, TheResultPageShowsWhatTheFormAsks) {
  // Without the message: the empty page with the message as its title.
  EXPECT_EQ(Post("DATABASE=quiet&_SESSION=s&Q1=x&_ACTION=SUBMIT").raw,
            std::string(kOkHead) + "<html><head><title>All done</title></head><body></body></html>\n");

  // The form itself, filled with the answers, then the link.
  HttpResponse r = Post(FormBody({{"DATABASE", "echo"},
                                  {"_SESSION", "s"},
                                  {"Q1", "yes"},
                                  {"Comment", "a \"quoted\" <word>"},
                                  {"Pick", "b"},
                                  {"_ACTION", "SUBMIT"}}));
  EXPECT_EQ(r.body.find("<html><head><title></title></head><body><P>Thank you!<form>"), 0u)
      << r.body;
  const std::string end = "</form><HR><A HREF=\"/next.html\">Click here to continue</A>\n"
                          "</body></html>\n";
  ASSERT_GE(r.body.size(), end.size());
  EXPECT_EQ(r.body.substr(r.body.size() - end.size()), end) << r.body;
  FormFields shown = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(shown, "Q1"), "yes");
  EXPECT_EQ(InputValue(shown, "Comment"), "a \"quoted\" <word>");
  EXPECT_NE(r.body.find("&quot;quoted&quot; &lt;word&gt;"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("CHECKED"), std::string::npos) << "the box picked is ticked: " << r.body;
}

// Replaces the data file of form "rofile" by one that no one may write to,
// root included. Returns false when none could be made.
bool MakeUnwritableDataFile(const testing::TempDir& root) {
  const std::string path = root.File("rofile.asc");
  root.Write("rofile.asc", "#Q1\t\r\n");
  chmod(path.c_str(), 0444);
  if (access(path.c_str(), W_OK) != 0) return true;
  // The permission bits do not bind root: take a file of the system that
  // is read-only for everyone, whose one line makes a header.
  const char* kReadOnly = "/proc/sys/kernel/ostype";
  if (access(kReadOnly, R_OK) != 0 || access(kReadOnly, W_OK) == 0) return false;
  unlink(path.c_str());
  return symlink(kReadOnly, path.c_str()) == 0;
}

TEST_F(SaveProgramTest, ADataFileThatCannotBeWrittenIsReportedWithItsCode) {
  ASSERT_TRUE(MakeUnwritableDataFile(root()));
  const std::string before = root().Read("rofile.asc");
  // The author's sentence names the file relative to the server root, on
  // the page (this machine) and in the log.
  const std::string missing =
      " does not exist or has no header line, so the answers were not saved: create it with its "
      "header line (the column names, separated by tabs).";
  struct Case {
    const char* form;
    std::string author;
    int code;
  } cases[] = {
      {"nodata", "The data file nodata.asc" + missing, 2},
      {"folder", "The data file folder.d (SAVEDATANAME in folder.ini)" + missing, 2},
      {"rofile",
       "The data file rofile.asc cannot be written, so the answers were not saved: let the "
       "server write to it, and check that the disk is not full.",
       6},
  };
  for (const Case& c : cases) {
    HttpResponse r = Post(std::string("DATABASE=") + c.form + "&_SESSION=s&Q1=yes&_ACTION=SUBMIT");
    EXPECT_EQ(r.raw, kOkHead + NotSaved() + Author(c.author) + Trailer(c.code)) << c.form;
    EXPECT_TRUE(served_->server().WaitForOutput("kqs: " + c.author + "\n"))
        << c.form << "\n" << served_->server().Output();
  }
  EXPECT_NE(access(root().File("nodata.asc").c_str(), F_OK), 0)
      << "a missing data file is not created";
  EXPECT_EQ(root().Read("rofile.asc"), before);
  // Nothing after the data file is written; the counter, raised first, stays.
  EXPECT_EQ(root().Read("rofile.xml"), "");
  const std::string counts = root().Read("kqscounts.ini");
  EXPECT_NE(counts.find("nodata=1\n"), std::string::npos) << counts;
  EXPECT_NE(counts.find("rofile=1\n"), std::string::npos) << counts;
}

TEST_F(SaveProgramTest, AMissingXmlFileGivesCode6AndIsNotCreated) {
  HttpResponse r = Post("DATABASE=noxml&_SESSION=s&Q1=yes&_ACTION=SUBMIT");
  const std::string author =
      "The XML file noxml.xml (SAVEXMLNAME in noxml.ini) does not exist or cannot be written, so "
      "the answers were not completely saved: create it (it may be empty) and let the server "
      "write to it.";
  EXPECT_EQ(r.raw, std::string(kOkHead) + NotSaved() + Author(author) + Trailer(6));
  EXPECT_NE(access(root().File("noxml.xml").c_str(), F_OK), 0);
  EXPECT_TRUE(served_->server().WaitForOutput("kqs: " + author + "\n"))
      << served_->server().Output();
  // The data file, written before the XML file, keeps the record.
  EXPECT_EQ(root().Read("noxml.asc"), "#Q1\t\r\n\"yes\"\t\r\n");
}

TEST_F(SaveProgramTest, SavingEveryPageLeavesOneLiveRecordPerSession) {
  HttpResponse r = Get("DATABASE=steps&_SESSION=walk");
  for (int n = 0; n < 3; ++n) {
    ASSERT_NE(r.body.find("Page page" + std::to_string(n)), std::string::npos) << r.body;
    r = Post(Press(r.body, "NEXT", {{"a" + std::to_string(n), "x" + std::to_string(n)}}));
  }
  ASSERT_NE(r.body.find("Page page3"), std::string::npos) << r.body;
  EXPECT_EQ(Post(Press(r.body, "SUBMIT", {{"a3", "x3"}})).body, kThanks);

  // Each NEXT saved the answers so far; each save marked the one before.
  EXPECT_EQ(root().Read("steps.asc"),
            "#_SESSION\t_PAGE\ta0\ta1\ta2\ta3\t_FORMDONE\t\r\n"
            "#walk\"\t\"page0\"\t\"x0\"\t\"\"\t\"\"\t\"\"\t\"\"\t\r\n"
            "#walk\"\t\"page1\"\t\"x0\"\t\"x1\"\t\"\"\t\"\"\t\"\"\t\r\n"
            "#walk\"\t\"page2\"\t\"x0\"\t\"x1\"\t\"x2\"\t\"\"\t\"\"\t\r\n"
            "\"walk\"\t\"page3\"\t\"x0\"\t\"x1\"\t\"x2\"\t\"x3\"\t\"1\"\t\r\n");
  // Interim saves count against the limit too.
  EXPECT_NE(root().Read("kqscounts.ini").find("steps=4\n"), std::string::npos)
      << root().Read("kqscounts.ini");
}

TEST(SaveProgramMailTest, MailIsQueuedOnceWithTheAnswers) {
  ServedRoot served(Offline());
  served.root().Write("mailer.ini",
                      FormIni("FORM=single\nLOGDATETIME=0\nSAVEEMAIL=1\n"
                              "SAVEEMAILNAME=owner@example.org\nEMAILSERVER=127.0.0.1\n"
                              "SAVEDATA=1\n"));
  served.root().Write("mailer.asc", "#Q1\tComment\t\r\n");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  HttpResponse r =
      HttpPost(served.port(), "/kqs",
               "DATABASE=mailer&_SESSION=s&Q1=yes&Comment=two+words&_ACTION=SUBMIT");
  EXPECT_EQ(r.body, kThanks);
  EXPECT_EQ(DescribeQueuedMails(served.root().Read("outbox.kqs")),
            "OPEN 127.0.0.1:25\nFROM owner@example.org\nTO owner@example.org\n"
            "Subject: Tallypad form submission report\n"
            "Tallypad web data from: \r\nX-DATABASE: mailer\r\nQ1: yes\r\nComment: two words\r\n"
            "--\n");
  EXPECT_EQ(served.root().Read("mailer.asc"), "#Q1\tComment\t\r\n\"yes\"\t\"two words\"\t\r\n");
  EXPECT_EQ(served.Stop(), 0) << served.server().Errors();
}

}  // namespace
}  // namespace tallypad
