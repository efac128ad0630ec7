#include "base/status_log.h"

#include <mutex>

namespace tallypad {

namespace {

struct Log {
  std::mutex mutex;
  std::string text;
  size_t characters = 0;
  bool clear_requested = true;
  std::function<void(std::string_view)> observer;
};

Log& TheLog() {
  static Log log;
  return log;
}

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Appends at most `room` characters of `text`; returns what was appended.
std::string_view AppendLimited(Log& log, std::string_view text) {
  size_t room = kStatusLogLimit - log.characters;
  size_t end = 0, chars = 0;
  while (end < text.size()) {
    if (!IsContinuation(text[end])) {
      if (chars == room) break;
      ++chars;
    }
    ++end;
  }
  log.text.append(text.substr(0, end));
  log.characters += chars;
  return text.substr(0, end);
}

void Notify(const std::function<void(std::string_view)>& observer, std::string_view appended) {
  if (observer) observer(appended);
}

}  // namespace

void StatusLogAppend(std::string_view text) {
  Log& log = TheLog();
  std::function<void(std::string_view)> observer;
  std::string appended;
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.clear_requested) {
      log.text.clear();
      log.characters = 0;
      log.clear_requested = false;
    }
    if (log.characters >= kStatusLogLimit) return;
    appended = std::string(AppendLimited(log, text));
    observer = log.observer;
  }
  Notify(observer, appended);
}

void StatusLogReplace(std::string_view text) {
  Log& log = TheLog();
  std::function<void(std::string_view)> observer;
  std::string appended;
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.text.clear();
    log.characters = 0;
    appended = std::string(AppendLimited(log, text));
    observer = log.observer;
  }
  Notify(observer, appended);
}

void StatusLogRequestClear() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  log.clear_requested = true;
}

std::string StatusLogText() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  return log.text;
}

void StatusLogReset() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  log.text.clear();
  log.characters = 0;
  log.clear_requested = false;
}

void StatusLogSetObserver(std::function<void(std::string_view)> observer) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  log.observer = std::move(observer);
}

}  // namespace tallypad
