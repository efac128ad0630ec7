// A stand-in for the user's web browser: a small shell script in its own
// temporary folder that records every start (its arguments, process group,
// standard input) and then either ends at once or stays running until the
// test tells it to end or SIGTERM arrives. Tests register its command where
// the program looks for the browser.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace tallypad::testing {

// A descriptor number the fake browser checks: open in the test, it must
// not be open in the browser.
inline constexpr int kFakeBrowserProbeFd = 77;

// What one start of the fake browser saw.
struct FakeBrowserStart {
  pid_t pid = -1;
  pid_t process_group = -1;
  std::string standard_input;  // what descriptor 0 names
  bool probe_fd_open = false;  // kFakeBrowserProbeFd was open
  pid_t helper = -1;           // a child it started in its own process group (-1: none)
};

class FakeBrowser {
 public:
  // Writes the script as `name` (which may contain blanks); `stays` makes
  // each start wait for End() or SIGTERM, otherwise it ends at once.
  explicit FakeBrowser(std::string_view name = "fake-browser", bool stays = true);

  // The script's full path.
  const std::string& path() const { return path_; }
  // A command line naming the script (quoted), followed by `extra`.
  std::string Command(std::string_view extra = "") const;

  // The arguments of each start so far, each list joined with '|' after
  // every argument ("a|b|").
  std::vector<std::string> Launches() const;
  // Details of each start so far.
  std::vector<FakeBrowserStart> Starts() const;
  // Waits until at least `count` starts were recorded; false on time-out.
  bool WaitForLaunches(size_t count, int timeout_ms = 10000) const;
  // Tells the running browser to end.
  void End() const;
  // Waits until the marker End() left was taken (the browser is ending).
  bool WaitEndTaken(int timeout_ms = 10000) const;
  // How many starts were ended by SIGTERM.
  size_t Terminated() const;
  // Waits until at least `count` starts were ended by SIGTERM.
  bool WaitTerminated(size_t count, int timeout_ms = 10000) const;

 private:
  TempDir dir_;
  std::string path_;
};

// True when process `pid` no longer runs (gone, or a zombie).
bool ProcessGone(pid_t pid);
// Waits until ProcessGone(pid); false on time-out.
bool WaitProcessGone(pid_t pid, int timeout_ms = 10000);

}  // namespace tallypad::testing
