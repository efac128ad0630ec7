// Files of the server root that hold a form's settings, answers or reports
// and must never be sent to a browser as they are: the form configuration
// and validation files (with their passwords and checks), the data, index,
// XML and statistics files (respondents' answers), the report and mail
// templates (a report page would list the answers without asking for the
// report password), the ID file, the counter file and the mail outbox.
// The router asks before it serves a file, about the file it opened: a
// symbolic link or a hard link under a harmless name is the file it leads to.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_identity.h"

namespace tallypad {

// Most form configuration files looked at for the files they name; a root
// with more forms than this only has the first ones' files recognised
// (their extensions still protect the usual names).
inline constexpr size_t kMaxFormsScanned = 64;

// True when `file`, opened as `path` (relative to `server_root`, which ends
// in '/'), holds a form's settings, answers or reports: by the name asked
// for, by its real name (where a symbolic link leads), or by being the very
// file, under whatever name (a hard link), that the root or one of its forms
// keeps them in. Reads the forms' settings: ask only about files that exist.
bool IsPrivateFormFile(const std::string& server_root, std::string_view path,
                       const OpenedFile& file);

}  // namespace tallypad
