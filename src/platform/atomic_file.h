// Whole-file replacement that a crash cannot leave half-done: the new
// content goes to a temporary file in the same folder, is flushed to disk,
// and is renamed over the old file.
#pragma once

#include <string>
#include <string_view>

namespace tallypad {

// Whether a replacement must reach the disk before it counts as done.
// kInMemory is for state that a crash may lose without harm (it still
// replaces the file whole, so readers never see half of it).
enum class Durability { kOnDisk, kInMemory };

// Replaces the file at `path` with `content`. Returns true on success; on
// failure the old file is unchanged and no temporary file is left behind.
bool AtomicWriteFile(const std::string& path, std::string_view content,
                     Durability durability = Durability::kOnDisk);

// Writes all of `data` to descriptor `fd`, continuing after short writes
// and interruptions. Returns true when everything was written.
bool WriteAll(int fd, std::string_view data);

}  // namespace tallypad
