// The real program with a fake browser registered as the command for
// opening HTML files: the start-up launch, the modes' reactions to the
// browser's end, shut-down closing the browser, and the start pages shown
// in the console window and on the menu page.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "host/browser.h"
#include "platform/registry.h"
#include "support/fake_browser.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tallypad {
namespace {

using testing::FakeBrowser;
using testing::FreePort;
using testing::HttpGet;
using testing::ServerProcess;
using testing::TempDir;
using Clock = std::chrono::steady_clock;
using Words = std::vector<std::string>;

constexpr std::string_view kAddressKey = "Software\\Velkorn\\Tallypad";

class BrowserProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TALLYPAD_REGISTRY", registry_.path().c_str(), 1);
    root_.Write("index.html", "<p>index</p>");
  }
  void TearDown() override { unsetenv("TALLYPAD_REGISTRY"); }

  // Registers `command` as the browser, writes "cgi.ini" with `mode` and
  // starts `program`; returns its port (0 when it did not come up).
  int Start(ServerProcess& program, const std::string& command, std::string_view mode) {
    EXPECT_EQ(RegistrySetString(RegistryRoot::kClassesRoot, kBrowserCommandKey, "", command),
              kRegistryOk);
    root_.Write("cgi.ini", "[server]\nMODE=" + std::string(mode) + "\n");
    ServerProcess::Options options;
    options.server_root = root_.path();
    options.port = FreePort();
    options.registry = registry_.path();
    std::optional<int> port = program.StartServing(options);
    EXPECT_TRUE(port) << program.Output() << program.Errors();
    return port.value_or(0);
  }

  static std::string Url(int port, std::string_view path = "") {
    return "http://127.0.0.1:" + std::to_string(port) + "/" + std::string(path);
  }

  TempDir root_;
  TempDir registry_;
};

TEST_F(BrowserProgramTest, StartUpOpensTheBrowserOnTheServerAddressAndShutDownClosesIt) {
  FakeBrowser browser("fake browser");
  ServerProcess program;
  int port = Start(program, browser.Command("--new-window"), "");
  ASSERT_NE(port, 0);
  ASSERT_TRUE(browser.WaitForLaunches(1)) << program.Output();
  EXPECT_EQ(browser.Launches(), Words{"--new-window|" + Url(port) + "|"});
  EXPECT_EQ(program.Stop(), 0) << program.Errors();
  EXPECT_TRUE(browser.WaitTerminated(1)) << "shut-down closes the browser";
  EXPECT_TRUE(testing::WaitProcessGone(browser.Starts().at(0).helper));
}

TEST_F(BrowserProgramTest, KioskModeStartsTheBrowserAgainWhenItEnds) {
  struct Case {
    std::string name;
    bool kiosk_switch;
  };
  const Case cases[] = {{"iexplore", true}, {"webview", false}};
  for (const Case& c : cases) {
    FakeBrowser browser(c.name);
    ServerProcess program;
    int port = Start(program, browser.Command(), "Kiosk");
    ASSERT_NE(port, 0);
    const std::string line = (c.kiosk_switch ? "-k|" : "") + Url(port) + "|";
    ASSERT_TRUE(browser.WaitForLaunches(1)) << c.name;
    browser.End();
    ASSERT_TRUE(browser.WaitForLaunches(2)) << c.name << program.Output();
    EXPECT_EQ(browser.Launches(), (Words{line, line})) << c.name;
    EXPECT_EQ(HttpGet(port, "/index.html").body, "<p>index</p>") << "still serving";
    EXPECT_EQ(program.Stop(), 0);
    EXPECT_TRUE(browser.WaitTerminated(1)) << "the relaunched browser is closed";
  }
}

TEST_F(BrowserProgramTest, PreviewModeEndsWithTheBrowser) {
  FakeBrowser browser;
  ServerProcess program;
  int port = Start(program, browser.Command(), "preview");
  ASSERT_NE(port, 0);
  ASSERT_TRUE(browser.WaitForLaunches(1));
  EXPECT_TRUE(RegistryGetString(RegistryRoot::kCurrentUser, kAddressKey, "ServerAddress"));
  browser.End();
  ASSERT_TRUE(browser.WaitEndTaken());
  Clock::time_point ended = Clock::now();
  EXPECT_EQ(program.WaitExit(10000), 0) << program.Errors();
  // The server thread looks at the browser once a second when idle.
  EXPECT_LT(Clock::now() - ended, std::chrono::seconds(4));
  EXPECT_FALSE(RegistryGetString(RegistryRoot::kCurrentUser, kAddressKey, "ServerAddress"));
  EXPECT_EQ(browser.Launches().size(), 1u);
}

TEST_F(BrowserProgramTest, KioskModeStopsRelaunchingABrowserThatEndsAtOnce) {
  FakeBrowser browser("xdg-open-like", /*stays=*/false);
  ServerProcess program;
  int port = Start(program, browser.Command(), "kiosk");
  ASSERT_NE(port, 0);
  ASSERT_TRUE(program.WaitForOutput("it is not started again", 30000)) << program.Output();
  EXPECT_EQ(browser.Launches().size(), static_cast<size_t>(kBrowserQuickEndLimit));
  EXPECT_NE(program.Output().find(RelaunchStoppedLine().substr(1) + "\n"), std::string::npos)
      << program.Output();
  EXPECT_EQ(HttpGet(port, "/index.html").body, "<p>index</p>") << "still serving";
  EXPECT_EQ(browser.Launches().size(), static_cast<size_t>(kBrowserQuickEndLimit));
  EXPECT_EQ(program.Stop(), 0);
}

TEST_F(BrowserProgramTest, TheStartPagesAreListedInTheWindowAndOnTheMenuPage) {
  root_.Write("alpha.ini", "[database]\nTitle=Alpha survey\nDescription=First\n");
  root_.Write("beta.ini", "[database]\nTitle=Beta survey\n");
  root_.Write("gamma.ini", "[access]\n");
  root_.Write("cgi.ini", "[server]\n");  // and no browser registered
  ServerProcess::Options options;
  options.server_root = root_.path();
  options.port = FreePort();
  options.registry = registry_.path();
  ServerProcess program;
  std::optional<int> port = program.StartServing(options);
  ASSERT_TRUE(port) << program.Errors();
  EXPECT_EQ(HttpGet(*port, "/missing.html").body,
            "<P>Tallypad Personal Server\r\nCopyright &copy; Velkorn. All rights reserved.\r\n<P>"
            "&nbsp;<a href=\"kqs?database=alpha\">Alpha survey</a> First<br>"
            "&nbsp;<a href=\"kqs?database=beta\">Beta survey</a> Description<br>"
            "&nbsp;<a href=\"kqs?database=gamma\">Title</a> Description<br>");
  std::string expected_window =
      "  Tallypad start page\n"
      "    " + Url(*port) + "\n"
      "  Alpha survey\n"
      "    First\n"
      "    " + Url(*port, "kqs?database=alpha") + "\n"
      "  Beta survey\n"
      "    Description\n"
      "    " + Url(*port, "kqs?database=beta") + "\n"
      "  Title\n"
      "    Description\n"
      "    " + Url(*port, "kqs?database=gamma") + "\n"
      "----";
  EXPECT_NE(program.Output().find(expected_window), std::string::npos) << program.Output();
  EXPECT_EQ(program.Stop(), 0);
}

// The program on a pseudo-terminal, so that its window reads keys. The test
// holds the terminal's other side: it reads what the window draws and types
// keys.
class TerminalProgram {
 public:
  ~TerminalProgram() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool Start(const std::vector<std::string>& args) {
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_.valid() || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
      return false;
    std::string terminal = ::ptsname(master_.get());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string_view entry = *e;
      std::string_view name = entry.substr(0, entry.find('='));
      if (name != "BROWSER" && name != "DISPLAY" && name != "WAYLAND_DISPLAY")
        env.emplace_back(entry);
    }
    std::vector<std::string> words = args;
    std::vector<char*> argv, envp;
    for (std::string& a : words) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&files, 0, 1);
    posix_spawn_file_actions_adddup2(&files, 0, 2);
    int rc = posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    return rc == 0;
  }

  // Reads what the window draws until `done` holds; false on time-out.
  bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      pollfd p{master_.get(), POLLIN, 0};
      if (::poll(&p, 1, 5) > 0) {
        char buf[4096];
        ssize_t n = ::read(master_.get(), buf, sizeof buf);
        if (n > 0) screen_.append(buf, static_cast<size_t>(n));
      }
    }
    return true;
  }

  void Type(std::string_view keys) {
    ASSERT_EQ(::write(master_.get(), keys.data(), keys.size()),
              static_cast<ssize_t>(keys.size()));
  }

  // Waits for the program to end, reading the terminal meanwhile; returns
  // its exit status, or -1 on time-out.
  int WaitExit() {
    PumpUntil([&] {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_.has_value();
    });
    return status_.value_or(-1);
  }

  const std::string& screen() const { return screen_; }

 private:
  UniqueFd master_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string screen_;
};

TEST_F(BrowserProgramTest, ADigitKeyInTheWindowOpensThatStartPage) {
  FakeBrowser browser;
  ASSERT_EQ(RegistrySetString(RegistryRoot::kClassesRoot, kBrowserCommandKey, "",
                              browser.Command()),
            kRegistryOk);
  root_.Write("cgi.ini", "[server]\n");
  root_.Write("alpha.ini", "[database]\nTitle=Alpha survey\n");
  TerminalProgram program;
  ASSERT_TRUE(program.Start({testing::TallypadBinary(), "--port", std::to_string(FreePort()),
                             root_.path()}));
  // The window reads keys once it is shown, which is before the start-up launch.
  ASSERT_TRUE(program.PumpUntil([&] { return browser.Launches().size() >= 1; }))
      << program.screen();
  EXPECT_NE(program.screen().find("[1] Alpha survey"), std::string::npos) << program.screen();
  program.Type("1");
  ASSERT_TRUE(program.PumpUntil([&] { return browser.Launches().size() >= 2; }))
      << program.screen();
  std::vector<std::string> launches = browser.Launches();
  EXPECT_EQ(launches[0].rfind("http://127.0.0.1:", 0), 0u) << launches[0];
  std::string start_page = launches[0].substr(0, launches[0].size() - 1);  // without the '|'
  EXPECT_EQ(launches[1], start_page + "kqs?database=alpha|");
  program.Type("q");
  EXPECT_EQ(program.WaitExit(), 0) << program.screen();
  // Shut-down closes the browser started last; the first one was forgotten.
  EXPECT_TRUE(browser.WaitTerminated(1));
}

}  // namespace
}  // namespace tallypad
