// The text of files that are read again and again (pages and the files
// they include, form settings, validation files), kept in memory between
// requests and read again only when the file changed: its identity, size or
// modification time differ from what was read. A use costs one stat instead
// of an open, reads and a close, and an edited file still takes effect with
// the next request. Only regular files are read, without waiting on a pipe.
// Safe to use from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace tallypad {

// Most bytes of text kept; beyond it the texts used least recently go.
inline constexpr size_t kFileCacheBytes = 32 << 20;
// Texts longer than this are read for each use and not kept.
inline constexpr size_t kFileCacheLargestText = 4 << 20;

// Returns the text of the regular file at `path`, cut to `limit` bytes;
// null when it is no regular file or cannot be read.
std::shared_ptr<const std::string> CachedFileText(const std::string& path, size_t limit);

// Forgets every text kept.
void FileCacheClear();

}  // namespace tallypad
