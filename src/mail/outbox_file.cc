#include "mail/outbox_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "base/str.h"
#include "mail/outbox.h"
#include "mail/outbox_state.h"
#include "platform/atomic_file.h"

namespace tallypad {

namespace {

// Bytes copied at a time when moving records between files.
constexpr size_t kCopyBlock = 65536;
// A Content-Length beyond this is certainly larger than the file; clamping
// keeps the arithmetic free of overflow.
constexpr uint64_t kMaxBodyLength = uint64_t{1} << 62;
// How often a wait for the lock file tries again.
constexpr auto kLockRetry = std::chrono::milliseconds(20);

// The decimal number at the start of `text` (digits only, clamped at `limit`).
uint64_t LeadingNumber(std::string_view text, uint64_t limit) {
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > limit) return limit;
  }
  return n;
}

// Reads one line up to its line feed, keeping at most `keep` bytes
// (carriage returns dropped when `drop_cr`); every byte read goes to
// `hasher` and counts in `*offset`. False when the file ends first.
bool ReadLine(std::FILE* f, size_t keep, bool drop_cr, std::string* line, OutboxKeyHasher* hasher,
              uint64_t* offset) {
  line->clear();
  for (int c; (c = std::getc(f)) != EOF;) {
    ++*offset;
    const char byte = static_cast<char>(c);
    if (hasher) hasher->Add(std::string_view(&byte, 1));
    if (c == '\n') return true;
    if (drop_cr && c == '\r') continue;
    if (line->size() < keep) line->push_back(byte);
  }
  return false;
}

void SyncFolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  UniqueFd folder(::open(slash == std::string::npos ? "." : path.substr(0, slash + 1).c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) fsync(folder.get());
}

// Copies [begin, end) of `in` to `out`; false on any failure.
bool CopyRange(int in, uint64_t begin, uint64_t end, int out) {
  auto block = std::make_unique<char[]>(kCopyBlock);
  for (uint64_t at = begin; at < end;) {
    size_t want = end - at < kCopyBlock ? static_cast<size_t>(end - at) : kCopyBlock;
    ssize_t n = ::pread(in, block.get(), want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !WriteAll(out, std::string_view(block.get(), static_cast<size_t>(n))))
      return false;
    at += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

std::string OutboxRecord::Header(std::string_view name) const {
  for (const std::string& line : headers) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        StrEqualNoCase(std::string_view(line).substr(0, name.size()), name)) {
      std::string_view value = std::string_view(line).substr(name.size() + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
  }
  return "";
}

OutboxReader::OutboxReader(const std::string& path) : file_(FileOpen(path, "rb")) {}

RecordRead OutboxReader::Next(OutboxRecord* record, size_t body_kept, bool with_key) {
  *record = OutboxRecord{};
  if (!file_) return RecordRead::kEnd;
  std::FILE* f = file_.get();
  record->begin = offset_;
  OutboxKeyHasher hasher;
  OutboxKeyHasher* h = with_key ? &hasher : nullptr;
  uint64_t at = offset_;
  if (!ReadLine(f, kOutboxOpenLineKept, false, &record->open_line, h, &at)) {
    // A trailing piece of a line belongs to no record.
    offset_ = at;
    return RecordRead::kEnd;
  }
  if (record->open_line.compare(0, 4, "OPEN") != 0) return RecordRead::kBadRecord;
  static constexpr std::string_view kLengthName = "Content-Length:";
  std::string line;
  for (;;) {
    const bool complete = ReadLine(f, kOutboxHeaderLineKept, true, &line, h, &at);
    if (line.empty()) break;
    if (StrStartsNoCase(line, kLengthName)) {
      std::string_view value = std::string_view(line).substr(kLengthName.size());
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      record->body_length = LeadingNumber(value, kMaxBodyLength);
    } else {
      record->headers.push_back(line);
    }
    if (!complete) break;
  }
  // The body, read in blocks: the first `body_kept` bytes are kept, the
  // rest only hashed (or skipped when no key is wanted).
  auto block = std::make_unique<char[]>(kCopyBlock);
  uint64_t left = record->body_length;
  while (left > 0) {
    const size_t kept = record->body.size();
    if (!with_key && kept >= body_kept) {
      // Nothing more to keep or hash: skip the rest, checking it is there.
      struct stat st;
      if (fstat(fileno(f), &st) != 0 || static_cast<uint64_t>(st.st_size) < at + left)
        return RecordRead::kTruncated;
      if (fseeko(f, static_cast<off_t>(at + left), SEEK_SET) != 0) return RecordRead::kTruncated;
      at += left;
      left = 0;
      break;
    }
    const size_t want = left < kCopyBlock ? static_cast<size_t>(left) : kCopyBlock;
    const size_t got = std::fread(block.get(), 1, want, f);
    if (h) h->Add(std::string_view(block.get(), got));
    if (kept < body_kept)
      record->body.append(block.get(), std::min<size_t>(got, body_kept - kept));
    at += got;
    left -= got;
    if (got != want) return RecordRead::kTruncated;
  }
  record->end = at;
  offset_ = at;
  if (with_key) record->key = hasher.Key();
  return RecordRead::kRecord;
}

OutboxLock::OutboxLock(const std::string& server_root, int wait_ms)
    : mutex_(OutboxFileMutex()) {
  const std::string path = ServerRootFile(server_root, kOutboxLockName);
  file_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!file_.valid()) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (::flock(file_.get(), LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(kLockRetry);
  }
}

bool OutboxAppendBytes(const std::string& to, std::string_view bytes) {
  UniqueFd fd(::open(to.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (WriteAll(fd.get(), bytes) && fsync(fd.get()) == 0) return true;
  if (ftruncate(fd.get(), st.st_size) == 0) fsync(fd.get());
  return false;
}

bool OutboxAppendRanges(const std::string& from, const std::vector<ByteRange>& ranges,
                        const std::string& to) {
  if (ranges.empty()) return true;
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!in.valid() || !out.valid()) return false;
  struct stat st;
  if (fstat(out.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  bool ok = true;
  for (const ByteRange& range : ranges) ok = ok && CopyRange(in.get(), range.begin, range.end, out.get());
  if (ok && fsync(out.get()) == 0) return true;
  if (ftruncate(out.get(), st.st_size) == 0) fsync(out.get());
  return false;
}

bool OutboxRewrite(const std::string& path, const std::vector<ByteRange>& keep, uint64_t tail) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::vector<ByteRange> ranges;
  for (const ByteRange& range : keep)
    if (range.end > range.begin) ranges.push_back(range);
  if (tail < size) ranges.push_back({tail, size});
  if (ranges.empty()) {
    if (::unlink(path.c_str()) != 0) return false;
    SyncFolderOf(path);
    return true;
  }
  std::string temp = path + ".tmpXXXXXX";
  UniqueFd out(mkstemp(temp.data()));
  UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!out.valid() || !in.valid()) {
    if (out.valid()) ::unlink(temp.c_str());
    return false;
  }
  fchmod(out.get(), st.st_mode & 07777);
  bool ok = true;
  for (const ByteRange& range : ranges) ok = ok && CopyRange(in.get(), range.begin, range.end, out.get());
  ok = ok && fsync(out.get()) == 0;
  out.reset();
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  SyncFolderOf(path);
  return true;
}

size_t OutboxCountRecords(const std::string& path) {
  OutboxReader reader(path);
  OutboxRecord record;
  size_t count = 0;
  while (reader.Next(&record, 0, false) == RecordRead::kRecord) ++count;
  return count;
}

std::string OutboxReadRange(const std::string& path, uint64_t begin, uint64_t end) {
  UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid() || end < begin) return "";
  std::string out;
  out.resize(static_cast<size_t>(end - begin));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(in.get(), out.data() + done, out.size() - done,
                        static_cast<off_t>(begin + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    done += static_cast<size_t>(n);
  }
  return out;
}

}  // namespace tallypad
