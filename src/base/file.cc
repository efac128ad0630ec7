#include "base/file.h"

#include <sys/stat.h>
#include <unistd.h>

namespace tallypad {

FilePtr FileOpen(const std::string& path, const char* mode) {
  if (path.empty()) return nullptr;
  FilePtr f(std::fopen(path.c_str(), mode));
  if (!f) return nullptr;
  // fopen happily opens a folder for reading; no caller wants that.
  struct stat st;
  if (fstat(fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode)) return nullptr;
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
