// Files: the RAII handle for standard file streams and small file queries.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tallypad {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
// An open standard file stream that closes itself.
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens the regular file `path` with the fopen `mode` ("r", "wb", "a+", ...);
// null when it cannot be opened, or the path is empty or names anything but
// a regular file (a folder, a pipe, a device).
FilePtr FileOpen(const std::string& path, const char* mode);
// Returns the size in bytes of the file at `path`; 0 when the path is empty
// or the file does not exist or cannot be examined.
uint64_t FileSize(const std::string& path);
// True when `path` names an existing regular file.
bool FileExists(const std::string& path);

// A POSIX file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace tallypad
