#include "host/host.h"

#include <gtest/gtest.h>

#include "app/mode.h"
#include "app/start_pages.h"
#include "base/utf8_cut.h"
#include "host/browser.h"
#include "host/console.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

TEST(ServerModeTest, TheModeSettingIsComparedWithoutCase) {
  struct Case {
    const char* setting;
    ServerMode mode;
  };
  const Case cases[] = {
      {"Kiosk", ServerMode::kKiosk},     {"kiosk", ServerMode::kKiosk},
      {"SERVER", ServerMode::kServer},   {"preview", ServerMode::kPreview},
      {"Menu", ServerMode::kMenu},       {"test", ServerMode::kNone},
      {"", ServerMode::kNone},           {"kiosks", ServerMode::kNone},
      {" kiosk", ServerMode::kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(ServerModeFromSetting(c.setting), c.mode) << c.setting;
}

TEST(ServerModeTest, EachModeHasItsBehaviour) {
  struct Case {
    ServerMode mode;
    WindowShow show;
    BrowserEndAction on_end;
    bool quit;
  };
  const Case cases[] = {
      {ServerMode::kNone, WindowShow::kNormal, BrowserEndAction::kSleep, false},
      {ServerMode::kPreview, WindowShow::kMinimised, BrowserEndAction::kShutDown, true},
      {ServerMode::kMenu, WindowShow::kMaximised, BrowserEndAction::kShowWindow, false},
      {ServerMode::kKiosk, WindowShow::kMinimised, BrowserEndAction::kRelaunch, false},
      {ServerMode::kServer, WindowShow::kNormal, BrowserEndAction::kSleep, false},
  };
  for (const Case& c : cases) {
    const ServerModeRow& row = ServerModeInfo(c.mode);
    EXPECT_EQ(row.mode, c.mode);
    EXPECT_EQ(row.show, c.show);
    EXPECT_EQ(row.on_browser_end, c.on_end);
    EXPECT_EQ(row.serves_quit, c.quit);
  }
}

TEST(HostTextTest, AddressTitleAndRunningLine) {
  EXPECT_EQ(MakeServerAddress(80), "127.0.0.1");
  EXPECT_EQ(MakeServerAddress(81), "127.0.0.1:81");
  EXPECT_EQ(MakeServerAddress(8080), "127.0.0.1:8080");
  EXPECT_EQ(MakeServerUrl("127.0.0.1:81", ""), "http://127.0.0.1:81/");
  EXPECT_EQ(MakeServerUrl("127.0.0.1", "kqs?database=demo"), "http://127.0.0.1/kqs?database=demo");
  EXPECT_EQ(RunningLine("lab", 81), "The server is running on port lab:81");
  EXPECT_EQ(RunningLine("", 80), "The server is running on port 80");

  testing::TempDir dir;
  EXPECT_EQ(MakeWindowTitle(nullptr), "Tallypad Personal Server");
  VarTablePtr lab = IniLoadSection(dir.Write("a.ini", "[server]\nDEVICEID=Lab3\n"), "server", 0);
  EXPECT_EQ(MakeWindowTitle(lab.get()), "Tallypad Personal Server/Lab3");
  VarTablePtr lng = IniLoadSection(
      dir.Write("b.ini", "[server]\nDEVICEID=" + std::string(60, 'x') + "\n"), "server", 0);
  EXPECT_EQ(MakeWindowTitle(lng.get()), "Tallypad Personal Server/" + std::string(38, 'x'));
  EXPECT_EQ(MakeWindowTitle(lng.get()).size(), kWindowTitleLimit);
}

TEST(ResolveServerRootTest, CommandLineThenRegistryThenCurrentDirectory) {
  struct Case {
    std::optional<std::string> command_line;
    std::optional<std::string> registry;
    std::string cwd;
    std::string expected;
  };
  const Case cases[] = {
      {"/srv/a", "/srv/b", "/home/u", "/srv/a/"},
      {"/srv/a/", std::nullopt, "/home/u", "/srv/a/"},
      {std::nullopt, "/srv/b", "/home/u", "/srv/b/"},
      {"", "/srv/b", "/home/u", "/srv/b/"},
      {std::nullopt, std::nullopt, "/home/u", "/home/u/"},
      {std::nullopt, "", "/home/u", "/home/u/"},
      {"examples/demo", std::nullopt, "/work/t", "/work/t/examples/demo/"},
      {"./site/../demo", std::nullopt, "/work/t", "/work/t/demo/"},
      {"/", std::nullopt, "/x", "/"},
      {std::nullopt, std::nullopt, "", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResolveServerRoot(c.command_line, c.registry, c.cwd), c.expected)
        << c.command_line.value_or("-") << " " << c.registry.value_or("-");
}

TEST(TextConvertTest, BoundsNeverCutACharacter) {
  const std::string cafe = "Caf\xC3\xA9!";  // 5 characters, 6 bytes
  EXPECT_EQ(Utf8CutToCharacters(cafe, 10), cafe);
  EXPECT_EQ(Utf8CutToCharacters(cafe, 4), "Caf\xC3\xA9");
  EXPECT_EQ(Utf8CutToCharacters(cafe, 3), "Caf");
  EXPECT_EQ(Utf8CutToCharacters("\xF0\x9F\x98\x80x", 1), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8CutToCharacters("a\xFF\xFE" "b", 3), "a\xFF\xFE");  // invalid bytes count one each
  EXPECT_EQ(Utf8CutToCharacters("\xC3", 5), "\xC3");                 // a cut-off sequence passes through

  EXPECT_EQ(Utf8CutToBytes(cafe, 6), cafe);
  EXPECT_EQ(Utf8CutToBytes(cafe, 5), "Caf\xC3\xA9");
  EXPECT_EQ(Utf8CutToBytes(cafe, 4), "Caf");
  EXPECT_EQ(Utf8CutToBytes(std::string(2000, 'a'), 1024).size(), 1024u);
  EXPECT_EQ(Utf8CutToBytes("", 0), "");
}

TEST(StartPagesTest, TheBuiltInEntryComesFirst) {
  StartPageTable table;
  table[3].in_use = true;  // left over from before: cleared
  StartPagesScan("/srv/", "", &table);
  EXPECT_TRUE(table[0].in_use);
  EXPECT_EQ(table[0].title, "Tallypad start page");
  EXPECT_EQ(table[0].link, "");
  EXPECT_EQ(table[0].description, "");
  for (size_t i = 1; i < table.size(); ++i) EXPECT_FALSE(table[i].in_use) << i;
}

}  // namespace
}  // namespace tallypad
