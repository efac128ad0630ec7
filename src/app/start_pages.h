// The start-page table: the pages the server offers, drawn as links in the
// main window and listed on the router's menu page. Entry 0 is built in and
// opens the server's home page; the entries after it are the forms of the
// server root, one per form configuration file ("<form>.ini"). Filled once
// at start-up, before the server thread starts, and only read afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace tallypad {

// Entries in the table; the built-in entry is one of them, so at most 15
// forms are listed.
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
// The server's own settings file, which is not a form.
inline constexpr const char* kServerSettingsFile = "cgi.ini";

// Fills `table` for the server root `server_root` (ending in '/', or empty
// for the current folder): entry 0 is the built-in start page on
// `start_path`; entries 1 to 15 are the regular files of the server root
// whose names end in ".ini" (any case) except exactly "cgi.ini" and
// "kqscounts.ini", taken in
// byte order of their names, with the link "kqs?database=" + the name cut
// at its first ".ini", and the `Title` and `Description` of their section
// `database` ("Title" and "Description" when missing). Unused entries are
// marked not in use.
void StartPagesScan(const std::string& server_root, const std::string& start_path,
                    StartPageTable* table);

}  // namespace tallypad
