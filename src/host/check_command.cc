#include "host/check_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/file.h"
#include "check/root_check.h"
#include "host/host.h"
#include "platform/registry.h"

namespace tallypad {

namespace {

constexpr const char* kCheckUsage =
    "Usage: tallypad check [SERVER_ROOT] [FORM...]\n"
    "Checks the forms of SERVER_ROOT (default: the folder tallypad would serve) and\n"
    "prints one line per finding: file:line: error|warning: text, the file relative\n"
    "to the server root. Names FORM... check only those forms. Changes no file.\n"
    "Exit status: 0 without errors, 1 when an error was found, 2 for a usage error.\n";

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string CurrentDirectory() {
  std::error_code error;
  std::filesystem::path cwd = std::filesystem::current_path(error);
  return error ? std::string() : cwd.string();
}

}  // namespace

int CheckCommand(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help") {
      std::fputs(kCheckUsage, stdout);
      return 0;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "tallypad check: unknown option %s\n%s", arg.c_str(), kCheckUsage);
      return 2;
    }
  }
  const std::string cwd = CurrentDirectory();
  const std::string served = ResolveServerRoot(
      std::nullopt, RegistryGetString(RegistryRoot::kLocalMachine, kServerKey, "ServerRoot"), cwd);
  // The first argument is the server root when it holds a '/' (a path is
  // never a form's name) or names a folder that is not a form folder of the
  // root served by default ("library" beside "library.ini").
  std::string root = served;
  if (!args.empty() && (args.front().find('/') != std::string::npos ||
                        (IsFolder(args.front()) && !FileExists(served + args.front() + ".ini")))) {
    root = ResolveServerRoot(args.front(), std::nullopt, cwd);
    args.erase(args.begin());
  }
  if (root.empty() || !IsFolder(root)) {
    std::fprintf(stderr, "tallypad check: %s is no folder\n", root.c_str());
    return 2;
  }
  std::printf("tallypad: Entering directory '%s'\n", root.c_str());
  const RootCheck check = CheckServerRoot(root, args);
  for (const Finding& finding : check.findings.all())
    std::printf("%s\n", FormatFinding(finding).c_str());
  std::printf("tallypad check: %s\n", CheckSummary(check).c_str());
  return check.findings.errors() > 0 ? 1 : 0;
}

}  // namespace tallypad
