#include "platform/profile.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(IniLoadSection, LoadsKeysAndValues) {
  TempDir dir;
  std::string path = dir.Write("cgi.ini", "[server]\nMODE=server\nDEVICEID=\nURL=a=b\nnoeq\nA=1\n");
  auto t = IniLoadSection(path, "server", 0);
  ASSERT_TRUE(t);
  EXPECT_EQ(VarTableGet(t.get(), "mode"), "server");
  EXPECT_EQ(VarTableGet(t.get(), "DEVICEID", "dflt"), "dflt");
  EXPECT_EQ(VarTableGet(t.get(), "URL"), "a=b");
  ASSERT_EQ(t->entries.size(), 5u);
  EXPECT_EQ(t->entries[3].name, "noeq");
  EXPECT_EQ(t->entries[3].value, "");
  EXPECT_EQ(t->entries[4].name, "A");
}

TEST(IniLoadSection, FreeEntriesComeFirst) {
  TempDir dir;
  std::string path = dir.Write("f.ini", "[DATABASE]\nX=1\n");
  auto t = IniLoadSection(path, "DATABASE", 2);
  ASSERT_EQ(t->entries.size(), 3u);
  EXPECT_TRUE(t->entries[0].IsFree());
  EXPECT_TRUE(VarTableSet(t.get(), "NEW", "v"));
  auto empty_section = IniLoadSection(path, "other", 2);
  ASSERT_TRUE(empty_section);
  EXPECT_EQ(empty_section->entries.size(), 2u);
}

TEST(IniLoadSection, NothingToLoadGivesNull) {
  TempDir dir;
  EXPECT_FALSE(IniLoadSection(dir.Write("empty.ini", ""), "server", 0));
  EXPECT_FALSE(IniLoadSection(dir.File("missing.ini"), "server", 0));
  EXPECT_FALSE(IniLoadSection(dir.Write("other.ini", "[x]\nA=1\n"), "server", 0));
  EXPECT_FALSE(IniLoadSection(dir.Write("bare.ini", "[server]\n"), "server", 0));
}

TEST(IniLoadSection, ReadsTheFileAgainEachTime) {
  TempDir dir;
  std::string path = dir.Write("f.ini", "[s]\nA=1\n");
  EXPECT_EQ(VarTableGet(IniLoadSection(path, "s", 0).get(), "A"), "1");
  dir.Write("f.ini", "[s]\nA=2\n");
  EXPECT_EQ(VarTableGet(IniLoadSection(path, "s", 0).get(), "A"), "2");
}

// The used entries of a table as "name=value" ("name" alone without a
// value), and the table's size, or "null".
std::string Shown(const VarTable* t) {
  if (!t) return "null";
  std::string shown = "[" + std::to_string(t->entries.size()) + "]";
  VarTableForEach(t, [&](const VarEntry& e) {
    shown += " " + *e.name + (e.value ? "=" + *e.value : "");
  });
  return shown;
}

TEST(IniLoadSections, EachSectionAsIniLoadSectionLoadsIt) {
  const char* files[] = {
      "[DATABASE]\nTITLE=x\n[access]\nPWD=a\n",
      "[access]\nPWD=a\n\n; note\n[DATABASE]\nTITLE=x\nnoeq\n",
      "[database]\nTITLE=first\n[other]\nB=2\n[DATABASE]\nTITLE=second\n",
      "[DATABASE]\nTITLE=x\n",
      "[access]\n",
      "A=1\n",
      "",
  };
  constexpr std::string_view kSections[] = {"DATABASE", "access"};
  TempDir dir;
  for (const char* content : files) {
    const std::string path = dir.Write("form.ini", content);
    for (size_t free_count : {size_t{0}, size_t{2}}) {
      std::vector<VarTablePtr> tables = IniLoadSections(path, {"DATABASE", "access"}, free_count);
      ASSERT_EQ(tables.size(), 2u);
      for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Shown(tables[i].get()),
                  Shown(IniLoadSection(path, kSections[i], free_count).get()))
            << content << kSections[i] << free_count;
      }
    }
  }
  std::vector<VarTablePtr> missing = IniLoadSections(dir.File("missing.ini"), {"a", "b", "c"}, 1);
  ASSERT_EQ(missing.size(), 3u);
  for (const VarTablePtr& t : missing) EXPECT_EQ(t, nullptr);
}

}  // namespace
}  // namespace tallypad
