#include "platform/file_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "base/file.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(PathIsInside, ComparesWholeComponents) {
  struct Case {
    const char* path;
    const char* folder;
    bool inside;
  } cases[] = {
      {"/srv/root/a.txt", "/srv/root", true},
      {"/srv/root/sub/a.txt", "/srv/root", true},
      {"/srv/root", "/srv/root", true},
      {"/srv/root/a.txt", "/srv/root/", true},
      {"/srv/rootless/a.txt", "/srv/root", false},  // a longer name is no sub-folder
      {"/srv/roo", "/srv/root", false},
      {"/srv", "/srv/root", false},
      {"/etc/passwd", "/srv/root", false},
      {"/etc/passwd", "/", true},
      {"relative/a.txt", "/", false},
      {"", "/srv/root", false},
      {"/srv/root/a.txt", "", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PathIsInside(c.path, c.folder), c.inside) << c.path << " in " << c.folder;
}

// A folder with a file inside "site", one outside it, and links to both.
class LinkedFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("site/page.txt", "page");
    dir_.Write("outside/secret.txt", "secret");
    ASSERT_EQ(symlink("page.txt", dir_.File("site/near.txt").c_str()), 0);
    ASSERT_EQ(symlink("../outside/secret.txt", dir_.File("site/far.txt").c_str()), 0);
    ASSERT_EQ(symlink("../outside", dir_.File("site/away").c_str()), 0);
    ASSERT_EQ(symlink("site", dir_.File("site-link").c_str()), 0);
    std::optional<std::string> real = RealPath(dir_.path());
    ASSERT_TRUE(real);
    real_ = *real + "/";
  }

  // Opens `name` of the folder and describes the open file.
  std::optional<OpenedFile> Describe(const std::string& name) {
    FilePtr file = FileOpen(dir_.File(name), "rb");
    if (!file) return std::nullopt;
    return DescribeOpenFile(fileno(file.get()), dir_.File(name));
  }

  TempDir dir_;
  std::string real_;  // the folder's real path, ending in '/'
};

TEST_F(LinkedFolder, AnOpenFileIsWhereItsLinksLead) {
  struct Case {
    const char* opened;
    const char* really;
  } cases[] = {
      {"site/page.txt", "site/page.txt"},
      {"site/near.txt", "site/page.txt"},
      {"site/far.txt", "outside/secret.txt"},
      {"site/away/secret.txt", "outside/secret.txt"},
      {"site-link/near.txt", "site/page.txt"},
      {"site/./page.txt", "site/page.txt"},
      {"outside/../site/page.txt", "site/page.txt"},
  };
  for (const Case& c : cases) {
    std::optional<OpenedFile> opened = Describe(c.opened);
    ASSERT_TRUE(opened) << c.opened;
    EXPECT_EQ(opened->real_path, real_ + c.really) << c.opened;
    EXPECT_EQ(RealPath(dir_.File(c.opened)), real_ + c.really) << c.opened;
    EXPECT_EQ(opened->identity, FileIdentityAt(dir_.File(c.really))) << c.opened;
  }
}

// What counts is the file that was opened, not where its name leads later.
TEST_F(LinkedFolder, ALinkChangedAfterOpeningChangesNothing) {
  const std::string link = dir_.File("site/near.txt");
  FilePtr file = FileOpen(link, "rb");
  ASSERT_TRUE(file);
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink("../outside/secret.txt", link.c_str()), 0);
  std::optional<OpenedFile> opened = DescribeOpenFile(fileno(file.get()), link);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->real_path, real_ + "site/page.txt");
  EXPECT_EQ(opened->identity, FileIdentityAt(dir_.File("site/page.txt")));
}

TEST_F(LinkedFolder, AnOpenFileWithoutANameKeepsItsLastPath) {
  const std::string page = dir_.File("site/page.txt");
  FilePtr file = FileOpen(page, "rb");
  ASSERT_TRUE(file);
  ASSERT_EQ(unlink(page.c_str()), 0);
  std::optional<OpenedFile> opened = DescribeOpenFile(fileno(file.get()), page);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->real_path, real_ + "site/page.txt");
}

TEST_F(LinkedFolder, RealPathsOfFoldersAndMissingNames) {
  EXPECT_EQ(RealPath(dir_.File("site-link/")), real_ + "site");
  EXPECT_EQ(RealPath(dir_.File("site/away")), real_ + "outside");
  EXPECT_EQ(RealPath(dir_.File("site/missing.txt")), std::nullopt);
  EXPECT_EQ(RealPath(""), std::nullopt);
  EXPECT_EQ(DescribeOpenFile(-1, dir_.File("site/page.txt")), std::nullopt);
}

TEST_F(LinkedFolder, AHardLinkIsTheSameFileAndACopyIsNot) {
  dir_.Write("site/copy.txt", "page");
  ASSERT_EQ(link(dir_.File("site/page.txt").c_str(), dir_.File("site/hard.txt").c_str()), 0);
  std::optional<FileIdentity> page = FileIdentityAt(dir_.File("site/page.txt"));
  ASSERT_TRUE(page);
  EXPECT_EQ(FileIdentityAt(dir_.File("site/hard.txt")), page);
  EXPECT_EQ(FileIdentityAt(dir_.File("site/near.txt")), page);
  EXPECT_NE(FileIdentityAt(dir_.File("site/copy.txt")), page);
  EXPECT_EQ(FileIdentityAt(dir_.File("site/missing.txt")), std::nullopt);
  FilePtr hard = FileOpen(dir_.File("site/hard.txt"), "rb");
  ASSERT_TRUE(hard);
  EXPECT_EQ(FileIdentityOf(fileno(hard.get())), page);
  EXPECT_EQ(FileIdentityOf(-1), std::nullopt);
}

}  // namespace
}  // namespace tallypad
