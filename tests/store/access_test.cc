#include "store/access.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/status_log.h"
#include "base/strbuf.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

struct RightsCase {
  const char* name;
  const char* access;  // lines of the access section
  const char* password;
  int rights;
};

TEST(ComputeRights, PasswordKeysGrantTheirBits) {
  const RightsCase cases[] = {
      {"comma and blank between items", "PWDREAD=beta\nPWDUPDATE=gamma\n", "alpha, beta", 1},
      {"comma then blank separated", "PWDREAD=beta\nPWDUPDATE=gamma\n", "alpha,beta gamma", 3},
      {"case counts", "PWDREAD=beta\nPWDUPDATE=gamma\n", "Beta", 0},
      {"empty password never matches", "PWDREAD=beta\nPWDUPDATE=gamma\n", "", 0},
      {"an item must end where the value ends", "PWDREAD=beta\nPWDUPDATE=gamma\n", "betagamma", 0},
      {"a value inside an item does not match", "PWDREAD=beta\n", "alphabeta", 0},
      {"separators around the item", "PWDREAD=beta\n", " ,beta, ", 1},
      {"allow in capitals grants without a password", "PWDAPPEND=(ALLOW)\n", "", 4},
      {"allow in any case", "PWDREAD=(Allow)\nPWDREPORT=(allow)\n", "x", 65},
      {"deny never takes back a bit", "PWD=(deny)\nPWDREPORT=(allow)\n", "", 64},
      {"deny is not a password", "PWDREAD=(deny)\n", "(deny)", 0},
      {"PWD grants every right", "PWD=secret\n", "secret", 127},
      {"PWD among other passwords", "PWD=secret\nPWDREAD=beta\n", "beta secret", 127},
      {"empty key grants nothing", "PWDREAD=\n", "", 0},
      {"key names without regard to case", "pwdDelete=d\npwdwrite=w\npwdadmin=a\n", "d,w,a", 56},
      {"a password holding a blank", "PWDREAD=two words\n", "x two words", 1},
  };
  for (const RightsCase& c : cases) {
    TempDir root;
    root.Write("form.ini", std::string("[DATABASE]\nTITLE=x\n[access]\n") + c.access);
    EXPECT_EQ(ComputeRights(root.path(), "host", "form", c.password), c.rights) << c.name;
  }
}

TEST(CheckRights, EveryWordOfThePostedListIsOneTry) {
  struct Case {
    const char* name;
    const char* access;
    const char* password;
    int rights, tries, wrong;
  } cases[] = {
      {"no password, no tries", "PWDREAD=beta\n", "", 0, 0, 0},
      {"the right password", "PWDREAD=beta\n", "beta", 1, 1, 0},
      {"a wrong password", "PWDREAD=beta\n", "alpha", 0, 1, 1},
      {"a list of guesses", "PWDREAD=beta\n", "w1,w2 w3,,w4", 0, 4, 4},
      {"guesses beside the right one", "PWDREAD=beta\n", "w1,beta,w2", 1, 3, 2},
      {"two right passwords", "PWDREAD=beta\nPWDREPORT=gamma\n", "beta gamma", 65, 2, 0},
      {"a password holding a blank", "PWDREAD=two words\n", "two words", 1, 2, 0},
      {"half of a password holding a blank", "PWDREAD=two words\n", "two", 0, 1, 1},
      {"allow is no password", "PWDREAD=(allow)\n", "(allow)", 1, 1, 1},
      {"deny is no password", "PWDREAD=(deny)\n", "(deny)", 0, 1, 1},
      {"case counts", "PWDREAD=beta\n", "BETA", 0, 1, 1},
  };
  for (const Case& c : cases) {
    TempDir root;
    root.Write("form.ini", std::string("[access]\n") + c.access);
    RightsCheck check = CheckRights(root.path(), "host", "form", c.password);
    EXPECT_EQ(check.rights, c.rights) << c.name;
    EXPECT_EQ(check.tries, c.tries) << c.name;
    EXPECT_EQ(check.wrong_tries, c.wrong) << c.name;
  }
  // A form that does not exist has no right password at all.
  TempDir root;
  RightsCheck none = CheckRights(root.path(), "host", "missing", "a,b");
  EXPECT_EQ(none.tries, 2);
  EXPECT_EQ(none.wrong_tries, 2);
}

TEST(ComputeRights, NoConfigurationGrantsNothing) {
  TempDir root;
  root.Write("noaccess.ini", "[DATABASE]\nPWD=(allow)\n");
  root.Write("form.ini", "[access]\nPWD=(allow)\n");
  EXPECT_EQ(ComputeRights(root.path(), "", "missing", ""), 0);
  EXPECT_EQ(ComputeRights(root.path(), "", "noaccess", ""), 0);
  EXPECT_EQ(ComputeRights(root.path(), "", "", ""), 0);
  EXPECT_EQ(ComputeRights(root.path(), "", "form", ""), 127);
}

TEST(ComputeRights, RefusesOverlongAndMalformedNamesWithALogLine) {
  TempDir root;
  root.Write("form.ini", "[access]\nPWD=(allow)\n");
  root.Write(std::string(128, 'f') + ".ini", "[access]\nPWD=(allow)\n");
  struct Case {
    std::string database;
    std::string password;
    int rights;
  } cases[] = {
      {"form", std::string(129, 'p'), 0},
      {"form", std::string(128, 'p'), 127},
      {std::string(129, 'f'), "", 0},
      {std::string(128, 'f'), "", 127},
      {"../form", "", 0},
      {"sub/form", "", 0},
      {"form.x", "", 0},
      {"a\\b", "", 0},
      {"f*", "", 0},
      {"f?", "", 0},
      {"f$", "", 0},
      {"f|g", "", 0},
      {std::string("form\0x", 6), "", 0},
  };
  for (const Case& c : cases) {
    StatusLogReset();
    EXPECT_EQ(ComputeRights(root.path(), "lab3", c.database, c.password), c.rights)
        << c.database.size() << " " << c.database;
    std::string expected_log = c.rights == 0 ? "\nBuffer overrun attempt\tHOST=lab3" : "";
    EXPECT_EQ(StatusLogText(), expected_log) << c.database;
  }
}

TEST(CheckRightsIn, ChecksTheLoadedSectionAsCheckRightsChecksTheFile) {
  TempDir root;
  const std::string path =
      root.Write("form.ini", "[access]\nPWDREAD=beta\nPWDREPORT=gamma\nPWDAPPEND=(allow)\n");
  VarTablePtr access = IniLoadSection(path, "access", 0);
  ASSERT_TRUE(access);
  for (const char* password : {"", "beta", "beta gamma", "w1,beta,w2", "BETA", "(allow)"}) {
    RightsCheck from_file = CheckRights(root.path(), "host", "form", password);
    RightsCheck loaded = CheckRightsIn(access.get(), "host", "form", password);
    EXPECT_EQ(loaded.rights, from_file.rights) << password;
    EXPECT_EQ(loaded.tries, from_file.tries) << password;
    EXPECT_EQ(loaded.wrong_tries, from_file.wrong_tries) << password;
  }
  RightsCheck none = CheckRightsIn(nullptr, "host", "form", "a,b");
  EXPECT_EQ(none.rights, 0);
  EXPECT_EQ(none.wrong_tries, 2);

  // A refused name or password grants nothing, whatever the section says.
  for (const auto& [database, password] : {std::pair<std::string, std::string>{"../form", ""},
                                           {"form", std::string(129, 'p')},
                                           {std::string(129, 'f'), "beta"}}) {
    StatusLogReset();
    EXPECT_EQ(CheckRightsIn(access.get(), "lab3", database, password).rights, 0) << database;
    EXPECT_EQ(StatusLogText(), "\nBuffer overrun attempt\tHOST=lab3") << database;
  }
  StatusLogReset();
  EXPECT_EQ(CheckRightsIn(access.get(), "lab3", "", "").rights, 0);
  EXPECT_EQ(StatusLogText(), "");
}

std::string Notice(int rights) {
  StrBuf buffer;
  OutputStream out{nullptr, nullptr, &buffer};
  WriteRightsNotice(&out, rights);
  return buffer.ToString();
}

TEST(WriteRightsNotice, ListsTheRightsHeldInTheirOrder) {
  EXPECT_EQ(Notice(0), "<P>You are not permitted to use this server.");
  EXPECT_EQ(Notice(127),
            "<P>With this database, you may:<UL>"
            "<LI>Read data\n<LI>Edit records\n<LI>Update existing records\n"
            "<LI>Append new records\n<LI>Administer the database\n<LI>Delete records\n</UL>");
  EXPECT_EQ(Notice(kRightAppend | kRightRead),
            "<P>With this database, you may:<UL>"
            "<LI>Read data\n<LI>Append new records\n</UL>");
}

}  // namespace
}  // namespace tallypad
