// The help page of the engines' error numbers: every error page ends with a
// link to /help/cgi/kqs/error.html#sN. A server root may hold its own copy of
// that page; when it has none, the router serves the copy built into the
// program from the demo's page at build time (cmake/embed_help_page.cmake),
// so the links work in every new server root, offline too.
#pragma once

#include <string_view>

namespace tallypad {

// The address of the help page, without its leading '/'.
inline constexpr std::string_view kErrorHelpPagePath = "help/cgi/kqs/error.html";

// Returns the built-in copy of the help page (HTML).
std::string_view BuiltInErrorHelpPage();

}  // namespace tallypad
