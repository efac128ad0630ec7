// The outbox files and their records: reading the records of "outbox.kqs"
// (and of "outbox.dead", which holds refused mails in the same form with a
// "Reply:" line), the lock held while they change, and the changes
// themselves: whole records appended and flushed to disk, and a file
// rewritten through a temporary file and a rename, so that a crash never
// leaves one half-written. Used by the transmitter, the listing and the
// mail composer.
//
// A record is an open line "OPEN host:port", header lines up to an empty
// line ("Content-Length: N", and in a dead letter "Reply: text"), and the
// N bytes of the stored SMTP dialogue.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"

namespace tallypad {

// Name of the dead letters in the server root, and of the lock file that
// programs changing the outbox files share.
inline constexpr std::string_view kOutboxDeadName = "outbox.dead";
inline constexpr std::string_view kOutboxLockName = "outbox.lock";
// Longest wait for the lock of the outbox files held by another program.
inline constexpr int kOutboxLockWaitMs = 10000;

// One record as read.
struct OutboxRecord {
  uint64_t begin = 0;             // its first byte in the file
  uint64_t end = 0;               // the byte after its last
  std::string open_line;          // without its line feed
  std::vector<std::string> headers;  // the header lines after it, without CR LF
  uint64_t body_length = 0;
  std::string body;               // the body's first bytes, as many as asked for
  std::string key;                // OutboxRecordKey of the record, when asked for

  // The value of header `name` ("Reply"), "" without one.
  std::string Header(std::string_view name) const;
};

enum class RecordRead {
  kRecord,     // a record was read
  kEnd,        // no further record (a trailing piece of a line counts as none)
  kBadRecord,  // the next line does not open a record: nothing after it can be read
  kTruncated,  // the file ends inside the record's body
};

// Reads the records of one outbox file from the start, one after another.
class OutboxReader {
 public:
  explicit OutboxReader(const std::string& path);
  // False when the file does not exist or cannot be read.
  bool open() const { return file_ != nullptr; }
  // Reads the next record, keeping at most `body_kept` bytes of its body
  // and making its key when `with_key` (which reads the whole body).
  RecordRead Next(OutboxRecord* record, size_t body_kept, bool with_key);
  // The offset after the last record read (where kEnd, kBadRecord or
  // kTruncated were met).
  uint64_t offset() const { return offset_; }

 private:
  FilePtr file_;
  uint64_t offset_ = 0;
};

// Holds the outbox files for a change: this program's OutboxFileMutex()
// and a lock on "outbox.lock" in the server root against other programs
// (the "tallypad outbox" command). Waits at most `wait_ms` for the lock.
class OutboxLock {
 public:
  OutboxLock(const std::string& server_root, int wait_ms);
  // True when both locks are held.
  bool held() const { return held_; }

 private:
  std::unique_lock<std::mutex> mutex_;
  UniqueFd file_;
  bool held_ = false;
};

// A range of bytes of a file.
struct ByteRange {
  uint64_t begin = 0;
  uint64_t end = 0;
};

// Appends `bytes` to the file at `to` in one write and flushes it to disk.
// On failure the file is cut back to its old size and false is returned.
bool OutboxAppendBytes(const std::string& to, std::string_view bytes);
// Appends the ranges of the file at `from`, in order, to the file at `to`
// and flushes them to disk; on failure `to` is cut back to its old size.
bool OutboxAppendRanges(const std::string& from, const std::vector<ByteRange>& ranges,
                        const std::string& to);
// Replaces the file at `path` by its ranges `keep` followed by its bytes
// from `tail` to its end, through a temporary file and a rename; removes it
// when nothing is left.
bool OutboxRewrite(const std::string& path, const std::vector<ByteRange>& keep, uint64_t tail);
// Returns the number of records of the outbox file at `path` (those before
// a damaged one); 0 when there is no file.
size_t OutboxCountRecords(const std::string& path);
// Returns the bytes [begin, end) of the file at `path` ("" on failure).
std::string OutboxReadRange(const std::string& path, uint64_t begin, uint64_t end);

}  // namespace tallypad
