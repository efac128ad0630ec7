#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "base/text.h"

namespace tallypad {

namespace {

// Most bytes of the name kept in the file name; the hash keeps longer
// names distinct.
constexpr size_t kMaxNameInFile = 100;
// Pause between attempts while another holder has the lock.
constexpr auto kRetryPause = std::chrono::milliseconds(5);

std::string LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = (runtime && *runtime) ? runtime : "/tmp";
  std::string folder = base + "/tallypad-locks";
  ::mkdir(folder.c_str(), 0700);
  return folder;
}

uint64_t Fnv1a(std::string_view text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

std::string NamedMutexPath(std::string_view name) {
  std::string safe;
  for (char c : name.substr(0, kMaxNameInFile)) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-' || c == '_';
    safe += keep ? c : '_';
  }
  return LockFolder() + "/" + safe + "-" + StrPrintf("%016llx", static_cast<unsigned long long>(Fnv1a(name))) +
         ".lock";
}

std::string NamedMutexNameForFile(const std::string& path) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::weakly_canonical(path, error);
  if (error) {
    full = std::filesystem::absolute(path, error);
    if (error) return path;
  }
  return full.string();
}

NamedMutex::NamedMutex(std::string_view name, int timeout_ms) {
  fd_.reset(::open(NamedMutexPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd_.valid()) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(kRetryPause);
  }
}

NamedMutex::~NamedMutex() {
  if (held_) ::flock(fd_.get(), LOCK_UN);
}

}  // namespace tallypad
