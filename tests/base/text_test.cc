#include "base/text.h"

#include <gtest/gtest.h>

#include "base/decode.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

// A stream that records every write separately.
struct Recorder {
  StrBuf buffer;
  OutputStream stream{nullptr, nullptr, &buffer};
  std::string text() const { return buffer.ToString(); }
};

TEST(StreamWriteHtml, EscapesTheFourCharacters) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a<b & \"c\">", "a&lt;b &amp; &quot;c&quot;&gt;"},
      {"", ""},
      {"plain", "plain"},
      {"&amp;", "&amp;amp;"},
      {"'single'", "'single'"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    Recorder r;
    StreamWriteHtml(&r.stream, c.in);
    EXPECT_EQ(r.text(), c.out) << c.in;
    EXPECT_EQ(HtmlEscape(c.in), c.out) << c.in;
  }
  StreamWriteHtml(nullptr, "<x>");  // a null stream is ignored
}

TEST(StreamPrintf, NeverTruncates) {
  Recorder r;
  std::string big(20000, 'z');
  StreamPrintf(&r.stream, "[%s|%d]", big.c_str(), 42);
  EXPECT_EQ(r.text(), "[" + big + "|42]");
  EXPECT_EQ(StrPrintf("%04d-%s", 7, "x"), "0007-x");
}

TEST(StreamPrintf, WritesStraightToAFile) {
  TempDir dir;
  std::string path = dir.File("out.txt");
  FILE* f = std::fopen(path.c_str(), "wb");
  OutputStream s{nullptr, f, nullptr};
  StreamPrintf(&s, "n=%d", 5);
  std::fclose(f);
  EXPECT_EQ(dir.Read("out.txt"), "n=5");
}

TEST(StreamSendFile, CopiesOrReportsFailure) {
  TempDir dir;
  Recorder r;
  EXPECT_TRUE(StreamSendFile(&r.stream, dir.Write("a.txt", "hello <%= x %>")));
  EXPECT_EQ(r.text(), "hello <%= x %>");
  EXPECT_FALSE(StreamSendFile(&r.stream, dir.File("missing")));
  EXPECT_FALSE(StreamSendFile(nullptr, dir.File("a.txt")));
}

TEST(StreamWriteTable, WritesUsedEntries) {
  auto t = FormDecode(0, "a=1&b=&c=x", 1);
  t->entries[0].name = "";
  VarTableRename(t.get(), "c", "C");
  t->entries.back().value.reset();
  Recorder r;
  StreamWriteTable(&r.stream, t.get());
  EXPECT_EQ(r.text(), "a=1\nb=\nC\n");
}

TEST(StrFindNoCase, Cases) {
  struct Case {
    const char* text;
    const char* pattern;
    size_t n;
    std::optional<size_t> at;
  } cases[] = {
      {"/Images/Logo.GIF", ".gif", 4, 12},
      {"a.html.pdf", ".HTML", 5, 1},
      {"abc", "x", 1, std::nullopt},
      {"", "", 0, std::nullopt},
      {"abc", "", 0, 0},
      {"abcdef", "cdzz", 2, 2},
      {"ab", "abc", 3, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(StrFindNoCaseN(c.text, c.pattern, c.n), c.at) << c.text << " / " << c.pattern;
  EXPECT_EQ(StrFindNoCase("index.HTML", ".html"), 5u);
}

TEST(FormatDateTime, Digits) {
  std::tm when{};
  when.tm_year = 2004 - 1900;
  when.tm_mon = 1;
  when.tm_mday = 3;
  when.tm_hour = 9;
  when.tm_min = 5;
  when.tm_sec = 7;
  std::string date, time;
  FormatDateTimeAt(when, &date, &time);
  EXPECT_EQ(date, "20040203");
  EXPECT_EQ(time, "090507");
  FormatDateTimeAt(when, nullptr, &time);
  FormatDateTime(&date, nullptr);
  EXPECT_EQ(date.size(), 8u);
}

}  // namespace
}  // namespace tallypad
