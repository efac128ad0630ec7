// The user's web browser: started on pages of this server, remembered so the
// server thread can tell when it ends (kiosk, preview and menu modes act on
// that), and closed at shut-down. The browser command is the registered
// command for opening HTML files (the classes root's default value of
// "htmlfile\shell\open\command"), else $BROWSER, else "xdg-open" when a
// desktop session is present. The command is split into words like a shell
// splits plain words and quotes (no shell runs), the address is appended as
// one more word, and the browser is started detached: in its own process
// group, with standard input, output and error on /dev/null.
//
// The browser record (the last browser started) is shared by the main thread
// (start-up, start-page keys, shut-down) and the server thread (watching,
// kiosk relaunch); every function here is safe to call from either.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/mode.h"

namespace tallypad {

// The classes-root key whose default value is the registered browser command.
inline constexpr std::string_view kBrowserCommandKey = "htmlfile\\shell\\open\\command";
// The command used in a desktop session when nothing else names a browser.
inline constexpr std::string_view kDesktopOpenCommand = "xdg-open";

// Returns "http://" + server address + "/" + path.
std::string MakeServerUrl(std::string_view server_address, std::string_view path);

// Returns the browser command: the registered command, else $BROWSER, else
// kDesktopOpenCommand when $DISPLAY or $WAYLAND_DISPLAY is set; nullopt when
// there is none. A value without any word counts as not set.
std::optional<std::string> BrowserCommand();

// Splits `command` into words: blanks (space, tab, line feed) separate
// words; '...' keeps everything up to the next quote; "..." keeps
// everything, with a backslash escaping only '"', '\', '$' and '`' (and
// removing a line feed); outside quotes a backslash keeps the next byte as
// it is. No variable, tilde or pattern expansion. Returns nullopt when a
// quote is not closed.
std::optional<std::vector<std::string>> SplitCommandWords(std::string_view command);

// Returns the words the browser is started with: the words of `command`,
// then "-k" in kiosk mode when `command` contains "expl" (exact case), then
// `url`. Nullopt when `command` cannot be split or has no words.
std::optional<std::vector<std::string>> BrowserArguments(std::string_view command,
                                                         ServerMode mode, std::string_view url);

// Starts the browser on `path` of the server at `server_address`; true when
// a browser process is recorded after the call. A browser recorded before
// is forgotten (left running, no longer watched). A browser command that
// cannot be started is reported in the message log.
bool BrowserLaunch(std::string_view server_address, ServerMode mode, std::string_view path);

// When the recorded browser has ended, clears the record and returns how
// long it ran; nullopt while it runs or when none is recorded. Never blocks.
std::optional<std::chrono::steady_clock::duration> BrowserTakeEnded();

// Closes the recorded browser if it still runs (SIGTERM to its process
// group) and forgets it. Used at shut-down.
void BrowserClose();

// A browser that ends this soon after its start counts as a quick end.
inline constexpr std::chrono::seconds kBrowserQuickEnd{2};
// Quick ends in a row after which kiosk mode stops starting the browser.
inline constexpr int kBrowserQuickEndLimit = 5;

// Guards kiosk mode against starting a browser over and over when the
// browser command returns at once (as "xdg-open" does): counts quick ends
// in a row and refuses the relaunch after kBrowserQuickEndLimit of them.
class RelaunchGuard {
 public:
  // Records that the browser ended after running `lived`; returns true when
  // it may be started again. A refusal starts the count afresh, so a browser
  // the user opens again gets the full allowance.
  bool MayRelaunch(std::chrono::steady_clock::duration lived);

 private:
  int quick_ends_ = 0;
};

// The message-log line written when RelaunchGuard refuses a relaunch.
std::string RelaunchStoppedLine();

}  // namespace tallypad
