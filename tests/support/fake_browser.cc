#include "support/fake_browser.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

namespace tallypad::testing {

namespace {

using Clock = std::chrono::steady_clock;

// The script. @DIR@ is its folder; @STAYS@ is 1 when it waits for the end
// marker. Each start appends one whole line to "launches" and one to
// "starts" (pid, process group, standard input, probe descriptor, helper).
constexpr std::string_view kScript = R"(#!/bin/sh
dir='@DIR@'
line=''
for a in "$@"; do line="$line$a|"; done
stat=$(cat /proc/$$/stat)
rest=${stat##*) }
set -- $rest
group=$3
if [ -e /proc/$$/fd/@PROBE@ ]; then probe=open; else probe=closed; fi
input=$(readlink /proc/$$/fd/0)
helper=-1
if [ @STAYS@ = 1 ]; then
  sleep 30 &
  helper=$!
  trap 'echo x >> "$dir/terminated"; kill $helper 2>/dev/null; exit 0' TERM
fi
printf '%s %s %s %s %s\n' "$$" "$group" "$input" "$probe" "$helper" >> "$dir/starts"
printf '%s\n' "$line" >> "$dir/launches"
if [ @STAYS@ = 1 ]; then
  # Ends by itself after about a minute, or when its folder is gone, so a
  # failed test leaves nothing running.
  n=0
  while [ ! -e "$dir/end" ] && [ -d "$dir" ] && [ $n -lt 3000 ]; do sleep 0.02; n=$((n+1)); done
  rm -f "$dir/end"
  kill $helper 2>/dev/null
fi
exit 0
)";

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::vector<std::string> WholeLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool PollUntil(int timeout_ms, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

FakeBrowser::FakeBrowser(std::string_view name, bool stays) {
  std::string script(kScript);
  ReplaceAll(script, "@DIR@", dir_.path());
  ReplaceAll(script, "@STAYS@", stays ? "1" : "0");
  ReplaceAll(script, "@PROBE@", std::to_string(kFakeBrowserProbeFd));
  path_ = dir_.Write(name, script);
  ::chmod(path_.c_str(), 0755);
}

std::string FakeBrowser::Command(std::string_view extra) const {
  std::string command = "'" + path_ + "'";
  if (!extra.empty()) command.append(" ").append(extra);
  return command;
}

std::vector<std::string> FakeBrowser::Launches() const {
  return WholeLines(dir_.Read("launches"));
}

std::vector<FakeBrowserStart> FakeBrowser::Starts() const {
  std::vector<FakeBrowserStart> starts;
  for (const std::string& line : WholeLines(dir_.Read("starts"))) {
    std::istringstream in(line);
    FakeBrowserStart s;
    std::string probe;
    in >> s.pid >> s.process_group >> s.standard_input >> probe >> s.helper;
    s.probe_fd_open = probe == "open";
    starts.push_back(s);
  }
  return starts;
}

bool FakeBrowser::WaitForLaunches(size_t count, int timeout_ms) const {
  return PollUntil(timeout_ms, [&] { return Launches().size() >= count; });
}

void FakeBrowser::End() const { dir_.Write("end", ""); }

bool FakeBrowser::WaitEndTaken(int timeout_ms) const {
  return PollUntil(timeout_ms, [&] { return !std::filesystem::exists(dir_.File("end")); });
}

size_t FakeBrowser::Terminated() const { return WholeLines(dir_.Read("terminated")).size(); }

bool FakeBrowser::WaitTerminated(size_t count, int timeout_ms) const {
  return PollUntil(timeout_ms, [&] { return Terminated() >= count; });
}

bool ProcessGone(pid_t pid) {
  if (pid <= 0) return true;
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  // A zombie has ended; only its parent can still reap it.
  std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || (close + 2 < stat.size() && stat[close + 2] == 'Z');
}

bool WaitProcessGone(pid_t pid, int timeout_ms) {
  return PollUntil(timeout_ms, [&] { return ProcessGone(pid); });
}

}  // namespace tallypad::testing
