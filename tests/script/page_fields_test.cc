#include "script/page_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallypad {
namespace {

// The question of the first field named `name` ("<none>" without one).
std::string QuestionOf(const std::vector<PageField>& fields, const std::string& name) {
  for (const PageField& f : fields)
    if (f.name == name) return f.question;
  return "<none>";
}

TEST(PageFields, NameEachFieldByTheQuestionThePageAsks) {
  struct Case {
    const char* name;
    const char* page;
    const char* question;
  } cases[] = {
      {"a label for the field's id",
       "<label for=N>Your first name:</label> <input id=N name=NAME>", "Your first name"},
      {"a label after the field", "<input id=N name=NAME><label for=N>Name</label>", "Name"},
      {"a label around the field", "<label>Your  town\n<input name=TOWN></label>", "Your town"},
      {"markup and markers in the label",
       "<label for=A>How <b>old</b> <%= X %>are you?</label><input id=A name=AGE>",
       "How old are you?"},
      {"a radio group: the legend of its field set",
       "<fieldset><legend>Your age group</legend><label><input type=radio name=AG value=1> "
       "under 18</label></fieldset>",
       "Your age group"},
      {"a radio group without a legend: its name",
       "<label><input type=radio name=AG value=1> under 18</label>", "AG"},
      {"a text field in a field set without a label: the legend",
       "<fieldset><legend>Comments</legend><textarea name=C></textarea></fieldset>", "Comments"},
      {"a legend of an enclosing field set",
       "<fieldset><legend>Outer</legend><fieldset><input type=radio name=R></fieldset></fieldset>",
       "Outer"},
      {"aria-label before title", "<input name=Q aria-label=\"Postcode\" title=\"five digits\">",
       "Postcode"},
      {"title when nothing else", "<select name=S title=\"Colour\"><option>red</select>", "Colour"},
      {"the name, escaped, when nothing names it", "<input name=\"a&b\">", "a&amp;b"},
  };
  for (const Case& c : cases) {
    std::vector<PageField> fields = PageFields(c.page);
    ASSERT_FALSE(fields.empty()) << c.name;
    EXPECT_EQ(fields.front().question, c.question) << c.name;
  }
}

TEST(PageFields, ReadTypesValuesAndOptions) {
  const std::string page =
      "<INPUT TYPE=Email NAME=E required><input name=T>\n"
      "<input type=checkbox name=B><input type=radio name=R value=\"by bus\">\n"
      "<select name=S><option value=\"\">choose<option>Red  wine</option>"
      "<option value=w>White</option></select>\n"
      "<textarea name=C><input name=INSIDE></textarea>";
  std::vector<PageField> fields = PageFields(page);
  ASSERT_EQ(fields.size(), 9u);
  struct Want {
    FieldTag tag;
    const char* name;
    const char* type;
    const char* value;
  } want[] = {
      {FieldTag::kInput, "E", "email", ""},        {FieldTag::kInput, "T", "text", ""},
      {FieldTag::kInput, "B", "checkbox", "on"},   {FieldTag::kInput, "R", "radio", "by bus"},
      {FieldTag::kSelect, "S", "select", ""},      {FieldTag::kOption, "S", "option", ""},
      {FieldTag::kOption, "S", "option", "Red wine"}, {FieldTag::kOption, "S", "option", "w"},
      {FieldTag::kTextarea, "C", "textarea", ""},
  };
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i].tag, want[i].tag) << i;
    EXPECT_EQ(fields[i].name, want[i].name) << i;
    EXPECT_EQ(fields[i].type, want[i].type) << i;
    EXPECT_EQ(fields[i].value, want[i].value) << i;
  }
  EXPECT_TRUE(FieldHas(fields[0], "REQUIRED"));
  EXPECT_FALSE(FieldHas(fields[1], "required"));
}

TEST(PageFields, PassOverWhatABrowserShowsNoFieldIn) {
  const std::vector<PageField> fields = PageFields(
      "<!-- <input name=COMMENTED required> -->"
      "<script>document.write('<input name=SCRIPTED>');</script>"
      "<style>input[name=X] { color: red }</style>"
      "<% s = '<input name=MARKER>'; %>"
      "<input name=REAL>");
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].name, "REAL");
}

TEST(PageFields, KeepsQuestionsShort) {
  const std::string label(1000, 'x');
  const std::vector<PageField> fields =
      PageFields("<label for=L>" + label + "</label><input id=L name=L>");
  EXPECT_EQ(QuestionOf(fields, "L").size(), kMaxQuestionBytes);
}

}  // namespace
}  // namespace tallypad
