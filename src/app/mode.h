// Operating modes: the `MODE` setting of "cgi.ini" chooses how the window
// starts, what happens when the browser the host started ends, and whether
// "/quit" shuts the program down. One table row per mode.
#pragma once

#include <string_view>

namespace tallypad {

enum class ServerMode { kNone, kPreview, kMenu, kKiosk, kServer };

// How the main window is shown at start. The console window has no such
// states; the value is kept so the table stays complete.
enum class WindowShow { kNormal, kMinimised, kMaximised };

// What the server thread does when the browser process it watches has ended.
enum class BrowserEndAction {
  kSleep,       // nothing, apart from a short pause of the server thread
  kShutDown,    // the program shuts down
  kShowWindow,  // the window is shown normally and gets the focus
  kRelaunch,    // the browser is started again on the start path
};

struct ServerModeRow {
  std::string_view setting;  // value of `MODE` that selects the mode ("" for none)
  ServerMode mode;
  WindowShow show;
  BrowserEndAction on_browser_end;
  bool serves_quit;  // "/quit" shuts the program down
};

// Returns the table row of `mode`.
const ServerModeRow& ServerModeInfo(ServerMode mode);
// Returns the mode the `MODE` setting names, compared without regard to
// case with "kiosk", "server", "preview" and "menu" in that order; anything
// else is kNone.
ServerMode ServerModeFromSetting(std::string_view setting);

}  // namespace tallypad
