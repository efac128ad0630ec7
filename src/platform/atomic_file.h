// Whole-file replacement that a crash cannot leave half-done: the new
// content goes to a temporary file in the same folder, is flushed to disk,
// and is renamed over the old file.
#pragma once

#include <string>
#include <string_view>

namespace tallypad {

// Replaces the file at `path` with `content`. Returns true on success; on
// failure the old file is unchanged and no temporary file is left behind.
bool AtomicWriteFile(const std::string& path, std::string_view content);

// Writes all of `data` to descriptor `fd`, continuing after short writes
// and interruptions. Returns true when everything was written.
bool WriteAll(int fd, std::string_view data);

}  // namespace tallypad
