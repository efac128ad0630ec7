#include "platform/profile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;
using Lines = std::vector<std::string>;

TEST(ProfileGetSection, ReadsTheSectionsLines) {
  struct Case {
    const char* name;
    const char* file;
    const char* section;
    Lines expected;
  } cases[] = {
      {"plain", "[server]\nMODE=server\nDEVICEID=\n", "server", {"MODE=server", "DEVICEID="}},
      {"case of section", "[Server]\nA=1\n", "SERVER", {"A=1"}},
      {"blanks, comments, CR", "[s]\r\n  A=1  \r\n\r\n; note\r\nB=2\r\n", "s", {"A=1", "B=2"}},
      {"ends at next section", "[a]\nX=1\n[b]\nY=2\n", "a", {"X=1"}},
      {"second section", "[a]\nX=1\n[b]\nY=2\n", "b", {"Y=2"}},
      {"missing section", "[a]\nX=1\n", "zz", {}},
      {"lines before any section", "X=0\n[a]\nX=1\n", "a", {"X=1"}},
      {"line without equals", "[a]\nnoeq\nA=1\n", "a", {"noeq", "A=1"}},
      {"no final newline", "[a]\nA=1", "a", {"A=1"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.Write("f.ini", c.file);
    EXPECT_EQ(ProfileGetSection(path, c.section), c.expected) << c.name;
  }
  EXPECT_TRUE(ProfileGetSection("/nonexistent/f.ini", "a").empty());
}

TEST(ProfileGetInt, Cases) {
  TempDir dir;
  std::string path = dir.Write("c.ini", "[Counts]\nDemo=12\nneg=-3\nbad=x\nsp = 7 \n");
  EXPECT_EQ(ProfileGetInt(path, "counts", "DEMO", 0), 12);
  EXPECT_EQ(ProfileGetInt(path, "counts", "neg", 0), -3);
  EXPECT_EQ(ProfileGetInt(path, "counts", "bad", 5), 5);
  EXPECT_EQ(ProfileGetInt(path, "counts", "sp", 0), 7);
  EXPECT_EQ(ProfileGetInt(path, "counts", "missing", 9), 9);
  EXPECT_EQ(ProfileGetInt(dir.File("none.ini"), "counts", "Demo", 4), 4);
}

TEST(ProfileWrite, KeepsEverythingElse) {
  struct Case {
    const char* name;
    const char* before;  // nullptr: no file
    std::vector<ProfileUpdate> updates;
    const char* after;
  } cases[] = {
      {"creates the file", nullptr, {{"COUNT", "Q1", "1"}}, "[COUNT]\nQ1=1\n"},
      {"replaces in place", "; top\n[COUNT]\nQ1=1\n; keep\nQ2=5\n", {{"count", "q1", "2"}},
       "; top\n[COUNT]\nq1=2\n; keep\nQ2=5\n"},
      {"appends to its section", "[A]\nX=1\n\n[B]\nY=2\n", {{"A", "Z", "3"}}, "[A]\nX=1\nZ=3\n\n[B]\nY=2\n"},
      {"appends a section", "[A]\nX=1\n", {{"B", "Y", "2"}}, "[A]\nX=1\n[B]\nY=2\n"},
      {"several keys in one rewrite", "[COUNT]\nQ1=1\n",
       {{"COUNT", "Q1", "2"}, {"SUM", "Q2", "7"}, {"COUNT", "Q3", "1"}},
       "[COUNT]\nQ1=2\nQ3=1\n[SUM]\nQ2=7\n"},
      {"deletes a key", "[A]\nX=1\nY=2\n", {{"A", "X", std::nullopt}}, "[A]\nY=2\n"},
      {"only the right section", "[A]\nX=1\n[B]\nX=1\n", {{"B", "X", "9"}}, "[A]\nX=1\n[B]\nX=9\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.File("p.ini");
    if (c.before) dir.Write("p.ini", c.before);
    ASSERT_TRUE(ProfileWrite(path, c.updates)) << c.name;
    EXPECT_EQ(dir.Read("p.ini"), c.after) << c.name;
    // Nothing but the file itself is left in the folder.
    size_t files = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 1u) << c.name;
  }
}

TEST(ProfileWrite, FailsWithoutTouchingWhenTheFolderIsMissing) {
  EXPECT_FALSE(ProfileWriteString("/nonexistent-folder/x.ini", "A", "B", "1"));
}

TEST(ProfileWrite, RoundTripsThroughTheReader) {
  TempDir dir;
  std::string path = dir.File("kqscounts.ini");
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(ProfileWriteString(path, "Counts", "demo", std::to_string(i)));
  EXPECT_EQ(ProfileGetInt(path, "Counts", "demo", 0), 5);
  EXPECT_EQ(dir.Read("kqscounts.ini"), "[Counts]\ndemo=5\n");
}

}  // namespace
}  // namespace tallypad
