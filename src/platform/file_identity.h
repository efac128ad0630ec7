// Where a file really lies and which file it is. The router asks before it
// serves a file: a symbolic link may lead anywhere, so containment in the
// server root is decided on the real path of the file that was opened, and a
// hard link gives one file a second name, so a file is told by its identity
// (device and inode), not by the name it was asked for. Every function only
// reads the file system and may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallypad {

// Tells one file from another whatever names lead to it.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// An open file as it really is.
struct OpenedFile {
  std::string real_path;  // absolute, every symbolic link, "." and ".." resolved
  FileIdentity identity;
};

// Returns the absolute path of `path` with every symbolic link, "." and ".."
// resolved (without a '/' at its end, except for "/" itself); nullopt when
// the path does not exist or cannot be resolved.
std::optional<std::string> RealPath(const std::string& path);

// Returns the identity of the file `path` names (after following symbolic
// links); nullopt when it does not exist or cannot be examined.
std::optional<FileIdentity> FileIdentityAt(const std::string& path);

// Returns the identity of the file open on `fd`; nullopt when it cannot be
// examined.
std::optional<FileIdentity> FileIdentityOf(int fd);

// Describes the file open on `fd`, which was opened by the name `opened_as`:
// its real path as the system records it for the descriptor, or, where the
// system keeps no such record, the real path of `opened_as` when that still
// names the very file open on `fd`. Nullopt when neither tells.
std::optional<OpenedFile> DescribeOpenFile(int fd, const std::string& opened_as);

// True when the real path `path` is the folder `folder` (a real path) or
// lies inside it; compared by whole components.
bool PathIsInside(std::string_view path, std::string_view folder);

}  // namespace tallypad
