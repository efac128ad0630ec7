#include "store/form.h"

#include <gtest/gtest.h>

#include <string>

#include "base/decode.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(FormLoad, ReadsTheSettingsAndThePasswordsOfTheForm) {
  TempDir root;
  root.Write("form.ini", "[DATABASE]\nTITLE=Travel\nMULTIPAGE=1\n[access]\nPWDREAD=beta\n");
  root.Write("plain.ini", "[DATABASE]\nTITLE=Plain\n");
  root.Write("locked.ini", "[access]\nPWD=secret\n");

  Form form = FormLoad(root.path(), "form");
  EXPECT_EQ(form.name, "form");
  EXPECT_EQ(VarTableGet(form.settings.get(), "title"), "Travel");
  EXPECT_EQ(VarTableGet(form.settings.get(), "PWDREAD"), "") << "sections stay apart";
  EXPECT_EQ(VarTableGet(form.access.get(), "PWDREAD"), "beta");

  Form plain = FormLoad(root.path(), "plain");
  EXPECT_EQ(VarTableGet(plain.settings.get(), "TITLE"), "Plain");
  EXPECT_EQ(plain.access, nullptr);

  Form locked = FormLoad(root.path(), "locked");
  EXPECT_EQ(locked.settings, nullptr);
  EXPECT_EQ(VarTableGet(locked.access.get(), "PWD"), "secret");

  Form missing = FormLoad(root.path(), "missing");
  EXPECT_EQ(missing.name, "missing");
  EXPECT_EQ(missing.settings, nullptr);
  EXPECT_EQ(missing.access, nullptr);
}

TEST(FormLoad, NamesTheRightsCheckRefusesReadNothing) {
  TempDir root;
  const std::string ini = "[DATABASE]\nTITLE=x\n[access]\nPWD=(allow)\n";
  root.Write("outside.ini", ini);
  root.Write("site/" + std::string(128, 'f') + ".ini", ini);
  root.Write("site/" + std::string(129, 'f') + ".ini", ini);
  const std::string site = root.File("site/");
  struct Case {
    std::string database;
    bool read;
  } cases[] = {
      {std::string(128, 'f'), true},
      {std::string(129, 'f'), false},
      {"../outside", false},
      {"", false},
      {std::string("outside\0x", 9), false},
  };
  for (const Case& c : cases) {
    Form form = FormLoad(site, c.database);
    EXPECT_EQ(form.settings != nullptr, c.read) << c.database.size() << " " << c.database;
    EXPECT_EQ(form.access != nullptr, c.read) << c.database.size() << " " << c.database;
  }
}

TEST(FormSetting, MissingOrEmptyKeysTakeTheirDefaults) {
  VarTablePtr settings = VarTableFromList("STARTPAGE=intro,ACTIVE=,MAXRESPONSES= 12x", ',', 0);
  EXPECT_EQ(FormSetting(settings.get(), "STARTPAGE"), "intro");
  EXPECT_EQ(FormSetting(settings.get(), "ACTIVE"), "1");
  EXPECT_EQ(FormSetting(settings.get(), "HOTLINK"), "/index.html");
  EXPECT_EQ(FormSetting(settings.get(), "TITLE"), "");
  EXPECT_EQ(FormSetting(nullptr, "STARTPAGE"), "page0");
  EXPECT_EQ(FormSettingInt(settings.get(), "ACTIVE"), 1);
  EXPECT_EQ(FormSettingInt(settings.get(), "MAXRESPONSES"), 12);
  EXPECT_EQ(FormSettingInt(settings.get(), "SAVEDATA"), 0);
}

}  // namespace
}  // namespace tallypad
