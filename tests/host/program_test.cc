// The tallypad program as a whole: its command line, ports, registry values,
// console output and shut-down, driven over loopback sockets and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include "platform/registry.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::FreePort;
using testing::HeldPort;
using testing::HeldPortRange;
using testing::HttpGet;
using testing::ServerProcess;
using testing::TempDir;

constexpr RegistryRoot kUser = RegistryRoot::kCurrentUser;
constexpr std::string_view kServerKey = "SOFTWARE\\Velkorn\\Tallypad";
constexpr std::string_view kAddressKey = "Software\\Velkorn\\Tallypad";

// A temporary server root and registry, shared with this test process so
// that it can read what the program publishes.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TALLYPAD_REGISTRY", registry_.path().c_str(), 1);
    root_.Write("index.html", "<p>index</p>");
    root_.Write("cgi.ini", "[server]\n");
  }
  void TearDown() override { unsetenv("TALLYPAD_REGISTRY"); }

  ServerProcess::Options Options(int port) {
    ServerProcess::Options options;
    options.server_root = root_.path();
    options.port = port;
    options.registry = registry_.path();
    return options;
  }

  // Runs the program to its end with `args`; returns the exit status.
  int RunToEnd(ServerProcess& program, std::vector<std::string> args) {
    ServerProcess::Options options;
    options.args = std::move(args);
    options.registry = registry_.path();
    if (!program.Start(options)) return -1;
    return program.WaitExit().value_or(-1);
  }

  TempDir root_;
  TempDir registry_;
};

TEST_F(ProgramTest, HelpAndVersionAnswerAndEnd) {
  ServerProcess help;
  EXPECT_EQ(RunToEnd(help, {"--help"}), 0);
  EXPECT_EQ(help.Output().rfind("Usage: tallypad [--port N] [SERVER_ROOT]\n", 0), 0u) << help.Output();
  ServerProcess version;
  EXPECT_EQ(RunToEnd(version, {"--version"}), 0);
  EXPECT_EQ(version.Output(), std::string("tallypad ") + TALLYPAD_VERSION + "\n");
}

TEST_F(ProgramTest, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port"}, {"--port", "x"}, {"--port", "0"}, {"--port", "65536"}, {"--port=-1"},
      {"--bogus"}, {"a", "b"},
  };
  for (const auto& args : cases) {
    ServerProcess program;
    EXPECT_EQ(RunToEnd(program, args), 2) << args[0];
    EXPECT_NE(program.Errors().find("Usage: tallypad"), std::string::npos) << args[0];
    EXPECT_EQ(program.Output(), "") << args[0];
  }
}

TEST_F(ProgramTest, ATakenPortMovesTheServerToTheNextOne) {
  int first = FreePort();
  HeldPort held(first);
  ASSERT_TRUE(held.ok());
  ServerProcess program;
  std::optional<int> port = program.StartServing(Options(first));
  ASSERT_TRUE(port) << program.Errors();
  EXPECT_GT(*port, first);
  EXPECT_LE(*port, first + 9);
  std::string address = "127.0.0.1:" + std::to_string(*port);
  EXPECT_EQ(RegistryGetString(kUser, kAddressKey, "ServerAddress"), address);
  EXPECT_NE(program.Output().find("    http://" + address + "/\n"), std::string::npos) << program.Output();
  EXPECT_EQ(HttpGet(*port, "/index.html").body, "<p>index</p>");
  EXPECT_EQ(program.Stop(), 0);
}

TEST_F(ProgramTest, WithoutAnyPortTheProgramSaysWhyAndEnds) {
  HeldPortRange held(10);
  ASSERT_TRUE(held.ok());
  ServerProcess program;
  ASSERT_TRUE(program.Start(Options(held.first())));
  EXPECT_EQ(program.WaitExit(), 1);
  std::string errors = program.Errors();
  EXPECT_NE(errors.find("tried ports " + std::to_string(held.first()) + " to " +
                        std::to_string(held.first() + 9) + " ("),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("--port 8080"), std::string::npos) << errors;
  EXPECT_EQ(errors.find('\n'), errors.size() - 1) << "one line: " << errors;
  EXPECT_EQ(program.Output().find("The server is running"), std::string::npos);
  EXPECT_FALSE(RegistryKeyExists(kUser, kAddressKey));
}

TEST_F(ProgramTest, ShutDownRemovesTheRegistryValuesAndTheEmptyKey) {
  for (int signal : {SIGTERM, SIGINT}) {
    ASSERT_EQ(RegistrySetDword(kUser, kServerKey, "RANDOM", 41), kRegistryOk);
    ServerProcess program;
    ASSERT_TRUE(program.StartServing(Options(FreePort()))) << program.Errors();
    EXPECT_TRUE(RegistryGetString(kUser, kAddressKey, "ServerAddress"));
    EXPECT_EQ(program.Stop(signal), 0) << program.Errors();
    EXPECT_FALSE(RegistryGetString(kUser, kAddressKey, "ServerAddress"));
    EXPECT_FALSE(RegistryGetDword(kUser, kServerKey, "RANDOM"));
    EXPECT_FALSE(RegistryKeyExists(kUser, kServerKey)) << "signal " << signal;
  }
}

TEST_F(ProgramTest, ShutDownKeepsAKeyThatHoldsOtherValues) {
  ASSERT_EQ(RegistrySetDword(kUser, kServerKey, "RANDOM", 41), kRegistryOk);
  ASSERT_EQ(RegistrySetString(kUser, kServerKey, "Keep", "me"), kRegistryOk);
  ServerProcess program;
  ASSERT_TRUE(program.StartServing(Options(FreePort()))) << program.Errors();
  EXPECT_EQ(program.Stop(), 0);
  EXPECT_FALSE(RegistryGetDword(kUser, kServerKey, "RANDOM"));
  EXPECT_FALSE(RegistryGetString(kUser, kAddressKey, "ServerAddress"));
  EXPECT_EQ(RegistryGetString(kUser, kServerKey, "Keep"), "me");
}

TEST_F(ProgramTest, TheServerRootComesFromTheCommandLineTheRegistryOrTheCurrentFolder) {
  TempDir from_registry, from_cwd;
  from_registry.Write("index.html", "registry root");
  from_registry.Write("cgi.ini", "[server]\nHOME=index.html\n");
  from_cwd.Write("index.html", "current folder");
  from_cwd.Write("cgi.ini", "[server]\nHOME=index.html\n");

  // No registry value: the current folder.
  ServerProcess by_cwd;
  ServerProcess::Options options = Options(FreePort());
  options.server_root.clear();
  options.working_dir = from_cwd.path();
  std::optional<int> port = by_cwd.StartServing(options);
  ASSERT_TRUE(port) << by_cwd.Errors();
  EXPECT_EQ(HttpGet(*port, "/").body, "current folder");
  EXPECT_EQ(by_cwd.Stop(), 0);

  // The registry's ServerRoot wins over the current folder ...
  ASSERT_EQ(RegistrySetString(RegistryRoot::kLocalMachine, kServerKey, "ServerRoot",
                              from_registry.path()),
            kRegistryOk);
  ServerProcess by_registry;
  port = by_registry.StartServing(options);
  ASSERT_TRUE(port) << by_registry.Errors();
  EXPECT_EQ(HttpGet(*port, "/").body, "registry root");
  EXPECT_EQ(by_registry.Stop(), 0);

  // ... and the command line wins over both; a relative root is taken
  // against the current folder.
  root_.Write("site/index.html", "command line root");
  root_.Write("site/cgi.ini", "[server]\n");
  ServerProcess by_argument;
  options.server_root = "site";
  options.working_dir = root_.path();
  port = by_argument.StartServing(options);
  ASSERT_TRUE(port) << by_argument.Errors();
  EXPECT_EQ(HttpGet(*port, "/index.html").body, "command line root");
  EXPECT_EQ(by_argument.Stop(), 0);
}

TEST_F(ProgramTest, TheConsoleShowsTheWindowAndTheMessageLog) {
  root_.Write("cgi.ini", "[server]\nDEVICEID=Lab3\n");
  ServerProcess program;
  std::optional<int> port = program.StartServing(Options(FreePort()));
  ASSERT_TRUE(port) << program.Errors();
  HttpGet(*port, "/../outside");
  ASSERT_TRUE(program.WaitForOutput("Refused a path"));
  EXPECT_EQ(program.Stop(), 0);
  std::string expected_start =
      "Tallypad Personal Server/Lab3\n"
      "  Tallypad start page\n"
      "    http://127.0.0.1:" + std::to_string(*port) + "/\n"
      "------------------------------------------------------------\n"
      "The server is running on port ";
  std::string output = program.Output();
  EXPECT_EQ(output.rfind(expected_start, 0), 0u) << output;
  EXPECT_NE(output.find(":" + std::to_string(*port) +
                        "\nRefused a path outside the server root: ../outside\n"),
            std::string::npos)
      << output;
}

TEST_F(ProgramTest, ServerModeServesLoopbackClients) {
  root_.Write("cgi.ini", "[server]\nMODE=server\n");
  ServerProcess program;
  std::optional<int> port = program.StartServing(Options(FreePort()));
  ASSERT_TRUE(port) << program.Errors();
  EXPECT_EQ(HttpGet(*port, "/index.html").body, "<p>index</p>");
  EXPECT_EQ(program.Stop(), 0);
}

}  // namespace
}  // namespace tallypad
