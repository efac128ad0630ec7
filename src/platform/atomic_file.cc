#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/file.h"

namespace tallypad {

namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool AtomicWriteFile(const std::string& path, std::string_view content, Durability durability) {
  if (path.empty()) return false;
  std::string temp = path + ".tmpXXXXXX";
  UniqueFd fd(mkstemp(temp.data()));
  if (!fd.valid()) return false;
  // Keep the old file's permissions when there is one.
  struct stat st;
  fchmod(fd.get(), stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
  const bool on_disk = durability == Durability::kOnDisk;
  bool ok = WriteAll(fd.get(), content) && (!on_disk || fsync(fd.get()) == 0);
  fd.reset();
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) {
    if (!on_disk) return true;
    // Make the rename itself durable.
    UniqueFd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.valid()) fsync(dir.get());
    return true;
  }
  ::unlink(temp.c_str());
  return false;
}

}  // namespace tallypad
