#include "cgi/kqs/private_files.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(IsPrivateFormFile, SettingsAnswersAndReportsAreRefused) {
  TempDir root;
  root.Write("survey.ini",
             "[DATABASE]\nSAVEDATANAME=data/answers.txt\nSAVEINDEXNAME=answers.idx\n"
             "SAVEXMLNAME=answers.xml\nSAVESTATNAME=stats.txt\nPWDFILE=ids.txt\n"
             "REPORT2=results.html\nREPORT=thanks-report.htm\nEMAILREPORT=mail\\body.htm\n"
             "FORM=survey.html\n");
  root.Write("SHOP.INI", "[database]\nSAVEDATANAME=orders.csv\n");
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
      {"data/other.txt", false},   {"survey/page0", false},   {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPrivateFormFile(root.path(), c.path), c.refused) << c.path;
}

TEST(IsPrivateFormFile, ARootWithoutFormsRefusesOnlyByExtension) {
  TempDir root;
  EXPECT_FALSE(IsPrivateFormFile(root.path(), "answers.txt"));
  EXPECT_TRUE(IsPrivateFormFile(root.path(), "x.asc"));
  EXPECT_FALSE(IsPrivateFormFile("/nonexistent-root/", "answers.txt"));
}

}  // namespace
}  // namespace tallypad
