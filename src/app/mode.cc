#include "app/mode.h"

#include "base/str.h"

namespace tallypad {

namespace {

// Rows in the order the `MODE` setting is compared; none comes last.
constexpr ServerModeRow kModes[] = {
    {"kiosk", ServerMode::kKiosk, WindowShow::kMinimised, BrowserEndAction::kRelaunch, false},
    {"server", ServerMode::kServer, WindowShow::kNormal, BrowserEndAction::kSleep, false},
    {"preview", ServerMode::kPreview, WindowShow::kMinimised, BrowserEndAction::kShutDown, true},
    {"menu", ServerMode::kMenu, WindowShow::kMaximised, BrowserEndAction::kShowWindow, false},
    {"", ServerMode::kNone, WindowShow::kNormal, BrowserEndAction::kSleep, false},
};

}  // namespace

const ServerModeRow& ServerModeInfo(ServerMode mode) {
  for (const ServerModeRow& row : kModes)
    if (row.mode == mode) return row;
  return kModes[std::size(kModes) - 1];
}

ServerMode ServerModeFromSetting(std::string_view setting) {
  for (const ServerModeRow& row : kModes)
    if (!row.setting.empty() && StrEqualNoCase(setting, row.setting)) return row.mode;
  return ServerMode::kNone;
}

}  // namespace tallypad
