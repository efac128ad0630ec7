#include "host/console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "base/status_log.h"
#include "base/utf8_cut.h"
#include "platform/atomic_file.h"

namespace tallypad {

namespace {

constexpr std::string_view kSeparator =
    "------------------------------------------------------------";
constexpr std::string_view kAboutText =
    "About Tallypad\n"
    "  Tallypad personal server\n"
    "  Copyright (c) Velkorn. All rights reserved.\n"
    "  (any key closes this text)\n";
constexpr std::string_view kKeyHelp = "[0-9] open a start page   [a] About   [q] Shut down\n";

// The window that SIGINT and SIGTERM close.
std::atomic<ConsoleWindow*> g_signal_window{nullptr};

void OnCloseSignal(int) {
  if (ConsoleWindow* w = g_signal_window.load()) w->PostDestroy();
}

// Control bytes in logged texts (which may quote request data) would drive
// the terminal: they are shown as '?', and carriage returns are dropped.
std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') continue;
    out += (u < 0x20 && c != '\n' && c != '\t') || u == 0x7f ? '?' : c;
  }
  return out;
}

}  // namespace

struct ConsoleWindow::TerminalState {
  termios saved{};
};

ConsoleWindow::ConsoleWindow(int out_fd, int in_fd) : out_fd_(out_fd), in_fd_(in_fd) {
  interactive_ = isatty(out_fd_) == 1;
  keys_ = interactive_ && isatty(in_fd_) == 1;
}

ConsoleWindow::~ConsoleWindow() {
  StatusLogSetObserver(nullptr);
  ConsoleWindow* self = this;
  if (g_signal_window.compare_exchange_strong(self, nullptr)) {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
  if (raw_mode_) tcsetattr(in_fd_, TCSANOW, &saved_terminal_->saved);
  if (interactive_) Write("\n");
}

bool ConsoleWindow::Create(std::string title) {
  title_ = Utf8CutToCharacters(title, kWindowTitleLimit);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wake_read_.reset(fds[0]);
  wake_write_.reset(fds[1]);
  return true;
}

void ConsoleWindow::SetEntries(std::vector<ConsoleEntry> entries) { entries_ = std::move(entries); }

void ConsoleWindow::SetStatusLine(std::function<std::string()> status_line) {
  status_line_ = std::move(status_line);
}

void ConsoleWindow::CloseOnSignals() {
  g_signal_window.store(this);
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void ConsoleWindow::Show() {
  if (interactive_) {
    if (keys_) {
      saved_terminal_ = std::make_unique<TerminalState>();
      if (tcgetattr(in_fd_, &saved_terminal_->saved) == 0) {
        termios raw = saved_terminal_->saved;
        raw.c_lflag &= ~(ICANON | ECHO);  // single keys, not echoed; Ctrl-C still signals
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        raw_mode_ = tcsetattr(in_fd_, TCSANOW, &raw) == 0;
      }
      keys_ = raw_mode_;
    }
    StatusLogSetObserver([this](std::string_view) { PostRedraw(); });
    Draw();
  } else {
    PrintOnce();
    StatusLogSetObserver([this](std::string_view appended) { PrintAppended(appended); });
  }
}

void ConsoleWindow::Wake() {
  if (!wake_write_.valid()) return;
  char byte = 1;
  // A full pipe already holds a wake-up; the flags carry what to do.
  ssize_t ignored = ::write(wake_write_.get(), &byte, 1);
  (void)ignored;
}

void ConsoleWindow::PostDestroy() {
  destroy_.store(true);
  Wake();
}

void ConsoleWindow::PostShow() { PostRedraw(); }

void ConsoleWindow::PostRedraw() {
  redraw_.store(true);
  Wake();
}

int ConsoleWindow::Run(const std::function<void(size_t)>& open_entry) {
  while (!destroy_.load()) {
    pollfd fds[2] = {{wake_read_.get(), POLLIN, 0}, {in_fd_, POLLIN, 0}};
    int n = ::poll(fds, keys_ ? 2 : 1, -1);
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake_read_.get(), drain, sizeof drain) > 0) {
      }
    }
    if (keys_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char keys[32];
      ssize_t got = ::read(in_fd_, keys, sizeof keys);
      if (got <= 0 && !(got < 0 && errno == EINTR)) keys_ = false;  // no more keys
      for (ssize_t i = 0; i < got && !destroy_.load(); ++i) HandleKey(keys[i], open_entry);
    }
    if (redraw_.exchange(false) && interactive_ && !destroy_.load()) Draw();
  }
  return 0;
}

void ConsoleWindow::HandleKey(char key, const std::function<void(size_t)>& open_entry) {
  if (showing_about_) {
    showing_about_ = false;
    redraw_.store(true);
    return;
  }
  if (key >= '0' && key <= '9') {
    size_t entry = static_cast<size_t>(key - '0');
    if (entry < entries_.size() && open_entry) open_entry(entry);
  } else if (key == 'q' || key == 'Q') {
    destroy_.store(true);
  } else if (key == 'a' || key == 'A') {
    showing_about_ = true;
    redraw_.store(true);
  }
}

void ConsoleWindow::Draw() {
  std::string out = "\x1b[H\x1b[2J\x1b]0;" + Printable(title_) + "\x07";
  out += Printable(title_) + "\n\n";
  for (size_t i = 0; i < entries_.size(); ++i) {
    const ConsoleEntry& e = entries_[i];
    if (i < 10) {
      out.append("[").append(1, static_cast<char>('0' + i)).append("] ");
    } else {
      out.append("    ");
    }
    out += Printable(e.title) + "\n";
    if (!e.description.empty()) out += "    " + Printable(e.description) + "\n";
    out += "    " + Printable(e.address) + "\n";
  }
  out.append(kSeparator).append("\n");
  std::string log = StatusLogText();
  out += Printable(log);
  if (log.empty() || log.back() != '\n') out += "\n";
  if (status_line_) {
    out.append(kSeparator).append("\n");
    out.append(Printable(status_line_())).append("\n");
  }
  if (showing_about_) out.append("\n").append(kAboutText);
  out.append("\n").append(kKeyHelp);
  Write(out);
}

void ConsoleWindow::PrintOnce() {
  std::string out = Printable(title_) + "\n";
  for (const ConsoleEntry& e : entries_) {
    out += "  " + Printable(e.title) + "\n";
    if (!e.description.empty()) out += "    " + Printable(e.description) + "\n";
    out += "    " + Printable(e.address) + "\n";
  }
  out.append(kSeparator).append("\n");
  Write(out);
}

void ConsoleWindow::PrintAppended(std::string_view appended) {
  // The log has no line structure of its own: texts begin or end with line
  // feeds as their writers like. Each text becomes whole lines here.
  while (!appended.empty() && (appended.front() == '\n' || appended.front() == '\r'))
    appended.remove_prefix(1);
  while (!appended.empty() && (appended.back() == '\n' || appended.back() == '\r'))
    appended.remove_suffix(1);
  if (appended.empty()) return;
  Write(Printable(appended) + "\n");
}

void ConsoleWindow::Write(std::string_view text) {
  std::lock_guard<std::mutex> lock(out_mutex_);
  WriteAll(out_fd_, text);
}

}  // namespace tallypad
