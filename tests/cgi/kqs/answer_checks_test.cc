// The constraint checks on the fields of one page, without a server: which
// answers each attribute accepts and refuses, the message of a refusal,
// the form's own wording of it, and the choices a page offers.
#include "cgi/kqs/answer_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/decode.h"

namespace tallypad {
namespace {

using Answers = std::vector<std::string>;  // "NAME=value" each

// The messages (joined by " | ") of checking `answers` against `page`, or
// "accepted".
std::string Check(const std::string& page, const Answers& answers,
                  const std::vector<std::string>& settings = {},
                  CheckScope scope = CheckScope::kAll) {
  const std::vector<PageField> fields = PageFields(page);
  VarTablePtr vars = VarTableFromPairs(answers, 4);
  VarTablePtr form = VarTableFromPairs(settings, 4);
  std::string out;
  for (const AnswerProblem& p : CheckAnswers(fields, vars.get(), form.get(), scope)) {
    if (!out.empty()) out += " | ";
    out += p.name + ": " + p.message;
  }
  return out.empty() ? "accepted" : out;
}

TEST(CheckAnswers, EachConstraintAcceptsAndRefuses) {
  struct Case {
    const char* name;
    const char* field;
    Answers answers;
    const char* result;
  } cases[] = {
      // required: a text, a list and a radio group need an answer; an
      // empty one or a missing one is none.
      {"required text given", "<input name=Q required>", {"Q=x"}, "accepted"},
      {"required text empty", "<input name=Q required>", {"Q="},
       "Q: Please answer \u201cQ\u201d."},
      {"required text missing", "<input name=Q required>", {}, "Q: Please answer \u201cQ\u201d."},
      {"required list on its empty choice",
       "<select name=S required><option value=\"\">-</option><option>a</option></select>",
       {"S="}, "S: Please answer \u201cS\u201d."},
      {"required radio group",
       "<fieldset><legend>Your rating</legend><input type=radio name=R value=1 required>"
       "<input type=radio name=R value=2></fieldset>",
       {}, "R: Please answer \u201cYour rating\u201d."},
      {"required check box ticked", "<input type=checkbox name=OK value=yes required>",
       {"OK=yes"}, "accepted"},
      {"required check box with another box ticked",
       "<input type=checkbox name=OK value=yes required><input type=checkbox name=OK value=no>",
       {"OK=no"}, "OK: Please answer \u201cOK\u201d."},
      {"optional empty answers pass every other constraint",
       "<input name=N type=number min=5><input name=E type=email><input name=P pattern=x>",
       {"N=", "E=", "P="}, "accepted"},
      // type=email
      {"email", "<input type=email name=E>", {"E=ann@example.org"}, "accepted"},
      {"email without @", "<input type=email name=E>", {"E=ann.example.org"},
       "E: Please enter an e-mail address for \u201cE\u201d."},
      {"email with a bad domain", "<input type=email name=E>", {"E=ann@-example.org"},
       "E: Please enter an e-mail address for \u201cE\u201d."},
      {"email list", "<input type=email name=E multiple>", {"E=a@b.c, d@e.f"}, "accepted"},
      {"email list with an empty item", "<input type=email name=E multiple>", {"E=a@b.c,"},
       "E: Please enter an e-mail address for \u201cE\u201d."},
      // type=number with min, max, step
      {"number", "<input type=number name=N min=1 max=5>", {"N=3"}, "accepted"},
      {"number with exponent and fraction", "<input type=number name=N step=any>", {"N=-1.5e2"},
       "accepted"},
      {"number that is none", "<input type=number name=N>", {"N=three"},
       "N: Please enter a number for \u201cN\u201d."},
      {"number a browser never sends", "<input type=number name=N>", {"N=1."},
       "N: Please enter a number for \u201cN\u201d."},
      {"number too large to be one", "<input type=number name=N step=any>", {"N=1e999"},
       "N: Please enter a number for \u201cN\u201d."},
      {"number below min", "<input type=number name=N min=1 max=5>", {"N=0"},
       "N: The answer to \u201cN\u201d must be at least 1."},
      {"number above max", "<input type=number name=N min=1 max=5>", {"N=1e16"},
       "N: The answer to \u201cN\u201d must be at most 5."},
      {"number off the default step", "<input type=number name=N>", {"N=2.5"},
       "N: The answer to \u201cN\u201d must be in steps of 1."},
      {"number on a decimal step", "<input type=number name=N step=0.01>", {"N=1.23"},
       "accepted"},
      {"number off a step counted from min", "<input type=number name=N min=1 step=2>", {"N=4"},
       "N: The answer to \u201cN\u201d must be in steps of 2."},
      {"number on a step counted from min", "<input type=number name=N min=1 step=2>", {"N=5"},
       "accepted"},
      {"range within its default bounds", "<input type=range name=G>", {"G=100"}, "accepted"},
      {"range beyond its default bounds", "<input type=range name=G>", {"G=101"},
       "G: The answer to \u201cG\u201d must be at most 100."},
      // type=date with min and max
      {"date", "<input type=date name=D min=2024-01-01 max=2024-12-31>", {"D=2024-02-29"},
       "accepted"},
      {"date that does not exist", "<input type=date name=D>", {"D=2023-02-29"},
       "D: Please enter a date (year-month-day) for \u201cD\u201d."},
      {"date in another form", "<input type=date name=D>", {"D=01/02/2024"},
       "D: Please enter a date (year-month-day) for \u201cD\u201d."},
      {"date before min", "<input type=date name=D min=2024-01-01>", {"D=2023-12-31"},
       "D: The date for \u201cD\u201d must be 2024-01-01 or later."},
      {"date after max", "<input type=date name=D max=2024-12-31>", {"D=2025-01-01"},
       "D: The date for \u201cD\u201d must be 2024-12-31 or earlier."},
      // minlength and maxlength, counted as a browser counts
      {"length within", "<input name=T minlength=2 maxlength=4>", {"T=Zo\xc3\xab"}, "accepted"},
      {"too short", "<input name=T minlength=2>", {"T=a"},
       "T: The answer to \u201cT\u201d must be at least 2 characters long."},
      {"too long", "<input name=T maxlength=3>", {"T=abcd"},
       "T: The answer to \u201cT\u201d must be at most 3 characters long."},
      {"a text area's line break counts once", "<textarea name=C maxlength=3></textarea>",
       {"C=a\r\nb"}, "accepted"},
      // pattern
      {"pattern", "<input name=P pattern=\"[0-9]{5}\">", {"P=12345"}, "accepted"},
      {"pattern broken", "<input name=P pattern=\"[0-9]{5}\">", {"P=1234"},
       "P: The answer to \u201cP\u201d is not in the form asked for."},
      {"pattern not understood is not held", "<input name=P pattern=\"(a)\\1\">", {"P=zz"},
       "accepted"},
      {"pattern never applies to a text area", "<textarea name=C pattern=x></textarea>",
       {"C=yy"}, "accepted"},
      // choices: a browser sends only what the page offers
      {"radio choice offered", "<input type=radio name=R value=1><input type=radio name=R value=5>",
       {"R=5"}, "accepted"},
      {"radio choice not offered",
       "<input type=radio name=R value=1><input type=radio name=R value=5>", {"R=1e16"},
       "R: Please choose one of the answers offered for \u201cR\u201d."},
      {"radio answer that joins two choices",
       "<input type=radio name=R value=1><input type=radio name=R value=5>", {"R=1,5"},
       "R: Please choose one of the answers offered for \u201cR\u201d."},
      {"boxes ticked one by one",
       "<input type=checkbox name=B value=a><input type=checkbox name=B value=\"c, d\">",
       {"B=a", "B=c, d"}, "accepted"},
      {"boxes kept as a stored group",
       "<input type=checkbox name=B value=a><input type=checkbox name=B value=\"c, d\">",
       {"B=c, d,a"}, "accepted"},
      {"boxes with a choice not offered",
       "<input type=checkbox name=B value=a><input type=checkbox name=B value=b>", {"B=a,z"},
       "B: Please choose one of the answers offered for \u201cB\u201d."},
      {"option chosen by its text",
       "<select name=S><option>Red wine</option><option value=w>White</option></select>",
       {"S=Red wine"}, "accepted"},
      {"option not offered", "<select name=S><option value=w>White</option></select>",
       {"S=rose"}, "S: Please choose one of the answers offered for \u201cS\u201d."},
      {"a list a script fills offers any answer", "<select name=S></select>", {"S=rose"},
       "accepted"},
      // fields a browser leaves out of its checks, and fields of no check
      {"disabled", "<input name=Q required disabled>", {}, "accepted"},
      {"read-only", "<input name=Q required readonly maxlength=1>", {"Q=long"}, "accepted"},
      {"hidden", "<input type=hidden name=H required pattern=x>", {"H=anything"}, "accepted"},
      {"a field the page does not have", "<input name=Q maxlength=1>", {"OTHER=long"},
       "accepted"},
  };
  for (const Case& c : cases) EXPECT_EQ(Check(c.field, c.answers), c.result) << c.name;
}

TEST(CheckAnswers, OneMessagePerFieldInPageOrder) {
  const std::string page =
      "<label for=A>Age</label><input id=A name=AGE type=number required>"
      "<label for=E>Mail</label><input id=E name=MAIL type=email>"
      "<input name=Z required maxlength=2>";
  EXPECT_EQ(Check(page, {"MAIL=x", "Z=long", "AGE="}),
            "AGE: Please answer \u201cAge\u201d. | "
            "MAIL: Please enter an e-mail address for \u201cMail\u201d. | "
            "Z: The answer to \u201cZ\u201d must be at most 2 characters long.");
}

TEST(CheckAnswers, AnswerNamesAreComparedWithoutCase) {
  EXPECT_EQ(Check("<input name=Age type=number max=5>", {"AGE=9"}),
            "Age: The answer to \u201cAge\u201d must be at most 5.");
}

TEST(CheckAnswers, TheFormWordsItsMessages) {
  const std::string page = "<label for=A>Your age</label><input id=A name=AGE type=number max=120 required>";
  EXPECT_EQ(Check(page, {}, {"REQUIREDMESSAGE=<b>{label}</b> is missing"}),
            "AGE: <b>Your age</b> is missing");
  EXPECT_EQ(Check(page, {"AGE=130"}, {"TOOHIGHMESSAGE={label}: {limit} at most, {limit}!"}),
            "AGE: Your age: 120 at most, 120!");
}

TEST(CheckAnswers, ValuesOnlyLeavesRequiredOut) {
  const std::string page = "<input name=Q required maxlength=2>";
  EXPECT_EQ(Check(page, {}, {}, CheckScope::kValuesOnly), "accepted");
  EXPECT_EQ(Check(page, {"Q=long"}, {}, CheckScope::kValuesOnly),
            "Q: The answer to \u201cQ\u201d must be at most 2 characters long.");
}

TEST(SetAnswerWarnings, LeavesAllMessagesAndEachFieldsOwn) {
  VarTablePtr vars = VarTableFromPairs({}, 4);
  SetAnswerWarnings(vars.get(), {{"AGE", "Age is missing."}, {"MAIL", "Mail is wrong."}});
  EXPECT_EQ(VarTableGet(vars.get(), "_PAGEWARN"), "Age is missing. Mail is wrong.");
  EXPECT_EQ(VarTableGet(vars.get(), "_PAGEWARN_AGE"), "Age is missing.");
  EXPECT_EQ(VarTableGet(vars.get(), "_PAGEWARN_MAIL"), "Mail is wrong.");
}

TEST(BackListPages, ReadsTheBackListMostRecentFirst) {
  EXPECT_EQ(BackListPages("page2,page1,page0,"),
            (std::vector<std::string>{"page2", "page1", "page0"}));
  EXPECT_EQ(BackListPages(" Pextra, ,page0"), (std::vector<std::string>{"pextra", "page0"}));
  EXPECT_TRUE(BackListPages("").empty());
}

}  // namespace
}  // namespace tallypad
