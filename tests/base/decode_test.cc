#include "base/decode.h"

#include <gtest/gtest.h>

namespace tallypad {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The used entries of the first block as (name, value) pairs.
Pairs Entries(const VarTable* t) {
  Pairs out;
  VarTableForEach(t, [&](const VarEntry& e) { out.emplace_back(*e.name, e.value.value_or("<none>")); });
  return out;
}

TEST(UrlDecode, Cases) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"hello%21", "hello!"},
      {"A%41", "AA"},
      {"%7e", "~"},
      {"%7E%7e", "~~"},
      {"a+b", "a+b"},
      {"100%", "100%"},
      {"x%4", "x%4"},
      {"%", "%"},
      {"%zz", std::string(1, static_cast<char>((16 * ('Z' - 55) + ('Z' - 55)) & 0xff))},
      {"%00x", std::string("\0x", 2)},
  };
  for (Case c : cases) {
    std::string text = c.in;
    EXPECT_EQ(UrlDecode(text), c.out.size()) << c.in;
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(UrlEncode, RoundTripsThroughTheFormDecoder) {
  EXPECT_EQ(UrlEncode("a b&c=d\"<%+#\xC3\xA9-_.~Z9"),
            "a%20b%26c%3Dd%22%3C%25%2B%23%C3%A9-_.~Z9");
  const std::string values[] = {"R&D \"2024\"", "50% + 1", "x=y&z", std::string("a\0b", 3), ""};
  for (const std::string& value : values) {
    VarTablePtr t = FormDecode(0, "V=" + UrlEncode(value) + "&W=1", 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(VarTableGet(t.get(), "V"), value) << value;
    EXPECT_EQ(VarTableGet(t.get(), "W"), "1") << value;
  }
}

TEST(FormDecode, Examples) {
  struct Case {
    const char* data;
    Pairs expected;
  } cases[] = {
      {"a=1&b=hello+world%21", {{"a", "1"}, {"b", "hello world!"}}},
      {"name=x%3Dy&=z&&flag", {{"name", "x=y"}, {"flag", ""}}},
      {"A%41=%7e", {{"AA", "~"}}},
      {"p=%2B&q=a%26b", {{"p", "+"}, {"q", "a&b"}}},
      {"&&&a=1&&&", {{"a", "1"}}},
      {"c=2&c=3", {{"c", "2"}, {"c", "3"}}},
      {"x=%", {{"x", "%"}}},
  };
  for (const Case& c : cases) {
    auto t = FormDecode(0, c.data, 0);
    ASSERT_TRUE(t) << c.data;
    EXPECT_EQ(Entries(t.get()), c.expected) << c.data;
  }
  EXPECT_FALSE(FormDecode(3, "", 64));
}

TEST(FormDecode, LayoutOfReservedFreeAndDataEntries) {
  auto t = FormDecode(3, "a=1&b=2&c=3&d=4&e=5&f=6&g=7&h=8&i=9&j=10", 64);
  ASSERT_EQ(t->entries.size(), 77u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(t->entries[i].IsBlank()) << i;
  for (int i = 3; i < 67; ++i) {
    EXPECT_TRUE(t->entries[i].IsFree()) << i;
    EXPECT_EQ(t->entries[i].value, "") << i;
  }
  EXPECT_EQ(t->entries[67].name, "a");
  EXPECT_EQ(t->entries[76].name, "j");
  EXPECT_EQ(t->entries[76].value, "10");
}

TEST(FormFieldCount, CountsTheItemsFormDecodeKeeps) {
  struct Case {
    std::string data;
    size_t fields;
  };
  const Case cases[] = {
      {"", 0},       {"a", 1},          {"a&", 1},   {"&&&", 0},      {"=x", 0},
      {"=", 0},      {"a=&=b&c", 2},    {"+", 1},    {"%", 1},        {"%3D=1", 1},
      {"a=b=c", 1},  {"&a&&b&=&c=", 3}, {"x&y", 2},  {"a==&==a", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormFieldCount(c.data), c.fields) << c.data;
    size_t used = 0;
    VarTableForEach(FormDecode(0, c.data, 0).get(), [&](const VarEntry&) { ++used; });
    EXPECT_EQ(used, c.fields) << c.data;
  }
}

TEST(FormDecodeFields, LeavesOutDroppedNamesAfterDecodingThem) {
  constexpr std::string_view kDropped[] = {"HOST", "_PAGEWARN"};
  FormFieldRules rules;
  rules.dropped = kDropped;
  struct Case {
    const char* data;
    Pairs expected;
  };
  const Case cases[] = {
      {"a=1&HOST=evil&b=2", {{"a", "1"}, {"b", "2"}}},
      {"host=x&Host=y&hOsT", {}},
      {"_pagewarn=%3Cimg%3E&q=1", {{"q", "1"}}},
      {"%5FPAGEWARN=x&_PAGEWAR%4E=y&q=2", {{"q", "2"}}},
      {"_PAGEWARN2=a&HOSTS=b&_PAGE+WARN=c&+HOST=d",
       {{"_PAGEWARN2", "a"}, {"HOSTS", "b"}, {"_PAGE WARN", "c"}, {" HOST", "d"}}},
      {"q=HOST&r=_PAGEWARN", {{"q", "HOST"}, {"r", "_PAGEWARN"}}},
      {"&&=x&a+b=c+d%21&", {{"a b", "c d!"}}},
      {"c=2&c=3", {{"c", "2"}, {"c", "3"}}},
  };
  for (const Case& c : cases) {
    VarTablePtr t;
    ASSERT_EQ(FormDecodeFields(0, c.data, 0, rules, &t), FormFieldsResult::kDecoded) << c.data;
    ASSERT_TRUE(t) << c.data;
    EXPECT_EQ(Entries(t.get()), c.expected) << c.data;
  }
}

TEST(FormDecodeFields, RefusesMoreFieldsThanTheLimit) {
  constexpr std::string_view kDropped[] = {"HOST"};
  FormFieldRules rules;
  rules.max_fields = 3;
  rules.dropped = kDropped;
  struct Case {
    const char* data;
    bool refused;
  };
  const Case cases[] = {
      {"a&b&c", false},
      {"a&b&c&d", true},
      {"a=1&&b=2&=x&=y&c=3&&", false},  // empty and nameless items are no fields
      {"HOST=1&b&c&d", true},           // dropped fields were sent all the same
      {"a&b&c&", false},
  };
  for (const Case& c : cases) {
    VarTablePtr t = VarTableNew(1);
    FormFieldsResult result = FormDecodeFields(3, c.data, 64, rules, &t);
    EXPECT_EQ(result, c.refused ? FormFieldsResult::kTooManyFields : FormFieldsResult::kDecoded)
        << c.data;
    EXPECT_EQ(t == nullptr, c.refused) << c.data;
  }
}

TEST(FormDecodeFields, LayoutHasNoBlankEntriesForLeftOutItems) {
  constexpr std::string_view kDropped[] = {"HOST"};
  FormFieldRules rules;
  rules.dropped = kDropped;
  VarTablePtr t;
  ASSERT_EQ(FormDecodeFields(3, "a=1&HOST=h&&=x&b=2", 2, rules, &t), FormFieldsResult::kDecoded);
  ASSERT_EQ(t->entries.size(), 3u + 2u + 2u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(t->entries[i].IsBlank()) << i;
  for (int i = 3; i < 5; ++i) {
    EXPECT_TRUE(t->entries[i].IsFree()) << i;
    EXPECT_EQ(t->entries[i].value, "") << i;
  }
  EXPECT_EQ(t->entries[5].name, "a");
  EXPECT_EQ(t->entries[6].name, "b");

  // Nothing but left-out items: the reserved and free entries alone.
  ASSERT_EQ(FormDecodeFields(3, "HOST=1&&", 2, rules, &t), FormFieldsResult::kDecoded);
  EXPECT_EQ(t->entries.size(), 5u);
  // No data, no table, as FormDecode.
  ASSERT_EQ(FormDecodeFields(3, "", 2, rules, &t), FormFieldsResult::kDecoded);
  EXPECT_EQ(t, nullptr);
}

TEST(VarTableFromList, Cases) {
  struct Case {
    const char* text;
    char sep;
    Pairs expected;
  } cases[] = {
      {"IFMUID,IFMUID1,,IFMUID2", ',', {{"IFMUID", ""}, {"IFMUID1", ""}, {"IFMUID2", ""}}},
      {"#x=1,y=2", ',', {{"y", "2"}}},
      {"a=1&b&c=3", '&', {{"a", "1"}, {"b", ""}, {"c", "3"}}},
      {"=1,_a= b ", ',', {{"_a", " b "}}},
      {",,,", ',', {}},
  };
  for (const Case& c : cases) {
    auto t = VarTableFromList(c.text, c.sep, 0);
    ASSERT_TRUE(t) << c.text;
    EXPECT_EQ(Entries(t.get()), c.expected) << c.text;
  }
  EXPECT_FALSE(VarTableFromList("", ',', 0));
  auto free_only = VarTableFromList("", ',', 2);
  ASSERT_TRUE(free_only);
  EXPECT_EQ(free_only->entries.size(), 2u);
}

TEST(VarTableFromPairs, NamesAndValues) {
  auto t = VarTableFromPairs({"x=1", "y", "z=a=b"}, 0);
  EXPECT_EQ(Entries(t.get()), (Pairs{{"x", "1"}, {"y", ""}, {"z", "a=b"}}));
  EXPECT_FALSE(VarTableFromPairs({}, 0));
  auto with_free = VarTableFromPairs({"x=1"}, 2);
  EXPECT_TRUE(with_free->entries[0].IsFree());
  EXPECT_EQ(VarTableGet(with_free.get(), "x"), "1");
}

}  // namespace
}  // namespace tallypad
