// Answers kept exactly on the paths real respondents take, through the real
// program over HTTP: choices whose values hold blanks or commas shown
// chosen again after a warning, BACK and a resume; a session that saves
// again counted once in the statistics; refused pages never saved and one
// save per NEXT with SAVEPAGE; the author's own navigation fields; line
// breaks in answers; BACK with no page behind; script output around the
// result page; and error texts that never show the server's folders.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support/html_form.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::ChosenValues;
using testing::FormFields;
using testing::HtmlInputs;
using testing::HttpGet;
using testing::HttpResponse;
using testing::InputValue;
using testing::PressButton;
using testing::ServedRoot;
using testing::ServedRootSuite;

using Values = std::vector<std::string>;

const std::string kAccess = "[access]\nPWDAPPEND=(allow)\nPWDUPDATE=(allow)\nPWDREAD=(allow)\n";

// The page of the choices form: radio buttons, boxes and a select whose
// values hold blanks, commas, both, or begin like another value.
constexpr char kChoicesPage[] =
    "<form><input type=hidden name=_PAGE value=page0>Page page0 <%= _PAGEWARN %>\n"
    "<input type=radio name=HOW value=\"by train\"><input type=radio name=HOW value=\"by bus\">\n"
    "<input type=radio name=HOW value=\"by\">\n"
    "<input type=checkbox name=DRINK value=\"tea\">"
    "<input type=checkbox name=DRINK value=\"tea with milk\">\n"
    "<input type=checkbox name=DRINK value=\"Coffee, black\">"
    "<input type=checkbox name=DRINK value=\"Coffee\">\n"
    "<select name=FOOD><option value=\"\">choose</option><option value=\"fish\">F</option>"
    "<option value=\"fish and chips\">FC</option><option value=\"Bread, butter\">BB</option>"
    "<option value=\"Bread\">B</option></select>\n"
    "<input type=checkbox name=NUM value=\"1\"><input type=checkbox name=NUM value=\"2\">"
    "<input type=checkbox name=NUM value=\"3\">\n"
    "</form>\n";

// A page that names itself, shows a marker and the warning, with inputs.
std::string Page(const std::string& name, const std::string& inputs) {
  return "<form><input type=hidden name=_PAGE value=" + name + ">Page " + name +
         " <%= _PAGEWARN %>\n" + inputs + "</form>\n";
}

bool Shows(const HttpResponse& r, const std::string& page) {
  return r.body.find("Page " + page + " ") != std::string::npos;
}

// The live records of a data file's text: one map of column to value per
// line that is not marked with "#". Values are unquoted as written.
std::vector<std::map<std::string, std::string>> LiveRecords(const std::string& text) {
  auto split = [](const std::string& line) {
    Values fields;
    size_t at = 0;
    while (at < line.size()) {
      size_t tab = line.find('\t', at);
      if (tab == std::string::npos) tab = line.size();
      fields.push_back(line.substr(at, tab - at));
      at = tab + 1;
    }
    return fields;
  };
  auto unquote = [](std::string field) {
    if (field.size() >= 2 && field.front() == '"') field = field.substr(1, field.size() - 2);
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
      out.push_back(field[i]);
      if (field[i] == '"' && i + 1 < field.size() && field[i + 1] == '"') ++i;
    }
    return out;
  };
  std::vector<std::map<std::string, std::string>> records;
  size_t end = text.find('\n');
  if (end == std::string::npos) return records;
  std::string header = text.substr(1, end - 1);
  if (!header.empty() && header.back() == '\r') header.pop_back();
  const Values columns = split(header);
  for (size_t at = end + 1; at < text.size();) {
    size_t next = text.find('\n', at);
    if (next == std::string::npos) next = text.size();
    std::string line = text.substr(at, next - at);
    at = next + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const Values fields = split(line);
    std::map<std::string, std::string> record;
    for (size_t i = 0; i < columns.size() && i < fields.size(); ++i)
      record[columns[i]] = unquote(fields[i]);
    records.push_back(record);
  }
  return records;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class AnswersKeptTest : public ServedRootSuite<AnswersKeptTest> {
 protected:
  static void SetUpTestSuite() {
    // Mail stays in the outbox, where the test counts it.
    served_ = std::make_unique<ServedRoot>(
        std::vector<std::pair<std::string, std::string>>{{"TALLYPAD_NETWORK", "offline"}});
    const auto& root = served_->root();

    root.Write("choices.ini",
               "[DATABASE]\nMULTIPAGE=1\nHASUID=1\nSAVEDATA=1\n" + kAccess);
    root.Write("choices.asc", "#_SESSION\tIFMUID\t_PAGE\t_PAGEBACK\tHOW\tDRINK\tFOOD\tNUM\t\r\n");
    root.Write("choices/page0", kChoicesPage);
    root.Write("choices/page1", Page("page1", "<input name=note>\n"));
    root.Write("choices.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n"
               "if (stay = 'yes') { _PAGEWARN = 'stay'; }\n</SCRIPT>\n"
               "<PAGE NAME=\"page1\" ACTION=\"kqs\">\n");

    // A single-page form saving to a data file with a _SESSION column,
    // statistics and XML.
    const std::string stats_form =
        "<form><input type=hidden name=_PAGE value=form0>\n"
        "<input type=radio name=COLOUR value=red><input type=radio name=COLOUR value=blue>\n"
        "<input name=N></form>\n";
    for (const std::string name : {"stats", "retry"}) {
      root.Write(name + ".ini", "[DATABASE]\nFORM=" + name + ".html\nSAVEDATA=1\nSAVESTAT=1\n"
                 "SAVESTATNAME=" + name + ".sta\nSAVEXML=1\nSAVEXMLNAME=" + name + ".xml\n" +
                 kAccess);
      root.Write(name + ".html", stats_form);
      // The data file keeps every variable the statistics count, the
      // engine's _FORMDONE included, so that an earlier record can be
      // taken out again.
      root.Write(name + ".asc", "#_SESSION\t_FORMDONE\tCOLOUR\tN\t\r\n");
      root.Write(name + ".sta",
                 "[COUNT]\n_FORMDONE=0\nCOLOUR_red=0\nCOLOUR_blue=0\n[SUM]\nN=0.000000\n");
    }
    root.Write("stats.xml", "");  // retry.xml is missing at first

    root.Write("savepage.ini",
               "[DATABASE]\nMULTIPAGE=1\nSAVEPAGE=1\nSAVEDATA=1\nSAVEXML=1\n"
               "SAVEXMLNAME=savepage.xml\nMAXRESPONSES=100\nSAVEEMAIL=1\n"
               "SAVEEMAILNAME=team@example.org\nEMAILSERVER=127.0.0.1\n" + kAccess);
    root.Write("savepage.asc", "#_SESSION\t_PAGE\tA\tB\t\r\n");
    root.Write("savepage.xml", "");
    root.Write("savepage/page0", Page("page0", "<input name=A>\n"));
    root.Write("savepage/page1", Page("page1", "<input name=B>\n"));
    root.Write("savepage.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n"
               "if (A = '') { _PAGEWARN = 'need A'; }\n</SCRIPT>\n"
               "<PAGE NAME=\"page1\" ACTION=\"kqs\">\n<SCRIPT>\nshowpage('(save)');\n</SCRIPT>\n");

    // Pages that post their next page themselves.
    root.Write("nav.ini", "[DATABASE]\nMULTIPAGE=1\nSTARTPAGE=page1\n" + kAccess);
    std::string nav_val;
    for (int n = 1; n <= 3; ++n) {
      const std::string name = "page" + std::to_string(n);
      const std::string next = n < 3 ? "page" + std::to_string(n + 1) : "nosuch";
      root.Write("nav/" + name,
                 Page(name, "<input type=hidden name=_PAGENEXT value=" + next + ">\n<input name=q" +
                                std::to_string(n) + ">\n"));
      nav_val += "<PAGE NAME=\"" + name + "\" ACTION=\"kqs\">\n";
    }
    root.Write("nav.val", nav_val);

    root.Write("notes.ini", "[DATABASE]\nFORM=notes.html\nSAVEDATA=1\nSAVEINDEXNAME=notes.idx\n" +
                                kAccess);
    root.Write("notes.html", "<form><textarea name=NOTE></textarea></form>\n");
    root.Write("notes.asc", "#_SESSION\tNOTE\t\r\n");
    root.Write("notes.idx", "#NOTE\t_POS\n");

    // Script output during a save, then the result page or a redirect.
    const std::string printing_val =
        "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\nprint('checked by the page');\n"
        "</SCRIPT>\n";
    root.Write("thanks.ini", "[DATABASE]\nMULTIPAGE=1\n" + kAccess);
    root.Write("thanks/page0", Page("page0", ""));
    root.Write("thanks.val", printing_val);
    root.Write("redirect.ini",
               "[DATABASE]\nMULTIPAGE=1\nSHOWREDIRECT=1\nREDIRECT=/done.html\n" + kAccess);
    root.Write("redirect/page0", Page("page0", ""));
    root.Write("redirect.val", printing_val);

    root.Write("errors.html", "<%source nothing.css %><%report data/none.asc %>x</report>\n");
    root.Write("ghost.ini", kAccess);  // no DATABASE section
    root.Write("nodata.ini", "[DATABASE]\nSAVEDATANAME=data/none.asc\n" + kAccess);
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static HttpResponse Press(const HttpResponse& page, const std::string& action,
                            const FormFields& typed = {}) {
    return Post(PressButton(page.body, action, typed));
  }
  static std::string Read(const std::string& name) { return served_->root().Read(name); }
};

// ---- Choices whose values hold blanks or commas --------------------------

struct ChoiceCase {
  const char* name;
  FormFields answers;  // as a browser posts the ticked choices
  Values how, drink, food, num;
};

const ChoiceCase kChoiceCases[] = {
    {"a value with a blank", {{"HOW", "by train"}}, {"by train"}, {}, {}, {}},
    {"a value that begins another", {{"HOW", "by"}}, {"by"}, {}, {}, {}},
    {"not a prefix of the answer", {{"DRINK", "tea with milk"}}, {}, {"tea with milk"}, {}, {}},
    {"a value with a comma and a blank", {{"DRINK", "Coffee, black"}}, {}, {"Coffee, black"}, {},
     {}},
    {"several boxes", {{"DRINK", "tea"}, {"DRINK", "Coffee, black"}}, {}, {"tea", "Coffee, black"},
     {}, {}},
    {"an option with blanks", {{"FOOD", "fish and chips"}}, {}, {}, {"fish and chips"}, {}},
    {"an option with a comma", {{"FOOD", "Bread, butter"}}, {}, {}, {"Bread, butter"}, {}},
    {"numbered boxes", {{"NUM", "2"}, {"NUM", "3"}}, {}, {}, {}, {"2", "3"}},
};

void ExpectChosen(const HttpResponse& r, const ChoiceCase& c, const std::string& when) {
  EXPECT_EQ(ChosenValues(r.body, "HOW"), c.how) << c.name << when;
  EXPECT_EQ(ChosenValues(r.body, "DRINK"), c.drink) << c.name << when;
  EXPECT_EQ(ChosenValues(r.body, "FOOD"), c.food) << c.name << when;
  EXPECT_EQ(ChosenValues(r.body, "NUM"), c.num) << c.name << when;
}

TEST_F(AnswersKeptTest, ChoicesAreCheckedAgainAfterAWarningAndAfterBack) {
  for (const ChoiceCase& c : kChoiceCases) {
    FormFields post = {{"DATABASE", "choices"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"},
                       {"_PAGEBACK", ""},       {"_SESSION", "c1"},  {"stay", "yes"}};
    post.insert(post.end(), c.answers.begin(), c.answers.end());
    HttpResponse warned = Post(post);
    ASSERT_TRUE(Shows(warned, "page0")) << warned.body;
    ExpectChosen(warned, c, " (after a warning)");

    // On to the next page, where the answers travel as hidden fields, and back.
    HttpResponse next = Press(warned, "NEXT", {{"stay", "no"}});
    ASSERT_TRUE(Shows(next, "page1")) << c.name << next.body;
    HttpResponse back = Press(next, "BACK");
    ASSERT_TRUE(Shows(back, "page0")) << c.name << back.body;
    ExpectChosen(back, c, " (after BACK)");
  }
}

TEST_F(AnswersKeptTest, AResumedGroupIsCheckedAsStored) {
  // The data file keeps a group joined with commas; a resumed page reads
  // it back as the page's own choices, a comma inside a value included.
  HttpResponse saved = Post({{"DATABASE", "choices"},
                             {"_ACTION", "SAVE"},
                             {"_PAGE", "page0"},
                             {"_PAGEBACK", ""},
                             {"_SESSION", "resume1"},
                             {"IFMUID", "ann"},
                             {"HOW", "by train"},
                             {"DRINK", "tea"},
                             {"DRINK", "Coffee, black"},
                             {"FOOD", "Bread, butter"},
                             {"NUM", "1"},
                             {"NUM", "3"}});
  ASSERT_NE(saved.body.find("Thank you!"), std::string::npos) << saved.body;
  auto records = LiveRecords(Read("choices.asc"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["DRINK"], "tea,Coffee, black");

  HttpResponse resumed = Post({{"DATABASE", "choices"}, {"_ACTION", "START"}, {"IFMUID", "ann"}});
  ASSERT_TRUE(Shows(resumed, "page0")) << resumed.body;
  const ChoiceCase stored = {
      "resumed", {}, {"by train"}, {"tea", "Coffee, black"}, {"Bread, butter"}, {"1", "3"}};
  ExpectChosen(resumed, stored, "");

  // BACK on a resumed page with nothing behind it keeps the page.
  HttpResponse back = Press(resumed, "BACK");
  ASSERT_TRUE(Shows(back, "page0")) << back.body;
  EXPECT_EQ(back.body.find("Error"), std::string::npos) << back.body;
  ExpectChosen(back, stored, " (BACK)");
}

// ---- Statistics agree with the live records ------------------------------

// The statistics that the live records of `data` make for the stats forms.
std::string StatisticsOf(const std::string& data) {
  int done = 0, red = 0, blue = 0;
  double n = 0;
  for (auto& record : LiveRecords(data)) {
    ++done;
    red += record["COLOUR"] == "red";
    blue += record["COLOUR"] == "blue";
    n += std::stod(record["N"].empty() ? "0" : record["N"]);
  }
  char sum[64];
  std::snprintf(sum, sizeof sum, "%f", n);
  return "[COUNT]\n_FORMDONE=" + std::to_string(done) + "\nCOLOUR_red=" + std::to_string(red) +
         "\nCOLOUR_blue=" + std::to_string(blue) + "\n[SUM]\nN=" + sum + "\n";
}

TEST_F(AnswersKeptTest, ASessionThatSavesAgainIsCountedOnce) {
  struct Step {
    const char* what;
    const char* session;
    const char* colour;
    const char* n;
    const char* stats;
  } steps[] = {
      {"first response", "S1", "red", "5",
       "[COUNT]\n_FORMDONE=1\nCOLOUR_red=1\nCOLOUR_blue=0\n[SUM]\nN=5.000000\n"},
      // The browser's Back button after the thank-you page, answers changed.
      {"sent again with other answers", "S1", "blue", "7",
       "[COUNT]\n_FORMDONE=1\nCOLOUR_red=0\nCOLOUR_blue=1\n[SUM]\nN=7.000000\n"},
      {"sent again unchanged", "S1", "blue", "7",
       "[COUNT]\n_FORMDONE=1\nCOLOUR_red=0\nCOLOUR_blue=1\n[SUM]\nN=7.000000\n"},
      {"another respondent", "S2", "red", "1",
       "[COUNT]\n_FORMDONE=2\nCOLOUR_red=1\nCOLOUR_blue=1\n[SUM]\nN=8.000000\n"},
  };
  for (const Step& step : steps) {
    HttpResponse r = Post({{"DATABASE", "stats"},
                           {"_ACTION", "SUBMIT"},
                           {"_SESSION", step.session},
                           {"COLOUR", step.colour},
                           {"N", step.n}});
    ASSERT_NE(r.body.find("Thank you!"), std::string::npos) << step.what << r.body;
    EXPECT_EQ(Read("stats.sta"), step.stats) << step.what;
    EXPECT_EQ(Read("stats.sta"), StatisticsOf(Read("stats.asc"))) << step.what;
  }
  EXPECT_EQ(LiveRecords(Read("stats.asc")).size(), 2u);
  EXPECT_EQ(Count(Read("stats.xml"), "<TRANSACTION>"), 4u) << "every save is a transaction";
}

TEST_F(AnswersKeptTest, ASaveRetriedAfterAnErrorIsCountedOnce) {
  const FormFields post = {{"DATABASE", "retry"}, {"_ACTION", "SUBMIT"}, {"_SESSION", "R1"},
                           {"COLOUR", "red"},     {"N", "4"}};
  // The XML file is missing: the save fails at its last step.
  for (int attempt = 0; attempt < 2; ++attempt) {
    HttpResponse failed = Post(post);
    EXPECT_NE(failed.body.find("Sorry, your answers could not be saved"), std::string::npos)
        << failed.body;
    EXPECT_EQ(Read("retry.sta"), StatisticsOf(Read("retry.asc"))) << attempt;
  }
  served_->root().Write("retry.xml", "");
  HttpResponse saved = Post(post);
  ASSERT_NE(saved.body.find("Thank you!"), std::string::npos) << saved.body;
  EXPECT_EQ(Read("retry.sta"),
            "[COUNT]\n_FORMDONE=1\nCOLOUR_red=1\nCOLOUR_blue=0\n[SUM]\nN=4.000000\n");
  EXPECT_EQ(LiveRecords(Read("retry.asc")).size(), 1u);
}

// ---- SAVEPAGE: refused pages, and one save per NEXT -----------------------

TEST_F(AnswersKeptTest, SavePageSavesOnlyAcceptedPagesAndOncePerNext) {
  auto transactions = [] { return Count(Read("savepage.xml"), "<TRANSACTION>"); };
  auto mails = [] { return Count(served_->root().Read("outbox.kqs"), "OPEN "); };
  auto counter = [] { return Read("kqscounts.ini"); };

  HttpResponse first = HttpGet(port(), "/kqs?DATABASE=savepage&_SESSION=P1");
  ASSERT_TRUE(Shows(first, "page0")) << first.body;
  // Refused: the page comes back and nothing is saved, counted or mailed.
  HttpResponse refused = Press(first, "NEXT");
  ASSERT_TRUE(Shows(refused, "page0")) << refused.body;
  EXPECT_NE(refused.body.find("need A"), std::string::npos);
  EXPECT_EQ(Read("savepage.asc"), "#_SESSION\t_PAGE\tA\tB\t\r\n");
  EXPECT_EQ(transactions(), 0u);
  EXPECT_EQ(mails(), 0u);
  EXPECT_EQ(counter().find("savepage="), std::string::npos) << counter();

  // Accepted: one interim save holding the page's answers.
  HttpResponse page1 = Press(refused, "NEXT", {{"A", "x"}});
  ASSERT_TRUE(Shows(page1, "page1")) << page1.body;
  auto records = LiveRecords(Read("savepage.asc"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["A"], "x");
  EXPECT_EQ(transactions(), 1u);
  EXPECT_EQ(mails(), 1u);
  EXPECT_NE(counter().find("savepage=1\n"), std::string::npos) << counter();

  // The page asks for "(save)": one NEXT, one save.
  HttpResponse done = Press(page1, "NEXT", {{"B", "y"}});
  EXPECT_NE(done.body.find("Thank you!"), std::string::npos) << done.body;
  records = LiveRecords(Read("savepage.asc"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["B"], "y");
  EXPECT_EQ(transactions(), 2u);
  EXPECT_EQ(mails(), 2u);
  EXPECT_NE(counter().find("savepage=2\n"), std::string::npos) << counter();
}

// ---- Navigation fields, BACK with nothing behind, a missing page ---------

TEST_F(AnswersKeptTest, APagesOwnNextPageSurvivesBackAndBack) {
  HttpResponse r = HttpGet(port(), "/kqs?DATABASE=nav&_SESSION=N1");
  ASSERT_TRUE(Shows(r, "page1")) << r.body;
  r = Press(r, "NEXT", {{"q1", "one"}});
  ASSERT_TRUE(Shows(r, "page2")) << r.body;
  r = Press(r, "NEXT", {{"q2", "two"}});
  ASSERT_TRUE(Shows(r, "page3")) << r.body;
  r = Press(r, "BACK");
  ASSERT_TRUE(Shows(r, "page2")) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGENEXT"), "page3");
  r = Press(r, "BACK");
  ASSERT_TRUE(Shows(r, "page1")) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGENEXT"), "page2") << "the author's value";
  r = Press(r, "NEXT");
  EXPECT_TRUE(Shows(r, "page2")) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "q2"), "two");
}

TEST_F(AnswersKeptTest, BackOnTheFirstPageShowsItAgainWithItsAnswers) {
  HttpResponse r = Post({{"DATABASE", "nav"},
                         {"_ACTION", "BACK"},
                         {"_PAGE", "page1"},
                         {"_PAGEBACK", ""},
                         {"_PAGENEXT", "page2"},
                         {"_SESSION", "N2"},
                         {"q1", "kept"},
                         {"q3", "carried"}});
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  ASSERT_TRUE(Shows(r, "page1")) << r.body;
  EXPECT_EQ(r.body.find("Error"), std::string::npos) << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "q1"), "kept");
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "q3"), "carried");
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGEBACK"), "");
}

TEST_F(AnswersKeptTest, AMissingNextPageIsNamed) {
  HttpResponse r = Post({{"DATABASE", "nav"},
                         {"_ACTION", "NEXT"},
                         {"_PAGE", "page3"},
                         {"_PAGEBACK", "page2,page1,"},
                         {"_PAGENEXT", "nosuch"},
                         {"_SESSION", "N3"}});
  EXPECT_NE(r.body.find("The page file nav/nosuch does not exist. NEXT on the page page3 goes "
                        "on to it"),
            std::string::npos)
      << r.body;
  EXPECT_EQ(r.body.find("validation entry"), std::string::npos) << r.body;
}

// ---- Line breaks in answers ----------------------------------------------

TEST_F(AnswersKeptTest, LineBreaksInAnAnswerBecomeOneBlank) {
  struct Case {
    const char* name;
    std::string note;
    std::string stored;
  } cases[] = {
      {"CR LF", "Coffee\r\nTea", "Coffee Tea"},
      {"LF", "Coffee\nTea", "Coffee Tea"},
      {"CR", "Coffee\rTea", "Coffee Tea"},
      {"several lines", "a\r\n\r\nb\n", "a  b "},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string session = "L" + std::to_string(++n);
    HttpResponse r = Post({{"DATABASE", "notes"},
                           {"_ACTION", "SUBMIT"},
                           {"_SESSION", session},
                           {"NOTE", c.note}});
    ASSERT_NE(r.body.find("Thank you!"), std::string::npos) << c.name << r.body;
    const std::string data = Read("notes.asc");
    EXPECT_NE(data.find("\"" + session + "\"\t\"" + c.stored + "\"\t\r\n"), std::string::npos)
        << c.name << data;
    const std::string index = Read("notes.idx");
    EXPECT_NE(index.find("\"" + c.stored + "\"\t"), std::string::npos) << c.name << index;
  }
  // Every record is one line: the header and one line per answer.
  EXPECT_EQ(Count(Read("notes.asc"), "\n"), 1 + std::size(cases));
  EXPECT_EQ(Count(Read("notes.idx"), "\n"), 1 + std::size(cases));
}

// ---- Script output around the result page --------------------------------

TEST_F(AnswersKeptTest, ScriptOutputGoesBeforeTheResultPageAndNeverIntoARedirect) {
  const FormFields save = {
      {"_ACTION", "SAVE"}, {"_PAGE", "page0"}, {"_PAGEBACK", ""}, {"_SESSION", "T1"}};
  FormFields thanks = save;
  thanks.emplace_back("DATABASE", "thanks");
  HttpResponse page = Post(thanks);
  EXPECT_EQ(page.body.find("checked by the page<html>"), 0u) << page.body;
  EXPECT_EQ(Count(page.body, "checked by the page"), 1u);

  FormFields redirect = save;
  redirect.emplace_back("DATABASE", "redirect");
  HttpResponse moved = Post(redirect);
  EXPECT_EQ(moved.status_line, "HTTP/1.1 302 Found");
  EXPECT_EQ(moved.body, "") << "a redirect has no body";
  EXPECT_NE(moved.Header("Location").value_or("").find("/done.html"), std::string::npos);
}

// ---- Error texts never show the server's folders --------------------------

TEST_F(AnswersKeptTest, ErrorTextsNameFilesRelativeToTheServerRoot) {
  const std::string root = served_->root().path();
  // The server root's own path and its parent folder.
  std::string parent = root.substr(0, root.find_last_of('/', root.size() - 2) + 1);
  struct Case {
    const char* what;
    std::string path;
    const char* expected;  // a text the page holds
  } cases[] = {
      {"missing configuration", "/kqs?DATABASE=nosuch", "The server root has no file nosuch.ini"},
      {"missing start page", "/kqs?DATABASE=nav&_ACTION=NEXT&_PAGE=page3&_PAGENEXT=gone",
       "nav/gone"},
      {"list viewer, missing configuration", "/list?DATABASE=ghost&_ACTION=LIST",
       "ghost.ini has no [DATABASE] section"},
      {"list viewer, missing data file", "/list?DATABASE=nodata&_ACTION=LIST",
       "The data file data/none.asc of the form nodata"},
      {"template page directives", "/errors.html",
       "[Error: Unable to open the database data/none.asc]"},
  };
  for (const Case& c : cases) {
    HttpResponse r = HttpGet(port(), c.path);
    EXPECT_NE(r.body.find(c.expected), std::string::npos) << c.what << "\n" << r.body;
    EXPECT_EQ(r.body.find(parent), std::string::npos) << c.what << "\n" << r.body;
  }
  // The message log names the file relative to the server root as well.
  EXPECT_TRUE(served_->server().WaitForOutput("kqs: The page file nav/gone does not exist."));
}

}  // namespace
}  // namespace tallypad
