// The tallypad program: parses the command line and runs the host, or runs
// one of the program's commands (the first argument names it) for authors
// and operators.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "host/check_command.h"
#include "host/export_command.h"
#include "host/host.h"
#include "host/outbox_command.h"

namespace {

constexpr const char* kUsage =
    "Usage: tallypad [--port N] [SERVER_ROOT]\n"
    "Serves the folder SERVER_ROOT (default: the registry's ServerRoot, else the\n"
    "current directory) over HTTP on the first free port of N to N+9 (default 80).\n"
    "\n"
    "  --port N     first port tried (1-65535)\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

// Parses a port number; false unless it is all digits in 1..65535.
bool ParsePort(std::string_view text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tallypad: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// A command of the program: "tallypad NAME ARGS...". The function gets the
// arguments after the name and returns the exit status.
struct Command {
  std::string_view name;
  int (*run)(int argc, char** argv);
};

// The program's commands, by name; every other first argument is the server
// root or an option of the server.
constexpr Command kCommands[] = {
    {"check", tallypad::CheckCommand},
    {"export", tallypad::ExportCommand},
    {"outbox", tallypad::OutboxCommand},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    for (const Command& command : kCommands)
      if (command.run && argv[1] == command.name) return command.run(argc - 2, argv + 2);
  }
  tallypad::HostOptions options;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!options_done && arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!options_done && arg == "--version") {
      std::printf("tallypad %s\n", TALLYPAD_VERSION);
      return 0;
    }
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--port" || arg.substr(0, 7) == "--port=")) {
      std::string_view value;
      if (arg == "--port") {
        if (i + 1 >= argc) return UsageError("--port needs a number");
        value = argv[++i];
      } else {
        value = arg.substr(7);
      }
      if (!ParsePort(value, &options.first_port))
        return UsageError("not a port number: " + std::string(value));
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + std::string(arg));
    } else if (options.server_root) {
      return UsageError("only one server root may be given");
    } else {
      options.server_root = std::string(arg);
    }
  }
  // A client or log reader that goes away must not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  return tallypad::HostRun(options);
}
