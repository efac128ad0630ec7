#include "mail/outbox_status.h"

#include <atomic>
#include <mutex>

#include "base/text.h"

namespace tallypad {

namespace {

struct Shared {
  std::mutex mutex;
  OutboxStatus status;
  std::function<void()> observer;
};

Shared& TheShared() {
  static Shared shared;
  return shared;
}

std::atomic<bool> g_send_now{false};

bool SameStatus(const OutboxStatus& a, const OutboxStatus& b) {
  return a.queued == b.queued && a.dead == b.dead && a.last_success == b.last_success &&
         a.next_attempt == b.next_attempt && a.last_problem == b.last_problem &&
         a.sending == b.sending && a.online == b.online;
}

std::string Plural(size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

}  // namespace

OutboxStatus OutboxStatusNow() {
  Shared& shared = TheShared();
  std::lock_guard<std::mutex> lock(shared.mutex);
  return shared.status;
}

void OutboxStatusChange(const std::function<void(OutboxStatus*)>& change) {
  Shared& shared = TheShared();
  std::function<void()> observer;
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    const OutboxStatus before = shared.status;
    change(&shared.status);
    if (SameStatus(before, shared.status)) return;
    observer = shared.observer;
  }
  if (observer) observer();
}

void OutboxStatusSetObserver(std::function<void()> observer) {
  Shared& shared = TheShared();
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.observer = std::move(observer);
}

void OutboxSendNow() { g_send_now.store(true); }

bool OutboxTakeSendNow() { return g_send_now.exchange(false); }

std::string OutboxStatusLine(const OutboxStatus& status) {
  std::string line = "Outbox: " + Plural(status.queued, "mail waiting", "mails waiting");
  if (status.dead > 0) line += ", " + Plural(status.dead, "dead letter", "dead letters");
  if (status.sending) {
    line += ", sending now";
  } else if (status.queued > 0 && !status.online) {
    line += ", offline";
  } else if (status.queued > 0 && status.next_attempt) {
    std::tm local{};
    const std::time_t when = *status.next_attempt;
    localtime_r(&when, &local);
    line += StrPrintf(", next try at %02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  }
  return line;
}

}  // namespace tallypad
