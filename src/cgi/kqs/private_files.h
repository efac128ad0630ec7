// Files of the server root that hold a form's settings, answers or reports
// and must never be sent to a browser as they are: the form configuration
// and validation files (with their passwords and checks), the data, index,
// XML and statistics files (respondents' answers), the report and mail
// templates (a report page would list the answers without asking for the
// report password), the ID file, the counter file and the mail outbox.
// The router asks before it serves a file.
#pragma once

#include <string>
#include <string_view>

namespace tallypad {

// Most form configuration files looked at for the names they hold; a root
// with more forms than this only has the first ones' files recognised by
// name (their extensions still protect the usual names).
inline constexpr size_t kMaxFormsScanned = 64;

// True when `path` (relative to `server_root`, which ends in '/') names a
// file that holds a form's settings, answers or reports.
bool IsPrivateFormFile(const std::string& server_root, std::string_view path);

}  // namespace tallypad
