#include "store/file_append.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/atomic_file.h"

namespace tallypad {

FileLock::FileLock(int fd) {
  if (fd < 0) return;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) fd_ = fd;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

namespace {

// Opens an existing file for appending. Reading is wanted to look at the
// last byte; a file we may write but not read is still appended to.
UniqueFd OpenForAppend(const std::string& path, bool* readable) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
  *readable = fd.valid();
  if (!fd.valid()) fd.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  return fd;
}

bool EndsWithLineFeed(int fd, off_t size) {
  char last = 0;
  ssize_t n;
  do {
    n = ::pread(fd, &last, 1, size - 1);
  } while (n < 0 && errno == EINTR);
  // When the last byte cannot be read, assume the line was ended rather
  // than inserting a line end into a good file.
  return n != 1 || last == '\n';
}

}  // namespace

bool AppendWhole(const std::string& path, std::string_view record, std::string_view line_end,
                 int64_t* offset) {
  if (path.empty()) return false;
  bool readable = false;
  UniqueFd fd = OpenForAppend(path, &readable);
  if (!fd.valid()) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

  FileLock lock(fd.get());
  // The size is read under the lock: another writer may have appended
  // between our open and the lock.
  if (fstat(fd.get(), &st) != 0) return false;
  off_t size = st.st_size;

  std::string text;
  if (readable && size > 0 && !EndsWithLineFeed(fd.get(), size)) text.append(line_end);
  int64_t start = static_cast<int64_t>(size) + static_cast<int64_t>(text.size());
  text.append(record);

  if (!WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
    // Take back whatever part of the record reached the file, so that the
    // failure we report leaves no partial record behind.
    if (::ftruncate(fd.get(), size) == 0) ::fsync(fd.get());
    return false;
  }
  if (offset) *offset = start;
  return true;
}

}  // namespace tallypad
