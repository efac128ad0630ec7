// The database list viewer driven over HTTP through the real program: the
// option page, paging, queries, grouped columns, the record page, escaping
// and the numbered errors.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "base/decode.h"
#include "support/served_root.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::HttpGet;
using testing::HttpResponse;
using testing::ServedRoot;
using testing::ServedRootSuite;
using testing::TempDir;

constexpr char kPageHead[] =
    "<HTML>\n<HEAD>\n<style type=\"text/css\">\n"
    "BODY\n{\nbackground-color: white;\nfont-family: courier;\nfont-size: 100%;\ncolor: "
    "#000000;\n}\n\n"
    "TABLE\n{\nborder-collapse: collapse;\n}\n\n"
    "TR\n{\nfont-size: 100%;\nborder: thin solid #000000;\n}\n\n"
    "TR.DARK\n{\nbackground-color: lightcyan;\n}\n\n"
    "TR.LIGHT\n{\nbackground-color: lightyellow;\n}\n\n"
    "TH\n{\nfont-size: 50%;\nborder-width: thin;\nborder-style: solid;\nborder-color: #000000;\n"
    "padding: 3px;\n}\n\n"
    "TD\n{\nfont-size: 50%;\nborder-width: thin;\nborder-style: solid;\nborder-color: slategray;\n"
    "text-align: center;\n}\n\n"
    "TD.INDEX\n{\ncolor: #FF0000;\nfont-size: 30%;\nfont-weight: bold;\n}\n\n"
    "TD.QUERY\n{\ncolor: #000000;\nborder-color: #FFFFFF;\n}\n\n"
    "TD.OPTION\n{\ncolor: #000000;\nborder-color: #FFFFFF;\ntext-align: left;\n}\n\n"
    "TABLE.LIST\n{\nborder-width: thin;\nborder-style: solid;\nborder-color: #000000;\n}\n\n"
    "</style>\n</HEAD>\n\n<BODY>\n";
constexpr char kPageEnd[] = "</BODY>\n</HTML>\n\n";

// The option page with the given (already escaped) database name and password.
std::string OptionPage(const std::string& database, const std::string& password) {
  return std::string(kPageHead) +
         "<FORM method=\"post\" ACCEPT-CHARSET=\"UTF-8\"><h4>To view a database or report, please "
         "choose an option:</h4>\n<TABLE>\n"
         "<TR><TD CLASS=\"OPTION\">Database:<font color=\"#FF0000\">*</font></TD><TD "
         "CLASS=\"OPTION\"><input name=\"DATABASE\" VALUE=\"" +
         database +
         "\">\n</TD></TR>\n"
         "<TR><TD CLASS=\"OPTION\">Query:</TD><TD CLASS=\"OPTION\"><INPUT NAME=\"_QUERY\"> "
         "(<b>field</b>=<i>value</i>&amp;<b>field</b>=<i>value</i>)</TD></TR>\n"
         "<TR><TD CLASS=\"OPTION\">Password:<font color=\"#FF0000\">*</font></TD><TD "
         "CLASS=\"OPTION\"><INPUT TYPE=\"PASSWORD\" NAME=\"_PASSWORD\" VALUE=\"" +
         password +
         "\"> (to use multiple passwords, separate them with commas)</TD></TR>\n"
         "<TR><TD CLASS=\"OPTION\"><INPUT TYPE=\"HIDDEN\" NAME=\"_ACTION\" VALUE=\"LIST\"><INPUT "
         "TYPE=\"SUBMIT\" VALUE=\"List records\"></TD></TR>\n"
         "</TABLE>\n\n</FORM>\n"
         "<HR>Tallypad Database List. Copyright &copy; Velkorn. All rights reserved.\n" +
         kPageEnd;
}

// The query bar with the given (already escaped) hidden values.
std::string QueryBar(const std::string& database, const std::string& password) {
  return "<TABLE><TR><TD CLASS=\"QUERY\"><FORM ACCEPT-CHARSET=\"UTF-8\"><INPUT TYPE=HIDDEN "
         "NAME=DATABASE VALUE=\"" +
         database + "\">\n<INPUT TYPE=HIDDEN NAME=_PASSWORD VALUE=\"" + password +
         "\">\n Query: <INPUT NAME=_QUERY><INPUT TYPE=SUBMIT NAME=_ACTION "
         "VALUE=\"List records\">\n</FORM>\n\n</TD><TD CLASS=\"QUERY\"><FORM "
         "ACCEPT-CHARSET=\"UTF-8\">\n<INPUT TYPE=SUBMIT NAME=_ACTION VALUE=\"Start "
         "over\"></FORM>\n</TD></TABLE>(<b>field</b>=<i>value</i>&<b>field</b>=<i>value</i>) "
         "wildcards are _ and %\n";
}

std::string TrailerFor(int code) {
  return "<P><A href=/help/cgi/kqs/error.html#s" + std::to_string(code) + ">Error " +
         std::to_string(code) + "</a>\n";
}

// A record line as the survey engine writes it.
std::string Record(const std::vector<std::string>& values) {
  std::string line;
  for (const std::string& v : values) line += "\"" + v + "\"\t";
  return line + "\r\n";
}

constexpr char kSurveyHeader[] = "#_SESSION\tQ1\tQ2_1\tQ2_2\tyes\t\r\n";

// 120 records numbered by their session; 60 and 75 superseded, 80 a blank line.
std::string ManyRecords() {
  std::string text = kSurveyHeader;
  for (int n = 1; n <= 120; ++n) {
    if (n == 80) {
      text += "\r\n";
      continue;
    }
    std::string line = Record({"s" + std::to_string(n), n % 2 ? "yes" : "no", "a", "b", "c"});
    if (n == 60 || n == 75) line[0] = '#';
    text += line;
  }
  return text;
}

// One program for the whole suite, on a server root holding these forms:
// survey (read with password "reader", data file data/responses.asc),
// many (120 records, password "owner" through PWD), ghost (an access section
// but no DATABASE section), nodata (a data file that is missing), and
// R&D"<1> (a name and password that need escaping).
class ListViewerTest : public ServedRootSuite<ListViewerTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const TempDir& root = served_->root();
    root.Write("cgi.ini", "[server]\n");
    root.Write("survey.ini",
               "[DATABASE]\nSAVEDATANAME=data/responses.asc\n[access]\nPWDREAD=reader\n"
               "PWDAPPEND=appender\n");
    root.Write("data/responses.asc",
               std::string(kSurveyHeader) + Record({"s1", "yes", "a", "b", "no"}) +
                   Record({"s2", "Yes", "", "c", "x"}) + "\"s3\"\t\"no\"\t\"<b>\"\t\r\n" +
                   Record({"s4", "maybe", "x", "y", "maybe"}));
    root.Write("many.ini", "[DATABASE]\nTITLE=Many\n[access]\nPWD=owner\n");
    root.Write("many.asc", ManyRecords());
    root.Write("ghost.ini", "[access]\nPWD=(allow)\n");
    root.Write("nodata.ini", "[DATABASE]\nSAVEDATANAME=missing.asc\n[access]\nPWDREAD=(allow)\n");
    root.Write("R&D\"<1>.ini", "[DATABASE]\nTITLE=R&D\n[access]\nPWDREAD=p&q\"<r\n");
    root.Write("R&D\"<1>.asc", std::string(kSurveyHeader) + Record({"s1", "yes", "", "", ""}));
    served_->Start();
  }

  void SetUp() override {
    ASSERT_NE(port(), 0) << served_->server().Output() << served_->server().Errors();
  }

  // The body of the answer to "/list?" followed by `query`.
  static std::string List(const std::string& query) {
    HttpResponse r = HttpGet(port(), "/list?" + query);
    EXPECT_TRUE(r.closed) << query;
    EXPECT_EQ(r.Header("Content-type"), "text/html; charset=utf-8") << query;
    return r.body;
  }
};

// The record numbers of the rows listed, in order.
std::vector<int> RowNumbers(const std::string& body) {
  std::vector<int> numbers;
  static const std::regex index("<TD CLASS=\"INDEX\">([0-9]+)</TD>");
  for (auto it = std::sregex_iterator(body.begin(), body.end(), index);
       it != std::sregex_iterator(); ++it)
    numbers.push_back(std::stoi((*it)[1]));
  return numbers;
}

std::vector<int> Range(int from, int to, std::vector<int> except = {}) {
  std::vector<int> out;
  for (int n = from; n <= to; ++n)
    if (std::find(except.begin(), except.end(), n) == except.end()) out.push_back(n);
  return out;
}

std::string PagingLinks(const std::string& fixed, long long back, long long next) {
  return "<a href=\"?" + fixed + "&_START=" + std::to_string(back) + "\">Back</a> | <a href=\"?" +
         fixed + "&_START=" + std::to_string(next) + "\">Next</a>";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(ListViewerTest, WithoutActionNameOrReadRightTheOptionPageComesBack) {
  struct Case {
    const char* query;
    std::string page;
  } cases[] = {
      {"DATABASE=survey&_PASSWORD=reader", OptionPage("survey", "reader")},
      {"", OptionPage("", "")},
      {"_ACTION=LIST&_PASSWORD=reader", OptionPage("", "reader")},
      {"DATABASE=survey&_PASSWORD=wrong&_ACTION=LIST", OptionPage("survey", "wrong")},
      {"DATABASE=survey&_PASSWORD=Reader&_ACTION=LIST", OptionPage("survey", "Reader")},
      // Appending is no right to read.
      {"DATABASE=survey&_PASSWORD=appender&_ACTION=LIST", OptionPage("survey", "appender")},
      {"DATABASE=nothere&_ACTION=LIST", OptionPage("nothere", "")},
      // What the user typed comes back escaped inside the attributes.
      {"DATABASE=a%22b%3Cc%26d&_PASSWORD=%22%3E%3Cscript%3E",
       OptionPage("a&quot;b&lt;c&amp;d", "&quot;&gt;&lt;script&gt;")},
  };
  for (const Case& c : cases) EXPECT_EQ(List(c.query), c.page) << c.query;
}

TEST_F(ListViewerTest, AMalformedNameIsLoggedAndShowsTheOptionPage) {
  EXPECT_EQ(List("DATABASE=..%2Fsurvey&_PASSWORD=reader&_ACTION=LIST"),
            OptionPage("../survey", "reader"));
  EXPECT_TRUE(served_->server().WaitForOutput("Buffer overrun attempt\tHOST=\n"));
}

TEST_F(ListViewerTest, TheListPageOfASmallFile) {
  std::string body = List("DATABASE=survey&_PASSWORD=reader&_ACTION=LIST");
  std::string links =
      PagingLinks("DATABASE=survey&_PASSWORD=reader&_ACTION=LIST&_COUNT=50", -50, 50);
  auto row = [](int n, const char* tr_class, const std::string& cells) {
    return "\n<TR CLASS=\"" + std::string(tr_class) + "\">\n<TD><a href=\"?_PASSWORD=reader&" +
           "DATABASE=survey&_ROWID=" + std::to_string(n) + "&_ACTION=View\">View</a></TD>\n" +
           "<TD CLASS=\"INDEX\">" + std::to_string(n) + "</TD>\n" + cells + "</TR>\n\n";
  };
  std::string expected =
      std::string(kPageHead) + "<h3>Tallypad Database List</h3>\n" + QueryBar("survey", "reader") +
      // The records listed, to download.
      "<P CLASS=\"DOWNLOAD\">Download the records listed: "
      "<a href=\"?DATABASE=survey&_PASSWORD=reader&_ACTION=CSV\">CSV (spreadsheet)</a> "
      "<a href=\"?DATABASE=survey&_PASSWORD=reader&_ACTION=JSONL\">JSON Lines</a></P>\n"
      "<HR>\n" + links + "<TABLE CLASS=\"LIST\">\n" +
      // _SESSION vanishes; Q2_1 and Q2_2 share the heading Q2.
      "<TR><TH COLSPAN=2>Row Actions<TH>Q1</TH><TH>Q2</TH><TH>yes</TH></TR>" +
      row(1, "LIGHT", "<TD>yes<TD>a,b<TD>no") +
      // An empty value writes nothing.
      row(2, "DARK", "<TD>Yes<TD>,c<TD>x") +
      // Values are escaped; a value the line does not hold at all is "&nbsp;".
      row(3, "LIGHT", "<TD>no<TD>&lt;b&gt;,&nbsp;<TD>&nbsp;") +
      row(4, "DARK", "<TD>maybe<TD>x,y<TD>maybe") + "\n</TABLE>\n\n\n" + links + kPageEnd;
  EXPECT_EQ(body, expected);
}

TEST_F(ListViewerTest, CountAndStartAreConvertedAsDocumented) {
  const std::string fixed = "DATABASE=many&_PASSWORD=owner&_ACTION=LIST";
  struct Case {
    std::string query;
    std::vector<int> rows;
    long long back, next;
    long long count;
  } cases[] = {
      {"", Range(1, 50), -50, 50, 50},
      {"&_COUNT=0", Range(1, 50), -50, 50, 50},
      {"&_COUNT=abc", Range(1, 50), -50, 50, 50},
      {"&_COUNT=-5", Range(1, 50), -50, 50, 50},
      {"&_START=-10", Range(1, 50), -50, 50, 50},
      {"&_START=abc&_COUNT=3", Range(1, 3), -3, 3, 3},
      {"&_START=2&_COUNT=3x", Range(3, 5), -1, 5, 3},
      // Superseded records are skipped without renumbering the others, and
      // the blank line at 80 does not end the listing.
      {"&_START=50&_COUNT=50", Range(51, 100, {60, 75, 80}), 0, 100, 50},
      {"&_START=110&_COUNT=50", Range(111, 120), 60, 160, 50},
      // Past the end: an empty table, both links still there.
      {"&_START=500", {}, 450, 550, 50},
      {"&_START=2147483647&_COUNT=2147483647", {}, 0, 4294967294LL, 2147483647},
      {"&_START=99999999999&_COUNT=99999999999", {}, 0, 4294967294LL, 2147483647},
  };
  for (const Case& c : cases) {
    std::string body = List(fixed + c.query);
    EXPECT_EQ(RowNumbers(body), c.rows) << c.query;
    std::string links = PagingLinks(fixed + "&_COUNT=" + std::to_string(c.count), c.back, c.next);
    EXPECT_EQ(Count(body, links), 2u) << c.query << "\n" << links << "\n" << body;
  }
}

TEST_F(ListViewerTest, RowsAlternateByListedRecordNotByPosition) {
  std::string body = List("DATABASE=many&_PASSWORD=owner&_ACTION=LIST&_START=58&_COUNT=4");
  EXPECT_EQ(RowNumbers(body), (std::vector<int>{59, 61, 62}));
  std::regex tr("<TR CLASS=\"([A-Z]+)\">\n<TD><a[^\n]*\n<TD CLASS=\"INDEX\">([0-9]+)<");
  std::vector<std::string> classes;
  for (auto it = std::sregex_iterator(body.begin(), body.end(), tr); it != std::sregex_iterator();
       ++it)
    classes.push_back((*it)[1].str() + (*it)[2].str());
  EXPECT_EQ(classes, (std::vector<std::string>{"LIGHT59", "DARK61", "LIGHT62"}));
}

TEST_F(ListViewerTest, QueriesAreConditionsOverTheRecord) {
  struct Case {
    const char* query;  // as it goes into the request
    std::vector<int> rows;
  } cases[] = {
      {"Q1%3D%27yes%27", {1, 2}},  // Q1='yes', any case
      {"q1%3D%27YES%27", {1, 2}},  // names without regard to case
      {"Q1%3Dyes", {4}},           // Q1 against the column named yes
      {"abc", {1, 2, 3, 4}},       // not a condition: every record
      {"", {1, 2, 3, 4}},
      {"Q2%3D%27a%27", {1}},  // the cut name holds the first grouped value
      {"Q1%3D%27no%27+%26+yes%3D%27%27", {3}},
  };
  for (const Case& c : cases) {
    std::string body =
        List(std::string("DATABASE=survey&_PASSWORD=reader&_ACTION=LIST&_QUERY=") + c.query);
    EXPECT_EQ(RowNumbers(body), c.rows) << c.query;
  }
}

TEST_F(ListViewerTest, AFilteredListPagesOnWithItsQuery) {
  std::string body =
      List("DATABASE=many&_PASSWORD=owner&_ACTION=LIST&_COUNT=10&_QUERY=Q1%3D%27no%27");
  EXPECT_EQ(RowNumbers(body), (std::vector<int>{2, 4, 6, 8, 10}));
  std::string next =
      "<a "
      "href=\"?DATABASE=many&_PASSWORD=owner&_ACTION=LIST&_COUNT=10&_START=10&_QUERY=Q1%3D%27no%"
      "27\">Next</a>";
  EXPECT_EQ(Count(body, next), 2u) << body;
  EXPECT_NE(body.find(" Query: <INPUT NAME=_QUERY VALUE=\"Q1='no'\">"), std::string::npos) << body;
  // Following the link lists the next window with the same query.
  EXPECT_EQ(RowNumbers(List("DATABASE=many&_PASSWORD=owner&_ACTION=LIST&_COUNT=10&_START=10&_QUERY="
                            "Q1%3D%27no%27")),
            (std::vector<int>{12, 14, 16, 18, 20}));
}

TEST_F(ListViewerTest, NamesAndPasswordsNeedingEscapesRoundTrip) {
  const std::string database = "R&D\"<1>", password = "p&q\"<r";
  const std::string fixed = "DATABASE=" + UrlEncode(database) + "&_PASSWORD=" + UrlEncode(password);
  std::string body = List(fixed + "&_ACTION=LIST");
  EXPECT_EQ(RowNumbers(body), (std::vector<int>{1}));
  EXPECT_NE(body.find(QueryBar("R&amp;D&quot;&lt;1&gt;", "p&amp;q&quot;&lt;r")), std::string::npos)
      << body;
  EXPECT_NE(
      body.find(
          "<a href=\"?_PASSWORD=p%26q%22%3Cr&DATABASE=R%26D%22%3C1%3E&_ROWID=1&_ACTION=View\">"),
      std::string::npos)
      << body;
  EXPECT_EQ(Count(body, PagingLinks(fixed + "&_ACTION=LIST&_COUNT=50", -50, 50)), 2u) << body;
  // The View link leads to the record.
  EXPECT_NE(List(fixed + "&_ROWID=1&_ACTION=View").find("<H2>Viewing record 1</H2>"),
            std::string::npos);
}

TEST_F(ListViewerTest, TheRecordPageShowsEveryColumnByItsFullName) {
  std::string body = List("_PASSWORD=reader&DATABASE=survey&_ROWID=3&_ACTION=View");
  std::string expected =
      std::string(kPageHead) + "<H2>Viewing record 3</H2>" + QueryBar("survey", "reader") +
      "<HR>\n<TABLE>\n" + "<TR CLASS=\"DARK\">\n<TD>_SESSION</TD>\n<TD>s3</TD>\n" +
      "<TR CLASS=\"LIGHT\">\n<TD>Q1</TD>\n<TD>no</TD>\n" +
      "<TR CLASS=\"DARK\">\n<TD>Q2_1</TD>\n<TD>&lt;b&gt;</TD>\n" +
      "<TR CLASS=\"LIGHT\">\n<TD>Q2_2</TD>\n<TD>&nbsp;</TD>\n" +
      "<TR CLASS=\"DARK\">\n<TD>yes</TD>\n<TD>&nbsp;</TD>\n" + "</TABLE>\n\n" + kPageEnd;
  EXPECT_EQ(body, expected);
  // Record numbers count superseded lines: 61 is the 61st line after the header.
  body = List("_PASSWORD=owner&DATABASE=many&_ROWID=61&_ACTION=view");
  EXPECT_NE(body.find("<TD>_SESSION</TD>\n<TD>s61</TD>"), std::string::npos) << body;
}

TEST_F(ListViewerTest, ViewWithoutARecordNumberWritesNothing) {
  for (const char* rowid : {"&_ROWID=0", "&_ROWID=-4", "&_ROWID=x", ""}) {
    HttpResponse r =
        HttpGet(port(), std::string("/list?DATABASE=survey&_PASSWORD=reader&_ACTION=VIEW") + rowid);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.body, "") << rowid;
    EXPECT_EQ(r.Header("Content-type"), "text/html; charset=utf-8");
  }
}

TEST_F(ListViewerTest, RowsThatHoldNoRecordAreReportedWithCode8) {
  struct Case {
    const char* query;
    int rowid;
  } cases[] = {
      {"DATABASE=survey&_PASSWORD=reader&_ACTION=VIEW&_ROWID=5", 5},
      {"DATABASE=survey&_PASSWORD=reader&_ACTION=VIEW&_ROWID=2147483647", 2147483647},
      {"DATABASE=many&_PASSWORD=owner&_ACTION=VIEW&_ROWID=80", 80},  // the blank line
  };
  for (const Case& c : cases) {
    std::string body = List(c.query);
    EXPECT_EQ(body.rfind("Row (" + std::to_string(c.rowid) + ") does not exist in the database." +
                             TrailerFor(8),
                         0),
              0u)
        << body;
  }
}

TEST_F(ListViewerTest, ErrorsTellTheCallerBrieflyAndTheAuthorWhatToFix) {
  // Every request of this suite comes from this machine: the author's text
  // follows the caller's on the page, and the message log holds it.
  auto author = [](const std::string& text) {
    return "<P class=\"list-author\"><B>For the form's author</B> (shown only on this "
           "computer): " + text + "</P>\n";
  };
  auto caller = [](const std::string& text) {
    return "<P class=\"list-error\">" + text + "</P>\n";
  };
  // The configuration has no DATABASE section: code 21 after the option page.
  const std::string ghost =
      "ghost.ini has no [DATABASE] section (or it is empty), so the form ghost has no settings.";
  const std::string no_form = List("DATABASE=ghost&_ACTION=LIST");
  EXPECT_EQ(no_form.rfind(OptionPage("ghost", "") +
                              caller("There is no form named &quot;ghost&quot; here.") +
                              author(ghost) + TrailerFor(21),
                          0),
            0u)
      << no_form;
  EXPECT_TRUE(served_->server().WaitForOutput("list: " + ghost + "\n"));

  // Neither VIEW nor LIST: code 30, the action escaped on the page.
  EXPECT_EQ(List("DATABASE=survey&_PASSWORD=reader&_ACTION=%3Cscript%3E")
                .rfind(caller("The list viewer does not know the action "
                              "&quot;&lt;script&gt;&quot;: it lists (LIST) or views a record "
                              "(VIEW).") +
                           author("The list viewer was asked for the action "
                                  "&quot;&lt;script&gt;&quot; on the form survey; it knows only "
                                  "LIST and VIEW.") +
                           TrailerFor(30),
                       0),
            0u);
  EXPECT_TRUE(served_->server().WaitForOutput(
      "list: The list viewer was asked for the action \"<script>\" on the form survey; it knows "
      "only LIST and VIEW.\n"));
  // Only the first four letters count: "Lis" is no LIST.
  EXPECT_EQ(List("DATABASE=nodata&_ACTION=Lis")
                .rfind(caller("The list viewer does not know the action &quot;Lis&quot;: it "
                              "lists (LIST) or views a record (VIEW).") +
                           author("The list viewer was asked for the action &quot;Lis&quot; on "
                                  "the form nodata; it knows only LIST and VIEW.") +
                           TrailerFor(30),
                       0),
            0u);

  // The data file is missing: code 3, the file named relative to the server
  // root on the page and in the log.
  const std::string missing =
      "The data file missing.asc of the form nodata (SAVEDATANAME in nodata.ini) does not "
      "exist, cannot be read or has no header line: create it with its header line.";
  EXPECT_EQ(List("DATABASE=nodata&_ACTION=List+records")
                .rfind(caller("The answers of this form cannot be read.") + author(missing) +
                           TrailerFor(3),
                       0),
            0u);
  EXPECT_TRUE(served_->server().WaitForOutput("list: " + missing + "\n"));
}

}  // namespace
}  // namespace tallypad
