#include "base/read.h"

#include <gtest/gtest.h>

#include "base/file.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

FilePtr OpenText(const TempDir& dir, std::string_view content) {
  return FileOpen(dir.Write("in.txt", content), "rb");
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
    TempDir dir;
    FilePtr f = OpenText(dir, c.content);
    std::string token = "junk";
    EXPECT_EQ(ReadUntil(f.get(), &token, c.size, c.delims, c.ignored), c.result) << c.content;
    EXPECT_EQ(token, c.token) << c.content;
  }
}

TEST(ReadUntil, SkipsWithoutAnArea) {
  TempDir dir;
  FilePtr f = OpenText(dir, "skip this>rest");
  EXPECT_EQ(ReadUntil(f.get(), nullptr, 0, ">", 0), '>');
  std::string rest;
  EXPECT_EQ(ReadUntil(f.get(), &rest, 100, ">", 0), -1);
  EXPECT_EQ(rest, "rest");
  EXPECT_EQ(ReadUntil(f.get(), &rest, 100, ">", 0), -1);
}

TEST(ReadTagAttributes, ExampleTag) {
  TempDir dir;
  FilePtr f = OpenText(dir, " NAME=\"Page 1\" ID=p2 CHECKED>after");
  auto t = ReadTagAttributes(f.get(), 32);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->entries[0].name, "NAME");
  EXPECT_EQ(t->entries[0].value, "Page 1");
  EXPECT_EQ(t->entries[1].name, "ID");
  EXPECT_EQ(t->entries[1].value, "p2");
  EXPECT_EQ(t->entries[2].name, "CHECKED");
  EXPECT_FALSE(t->entries[2].value.has_value());
  EXPECT_TRUE(t->entries[3].IsBlank());
  std::string rest;
  ReadUntil(f.get(), &rest, 100, "", 0);
  EXPECT_EQ(rest, "after");
}

TEST(ReadTagAttributes, BoundedByCountAndSkipsToTheTagEnd) {
  TempDir dir;
  std::string tag;
  for (int i = 0; i < 30; ++i) tag += " a" + std::to_string(i) + "=" + std::to_string(i);
  FilePtr f = OpenText(dir, tag + ">tail");
  auto t = ReadTagAttributes(f.get(), 32);
  EXPECT_EQ(t->entries[19].name, "a19");
  EXPECT_TRUE(t->entries[20].IsBlank());
  std::string rest;
  ReadUntil(f.get(), &rest, 100, "", 0);
  EXPECT_EQ(rest, "tail");

  FilePtr g = OpenText(dir, " a=1 b=2 c=3 d=4>x");
  auto small = ReadTagAttributes(g.get(), 2);
  ASSERT_EQ(small->entries.size(), 2u);
  EXPECT_EQ(small->entries[1].name, "b");
  ReadUntil(g.get(), &rest, 100, "", 0);
  EXPECT_EQ(rest, "x");
}

TEST(ReadTagAttributes, UnterminatedTagEndsAtEndOfFile) {
  TempDir dir;
  FilePtr f = OpenText(dir, " VALUE=\"never closed");
  auto t = ReadTagAttributes(f.get(), 0);
  ASSERT_EQ(t->entries.size(), 16u);
  EXPECT_EQ(t->entries[0].value, "never closed");
}

}  // namespace
}  // namespace tallypad
