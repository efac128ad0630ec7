#include "host/browser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/status_log.h"
#include "base/text.h"
#include "platform/registry.h"

extern char** environ;

namespace tallypad {

namespace {

using Clock = std::chrono::steady_clock;

// Browsers started earlier and then forgotten (a new one was started while
// they ran) are still this process's children and are reaped as they end.
// Past this many running at once the oldest is no longer tracked; it is
// reaped when the program ends.
constexpr size_t kForgottenBrowserLimit = 64;

// The last browser started, shared by the main thread and the server thread.
struct BrowserRecord {
  std::mutex mutex;
  pid_t pid = -1;  // -1: none recorded
  Clock::time_point started;
  std::vector<pid_t> forgotten;
};

BrowserRecord& Record() {
  static BrowserRecord record;
  return record;
}

// True once `pid` (a child) has ended; the child is then reaped. A child
// that cannot be waited for any more counts as ended.
bool ChildEnded(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  return r != 0;
}

// Reaps forgotten browsers that have ended. Caller holds the record's lock.
void ReapForgotten(BrowserRecord& record) {
  std::erase_if(record.forgotten, [](pid_t pid) { return ChildEnded(pid); });
}

// `command` when it holds at least one word (an unsplittable command is
// kept, so that its failure is reported), else nullopt.
std::optional<std::string> CommandWithWords(std::optional<std::string> command) {
  if (!command) return std::nullopt;
  std::optional<std::vector<std::string>> words = SplitCommandWords(*command);
  if (words && words->empty()) return std::nullopt;
  return command;
}

std::optional<std::string> EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

// Starts `words` detached; returns the process id, or the error number
// negated.
pid_t SpawnDetached(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  // Nothing of the server (its listening socket above all) may live on in
  // the browser, which can outlast the program.
  posix_spawn_file_actions_addclosefrom_np(&files, 3);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group: a Ctrl-C meant for the server does not reach it,
  // and shut-down can close the browser together with its helpers.
  posix_spawnattr_setpgroup(&attr, 0);
  // The server ignores SIGPIPE; the browser must not inherit that.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &files, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -rc;
}

}  // namespace

std::string MakeServerUrl(std::string_view server_address, std::string_view path) {
  std::string url = "http://";
  url.append(server_address).append("/").append(path);
  return url;
}

std::optional<std::string> BrowserCommand() {
  if (auto registered = CommandWithWords(
          RegistryGetString(RegistryRoot::kClassesRoot, kBrowserCommandKey, "")))
    return registered;
  if (auto from_env = CommandWithWords(EnvironmentValue("BROWSER"))) return from_env;
  if (EnvironmentValue("DISPLAY") || EnvironmentValue("WAYLAND_DISPLAY"))
    return std::string(kDesktopOpenCommand);
  return std::nullopt;
}

std::optional<std::vector<std::string>> SplitCommandWords(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;  // a word has begun (it may still be empty: "")
  size_t i = 0;
  while (i < command.size()) {
    char c = command[i++];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      size_t close = command.find('\'', i);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(command.substr(i, close - i));
      i = close + 1;
    } else if (c == '"') {
      while (true) {
        if (i >= command.size()) return std::nullopt;
        char q = command[i++];
        if (q == '"') break;
        if (q == '\\' && i < command.size()) {
          char next = command[i];
          if (next == '"' || next == '\\' || next == '$' || next == '`') {
            word += next;
            ++i;
            continue;
          }
          if (next == '\n') {
            ++i;
            continue;
          }
        }
        word += q;
      }
    } else if (c == '\\' && i < command.size()) {
      char next = command[i++];
      if (next != '\n') word += next;
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::optional<std::vector<std::string>> BrowserArguments(std::string_view command,
                                                         ServerMode mode, std::string_view url) {
  std::optional<std::vector<std::string>> words = SplitCommandWords(command);
  if (!words || words->empty()) return std::nullopt;
  // The kiosk switch of the browser this rule was made for.
  if (mode == ServerMode::kKiosk && command.find("expl") != std::string_view::npos)
    words->push_back("-k");
  words->emplace_back(url);
  return words;
}

bool BrowserLaunch(std::string_view server_address, ServerMode mode, std::string_view path) {
  BrowserRecord& record = Record();
  std::optional<std::string> command = BrowserCommand();
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(record.mutex);
    ReapForgotten(record);
    if (record.pid > 0) {
      if (record.forgotten.size() >= kForgottenBrowserLimit)
        record.forgotten.erase(record.forgotten.begin());
      record.forgotten.push_back(record.pid);
      record.pid = -1;
    }
    if (!command) return false;
    std::optional<std::vector<std::string>> words =
        BrowserArguments(*command, mode, MakeServerUrl(server_address, path));
    if (!words) {
      failure = "its quotes are not closed";
    } else {
      pid_t pid = SpawnDetached(*words);
      if (pid > 0) {
        record.pid = pid;
        record.started = Clock::now();
        return true;
      }
      failure = std::strerror(-pid);
    }
  }
  StatusLogAppend("\nThe web browser could not be started with the command " + *command + ": " +
                  failure);
  return false;
}

std::optional<Clock::duration> BrowserTakeEnded() {
  BrowserRecord& record = Record();
  std::lock_guard<std::mutex> lock(record.mutex);
  ReapForgotten(record);
  if (record.pid <= 0 || !ChildEnded(record.pid)) return std::nullopt;
  record.pid = -1;
  return Clock::now() - record.started;
}

void BrowserClose() {
  BrowserRecord& record = Record();
  std::lock_guard<std::mutex> lock(record.mutex);
  ReapForgotten(record);
  if (record.pid <= 0) return;
  // Checked before the signal: an unreaped child keeps its process group,
  // so the signal cannot reach some other program that reused the number.
  if (!ChildEnded(record.pid)) {
    ::kill(-record.pid, SIGTERM);
    record.forgotten.push_back(record.pid);  // reaped once it has ended
  }
  record.pid = -1;
}

bool RelaunchGuard::MayRelaunch(Clock::duration lived) {
  if (lived >= kBrowserQuickEnd) {
    quick_ends_ = 0;
    return true;
  }
  if (++quick_ends_ < kBrowserQuickEndLimit) return true;
  quick_ends_ = 0;
  return false;
}

std::string RelaunchStoppedLine() {
  return StrPrintf(
      "\nThe web browser ended within %d seconds of its start %d times in a row, so it is not "
      "started again. Kiosk mode needs a browser command that keeps running while its window "
      "is open.",
      static_cast<int>(kBrowserQuickEnd.count()), kBrowserQuickEndLimit);
}

}  // namespace tallypad
