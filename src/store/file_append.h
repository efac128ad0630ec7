// Appending whole records to the survey's shared response files (data file,
// index, XML transactions) so that no crash or concurrent writer can leave a
// record half-written or merged with another. Every append holds an
// exclusive advisory lock on the file from choosing its offset to the end of
// the write, writes the record with one write call and flushes it to disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/file.h"

namespace tallypad {

// An exclusive advisory lock (flock) on an open descriptor, released when
// destroyed. Locks taken through different opens of the same file exclude
// each other, in this process and in others.
class FileLock {
 public:
  // Waits for the lock on `fd`; held() tells whether it was obtained (a file
  // system without lock support leaves it unheld, and the caller goes on).
  explicit FileLock(int fd);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Appends `record` to the existing file at `path` (never creating it). When
// the file does not end with a line feed (an earlier write cut short), the
// open line is first ended with `line_end`, so records never merge. On
// success returns true and sets *offset (when given) to where `record`
// starts. On failure returns false and leaves the file as it was.
bool AppendWhole(const std::string& path, std::string_view record, std::string_view line_end,
                 int64_t* offset);

}  // namespace tallypad
