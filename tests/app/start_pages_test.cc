// The start-page table built from the form files of a server root.
#include "app/start_pages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

struct Listed {
  std::string link;
  std::string title;
  std::string description;
  std::string file;  // the configuration file, relative to the server root
};

std::vector<Listed> Forms(const StartPageTable& table, const std::string& root) {
  std::vector<Listed> listed;
  for (size_t i = 1; i < table.size() && table[i].in_use; ++i) {
    const StartPage& p = table[i];
    EXPECT_EQ(p.config_path.rfind(root, 0), 0u) << p.config_path;
    listed.push_back({p.link, p.title, p.description, p.config_path.substr(root.size())});
  }
  return listed;
}

void ExpectSame(const std::vector<Listed>& got, const std::vector<Listed>& want,
                const std::string& name) {
  ASSERT_EQ(got.size(), want.size()) << name;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].link, want[i].link) << name << " #" << i;
    EXPECT_EQ(got[i].title, want[i].title) << name << " #" << i;
    EXPECT_EQ(got[i].description, want[i].description) << name << " #" << i;
    EXPECT_EQ(got[i].file, want[i].file) << name << " #" << i;
  }
}

TEST(StartPagesScanTest, FormFilesBecomeEntriesAfterTheBuiltInOne) {
  using Files = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::string name;
    Files files;
    std::vector<Listed> forms;
  };
  const std::string demo = "[database]\nTitle=Demo survey\nDescription=How we did\n";
  const Case cases[] = {
      {"demo and the server settings",
       {{"demo.ini", demo}, {"cgi.ini", "[server]\nMODE=kiosk\n"}, {"index.html", "x"},
        {"kqscounts.ini", "[responses]\ndemo=3\n"}},
       {{"kqs?database=demo", "Demo survey", "How we did", "demo.ini"}}},
      {"upper-case names are forms and keep their extension",
       {{"CGI.INI", "[database]\nTitle=Upper\n"}, {"SURVEY.INI", demo}, {"Cgi.ini", ""}},
       {{"kqs?database=CGI.INI", "Upper", "Description", "CGI.INI"},
        {"kqs?database=Cgi", "Title", "Description", "Cgi.ini"},
        {"kqs?database=SURVEY.INI", "Demo survey", "How we did", "SURVEY.INI"}}},
      {"no section database, other sections and empty files",
       {{"a.ini", "[access]\nTitle=Not this\nDescription=Nor this\n"},
        {"b.ini", "[DATABASE]\nTitle=Any case of the section\n"},
        {"c.ini", ""},
        {"d.ini", "[database]\nDescription=Only a description\n"}},
       {{"kqs?database=a", "Title", "Description", "a.ini"},
        {"kqs?database=b", "Any case of the section", "Description", "b.ini"},
        {"kqs?database=c", "Title", "Description", "c.ini"},
        {"kqs?database=d", "Title", "Only a description", "d.ini"}}},
      {"byte order, and the link cut at the first .ini",
       {{"b.ini", ""}, {"a.ini", ""}, {"Z.ini", ""}, {"two.ini.ini", ""}, {"x.ini.bak", ""},
        {"ini", ""}, {"notes.txt", ""}},
       {{"kqs?database=Z", "Title", "Description", "Z.ini"},
        {"kqs?database=a", "Title", "Description", "a.ini"},
        {"kqs?database=b", "Title", "Description", "b.ini"},
        {"kqs?database=two", "Title", "Description", "two.ini.ini"}}},
      {"UTF-8 titles pass through",
       {{"cafe.ini", "[database]\nTitle=Caf\xC3\xA9\nDescription=\xC3\xBC" "ber\n"}},
       {{"kqs?database=cafe", "Caf\xC3\xA9", "\xC3\xBC" "ber", "cafe.ini"}}},
  };
  for (const Case& c : cases) {
    TempDir root;
    for (const auto& [name, content] : c.files) root.Write(name, content);
    StartPageTable table;
    StartPagesScan(root.path(), "", &table);
    EXPECT_TRUE(table[0].in_use) << c.name;
    EXPECT_EQ(table[0].title, "Tallypad start page") << c.name;
    EXPECT_EQ(table[0].link, "") << c.name;
    ExpectSame(Forms(table, root.path()), c.forms, c.name);
  }
}

TEST(StartPagesScanTest, MoreThanFifteenFormsListTheFirstFifteen) {
  TempDir root;
  // Written last-first, so the folder's own order is not the byte order.
  for (int i = 19; i >= 0; --i)
    root.Write("form" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".ini", "");
  root.Write("cgi.ini", "[server]\n");
  StartPageTable table;
  StartPagesScan(root.path(), "", &table);
  for (size_t i = 1; i < table.size(); ++i) {
    ASSERT_TRUE(table[i].in_use) << i;
    std::string number = (i - 1 < 10 ? "0" : "") + std::to_string(i - 1);
    EXPECT_EQ(table[i].link, "kqs?database=form" + number);
  }
}

TEST(StartPagesScanTest, FoldersAndMissingRootsListNoForms) {
  TempDir root;
  root.Write("folder.ini/inside.ini", "[database]\nTitle=Deeper\n");
  ASSERT_EQ(::mkdir(root.File("empty.ini").c_str(), 0755), 0);
  StartPageTable table;
  table[5].in_use = true;  // left over from before: cleared
  StartPagesScan(root.path(), "", &table);
  EXPECT_TRUE(table[0].in_use);
  for (size_t i = 1; i < table.size(); ++i) EXPECT_FALSE(table[i].in_use) << i;

  StartPagesScan(root.path() + "missing/", "", &table);
  EXPECT_TRUE(table[0].in_use);
  EXPECT_FALSE(table[1].in_use);
}

TEST(StartPagesScanTest, LongTitlesAreCutToTheTextLimit) {
  TempDir root;
  root.Write("long.ini", "[database]\nTitle=" + std::string(1500, 't') + "\nDescription=" +
                             std::string(1100, 'd') + "\n");
  StartPageTable table;
  StartPagesScan(root.path(), "", &table);
  EXPECT_EQ(table[1].title, std::string(kStartPageTextLimit, 't'));
  EXPECT_EQ(table[1].description, std::string(kStartPageTextLimit, 'd'));
}

}  // namespace
}  // namespace tallypad
