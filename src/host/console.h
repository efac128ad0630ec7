// The main window, as a console window. It shows the title, the start pages
// (title, description and full address), a separator line and the message
// log, and a status line. On a terminal it redraws itself whenever the log
// changes (or PostRedraw asks) and reads
// single keys: a digit opens that start page, 'a' shows the About text, 'q'
// is the "Shut down" command. When standard output is not a terminal (a
// service, a test) it prints the title and start pages once and then each
// text appended to the log as whole lines, so a supervisor's log shows what
// the window would. SIGINT and SIGTERM close the window.
//
// The window belongs to the main thread, which runs its message loop; the
// Post functions may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"

namespace tallypad {

// Most characters of the window title.
inline constexpr size_t kWindowTitleLimit = 63;

struct ConsoleEntry {
  std::string title;
  std::string description;
  std::string address;  // the full address the entry opens
};

class ConsoleWindow {
 public:
  // A window drawing on `out_fd` and reading keys from `in_fd`; a terminal
  // on `out_fd` makes it interactive.
  explicit ConsoleWindow(int out_fd = 1, int in_fd = 0);
  // Restores the terminal and stops following the message log.
  ~ConsoleWindow();
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  // Prepares the window with `title`; false when its message queue cannot be made.
  bool Create(std::string title);
  // Sets the start pages shown; call before Show.
  void SetEntries(std::vector<ConsoleEntry> entries);
  // Sets the function that gives the status line drawn under the message
  // log (the outbox's queue); it is called on the main thread at each
  // redraw. Call before Show.
  void SetStatusLine(std::function<std::string()> status_line);
  // Shows the window and starts following the message log.
  void Show();
  // Makes SIGINT and SIGTERM close this window (one window at a time).
  void CloseOnSignals();

  // Asks the message loop to end (the window is destroyed). Any thread.
  void PostDestroy();
  // Asks the window to come to the front (menu mode); redraws it. Any thread.
  void PostShow();
  // Asks for a redraw. Any thread.
  void PostRedraw();

  // Runs the message loop until the window is destroyed; `open_entry` is
  // called with the index of a start page the user picks. Returns the exit
  // code (0).
  int Run(const std::function<void(size_t entry)>& open_entry);

  // True when the window draws itself on a terminal.
  bool interactive() const { return interactive_; }
  // The title as shown.
  const std::string& title() const { return title_; }

 private:
  void Wake();
  void Draw();
  void PrintOnce();
  void PrintAppended(std::string_view appended);
  void HandleKey(char key, const std::function<void(size_t)>& open_entry);
  void Write(std::string_view text);

  int out_fd_;
  int in_fd_;
  bool interactive_ = false;
  bool keys_ = false;  // single keys are read from in_fd_
  bool raw_mode_ = false;
  bool showing_about_ = false;
  std::string title_;
  std::vector<ConsoleEntry> entries_;
  std::function<std::string()> status_line_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::atomic<bool> destroy_{false};
  std::atomic<bool> redraw_{false};
  std::mutex out_mutex_;  // whole texts reach the output one at a time
  struct TerminalState;
  std::unique_ptr<TerminalState> saved_terminal_;
};

}  // namespace tallypad
