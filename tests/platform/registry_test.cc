#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

constexpr RegistryRoot kUser = RegistryRoot::kCurrentUser;
constexpr std::string_view kKey = "SOFTWARE\\Velkorn\\Tallypad";

// Points the registry at a fresh folder for each test.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TALLYPAD_REGISTRY", dir_.path().c_str(), 1); }
  void TearDown() override { unsetenv("TALLYPAD_REGISTRY"); }

  TempDir dir_;
};

TEST_F(RegistryTest, StringValuesSurviveTheFileFormat) {
  struct Case {
    const char* what;
    std::string name;
    std::string value;
  };
  const Case cases[] = {
      {"plain", "ServerAddress", "127.0.0.1:8081"},
      {"default value", "", "/usr/bin/browser --new-window"},
      {"empty value", "Empty", ""},
      {"equals sign in name and value", "a=b", "x=y"},
      {"percent signs", "100%", "%41 stays %41"},
      {"line breaks", "multi", "line one\nline two\r\n"},
      {"surrounding blanks", "  padded  ", "  both ends  "},
      {"name like a key line", "[not a key]", "v"},
      {"name like a comment", ";semi", "#hash"},
      {"backslashes", "path", "C:\\Tallypad\\root\\"},
      {"UTF-8", "titel", "Fr\xC3\xBChst\xC3\xBC" "ck"},
      {"NUL byte", "nul", std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(RegistrySetString(kUser, kKey, c.name, c.value), kRegistryOk) << c.what;
  }
  for (const Case& c : cases) {
    EXPECT_EQ(RegistryGetString(kUser, kKey, c.name), c.value) << c.what;
  }
  EXPECT_EQ(RegistryCountValues(kUser, kKey), std::size(cases));
}

TEST_F(RegistryTest, DwordValuesKeepTheirFullRange) {
  for (uint32_t v : {0u, 1u, 12345u, 0x7fffffffu, 0xffffffffu}) {
    ASSERT_EQ(RegistrySetDword(kUser, kKey, "RANDOM", v), kRegistryOk);
    EXPECT_EQ(RegistryGetDword(kUser, kKey, "RANDOM"), v);
  }
}

TEST_F(RegistryTest, KeyPathsAndValueNamesIgnoreCase) {
  ASSERT_EQ(RegistrySetString(kUser, "Software\\Velkorn\\Tallypad", "ServerAddress", "127.0.0.1"),
            kRegistryOk);
  ASSERT_EQ(RegistrySetDword(kUser, "SOFTWARE\\Velkorn\\Tallypad", "RANDOM", 7), kRegistryOk);
  EXPECT_EQ(RegistryGetString(kUser, "software\\velkorn\\TALLYPAD", "serveraddress"), "127.0.0.1");
  EXPECT_EQ(RegistryCountValues(kUser, "Software\\Velkorn\\Tallypad"), 2u);
  // Surrounding backslashes name the same key.
  EXPECT_EQ(RegistryGetDword(kUser, "\\SOFTWARE\\Velkorn\\Tallypad\\", "random"), 7u);
  // Rewriting a value under another spelling replaces it.
  ASSERT_EQ(RegistrySetDword(kUser, kKey, "Random", 8), kRegistryOk);
  EXPECT_EQ(RegistryCountValues(kUser, kKey), 2u);
  EXPECT_EQ(RegistryGetDword(kUser, kKey, "RANDOM"), 8u);
}

TEST_F(RegistryTest, RootsAreSeparateStores) {
  ASSERT_EQ(RegistrySetString(RegistryRoot::kLocalMachine, kKey, "ServerRoot", "/srv/a/"), kRegistryOk);
  ASSERT_EQ(RegistrySetString(RegistryRoot::kClassesRoot, "htmlfile\\shell\\open\\command", "",
                              "browser"),
            kRegistryOk);
  EXPECT_EQ(RegistryGetString(RegistryRoot::kLocalMachine, kKey, "ServerRoot"), "/srv/a/");
  EXPECT_FALSE(RegistryGetString(kUser, kKey, "ServerRoot"));
  EXPECT_EQ(RegistryGetString(RegistryRoot::kClassesRoot, "HTMLFILE\\shell\\open\\command", ""),
            "browser");
  EXPECT_FALSE(RegistryKeyExists(kUser, "htmlfile\\shell\\open\\command"));
}

TEST_F(RegistryTest, ValuesOfTheOtherTypeAreNotRead) {
  ASSERT_EQ(RegistrySetString(kUser, kKey, "s", "12"), kRegistryOk);
  ASSERT_EQ(RegistrySetDword(kUser, kKey, "d", 12), kRegistryOk);
  EXPECT_FALSE(RegistryGetDword(kUser, kKey, "s"));
  EXPECT_FALSE(RegistryGetString(kUser, kKey, "d"));
  EXPECT_FALSE(RegistryGetString(kUser, kKey, "missing"));
  EXPECT_FALSE(RegistryGetString(kUser, "No\\Such\\Key", "s"));
  EXPECT_FALSE(RegistryGetString(kUser, "", "s"));
}

TEST_F(RegistryTest, KeysAreCreatedCountedAndDeleted) {
  EXPECT_FALSE(RegistryKeyExists(kUser, kKey));
  EXPECT_FALSE(RegistryCountValues(kUser, kKey));
  EXPECT_EQ(RegistryDeleteKey(kUser, kKey), kRegistryNotFound);
  EXPECT_EQ(RegistryCreateKey(kUser, ""), kRegistryBadKey);

  ASSERT_EQ(RegistryCreateKey(kUser, kKey), kRegistryOk);
  EXPECT_TRUE(RegistryKeyExists(kUser, kKey));
  EXPECT_TRUE(RegistryKeyExists(kUser, "SOFTWARE\\Velkorn"));  // parents exist with their children
  EXPECT_EQ(RegistryCountValues(kUser, kKey), 0u);
  EXPECT_EQ(RegistryCountValues(kUser, "SOFTWARE\\Velkorn"), 0u);
  EXPECT_EQ(RegistryDeleteKey(kUser, "SOFTWARE\\Velkorn"), kRegistryHasSubkeys);
  EXPECT_EQ(RegistryDeleteKey(kUser, "SOFTWARE\\Velk"), kRegistryNotFound);  // not a prefix match

  ASSERT_EQ(RegistrySetDword(kUser, kKey, "RANDOM", 1), kRegistryOk);
  ASSERT_EQ(RegistrySetString(kUser, kKey, "Other", "x"), kRegistryOk);
  EXPECT_EQ(RegistryDeleteKeyIfEmpty(kUser, kKey), kRegistryNotEmpty);
  EXPECT_EQ(RegistryDeleteValue(kUser, kKey, "random"), kRegistryOk);
  EXPECT_EQ(RegistryDeleteValue(kUser, kKey, "RANDOM"), kRegistryNotFound);
  EXPECT_EQ(RegistryCountValues(kUser, kKey), 1u);
  EXPECT_EQ(RegistryDeleteKey(kUser, kKey), kRegistryOk);  // with its values
  EXPECT_FALSE(RegistryKeyExists(kUser, kKey));
  EXPECT_FALSE(RegistryKeyExists(kUser, "SOFTWARE\\Velkorn"));

  ASSERT_EQ(RegistryCreateKey(kUser, kKey), kRegistryOk);
  EXPECT_EQ(RegistryDeleteKeyIfEmpty(kUser, kKey), kRegistryOk);
  EXPECT_FALSE(RegistryKeyExists(kUser, kKey));
}

TEST_F(RegistryTest, FilesAreReadableAndHandEditsAreRead) {
  ASSERT_EQ(RegistrySetString(kUser, "Software\\Velkorn\\Tallypad", "ServerAddress", "127.0.0.1:81"),
            kRegistryOk);
  ASSERT_EQ(RegistrySetDword(kUser, kKey, "RANDOM", 42), kRegistryOk);
  std::string text = testing::ReadFileText(RegistryFilePath(kUser));
  EXPECT_NE(text.find("[Software\\Velkorn\\Tallypad]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ServerAddress=string:127.0.0.1:81\n"), std::string::npos) << text;
  EXPECT_NE(text.find("RANDOM=dword:42\n"), std::string::npos) << text;

  // A person's edit: blanks, comments, a hexadecimal number, junk lines.
  testing::WriteFileText(RegistryFilePath(RegistryRoot::kLocalMachine),
                         "# edited by hand\n"
                         "values before any key are ignored=string:x\n"
                         "  [ SOFTWARE\\Velkorn\\Tallypad ]  \n"
                         "  ServerRoot = string:/srv/surveys/\r\n"
                         "Count = dword: 0x1F\n"
                         "Broken line without equals\n"
                         "Bad = dword:12x\n"
                         "Huge = dword:4294967296\n"
                         "Unknown = binary:00\n"
                         "[unterminated\n"
                         "Lost=string:after a bad key line\n");
  RegistryRoot lm = RegistryRoot::kLocalMachine;
  EXPECT_EQ(RegistryGetString(lm, kKey, "ServerRoot"), "/srv/surveys/");
  EXPECT_EQ(RegistryGetDword(lm, kKey, "Count"), 31u);
  EXPECT_EQ(RegistryCountValues(lm, kKey), 2u);
  // A change keeps what was read.
  ASSERT_EQ(RegistrySetDword(lm, kKey, "Count", 32), kRegistryOk);
  EXPECT_EQ(RegistryGetString(lm, kKey, "ServerRoot"), "/srv/surveys/");
}

TEST_F(RegistryTest, UpdateSeesTheOldValueAndStoresTheNewOne) {
  std::vector<std::optional<uint32_t>> seen;
  auto add_one = [&](std::optional<uint32_t> old) {
    seen.push_back(old);
    return old.value_or(100) + 1;
  };
  uint32_t result = 0;
  ASSERT_EQ(RegistryUpdateDword(kUser, kKey, "RANDOM", add_one, &result), kRegistryOk);
  EXPECT_EQ(result, 101u);
  ASSERT_EQ(RegistryUpdateDword(kUser, kKey, "RANDOM", add_one, &result), kRegistryOk);
  EXPECT_EQ(result, 102u);
  ASSERT_EQ(RegistrySetString(kUser, kKey, "RANDOM", "not a number"), kRegistryOk);
  ASSERT_EQ(RegistryUpdateDword(kUser, kKey, "RANDOM", add_one, &result), kRegistryOk);
  EXPECT_EQ(result, 101u);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_FALSE(seen[0]);
  EXPECT_EQ(seen[1], 101u);
  EXPECT_FALSE(seen[2]);
}

constexpr int kIncrements = 60;

// Counts up the way the identifier maker does: without flushing to disk,
// which must lose no update all the same.
void Increment(int times) {
  for (int i = 0; i < times; ++i)
    RegistryUpdateDword(
        kUser, kKey, "RANDOM", [](std::optional<uint32_t> old) { return old.value_or(0) + 1; },
        nullptr, Durability::kInMemory);
}

TEST_F(RegistryTest, ConcurrentThreadsLoseNoUpdate) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(Increment, kIncrements);
  // Writers of other values interleave with the counter.
  threads.emplace_back([] {
    for (int i = 0; i < kIncrements; ++i)
      RegistrySetString(kUser, kKey, "Other" + std::to_string(i % 5), std::to_string(i));
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(RegistryGetDword(kUser, kKey, "RANDOM"), 3u * kIncrements);
  EXPECT_EQ(RegistryCountValues(kUser, kKey), 6u);
}

TEST_F(RegistryTest, ConcurrentProcessesLoseNoUpdate) {
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Increment(kIncrements);
      _exit(0);
    }
    children.push_back(pid);
  }
  Increment(kIncrements);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(RegistryGetDword(kUser, kKey, "RANDOM"), 3u * kIncrements);
}

TEST_F(RegistryTest, AnUnusableFolderFailsCleanly) {
  std::string file = dir_.Write("plain-file", "x");
  setenv("TALLYPAD_REGISTRY", (file + "/registry").c_str(), 1);
  EXPECT_EQ(RegistrySetString(kUser, kKey, "a", "b"), kRegistryFailed);
  EXPECT_FALSE(RegistryGetString(kUser, kKey, "a"));
  EXPECT_EQ(RegistryDeleteKey(kUser, kKey), kRegistryFailed);
}

TEST(RegistryFolderTest, EnvironmentChoosesTheFolder) {
  const char* saved_home = std::getenv("HOME");
  std::string home = saved_home ? saved_home : "";
  unsetenv("TALLYPAD_REGISTRY");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(RegistryFolder(), "/home/someone/.config/tallypad/registry");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(RegistryFolder(), "/cfg/tallypad/registry");
  setenv("TALLYPAD_REGISTRY", "/reg", 1);
  EXPECT_EQ(RegistryFolder(), "/reg");
  EXPECT_EQ(RegistryFilePath(RegistryRoot::kClassesRoot), "/reg/classes_root.txt");
  unsetenv("TALLYPAD_REGISTRY");
  unsetenv("XDG_CONFIG_HOME");
  if (saved_home) setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace tallypad
