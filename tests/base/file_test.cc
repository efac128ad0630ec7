#include "base/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(FileOpen, WritesAppendsAndReadsRegularFiles) {
  TempDir dir;
  const std::string path = dir.File("f.txt");
  {
    FilePtr f = FileOpen(path, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("one", f.get());
  }
  {
    FilePtr f = FileOpen(path, "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("two", f.get());
  }
  EXPECT_EQ(dir.Read("f.txt"), "onetwo");
  FilePtr f = FileOpen(path, "r+b");
  ASSERT_NE(f, nullptr);
  std::fputs("ONE", f.get());
  f.reset();
  EXPECT_EQ(dir.Read("f.txt"), "ONEtwo");
  FilePtr w = FileOpen(path, "w");
  ASSERT_NE(w, nullptr);
  w.reset();
  EXPECT_EQ(dir.Read("f.txt"), "");
}

// Nothing but a regular file is opened, and a pipe without a writer does
// not make the open wait.
TEST(FileOpen, RefusesEverythingButRegularFiles) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0644), 0);
  dir.Write("sub/x", "x");
  struct Case {
    std::string path;
    const char* mode;
  } cases[] = {
      {"", "rb"},
      {dir.File("missing"), "rb"},
      {dir.File("sub"), "rb"},
      {dir.File("pipe"), "rb"},
      {dir.File("pipe"), "wb"},
      {"/dev/zero", "rb"},
      {"/dev/null", "ab"},
      {dir.File("sub/x"), "x"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FileOpen(c.path, c.mode), nullptr) << c.path << " " << c.mode;
}

}  // namespace
}  // namespace tallypad
