// The outbox as the operator sees it: the mails waiting in "outbox.kqs" and
// the dead letters of "outbox.dead", each with its recipient, subject, age,
// attempts and the mail server's last reply, and the move of dead letters
// back into the queue. The "tallypad outbox" command and the outbox page
// show the listing. Reads the files without changing them, except
// OutboxRetryDead, which changes them under the outbox's lock.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace tallypad {

// Entries of each list read at most: the counts cover every mail, the
// details the first ones (a page of thousands of rows helps nobody).
inline constexpr size_t kOutboxListedMax = 500;
// Bytes of a stored dialogue read for its envelope and header.
inline constexpr size_t kOutboxListedHeadBytes = 16384;

struct OutboxEntry {
  std::string server;     // "host:port"
  std::string sender;
  std::string recipient;  // the first recipient
  std::string subject;    // decoded from encoded words
  std::optional<std::time_t> date;  // the mail's Date header; older mails have none
  int attempts = 0;                 // failed attempts (queued mails)
  std::optional<std::time_t> last_try;
  std::string last_reply;           // the server's last reply, or what went wrong
};

struct OutboxListing {
  std::vector<OutboxEntry> queued;
  std::vector<OutboxEntry> dead;
  size_t queued_total = 0;
  size_t dead_total = 0;
  bool damaged = false;  // outbox.kqs holds a record that cannot be read
  std::optional<std::time_t> last_success;
};

// Lists the outbox and the dead letters of `server_root`.
OutboxListing OutboxList(const std::string& server_root);

// Moves every dead letter (without its reply line) to the end of the
// queue, where the transmitter sends it again with the next attempt, and
// empties outbox.dead. Returns the number of mails moved, or nullopt when
// the outbox files could not be locked or changed (nothing is lost: a mail
// is written into the queue before it leaves the dead letters).
std::optional<size_t> OutboxRetryDead(const std::string& server_root);

// Returns an age as the listing shows it: "45 s", "12 min", "3 h", "2 d".
std::string OutboxAgeText(std::time_t seconds);

}  // namespace tallypad
