#include "app/private_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "base/file.h"
#include "base/str.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

// Asks about `path` of `root` as the router does: for the file it opened.
// Fails the test when the file does not open.
bool AskAbout(const std::string& root, std::string_view path) {
  const std::string full = PathBuild(root, path);
  FilePtr file = FileOpen(full, "rb");
  std::optional<OpenedFile> opened;
  if (file) opened = DescribeOpenFile(fileno(file.get()), full);
  EXPECT_TRUE(opened) << path << " does not open";
  return opened && IsPrivateFormFile(root, path, *opened);
}

// A root with two forms and every file they keep, plus public files.
class PrivateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("survey.ini",
                "[DATABASE]\nSAVEDATANAME=data/answers.txt\nSAVEINDEXNAME=answers.idx\n"
                "SAVEXMLNAME=answers.xml\nSAVESTATNAME=stats.txt\nPWDFILE=ids.txt\n"
                "REPORT2=results.html\nREPORT=thanks-report.htm\nEMAILREPORT=mail\\body.htm\n"
                "FORM=survey.html\n");
    root_.Write("SHOP.INI", "[database]\nSAVEDATANAME=orders.csv\n");
    for (const char* name :
         {"cgi.ini", "kqscounts.ini", "survey.val", "survey.asc", "outbox.kqs", "outbox.bak",
          "SURVEY.INI", "data/answers.txt", "answers.idx", "answers.xml", "stats.txt", "ids.txt",
          "results.html", "thanks-report.htm", "mail/body.htm", "orders.csv", "survey.html",
          "index.html", "style.css", "data/other.txt", "survey/page0"})
      root_.Write(name, std::string("content of ") + name);
  }

  // Makes `name` a hard link to `target`.
  void HardLink(const char* target, const char* name) {
    ASSERT_EQ(link(root_.File(target).c_str(), root_.File(name).c_str()), 0) << name;
  }
  // Makes `name` a symbolic link to `target` (relative to the link's folder).
  void SymLink(const char* target, const char* name) {
    ASSERT_EQ(symlink(target, root_.File(name).c_str()), 0) << name;
  }

  TempDir root_;
};

TEST_F(PrivateFiles, SettingsAnswersAndReportsAreRefused) {
  struct Case {
    const char* path;
    bool refused;
  } cases[] = {
      {"survey.ini", true},        {"cgi.ini", true},         {"kqscounts.ini", true},
      {"survey.val", true},        {"survey.asc", true},      {"outbox.kqs", true},
      {"outbox.bak", true},        {"SURVEY.INI", true},      {"data/answers.txt", true},
      {"data/./answers.txt", true}, {"answers.idx", true},    {"answers.xml", true},
      {"stats.txt", true},         {"ids.txt", true},         {"results.html", true},
      {"thanks-report.htm", true}, {"mail/body.htm", true},   {"orders.csv", true},
      {"survey.html", false},      {"index.html", false},     {"style.css", false},
      {"data/other.txt", false},   {"survey/page0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AskAbout(root_.path(), c.path), c.refused) << c.path;
}

// A link is the file it leads to, whatever it is called; a copy is a file
// of its own.
TEST_F(PrivateFiles, LinksUnderHarmlessNamesAreTheFilesTheyLeadTo) {
  HardLink("data/answers.txt", "notes.txt");
  HardLink("survey.ini", "readme.txt");
  HardLink("survey.val", "checks.txt");
  HardLink("survey.asc", "default-data.txt");
  HardLink("orders.csv", "catalogue.txt");
  HardLink("outbox.kqs", "letters.txt");
  HardLink("kqscounts.ini", "counts.txt");
  HardLink("style.css", "style-copy.css");
  SymLink("survey.ini", "settings.txt");
  SymLink("data/answers.txt", "answers-link.txt");
  SymLink("../survey.val", "data/checks-link.txt");
  SymLink("data", "results");
  SymLink("style.css", "look.css");
  root_.Write("copied-answers.txt", "content of data/answers.txt");
  struct Case {
    const char* path;
    bool refused;
  } cases[] = {
      {"notes.txt", true},           {"readme.txt", true},         {"checks.txt", true},
      {"default-data.txt", true},    {"catalogue.txt", true},      {"letters.txt", true},
      {"counts.txt", true},          {"settings.txt", true},       {"answers-link.txt", true},
      {"data/checks-link.txt", true}, {"results/answers.txt", true},
      {"style-copy.css", false},     {"look.css", false},          {"results/other.txt", false},
      {"copied-answers.txt", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AskAbout(root_.path(), c.path), c.refused) << c.path;
}

TEST(IsPrivateFormFile, ARootWithoutFormsRefusesOnlyByExtension) {
  TempDir root;
  root.Write("answers.txt", "a");
  root.Write("x.asc", "x");
  EXPECT_FALSE(AskAbout(root.path(), "answers.txt"));
  EXPECT_TRUE(AskAbout(root.path(), "x.asc"));
  // Refused by the name asked for, and by the name of the file a link leads to.
  ASSERT_EQ(symlink("answers.txt", root.File("link.asc").c_str()), 0);
  ASSERT_EQ(symlink("x.asc", root.File("link.txt").c_str()), 0);
  EXPECT_TRUE(AskAbout(root.path(), "link.asc"));
  EXPECT_TRUE(AskAbout(root.path(), "link.txt"));
  FilePtr file = FileOpen(root.File("answers.txt"), "rb");
  ASSERT_TRUE(file);
  std::optional<OpenedFile> opened = DescribeOpenFile(fileno(file.get()), root.File("answers.txt"));
  ASSERT_TRUE(opened);
  EXPECT_FALSE(IsPrivateFormFile("/nonexistent-root/", "answers.txt", *opened));
}

}  // namespace
}  // namespace tallypad
