// The host application: the process around the HTTP server. HostRun works
// out the server root, reads the server settings of "cgi.ini", makes the
// console window, opens the listener, publishes the server's address in the
// registry and starts the server thread; then it runs the window's message
// loop until the window is closed ("Shut down", SIGINT/SIGTERM, "/quit" in
// preview mode) and tears everything down in a fixed order. Runs on the main
// thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/vartable.h"

namespace tallypad {

// First of the ports tried when the command line names none.
inline constexpr int kDefaultFirstPort = 80;
// Longest server root accepted; a longer one is refused rather than cut,
// since a cut path would name another folder.
inline constexpr size_t kServerRootLimit = 1024;
// Most bytes of the host name in the "running" line.
inline constexpr size_t kHostNameLimit = 80;

// Registry key of the server root (local machine) and the identifier
// counter (current user).
inline constexpr std::string_view kServerKey = "SOFTWARE\\Velkorn\\Tallypad";
// Registry key of the published server address (current user). Key paths
// are compared without case, so under the current user this is kServerKey.
inline constexpr std::string_view kServerAddressKey = "Software\\Velkorn\\Tallypad";

struct HostOptions {
  std::optional<std::string> server_root;  // from the command line; wins over the registry
  int first_port = kDefaultFirstPort;
};

// Runs the program from start-up to shut-down; returns the exit code: 0
// after a normal shut-down, 1 when the server could not start.
int HostRun(const HostOptions& options);

// Returns the server root: the command-line value, else the registry value,
// else `current_dir`; made absolute against `current_dir` and ending in '/'.
std::string ResolveServerRoot(const std::optional<std::string>& command_line,
                              const std::optional<std::string>& registry,
                              const std::string& current_dir);
// Returns "127.0.0.1", followed by ":" and the port when it is not 80.
std::string MakeServerAddress(int port);
// Returns the window title: "Tallypad Personal Server", with "/" and the
// `DEVICEID` setting when set, cut to the title limit.
std::string MakeWindowTitle(const VarTable* settings);
// Returns the message-log line that says the server runs.
std::string RunningLine(std::string_view host_name, int port);

}  // namespace tallypad
