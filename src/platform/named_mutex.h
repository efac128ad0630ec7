// Named mutexes shared between processes: a name maps to an advisory lock
// (flock) on a file in the lock folder ($XDG_RUNTIME_DIR, else the system's
// temporary folder). Waits are bounded as the caller asks, and the death of
// the holder releases the lock. Used for the identifier counter and for the
// read-modify-write updates of counters and statistics files.
#pragma once

#include <string>
#include <string_view>

#include "base/file.h"

namespace tallypad {

// The bounded wait the survey engine uses for its named locks.
inline constexpr int kNamedMutexWaitMs = 20000;

// Holds the named lock from construction (when it was obtained within the
// wait) until destruction.
class NamedMutex {
 public:
  // Waits at most `timeout_ms` for the lock named `name`. When it cannot be
  // obtained in time (or the lock file cannot be made) the object holds
  // nothing and the caller goes on unlocked.
  NamedMutex(std::string_view name, int timeout_ms);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // True when the lock is held.
  bool held() const { return held_; }

 private:
  UniqueFd fd_;
  bool held_ = false;
};

// Returns the path of the lock file for `name`: the name made safe for a
// file name (bytes other than letters, digits, '.', '-' and '_' become '_',
// plus a hash of the whole name so that different names stay apart).
std::string NamedMutexPath(std::string_view name);

// Returns the lock name for updates of the file at `path`: its full path
// (symbolic links and ".." resolved as far as the path exists), so that
// programs naming the same file differently still share one lock.
std::string NamedMutexNameForFile(const std::string& path);

}  // namespace tallypad
