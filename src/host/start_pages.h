// The start-page table: the pages the server offers, drawn as links in the
// main window and listed on the router's menu page. Entry 0 is built in and
// opens the server's home page; the entries after it are the server root's
// forms. Filled once at start-up, before the server thread starts, and only
// read afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace tallypad {

// Entries in the table; the built-in entry is one of them.
inline constexpr size_t kStartPageCount = 16;
// Most characters of a title or description.
inline constexpr size_t kStartPageTextLimit = 1024;

struct StartPage {
  bool in_use = false;      // the first entry not in use ends the list
  std::string title;        // UTF-8, shown in the window and on the menu page
  std::string description;  // UTF-8, shown under or after the title
  std::string config_path;  // full name of the form's configuration file
  std::string link;         // path on this server that opens the page, without a leading '/'
};

using StartPageTable = std::array<StartPage, kStartPageCount>;

// Title of the built-in entry.
inline constexpr const char* kBuiltInStartPageTitle = "Tallypad start page";

// Fills `table` for the server root `server_root` (ending in '/'): entry 0 is
// the built-in start page on `start_path`; the rest are marked not in use.
// Form configuration files are not scanned yet, so only entry 0 is filled.
void StartPagesScan(const std::string& server_root, const std::string& start_path,
                    StartPageTable* table);

}  // namespace tallypad
