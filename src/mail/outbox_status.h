// What the outbox is doing, as the operator sees it: the number of mails
// waiting and of dead letters, when a mail last went through, when the next
// attempt comes, and the operator's "Send now". The outbox thread publishes
// it after each change; the server thread (the outbox page) and the window
// read it; "Send now" is asked for on the server thread and taken on the
// outbox thread. Every function is safe from any thread.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace tallypad {

struct OutboxStatus {
  size_t queued = 0;  // mails waiting in outbox.kqs
  size_t dead = 0;    // mails in outbox.dead
  std::optional<std::time_t> last_success;  // a mail last went through then
  std::optional<std::time_t> next_attempt;  // the back-off ends then; nullopt: none
  std::string last_problem;                 // why mail last had to wait, if it did
  bool sending = false;                     // a transmission is under way
  bool online = true;                       // the machine looked online at the last step
};

// Returns a copy of the current status.
OutboxStatus OutboxStatusNow();
// Applies `change` to the status under its lock, then tells the observer
// (outside the lock) when anything changed.
void OutboxStatusChange(const std::function<void(OutboxStatus*)>& change);
// Sets the function called after each change of the status (the window
// redraws its status line); null removes it.
void OutboxStatusSetObserver(std::function<void()> observer);

// Asks the outbox thread to try at once: a back-off wait ends.
void OutboxSendNow();
// Takes a pending "Send now" request: true once per request. Outbox thread.
bool OutboxTakeSendNow();

// Returns the status line of the window: "Outbox: 3 mails waiting, 1 dead
// letter, next try at 14:05" (the wait and the problem only when there is one).
std::string OutboxStatusLine(const OutboxStatus& status);

}  // namespace tallypad
