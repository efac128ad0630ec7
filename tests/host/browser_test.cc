// Finding, starting, watching and closing the browser, in this process.
#include "host/browser.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <thread>

#include "base/status_log.h"
#include "platform/registry.h"
#include "support/fake_browser.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::FakeBrowser;
using testing::FakeBrowserStart;
using testing::TempDir;
using Words = std::vector<std::string>;

TEST(SplitCommandWordsTest, WordsAndQuotesAsAShellSplitsThem) {
  struct Case {
    const char* command;
    std::optional<Words> words;
  };
  const Case cases[] = {
      {"firefox", Words{"firefox"}},
      {"  firefox\t--kiosk \n", Words{"firefox", "--kiosk"}},
      {"", Words{}},
      {" \t ", Words{}},
      {"'/opt/My Browser/run' --app", Words{"/opt/My Browser/run", "--app"}},
      {"\"/opt/My Browser/run\" %1", Words{"/opt/My Browser/run", "%1"}},
      {"a'b c'd", Words{"ab cd"}},
      {"\"a\\\"b\\\\c\\$d\\`e\\nf\"", Words{"a\"b\\c$d`e\\nf"}},
      {"'a\\b'", Words{"a\\b"}},
      {"a\\ b c\\'d", Words{"a b", "c'd"}},
      {"\"\" ''", Words{"", ""}},
      {"$HOME ~ *.html a;b|c", Words{"$HOME", "~", "*.html", "a;b|c"}},
      {"trailing\\", Words{"trailing\\"}},
      {"'open", std::nullopt},
      {"\"open", std::nullopt},
      {"\"open\\\"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandWords(c.command), c.words) << c.command;
}

TEST(BrowserArgumentsTest, TheAddressIsTheLastWordAndKioskAddsTheSwitchForExpl) {
  const std::string url = MakeServerUrl("127.0.0.1:81", "");
  ASSERT_EQ(url, "http://127.0.0.1:81/");
  struct Case {
    const char* command;
    ServerMode mode;
    std::optional<Words> words;
  };
  const Case cases[] = {
      {"/usr/bin/iexplore", ServerMode::kKiosk, Words{"/usr/bin/iexplore", "-k", url}},
      {"/usr/bin/iexplore", ServerMode::kNone, Words{"/usr/bin/iexplore", url}},
      {"/usr/bin/iexplore", ServerMode::kPreview, Words{"/usr/bin/iexplore", url}},
      {"'/opt/explorer' %1", ServerMode::kKiosk, Words{"/opt/explorer", "%1", "-k", url}},
      {"/usr/bin/Explorer", ServerMode::kKiosk, Words{"/usr/bin/Explorer", url}},
      {"firefox --kiosk", ServerMode::kKiosk, Words{"firefox", "--kiosk", url}},
      {"xdg-open", ServerMode::kMenu, Words{"xdg-open", url}},
      {"", ServerMode::kNone, std::nullopt},
      {"'unclosed", ServerMode::kNone, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BrowserArguments(c.command, c.mode, url), c.words) << c.command;
  // A path with blanks stays one word.
  EXPECT_EQ(BrowserArguments("b", ServerMode::kNone, "http://127.0.0.1/kqs?database=my form"),
            (Words{"b", "http://127.0.0.1/kqs?database=my form"}));
}

// A private registry and browser environment for one test; restores the
// environment afterwards.
class BrowserEnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
    setenv("TALLYPAD_REGISTRY", registry_.path().c_str(), 1);
  }
  void TearDown() override {
    BrowserClose();
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

  static void Register(std::string_view command) {
    ASSERT_EQ(RegistrySetString(RegistryRoot::kClassesRoot, kBrowserCommandKey, "", command),
              kRegistryOk);
  }

  static constexpr const char* kNames[] = {"TALLYPAD_REGISTRY", "BROWSER", "DISPLAY",
                                           "WAYLAND_DISPLAY"};
  TempDir registry_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(BrowserEnvTest, TheRegisteredCommandThenBrowserThenTheDesktopOpener) {
  struct Case {
    const char* name;
    std::optional<std::string> registered, browser, display, wayland;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"nothing at all", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"registered", "reg-browser --x", "env-browser", ":0", std::nullopt, "reg-browser --x"},
      {"BROWSER", std::nullopt, "env-browser --y", ":0", std::nullopt, "env-browser --y"},
      {"blank registered value", " ", "env-browser", std::nullopt, std::nullopt, "env-browser"},
      {"empty BROWSER, X display", std::nullopt, "", ":0", std::nullopt, "xdg-open"},
      {"Wayland display", std::nullopt, std::nullopt, std::nullopt, "wayland-0", "xdg-open"},
      {"empty displays", std::nullopt, std::nullopt, "", "", std::nullopt},
  };
  for (const Case& c : cases) {
    RegistryDeleteValue(RegistryRoot::kClassesRoot, kBrowserCommandKey, "");
    if (c.registered) Register(*c.registered);
    auto set = [](const char* name, const std::optional<std::string>& value) {
      if (value) {
        setenv(name, value->c_str(), 1);
      } else {
        unsetenv(name);
      }
    };
    set("BROWSER", c.browser);
    set("DISPLAY", c.display);
    set("WAYLAND_DISPLAY", c.wayland);
    EXPECT_EQ(BrowserCommand(), c.expected) << c.name;
  }
}

TEST_F(BrowserEnvTest, WithoutABrowserNothingStarts) {
  EXPECT_FALSE(BrowserLaunch("127.0.0.1:81", ServerMode::kKiosk, ""));
  EXPECT_FALSE(BrowserTakeEnded());
}

TEST_F(BrowserEnvTest, TheBrowserStartsDetachedAndItsEndIsSeenOnce) {
  FakeBrowser browser("fake browser");
  Register(browser.Command("--new-window"));
  // A descriptor the program left inheritable must not reach the browser.
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::dup2(fd, testing::kFakeBrowserProbeFd), testing::kFakeBrowserProbeFd);
  ::close(fd);

  ASSERT_TRUE(BrowserLaunch("127.0.0.1:81", ServerMode::kNone, ""));
  ::close(testing::kFakeBrowserProbeFd);
  ASSERT_TRUE(browser.WaitForLaunches(1));
  EXPECT_EQ(browser.Launches(), Words{"--new-window|http://127.0.0.1:81/|"});
  FakeBrowserStart start = browser.Starts().at(0);
  EXPECT_EQ(start.process_group, start.pid) << "its own process group";
  EXPECT_NE(start.process_group, ::getpgrp());
  EXPECT_EQ(start.standard_input, "/dev/null");
  EXPECT_FALSE(start.probe_fd_open);

  EXPECT_FALSE(BrowserTakeEnded()) << "still running";
  browser.End();
  std::optional<std::chrono::steady_clock::duration> lived;
  for (int i = 0; i < 2000 && !lived; ++i) {
    lived = BrowserTakeEnded();
    if (!lived) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(lived) << "the end was never seen";
  EXPECT_LT(*lived, std::chrono::seconds(10));
  EXPECT_FALSE(BrowserTakeEnded()) << "seen once only";
}

TEST_F(BrowserEnvTest, ClosingTerminatesTheBrowserWithItsProcessGroup) {
  FakeBrowser browser;
  Register(browser.Command());
  ASSERT_TRUE(BrowserLaunch("127.0.0.1", ServerMode::kKiosk, "kqs?database=demo"));
  ASSERT_TRUE(browser.WaitForLaunches(1));
  EXPECT_EQ(browser.Launches(), Words{"http://127.0.0.1/kqs?database=demo|"});
  FakeBrowserStart start = browser.Starts().at(0);
  BrowserClose();
  EXPECT_TRUE(browser.WaitTerminated(1));
  EXPECT_TRUE(testing::WaitProcessGone(start.helper)) << "a helper in its group ends too";
  EXPECT_FALSE(BrowserTakeEnded()) << "closing forgets the browser";
}

TEST_F(BrowserEnvTest, ANewLaunchForgetsTheRunningBrowser) {
  FakeBrowser browser;
  Register(browser.Command());
  ASSERT_TRUE(BrowserLaunch("127.0.0.1", ServerMode::kNone, "a"));
  ASSERT_TRUE(browser.WaitForLaunches(1));
  ASSERT_TRUE(BrowserLaunch("127.0.0.1", ServerMode::kNone, "b"));
  ASSERT_TRUE(browser.WaitForLaunches(2));
  std::vector<FakeBrowserStart> starts = browser.Starts();
  ASSERT_EQ(starts.size(), 2u);
  // Closing reaches only the browser started last; the first stays open.
  BrowserClose();
  ASSERT_TRUE(browser.WaitTerminated(1));
  EXPECT_TRUE(testing::WaitProcessGone(starts[1].pid));
  EXPECT_FALSE(testing::ProcessGone(starts[0].pid));
  EXPECT_EQ(browser.Terminated(), 1u);
  // The forgotten one ends on its own and is reaped, not left as a zombie.
  browser.End();
  ASSERT_TRUE(browser.WaitEndTaken());
  bool reaped = false;
  for (int i = 0; i < 2000 && !reaped; ++i) {
    BrowserTakeEnded();  // reaps forgotten browsers as a side effect
    reaped = ::kill(starts[0].pid, 0) != 0;
    if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(reaped);
}

TEST_F(BrowserEnvTest, ACommandThatCannotStartIsReported) {
  TempDir dir;
  Register("'" + dir.File("no such browser") + "' --flag");
  StatusLogReset();
  EXPECT_FALSE(BrowserLaunch("127.0.0.1", ServerMode::kNone, ""));
  std::string log = StatusLogText();
  EXPECT_NE(log.find("The web browser could not be started with the command '" +
                     dir.File("no such browser") + "' --flag: No such file or directory"),
            std::string::npos)
      << log;
  Register("'unclosed");
  EXPECT_FALSE(BrowserLaunch("127.0.0.1", ServerMode::kNone, ""));
  EXPECT_NE(StatusLogText().find("its quotes are not closed"), std::string::npos);
}

TEST(RelaunchGuardTest, FiveQuickEndsInARowStopTheRelaunching) {
  using std::chrono::milliseconds;
  struct Step {
    milliseconds lived;
    bool may_relaunch;
  };
  const std::vector<Step> steps = {
      // Four quick ends are allowed; a long run starts the count afresh.
      {milliseconds(10), true}, {milliseconds(10), true}, {milliseconds(1999), true},
      {milliseconds(0), true}, {milliseconds(2000), true},
      // Five quick ends in a row: the fifth is refused.
      {milliseconds(1), true}, {milliseconds(1), true}, {milliseconds(1), true},
      {milliseconds(1), true}, {milliseconds(1), false},
      // After a refusal a browser opened by the user gets the full allowance.
      {milliseconds(1), true}, {milliseconds(1), true}, {milliseconds(1), true},
      {milliseconds(1), true}, {milliseconds(1), false},
  };
  RelaunchGuard guard;
  for (size_t i = 0; i < steps.size(); ++i)
    EXPECT_EQ(guard.MayRelaunch(steps[i].lived), steps[i].may_relaunch) << "step " << i;
  EXPECT_EQ(RelaunchStoppedLine().rfind("\nThe web browser ended within 2 seconds of its start 5 "
                                        "times in a row",
                                        0),
            0u);
}

}  // namespace
}  // namespace tallypad
