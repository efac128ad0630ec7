// Opening a file inside a folder without ever leaving it: the name is
// resolved by the kernel beneath the folder, symbolic links included, and
// a name or link that leads out of it is refused there, in the one call
// that opens the file. The router opens every file it serves this way.
#pragma once

#include <string>

#include "base/file.h"

namespace tallypad {

// What OpenBeneath found.
enum class BeneathResult {
  kOpened,      // the file is open
  kMissing,     // no such file (or no right to read it)
  kLeads,       // the name or a link on its way leads out of the folder, or
                // is an absolute link: only a full resolution can tell
  kUnsupported, // the system cannot open beneath a folder
};

// Opens `path` (relative) for reading, beneath the open folder `folder`,
// without waiting on a pipe; `*fd` receives the descriptor when opened.
BeneathResult OpenBeneath(int folder, const std::string& path, UniqueFd* fd);

}  // namespace tallypad
