#include "host/host.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "app/mode.h"
#include "app/router.h"
#include "app/start_pages.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "base/utf8_cut.h"
#include "host/browser.h"
#include "host/console.h"
#include "httpd/admission.h"
#include "httpd/listener.h"
#include "httpd/server_thread.h"
#include "mail/outbox.h"
#include "mail/outbox_status.h"
#include "platform/profile.h"
#include "platform/registry.h"

namespace tallypad {

namespace {

// Pauses of the server thread after a browser ended in modes that do not
// act on it: short while requests came recently, longer when idle.
constexpr int kShortPauseMs = 128;
constexpr int kLongPauseMs = 1024;
constexpr int kShortPauseIdleLimit = 64;

std::string CurrentDirectory() {
  std::error_code error;
  std::filesystem::path cwd = std::filesystem::current_path(error);
  return error ? std::string() : cwd.string();
}

std::string LocalHostName() {
  char name[kHostNameLimit + 1] = "";
  if (gethostname(name, kHostNameLimit) != 0) return "";
  name[kHostNameLimit] = '\0';
  return name;
}

// The server thread's step when no connection came: act on the end of the
// browser the host started, as the mode says.
void WatchBrowser(int idle, ServerMode mode, const std::string& address,
                  const std::string& start_path, ConsoleWindow& window, RelaunchGuard& guard) {
  std::optional<std::chrono::steady_clock::duration> lived = BrowserTakeEnded();
  if (!lived) return;
  switch (ServerModeInfo(mode).on_browser_end) {
    case BrowserEndAction::kRelaunch:
      if (guard.MayRelaunch(*lived)) {
        BrowserLaunch(address, mode, start_path);
      } else {
        StatusLogAppend(RelaunchStoppedLine());
      }
      break;
    case BrowserEndAction::kShutDown:
      window.PostDestroy();
      break;
    case BrowserEndAction::kShowWindow:
      window.PostShow();
      break;
    case BrowserEndAction::kSleep:
      std::this_thread::sleep_for(
          std::chrono::milliseconds(idle < kShortPauseIdleLimit ? kShortPauseMs : kLongPauseMs));
      break;
  }
}

std::vector<ConsoleEntry> WindowEntries(const StartPageTable& pages, const std::string& address) {
  std::vector<ConsoleEntry> entries;
  for (const StartPage& page : pages) {
    if (!page.in_use) break;
    entries.push_back({Utf8CutToCharacters(page.title, kStartPageTextLimit),
                       Utf8CutToCharacters(page.description, kStartPageTextLimit),
                       MakeServerUrl(address, page.link)});
  }
  return entries;
}

void ReportNoPort(const HostOptions& options, const Listener& listener) {
  int last = options.first_port + kListenerPortAttempts - 1;
  if (last > 65535) last = 65535;
  std::fprintf(stderr,
               "tallypad: cannot open a port: tried ports %d to %d (%s); ports below 1024 need "
               "administrator rights, try --port 8080\n",
               options.first_port, last, std::strerror(listener.last_error));
}

// Removes what the host published in the registry.
void UnpublishRegistryValues() {
  RegistryDeleteValue(RegistryRoot::kCurrentUser, kServerAddressKey, "ServerAddress");
}

// Removes the identifier counter, and the key when nothing else is in it.
void RemoveCounterKey() {
  RegistryDeleteValue(RegistryRoot::kCurrentUser, kServerKey, "RANDOM");
  RegistryDeleteKeyIfEmpty(RegistryRoot::kCurrentUser, kServerKey);
}

}  // namespace

std::string ResolveServerRoot(const std::optional<std::string>& command_line,
                              const std::optional<std::string>& registry,
                              const std::string& current_dir) {
  std::string root;
  if (command_line && !command_line->empty()) {
    root = *command_line;
  } else if (registry && !registry->empty()) {
    root = *registry;
  } else {
    root = current_dir;
  }
  if (root.empty()) return root;
  if (root.front() != '/' && !current_dir.empty()) root = current_dir + "/" + root;
  root = std::filesystem::path(root).lexically_normal().string();
  if (root.back() != '/') root += '/';
  return root;
}

std::string MakeServerAddress(int port) {
  return port == 80 ? std::string("127.0.0.1") : StrPrintf("127.0.0.1:%d", port);
}

std::string MakeWindowTitle(const VarTable* settings) {
  std::string title = "Tallypad Personal Server";
  std::string device = VarTableGet(settings, "DEVICEID");
  if (!device.empty()) title += "/" + device;
  return Utf8CutToCharacters(title, kWindowTitleLimit);
}

std::string RunningLine(std::string_view host_name, int port) {
  return StrPrintf("The server is running on port %.*s%s%d", static_cast<int>(host_name.size()),
                   host_name.data(), host_name.empty() ? "" : ":", port);
}

// Lets the process open as many files as the system allows it: the server
// keeps up to kMaxConnections connections open, each with a file it sends.
void RaiseOpenFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) return;
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
}

int HostRun(const HostOptions& options) {
  // Start-up, in order. A fresh message log that the first request empties.
  StatusLogReset();
  StatusLogRequestClear();
  RaiseOpenFileLimit();
  std::atomic<bool> stop{false};

  // The server root.
  std::optional<std::string> registry_root;
  if (!options.server_root)
    registry_root = RegistryGetString(RegistryRoot::kLocalMachine, kServerKey, "ServerRoot");
  std::string root = ResolveServerRoot(options.server_root, registry_root, CurrentDirectory());
  if (root.size() > kServerRootLimit) {
    std::fprintf(stderr, "tallypad: the server root is longer than %zu bytes: %s\n",
                 kServerRootLimit, root.c_str());
    return 1;
  }

  // Settings and mode.
  VarTablePtr settings = IniLoadSection(PathBuild(root, "cgi.ini"), "server", 0);
  ServerMode mode = ServerModeFromSetting(VarTableGet(settings.get(), "MODE"));

  // The main window and the start pages.
  ConsoleWindow window;
  if (!window.Create(MakeWindowTitle(settings.get()))) {
    std::fprintf(stderr, "tallypad: cannot create the window: %s\n", std::strerror(errno));
    return 1;
  }
  window.CloseOnSignals();
  const std::string start_path;  // empty: the router maps it to the HOME page
  StartPageTable pages;
  StartPagesScan(root, start_path, &pages);

  // The listener. Without a port there is nothing to serve: say why and end,
  // rather than idling without a server.
  Listener listener;
  if (mode == ServerMode::kServer) listener.admit = AdmitLocalNetworkClient;
  ListenerOpen(&listener, options.first_port);
  if (!listener.socket.valid()) {
    ReportNoPort(options, listener);
    return 1;
  }
  const std::string address = MakeServerAddress(listener.port);
  RegistrySetString(RegistryRoot::kCurrentUser, kServerAddressKey, "ServerAddress", address);

  // The window is shown once the addresses of its start pages are known. Its
  // status line shows the outbox, and is drawn again when the outbox changes.
  window.SetEntries(WindowEntries(pages, address));
  window.SetStatusLine([] { return OutboxStatusLine(OutboxStatusNow()); });
  OutboxStatusSetObserver([&window] { window.PostRedraw(); });
  window.Show();
  StatusLogReplace(RunningLine(LocalHostName(), listener.port));
  BrowserLaunch(address, mode, start_path);

  // The server thread.
  RouterContext router;
  router.server_root = root;
  router.settings = settings.get();
  router.mode = mode;
  router.start_pages = &pages;
  router.server_address = address;
  router.close_window = [&window] { window.PostDestroy(); };
  ServerHooks hooks;
  hooks.handle_request = [&router](Connection& c) { return HandleRequest(c, router); };
  RelaunchGuard relaunch_guard;  // used by the server thread only
  hooks.idle_step = [&](int idle) {
    WatchBrowser(idle, mode, address, start_path, window, relaunch_guard);
  };
  ServerLimits limits;
  limits.request = router.limits;
  // The outbox is sent by a thread of its own, so that a mail server that
  // cannot be reached, or answers slowly, never delays a respondent.
  std::thread server, outbox;
  try {
    server = std::thread([&] { ServerThread(&listener, hooks, stop, limits); });
    outbox = std::thread([&] { OutboxThread(root, stop); });
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "tallypad: cannot start the server thread: %s\n", e.what());
    stop.store(true);
    ListenerWake(&listener);
    if (server.joinable()) server.join();
    OutboxStatusSetObserver(nullptr);
    ListenerClose(&listener);
    BrowserClose();
    UnpublishRegistryValues();
    return 1;
  }

  // The message loop.
  int exit_code = window.Run([&](size_t entry) {
    if (entry >= pages.size() || !pages[entry].in_use) return;
    // A command that fails to start is reported by BrowserLaunch itself.
    if (!BrowserLaunch(address, mode, pages[entry].link) && !BrowserCommand())
      StatusLogAppend("\nNo web browser could be started for " +
                      MakeServerUrl(address, pages[entry].link));
  });

  // Shut-down, in order.
  stop.store(true);
  ListenerWake(&listener);
  server.join();
  outbox.join();
  OutboxStatusSetObserver(nullptr);
  ListenerClose(&listener);
  BrowserClose();
  UnpublishRegistryValues();
  settings.reset();
  RemoveCounterKey();
  return exit_code;
}

}  // namespace tallypad
