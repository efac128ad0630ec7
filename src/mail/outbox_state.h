// The outbox's state file "outbox.state" beside the outbox: what the
// transmitter remembers across restarts. Per queued mail (told by a key made
// from its record's bytes) it keeps the number of failed attempts, the time
// and the server's reply of the last one; per delivered or refused mail a
// mark, written the moment the server answered and before the record is
// moved, so that a crash between the two never sends a mail again; and the
// time a mail last went through. Lines are appended whole and flushed to
// disk (a line cut short by a crash is ignored); the file is rewritten
// short through a temporary file and a rename. Written by the outbox thread
// under OutboxFileMutex(); read by the listing.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallypad {

inline constexpr std::string_view kOutboxStateName = "outbox.state";
// Bytes kept of a reply in the state file and the dead letters: a server's
// reply is at most a few lines, and a longer one is cut.
inline constexpr size_t kOutboxReplyKept = 1000;
// Bytes of the state file read: its lines are short and few; a larger file
// is damaged and read only so far.
inline constexpr size_t kOutboxStateBytesMax = 16 << 20;

// The attempts on one queued mail.
struct OutboxTries {
  int attempts = 0;
  std::time_t last_try = 0;
  std::string last_reply;
};

struct OutboxState {
  std::map<std::string, OutboxTries> tries;              // by record key
  std::map<std::string, int> sent;                       // delivered copies not yet moved
  std::map<std::string, std::vector<std::string>> dead;  // replies of refused copies not yet moved
  std::optional<std::time_t> last_success;
};

// Returns the key of a record: a 64-bit FNV-1a hash of its bytes as 16
// hexadecimal digits. Records differ in Date and Message-ID, so equal keys
// mean copies of one record.
std::string OutboxRecordKey(std::string_view record);

// Makes a record's key from its bytes given in pieces.
class OutboxKeyHasher {
 public:
  // Adds the next bytes of the record.
  void Add(std::string_view bytes);
  // Returns the key of the bytes added so far.
  std::string Key() const;

 private:
  uint64_t hash_ = 14695981039346656037ull;  // FNV-1a offset basis
};

// Returns `reply` fit for one line of the state file or a dead letter:
// control bytes and tabs as blanks, cut to kOutboxReplyKept bytes.
std::string OutboxReplyLine(std::string_view reply);

// Reads the state file of `server_root`; a missing file gives an empty
// state, damaged lines are skipped.
OutboxState OutboxStateRead(const std::string& server_root);

// Appends the mark that the mail `key` failed its `attempts`-th attempt at
// `when` with `reply`. Each Append returns false when the line could not be
// written and flushed.
bool OutboxStateAppendTry(const std::string& server_root, std::string_view key, int attempts,
                          std::time_t when, std::string_view reply);
// Appends the mark that the mail `key` was delivered at `when`.
bool OutboxStateAppendSent(const std::string& server_root, std::string_view key, std::time_t when);
// Appends the mark that the mail `key` was refused for good with `reply`.
bool OutboxStateAppendDead(const std::string& server_root, std::string_view key,
                           std::string_view reply);

// Replaces the state file by `state` (temporary file and rename); removes
// it when the state holds nothing. False when it could not be written.
bool OutboxStateWrite(const std::string& server_root, const OutboxState& state);

}  // namespace tallypad
