// The constraint attributes of a page's fields held by the real program
// over HTTP, as a post that skips the browser's checks sends them: for each
// attribute an answer it accepts goes on (and is saved), one it refuses
// shows the page again with its message and every answer, and saves
// nothing, and the same refused answer sent straight to SUBMIT, without
// any page, is refused too. Then the save's check over the whole response
// (the first page of the path concerned, pages off the path), sections a
// page does not show, a form's own messages and forms that leave the
// checks to the browser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/html_form.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::ChosenValues;
using testing::FormFields;
using testing::HtmlInputs;
using testing::HttpResponse;
using testing::InputValue;
using testing::ServedRoot;
using testing::ServedRootSuite;

const std::string kAccess = "[access]\nPWDAPPEND=(allow)\n";
constexpr char kQuestion[] = "The question";

// One attribute: the field Q of the first page, an answer it accepts, one
// it refuses and the refusal's message. The form is named after the case.
struct AttributeCase {
  const char* form;
  const char* field;
  const char* good;
  const char* bad;
  const char* message;
  bool shown_in_field;  // the refused answer comes back as the field's value
};

const AttributeCase kAttributeCases[] = {
    {"required_text", "<label for=Q>The question</label><input id=Q name=Q required>", "x", "",
     "Please answer \u201cThe question\u201d.", false},
    {"required_radio",
     "<fieldset><legend>The question</legend><input type=radio name=Q value=a required>"
     "<input type=radio name=Q value=b></fieldset>",
     "b", "", "Please answer \u201cThe question\u201d.", false},
    {"required_select",
     "<label for=Q>The question</label><select id=Q name=Q required><option value=\"\">-</option>"
     "<option value=a>A</option></select>",
     "a", "", "Please answer \u201cThe question\u201d.", false},
    {"email", "<label for=Q>The question</label><input type=email id=Q name=Q>",
     "ann@example.org", "ann.example.org",
     "Please enter an e-mail address for \u201cThe question\u201d.", true},
    {"number", "<label for=Q>The question</label><input type=number id=Q name=Q>", "42", "many",
     "Please enter a number for \u201cThe question\u201d.", true},
    {"number_min", "<label for=Q>The question</label><input type=number id=Q name=Q min=1>", "1",
     "0", "The answer to \u201cThe question\u201d must be at least 1.", true},
    {"number_max", "<label for=Q>The question</label><input type=number id=Q name=Q max=5>", "5",
     "1e16", "The answer to \u201cThe question\u201d must be at most 5.", true},
    {"number_step",
     "<label for=Q>The question</label><input type=number id=Q name=Q step=0.5>", "2.5", "2.25",
     "The answer to \u201cThe question\u201d must be in steps of 0.5.", true},
    {"date", "<label for=Q>The question</label><input type=date id=Q name=Q>", "2024-02-29",
     "2023-02-29", "Please enter a date (year-month-day) for \u201cThe question\u201d.", true},
    {"date_min",
     "<label for=Q>The question</label><input type=date id=Q name=Q min=2024-01-01>",
     "2024-01-01", "2023-12-31",
     "The date for \u201cThe question\u201d must be 2024-01-01 or later.", true},
    {"date_max",
     "<label for=Q>The question</label><input type=date id=Q name=Q max=2024-12-31>",
     "2024-12-31", "2025-01-01",
     "The date for \u201cThe question\u201d must be 2024-12-31 or earlier.", true},
    {"minlength", "<label for=Q>The question</label><input id=Q name=Q minlength=3>", "abc", "ab",
     "The answer to \u201cThe question\u201d must be at least 3 characters long.", true},
    {"maxlength", "<label for=Q>The question</label><textarea id=Q name=Q maxlength=3></textarea>",
     "abc", "abcd", "The answer to \u201cThe question\u201d must be at most 3 characters long.",
     false},
    {"pattern",
     "<label for=Q>The question</label><input id=Q name=Q pattern=\"[0-9]{5}\">", "01234",
     "1234", "The answer to \u201cThe question\u201d is not in the form asked for.", true},
    {"choice",
     "<fieldset><legend>The question</legend><input type=radio name=Q value=1>"
     "<input type=radio name=Q value=5></fieldset>",
     "5", "1e16", "Please choose one of the answers offered for \u201cThe question\u201d.", false},
};

// A page that names itself and shows the warning and Q's own message.
std::string Page(const std::string& name, const std::string& fields) {
  return "<form><input type=hidden name=_PAGE value=" + name + ">Page " + name +
         " [<%= _PAGEWARN %>] {<%= _PAGEWARN_Q %>}\n" + fields + "\n</form>\n";
}

bool Shows(const HttpResponse& r, const std::string& page) {
  return r.body.find("Page " + page + " ") != std::string::npos;
}

// The number of live records of a data file's text.
size_t LiveCount(const std::string& data) {
  size_t count = 0, at = data.find('\n');
  while (at != std::string::npos && at + 1 < data.size()) {
    if (data[at + 1] == '"') ++count;
    at = data.find('\n', at + 1);
  }
  return count;
}

class ConstraintAttributesTest : public ServedRootSuite<ConstraintAttributesTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const auto& root = served_->root();
    // Each case: a form whose first page asks Q (and KEEP), whose second
    // page saves; every accepted page saves the answers so far.
    for (const AttributeCase& c : kAttributeCases) {
      const std::string form = c.form;
      root.Write(form + ".ini", "[DATABASE]\nMULTIPAGE=1\nSAVEDATA=1\nSAVEPAGE=1\n" + kAccess);
      root.Write(form + ".asc", "#_SESSION\tQ\tKEEP\t\r\n");
      root.Write(form + "/page0", Page("page0", std::string(c.field) + "\n<input name=KEEP>"));
      root.Write(form + "/page1", Page("page1", ""));
      root.Write(form + ".val",
                 "<PAGE NAME=\"page0\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n"
                 "</SCRIPT>\n<PAGE NAME=\"page1\" ACTION=\"/kqs\">\n<SCRIPT>\n</SCRIPT>\n");
    }

    // A path of three pages: A (required) on page0, B (a pattern) on
    // page1, C (at most 5) on page2, which saves.
    root.Write("path.ini", "[DATABASE]\nMULTIPAGE=1\nSAVEDATA=1\n" + kAccess);
    root.Write("path.asc", "#_SESSION\tA\tB\tC\t\r\n");
    root.Write("path/page0", Page("page0", "<input name=A required>"));
    root.Write("path/page1", Page("page1", "<input name=B pattern=\"[a-z]+\">"));
    root.Write("path/page2", Page("page2", "<input name=C type=number max=5>"));
    root.Write("path.val",
               "<PAGE NAME=\"page0\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n</SCRIPT>\n"
               "<PAGE NAME=\"page1\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'page2';\n</SCRIPT>\n"
               "<PAGE NAME=\"page2\" ACTION=\"/kqs\">\n<SCRIPT>\n</SCRIPT>\n");

    // A required field in a section the page shows only for A=yes, and a
    // choice offered only then; a required group whose choices a report
    // writes; a number whose steps start at the page's own value.
    root.Write("shown.ini", "[DATABASE]\nMULTIPAGE=1\n" + kAccess);
    root.Write("shown/page0",
               Page("page0", "<input name=A>\n<%if A = 'yes'%><input name=Q required><%end%>\n"
                             "<select name=S><option value=a>a</option>"
                             "<option value=z query=\"A='yes'\">z</option></select>\n"
                             "<%report colours.asc %><input type=radio name=R value=\"{C}\" "
                             "required></report>\n"
                             "<input name=N type=number step=2 value=1>"));
    root.Write("colours.asc", "#C\t\r\n\"red\"\t\r\n\"dark blue\"\t\r\n");
    root.Write("shown/page1", Page("page1", ""));
    root.Write("shown.val",
               "<PAGE NAME=\"page0\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'page1';\n</SCRIPT>\n"
               "<PAGE NAME=\"page1\" ACTION=\"/kqs\">\n<SCRIPT>\n</SCRIPT>\n");

    // The same field with the form's own message; and with the checks
    // left to the browser.
    const std::string one_page = Page("page0", "<label for=Q>Age</label>"
                                               "<input id=Q name=Q type=number max=9 required>");
    root.Write("worded.ini",
               "[DATABASE]\nMULTIPAGE=1\nREQUIREDMESSAGE=<em>{label}</em> is needed.\n"
               "TOOHIGHMESSAGE=No more than {limit} for {label}, please.\n" + kAccess);
    root.Write("worded/page0", one_page);
    root.Write("worded.val", "<PAGE NAME=\"page0\" ACTION=\"/kqs\">\n<SCRIPT>\n</SCRIPT>\n");
    root.Write("browser.ini", "[DATABASE]\nMULTIPAGE=1\nCHECKANSWERS=0\nSAVEDATA=1\n" + kAccess);
    root.Write("browser.asc", "#_SESSION\tQ\t\r\n");
    root.Write("browser/page0", one_page);
    root.Write("browser.val", "<PAGE NAME=\"page0\" ACTION=\"/kqs\">\n<SCRIPT>\n</SCRIPT>\n");

    // A single-page form.
    root.Write("single.ini", "[DATABASE]\nFORM=single.html\nSAVEDATA=1\n" + kAccess);
    root.Write("single.asc", "#_SESSION\tQ\tKEEP\t\r\n");
    root.Write("single.html",
               "<form>Single [<%= _PAGEWARN %>]<input type=hidden name=_SESSION>\n"
               "<label for=Q>Your e-mail</label><input type=email id=Q name=Q required>\n"
               "<input name=KEEP></form>\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static std::string Read(const std::string& name) { return served_->root().Read(name); }

  // Posts `answers` (and KEEP) for the action to form `form`, from page0
  // unless `from_page` is false.
  static HttpResponse Send(const std::string& form, const std::string& action,
                           const std::string& session, const FormFields& answers,
                           bool from_page = true) {
    FormFields post = {{"DATABASE", form}, {"_ACTION", action}, {"_SESSION", session}};
    if (from_page) {
      post.push_back({"_PAGE", "page0"});
      post.push_back({"_PAGEBACK", ""});
    }
    post.push_back({"KEEP", "kept"});
    post.insert(post.end(), answers.begin(), answers.end());
    return Post(post);
  }
};

// The answers of a case: Q when it is not empty (an empty required answer
// is also sent as a missing one).
FormFields AnswerQ(const char* value) {
  if (*value == '\0') return {};
  return {{"Q", value}};
}

// A refused page: page0 again, the message as the warning and as Q's own,
// every other answer kept, and the refused one too where a field shows it.
void ExpectRefused(const HttpResponse& r, const AttributeCase& c, const std::string& when) {
  ASSERT_TRUE(Shows(r, "page0")) << c.form << when << r.body;
  EXPECT_NE(r.body.find(std::string("[") + c.message + "]"), std::string::npos)
      << c.form << when << r.body;
  EXPECT_NE(r.body.find(std::string("{") + c.message + "}"), std::string::npos)
      << c.form << when << r.body;
  const FormFields inputs = HtmlInputs(r.body);
  EXPECT_EQ(InputValue(inputs, "KEEP"), "kept") << c.form << when;
  if (c.shown_in_field) {
    EXPECT_EQ(InputValue(inputs, "Q"), c.bad) << c.form << when;
  }
}

TEST_F(ConstraintAttributesTest, AnAcceptedAnswerGoesOnAndIsSaved) {
  for (const AttributeCase& c : kAttributeCases) {
    const std::string data = std::string(c.form) + ".asc";
    HttpResponse r = Send(c.form, "NEXT", "good", AnswerQ(c.good));
    EXPECT_TRUE(Shows(r, "page1")) << c.form << r.body;
    EXPECT_EQ(r.body.find("[\u201c"), std::string::npos) << c.form;
    EXPECT_EQ(LiveCount(Read(data)), 1u) << c.form << Read(data);
    EXPECT_NE(Read(data).find(std::string("\"good\"\t\"") + c.good + "\"\t\"kept\""),
              std::string::npos)
        << c.form << Read(data);
  }
}

TEST_F(ConstraintAttributesTest, ARefusedAnswerShowsThePageAgainAndSavesNothing) {
  for (const AttributeCase& c : kAttributeCases) {
    const std::string data = std::string(c.form) + ".asc";
    const std::string before = Read(data);
    ExpectRefused(Send(c.form, "NEXT", "bad-next", AnswerQ(c.bad)), c, " (NEXT)");
    if (*c.bad == '\0')  // sent empty rather than left out
      ExpectRefused(Send(c.form, "NEXT", "bad-next", {{"Q", ""}}), c, " (NEXT, empty)");
    EXPECT_EQ(Read(data), before) << c.form;
  }
}

TEST_F(ConstraintAttributesTest, TheSamePostSentStraightToSubmitIsRefused) {
  for (const AttributeCase& c : kAttributeCases) {
    const std::string data = std::string(c.form) + ".asc";
    const std::string before = Read(data);
    ExpectRefused(Send(c.form, "SUBMIT", "bad-submit", AnswerQ(c.bad), false), c, " (SUBMIT)");
    ExpectRefused(Send(c.form, "SAVE", "bad-save", AnswerQ(c.bad)), c, " (SAVE on page0)");
    EXPECT_EQ(Read(data), before) << c.form;
    // The good answer sent the same way is saved.
    HttpResponse saved = Send(c.form, "SUBMIT", "good-submit", AnswerQ(c.good), false);
    EXPECT_NE(saved.body.find("Thank you!"), std::string::npos) << c.form << saved.body;
    EXPECT_EQ(LiveCount(Read(data)), LiveCount(before) + 1) << c.form;
  }
}

TEST_F(ConstraintAttributesTest, ASaveShowsTheFirstPageOfThePathConcerned) {
  struct Case {
    const char* name;
    FormFields answers;
    const char* page;       // the page shown, "" for the thank-you page
    const char* back_list;  // its back list
    const char* warning;
  } cases[] = {
      {"an earlier page's answer", {{"A", "x"}, {"B", "B4"}, {"C", "1"}}, "page1", "page0,",
       "The answer to \u201cB\u201d is not in the form asked for."},
      {"the first of two pages", {{"B", "B4"}, {"C", "9"}}, "page0", "",
       "Please answer \u201cA\u201d."},
      {"the current page", {{"A", "x"}, {"B", "b"}, {"C", "9"}}, "page2", "page1,page0,",
       "The answer to \u201cC\u201d must be at most 5."},
      {"every answer passes", {{"A", "x"}, {"B", "b"}, {"C", "5"}}, "", "", ""},
  };
  for (const Case& c : cases) {
    const std::string before = Read("path.asc");
    FormFields post = {{"DATABASE", "path"}, {"_ACTION", "SAVE"}, {"_PAGE", "page2"},
                       {"_PAGEBACK", "page1,page0,"}};
    post.insert(post.end(), c.answers.begin(), c.answers.end());
    HttpResponse r = Post(post);
    if (*c.page == '\0') {
      EXPECT_NE(r.body.find("Thank you!"), std::string::npos) << c.name << r.body;
      EXPECT_EQ(LiveCount(Read("path.asc")), LiveCount(before) + 1) << c.name;
      continue;
    }
    ASSERT_TRUE(Shows(r, c.page)) << c.name << r.body;
    EXPECT_NE(r.body.find(std::string("[") + c.warning + "]"), std::string::npos)
        << c.name << r.body;
    EXPECT_EQ(InputValue(HtmlInputs(r.body), "_PAGEBACK"), c.back_list) << c.name;
    EXPECT_EQ(Read("path.asc"), before) << c.name;
  }
}

TEST_F(ConstraintAttributesTest, AnswersToPagesOffThePathHoldToTheirFields) {
  // The respondent went from page0 straight to page2 (as a branch would);
  // page1 is off the path: its B is not required but must fit its pattern.
  FormFields post = {{"DATABASE", "path"}, {"_ACTION", "SAVE"}, {"_PAGE", "page2"},
                     {"_PAGEBACK", "page0,"}, {"A", "x"}, {"C", "2"}};
  const std::string before = Read("path.asc");
  FormFields crafted = post;
  crafted.push_back({"B", "NOT LOWER"});
  HttpResponse refused = Post(crafted);
  ASSERT_TRUE(Shows(refused, "page1")) << refused.body;
  EXPECT_NE(refused.body.find("[The answer to \u201cB\u201d is not in the form asked for.]"),
            std::string::npos)
      << refused.body;
  // Back leads to where the respondent was.
  EXPECT_EQ(InputValue(HtmlInputs(refused.body), "_PAGEBACK"), "page2,page0,");
  EXPECT_EQ(Read("path.asc"), before);

  HttpResponse saved = Post(post);
  EXPECT_NE(saved.body.find("Thank you!"), std::string::npos) << saved.body;
}

TEST_F(ConstraintAttributesTest, FieldsOfSectionsNotShownAreNotHeld) {
  struct Case {
    const char* name;
    FormFields answers;
    bool accepted;
  } cases[] = {
      {"required field not shown", {{"A", "no"}, {"S", "a"}, {"R", "red"}}, true},
      {"required field shown", {{"A", "yes"}, {"S", "a"}, {"R", "red"}}, false},
      {"option offered", {{"A", "yes"}, {"Q", "q"}, {"S", "z"}, {"R", "red"}}, true},
      {"option not offered", {{"A", "no"}, {"S", "z"}, {"R", "red"}}, false},
      {"report's choice", {{"A", "no"}, {"S", "a"}, {"R", "dark blue"}}, true},
      {"choice no report wrote", {{"A", "no"}, {"S", "a"}, {"R", "green"}}, false},
      {"report's group left empty", {{"A", "no"}, {"S", "a"}}, false},
      {"step from the page's value", {{"A", "no"}, {"S", "a"}, {"R", "red"}, {"N", "5"}}, true},
      {"off the page's steps", {{"A", "no"}, {"S", "a"}, {"R", "red"}, {"N", "4"}}, false},
  };
  for (const Case& c : cases) {
    FormFields post = {{"DATABASE", "shown"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"}};
    post.insert(post.end(), c.answers.begin(), c.answers.end());
    HttpResponse r = Post(post);
    EXPECT_TRUE(Shows(r, c.accepted ? "page1" : "page0")) << c.name << r.body;
  }
}

TEST_F(ConstraintAttributesTest, TheFormWordsItsMessages) {
  HttpResponse missing = Post({{"DATABASE", "worded"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"}});
  EXPECT_NE(missing.body.find("[<em>Age</em> is needed.]"), std::string::npos) << missing.body;
  HttpResponse high =
      Post({{"DATABASE", "worded"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"}, {"Q", "10"}});
  EXPECT_NE(high.body.find("[No more than 9 for Age, please.]"), std::string::npos) << high.body;
}

TEST_F(ConstraintAttributesTest, AFormMayLeaveTheChecksToTheBrowser) {
  HttpResponse r =
      Post({{"DATABASE", "browser"}, {"_ACTION", "SUBMIT"}, {"_SESSION", "b1"}, {"Q", "1e16"}});
  EXPECT_NE(r.body.find("Thank you!"), std::string::npos) << r.body;
  EXPECT_NE(Read("browser.asc").find("\"1e16\""), std::string::npos);
}

TEST_F(ConstraintAttributesTest, ASinglePageFormIsShownAgainWithItsAnswers) {
  const std::string before = Read("single.asc");
  HttpResponse r = Post({{"DATABASE", "single"}, {"_ACTION", "SAVE"}, {"KEEP", "kept"}});
  ASSERT_NE(r.body.find("Single [Please answer \u201cYour e-mail\u201d.]"), std::string::npos)
      << r.body;
  EXPECT_EQ(InputValue(HtmlInputs(r.body), "KEEP"), "kept");
  r = Post({{"DATABASE", "single"}, {"_ACTION", "SAVE"}, {"Q", "nobody"}, {"KEEP", "kept"}});
  EXPECT_NE(r.body.find("Single [Please enter an e-mail address for \u201cYour e-mail\u201d.]"),
            std::string::npos)
      << r.body;
  EXPECT_EQ(Read("single.asc"), before);
  r = Post({{"DATABASE", "single"}, {"_ACTION", "SAVE"}, {"Q", "a@b.org"}, {"KEEP", "kept"}});
  EXPECT_NE(r.body.find("Thank you!"), std::string::npos) << r.body;
}

TEST_F(ConstraintAttributesTest, APostCannotSetTheMessagesItself) {
  // The page shows a field's message unescaped, as authors word it: a
  // request never brings one, nor the progress of the form.
  HttpResponse r = Post({{"DATABASE", "required_text"},
                         {"_ACTION", "NEXT"},
                         {"_PAGE", "page0"},
                         {"Q", "x"},
                         {"_PAGEWARN_Q", "<script>bad()</script>"},
                         {"_pagewarn_KEEP", "<script>bad()</script>"},
                         {"_PAGENUMBER", "<script>bad()</script>"}});
  EXPECT_TRUE(Shows(r, "page1")) << r.body;
  EXPECT_EQ(r.body.find("<script>"), std::string::npos) << r.body;
}

}  // namespace
}  // namespace tallypad
