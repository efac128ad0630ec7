// The user's web browser: started on pages of this server, remembered so the
// server thread can tell when it ends (kiosk, preview and menu modes act on
// that), and closed at shut-down. Launching is not available yet:
// BrowserLaunch starts nothing and records no process, so no browser ever
// "ends" and the modes' browser actions stay idle.
#pragma once

#include <string>
#include <string_view>

#include "host/mode.h"

namespace tallypad {

// Returns "http://" + server address + "/" + path.
std::string MakeServerUrl(std::string_view server_address, std::string_view path);
// Starts the browser on `path` of the server at `server_address`; true when
// a browser process is recorded after the call. Starts nothing yet.
bool BrowserLaunch(std::string_view server_address, ServerMode mode, std::string_view path);
// True when a recorded browser process has ended; the record is then cleared.
bool BrowserTakeEnded();
// Asks the recorded browser (if any) to close and forgets it.
void BrowserClose();

}  // namespace tallypad
