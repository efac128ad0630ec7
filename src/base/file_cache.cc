#include "base/file_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <mutex>
#include <unordered_map>

#include "base/file.h"

namespace tallypad {

namespace {

// What tells a file's state: a change to any of these is a change of text.
struct FileState {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileState& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

FileState StateOf(const struct stat& st) {
  return FileState{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

struct Entry {
  FileState state;
  size_t limit = 0;
  std::shared_ptr<const std::string> text;
  std::list<std::string>::iterator use;  // place in the use order
};

class FileCache {
 public:
  std::shared_ptr<const std::string> Text(const std::string& path, size_t limit) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = entries_.find(path);
      if (found != entries_.end() && found->second.state == StateOf(st) &&
          found->second.limit == limit) {
        uses_.splice(uses_.begin(), uses_, found->second.use);
        return found->second.text;
      }
    }
    FileState state;
    std::shared_ptr<const std::string> text = Read(path, limit, &state);
    if (!text || text->size() > kFileCacheLargestText) return text;
    std::lock_guard<std::mutex> lock(mutex_);
    Forget(path);
    uses_.push_front(path);
    entries_[path] = Entry{state, limit, text, uses_.begin()};
    bytes_ += text->size();
    while (bytes_ > kFileCacheBytes && !uses_.empty()) {
      const std::string oldest = uses_.back();
      Forget(oldest);
    }
    return text;
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    uses_.clear();
    bytes_ = 0;
  }

 private:
  // Reads the file; its state is taken from the descriptor read, so a file
  // replaced meanwhile is kept under its own state.
  static std::shared_ptr<const std::string> Read(const std::string& path, size_t limit,
                                                 FileState* state) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    *state = StateOf(st);
    auto text = std::make_shared<std::string>();
    const size_t want = std::min<size_t>(limit, static_cast<size_t>(st.st_size) + 1);
    text->resize(want);
    size_t got = 0;
    while (got < want) {
      ssize_t n = ::read(fd.get(), text->data() + got, want - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    text->resize(got);
    return text;
  }

  void Forget(const std::string& path) {
    auto found = entries_.find(path);
    if (found == entries_.end()) return;
    bytes_ -= found->second.text->size();
    uses_.erase(found->second.use);
    entries_.erase(found);
  }

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> uses_;  // most recently used first
  size_t bytes_ = 0;
};

FileCache& TheCache() {
  static FileCache cache;
  return cache;
}

}  // namespace

std::shared_ptr<const std::string> CachedFileText(const std::string& path, size_t limit) {
  return TheCache().Text(path, limit);
}

void FileCacheClear() { TheCache().Clear(); }

}  // namespace tallypad
