#include "platform/file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace tallypad {

namespace {

// Where Linux shows each open descriptor of the process as a symbolic link
// to the path of the file it is open on.
constexpr std::string_view kDescriptorLinks = "/proc/self/fd/";
// Added by the system to the recorded path of a file that has no name left.
constexpr std::string_view kDeletedSuffix = " (deleted)";

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

FileIdentity IdentityOf(const struct stat& st) {
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The path the system records for the file open on `fd` (whose status is
// `st`); nullopt when the system keeps no such record or it is no path.
std::optional<std::string> RecordedPath(int fd, const struct stat& st) {
  const std::string link = std::string(kDescriptorLinks) + std::to_string(fd);
  // Room for the longest path and the suffix of a file without a name.
  char target[PATH_MAX + kDeletedSuffix.size() + 1];
  ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target || target[0] != '/') return std::nullopt;
  std::string path(target, static_cast<size_t>(n));
  if (st.st_nlink == 0 && path.ends_with(kDeletedSuffix))
    path.resize(path.size() - kDeletedSuffix.size());
  return path;
}

}  // namespace

std::optional<std::string> RealPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::unique_ptr<char, FreeDeleter> real(::realpath(path.c_str(), nullptr));
  if (!real) return std::nullopt;
  return std::string(real.get());
}

std::optional<FileIdentity> FileIdentityAt(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return IdentityOf(st);
}

std::optional<FileIdentity> FileIdentityOf(int fd) {
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
  return IdentityOf(st);
}

std::optional<OpenedFile> DescribeOpenFile(int fd, const std::string& opened_as) {
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
  OpenedFile file;
  file.identity = IdentityOf(st);
  if (std::optional<std::string> recorded = RecordedPath(fd, st)) {
    file.real_path = std::move(*recorded);
    return file;
  }
  // Without the system's record the name is resolved again; the answer is
  // kept only when it still leads to the file that was opened, so a link
  // changed in between cannot pass another file off as this one.
  std::optional<std::string> real = RealPath(opened_as);
  if (!real || FileIdentityAt(*real) != file.identity) return std::nullopt;
  file.real_path = std::move(*real);
  return file;
}

bool PathIsInside(std::string_view path, std::string_view folder) {
  if (path.empty() || folder.empty()) return false;
  if (folder == "/") return path.front() == '/';
  if (folder.back() == '/') folder.remove_suffix(1);
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace tallypad
