#include "base/read.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "base/file.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(PageReader, ReadsForwardAndMovesOnlyWithinTheText) {
  const std::string text = std::string("a\xff", 2) + std::string(1, '\0') + "z";
  PageReader page(text);
  EXPECT_EQ(page.Peek(), 'a');
  EXPECT_EQ(page.Get(), 'a');
  EXPECT_EQ(page.Get(), 0xff) << "bytes read as unsigned, never as EOF";
  EXPECT_EQ(page.Get(), 0);
  page.Unget();
  EXPECT_EQ(page.Tell(), 2u);
  EXPECT_EQ(page.Rest(), std::string_view(text).substr(2));
  page.Seek(100);
  EXPECT_EQ(page.Tell(), text.size()) << "a seek past the end stops at the end";
  EXPECT_EQ(page.Get(), EOF);
  EXPECT_EQ(page.Peek(), EOF);
  EXPECT_EQ(page.Get(), EOF);
  page.Seek(0);
  EXPECT_EQ(page.Get(), 'a');

  // A copy reads on by itself.
  PageReader copy = page;
  EXPECT_EQ(copy.Get(), 0xff);
  EXPECT_EQ(page.Tell(), 1u);

  PageReader empty;
  EXPECT_EQ(empty.Get(), EOF);
  empty.Unget();
  EXPECT_EQ(empty.Tell(), 0u);
}

TEST(ReadPageFile, ReadsAtMostTheLimitAndNothingButRegularFiles) {
  TempDir dir;
  const std::string content = "0123456789";
  const std::string path = dir.Write("page.htm", content);
  EXPECT_EQ(ReadPageFile(path), content);
  EXPECT_EQ(ReadPageFile(path, 4), "0123") << "a larger file is cut at the limit";
  EXPECT_EQ(ReadPageFile(dir.Write("empty.htm", "")), "");
  EXPECT_EQ(ReadPageFile(dir.File("missing.htm")), std::nullopt);
  EXPECT_EQ(ReadPageFile(dir.path()), std::nullopt) << "a folder is no page";
  EXPECT_EQ(ReadPageFile(""), std::nullopt);

  // Larger than one read, and the rest of a file already read from.
  std::string big(200000, 'x');
  big.back() = 'y';
  EXPECT_EQ(ReadPageFile(dir.Write("big.htm", big)), big);
  FilePtr f = FileOpen(path, "rb");
  ASSERT_TRUE(f);
  std::fgetc(f.get());
  EXPECT_EQ(ReadPageText(f.get()), content.substr(1));
  EXPECT_EQ(ReadPageText(f.get()), "");
}

TEST(ReadUntil, StoresWhatFitsAndReturnsTheDelimiter) {
  struct Case {
    std::string content;
    size_t size;
    const char* delims;
    int ignored;
    std::string token;
    int result;
  } cases[] = {
      {"abcdef;", 4, ";", 0, "abc", ';'},
      {"line one\r\nnext", 100, "\n", '\r', "line one", '\n'},
      {"no end", 100, ";", 0, "no end", -1},
      {std::string("ab\0cd", 5), 100, ";", 0, "ab", 0},
      {"", 100, ";", 0, "", -1},
      {"xyz>", 0, ">", 0, "", '>'},
  };
  for (const Case& c : cases) {
    PageReader f(c.content);
    std::string token = "junk";
    EXPECT_EQ(ReadUntil(f, &token, c.size, c.delims, c.ignored), c.result) << c.content;
    EXPECT_EQ(token, c.token) << c.content;
  }
}

TEST(ReadUntil, SkipsWithoutAnArea) {
  const std::string content = "skip this>rest";
  PageReader f(content);
  EXPECT_EQ(ReadUntil(f, nullptr, 0, ">", 0), '>');
  std::string rest;
  EXPECT_EQ(ReadUntil(f, &rest, 100, ">", 0), -1);
  EXPECT_EQ(rest, "rest");
  EXPECT_EQ(ReadUntil(f, &rest, 100, ">", 0), -1);
}

TEST(ReadTagAttributes, ExampleTag) {
  const std::string content = " NAME=\"Page 1\" ID=p2 CHECKED>after";
  PageReader f(content);
  auto t = ReadTagAttributes(f, 32);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->entries[0].name, "NAME");
  EXPECT_EQ(t->entries[0].value, "Page 1");
  EXPECT_EQ(t->entries[1].name, "ID");
  EXPECT_EQ(t->entries[1].value, "p2");
  EXPECT_EQ(t->entries[2].name, "CHECKED");
  EXPECT_FALSE(t->entries[2].value.has_value());
  EXPECT_TRUE(t->entries[3].IsBlank());
  std::string rest;
  ReadUntil(f, &rest, 100, "", 0);
  EXPECT_EQ(rest, "after");
}

TEST(ReadTagAttributes, BoundedByCountAndSkipsToTheTagEnd) {
  std::string tag;
  for (int i = 0; i < 30; ++i) tag += " a" + std::to_string(i) + "=" + std::to_string(i);
  const std::string content = tag + ">tail";
  PageReader f(content);
  auto t = ReadTagAttributes(f, 32);
  EXPECT_EQ(t->entries[19].name, "a19");
  EXPECT_TRUE(t->entries[20].IsBlank());
  std::string rest;
  ReadUntil(f, &rest, 100, "", 0);
  EXPECT_EQ(rest, "tail");

  const std::string small_content = " a=1 b=2 c=3 d=4>x";
  PageReader g(small_content);
  auto small = ReadTagAttributes(g, 2);
  ASSERT_EQ(small->entries.size(), 2u);
  EXPECT_EQ(small->entries[1].name, "b");
  ReadUntil(g, &rest, 100, "", 0);
  EXPECT_EQ(rest, "x");
}

TEST(ReadTagAttributes, UnterminatedTagEndsAtEndOfFile) {
  const std::string content = " VALUE=\"never closed";
  PageReader f(content);
  auto t = ReadTagAttributes(f, 0);
  ASSERT_EQ(t->entries.size(), 16u);
  EXPECT_EQ(t->entries[0].value, "never closed");
}

}  // namespace
}  // namespace tallypad
