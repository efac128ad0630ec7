#include "base/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

namespace tallypad {

namespace {

// The open() flags of an fopen mode ("r", "wb", "a+", ...); -1 for a mode
// this program never uses.
int OpenFlags(std::string_view mode) {
  const bool update = mode.find('+') != std::string_view::npos;
  if (mode.empty()) return -1;
  switch (mode[0]) {
    case 'r':
      return update ? O_RDWR : O_RDONLY;
    case 'w':
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
      return -1;
  }
}

}  // namespace

FilePtr FileOpen(const std::string& path, const char* mode) {
  const int flags = mode ? OpenFlags(mode) : -1;
  if (path.empty() || flags < 0) return nullptr;
  // Opened without blocking: opening a pipe would otherwise wait for its
  // other end, and a device would feed a reader without end. Only regular
  // files are kept; a folder, a pipe or a device is refused.
  UniqueFd fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  if (fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) return nullptr;
  FilePtr f(fdopen(fd.get(), mode));
  if (f) fd.release();
  return f;
}

uint64_t FileSize(const std::string& path) {
  if (path.empty()) return 0;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace tallypad
