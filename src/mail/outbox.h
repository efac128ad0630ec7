// Outbox transmission: delivers the mails of "outbox.kqs" in the server
// root to their mail servers with the SMTP client (smtp_session.h), in the
// order they were queued. A mail the server took moves to "outbox.bak"; a
// mail it refused for good (5xx at MAIL, RCPT or the end of DATA) moves,
// with the server's reply, to the dead letters "outbox.dead"; a mail that
// must wait (4xx, a dropped connection, a time-out) stays, and no mail
// blocks another. A thread of its own runs OutboxServerStep about every
// second; it transmits only while mail is pending and the machine is on a
// network, and backs off after a failure, so that an unreachable mail
// server is not called again and again. The server thread never waits for
// it. Attempts, last replies and delivery marks live in "outbox.state".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "base/file.h"

namespace tallypad {

// Names of the outbox and its backup in the server root.
inline constexpr std::string_view kOutboxFileName = "outbox.kqs";
inline constexpr std::string_view kOutboxBackupName = "outbox.bak";

// Status codes of OutboxSend and OutboxConnect.
inline constexpr int kOutboxBadRecord = 1;       // a record does not begin with "OPEN"
inline constexpr int kOutboxTruncated = 2;       // the file ended inside a record's body
inline constexpr int kOutboxRetryLater = 4;      // a server said "not now", or did not answer
inline constexpr int kOutboxNotMoved = 5;        // the outbox files could not be changed
inline constexpr int kOutboxNoHost = 62;         // the host name did not resolve
inline constexpr int kOutboxNoSocket = 63;       // no socket could be created
inline constexpr int kOutboxConnectFailed = 64;  // the connection failed or timed out

// Bytes kept of a record's open line and of a header line; the rest of a
// longer line is dropped (the writer's lines are far shorter).
inline constexpr size_t kOutboxOpenLineKept = 259;
inline constexpr size_t kOutboxHeaderLineKept = 8195;
// Bytes of a stored dialogue read into memory to be sent; a larger record
// is no mail any server takes (they stop at tens of megabytes) and becomes
// a dead letter.
inline constexpr uint64_t kOutboxMailBytesMax = 64 << 20;

// How one transmission runs. Every wait is bounded, and ends at once when
// the program shuts down.
struct OutboxOptions {
  // Longest wait for a connection to be established.
  int connect_timeout_ms = 10000;
  // Longest wait for the mail server to take more of what is sent.
  int send_timeout_ms = 60000;
  // Longest wait for each reply of the mail server (see SmtpOptions).
  int reply_timeout_ms = 120000;
  // Longest wait for the reply after a message's closing line.
  int data_reply_timeout_ms = 300000;
  // The name given with EHLO; empty: the machine's (see SmtpOptions).
  std::string client_name;
  // When it is set, every wait ends: the program is shutting down, and what
  // was not sent stays in the outbox for the next start.
  const std::atomic<bool>* stop = nullptr;
};

// When the server thread transmits.
struct OutboxSettings {
  OutboxOptions transmit;
  // Wait after the first failed transmission; it doubles after each further
  // failure up to the longest wait. Success or a newly queued mail resets it.
  std::chrono::milliseconds first_retry_delay{30000};
  std::chrono::milliseconds longest_retry_delay{15 * 60 * 1000};
  // Says whether the machine is on a network; null uses MachineIsOnline.
  std::function<bool()> is_online;
};

// The back-off between transmissions; lives as long as the server thread.
struct OutboxRetry {
  bool backing_off = false;  // the last transmission failed
  std::chrono::steady_clock::time_point failed_at{};
  std::chrono::steady_clock::time_point next_attempt{};
  std::chrono::milliseconds delay{0};  // the wait after the last failure; 0 restarts the doubling
  int pending_at_failure = 0;          // OutboxPending right after that failure
  // The outbox files as last counted (size, change time, inode of each), so
  // that a change by another program (tallypad outbox --retry) is noticed.
  std::string files_seen;
};

// The number of mails queued and not yet transmitted. It starts at 1 so the
// outbox left by an earlier run is tried once; MailCompose raises it, and a
// successful transmission brings it back to 0.
extern std::atomic<int> OutboxPending;

// Held by whoever changes the outbox files: the engines appending a mail,
// and the outbox's own thread moving sent mail to the backup and keeping
// the rest, so that no mail appended meanwhile is lost.
std::mutex& OutboxFileMutex();

// Returns the path of file `name` in the server root folder `server_root`
// (with or without a final '/').
std::string ServerRootFile(const std::string& server_root, std::string_view name);

// Connects a TCP socket to `host` (dotted IPv4 address or a name, looked up
// once) and `port`, waiting at most `connect_timeout_ms` (less once `stop`,
// when given, is set). Returns 0, kOutboxNoHost, kOutboxNoSocket or
// kOutboxConnectFailed; `socket` holds the socket whenever one was made,
// also after a failed connect.
int OutboxConnect(const std::string& host, int port, UniqueFd* socket,
                  int connect_timeout_ms = OutboxOptions{}.connect_timeout_ms,
                  const std::atomic<bool>* stop = nullptr);

// Transmits the outbox of `server_root` record by record, and logs the
// outcome. Records that went through are appended to "outbox.bak", records
// refused for good to "outbox.dead" (with a "Reply:" line), and both are
// removed from "outbox.kqs"; the rest stay for the next try, and the other
// mails for a server that could not be used wait with them. Returns 0 when
// no mail is left waiting for a retry (also when there is no outbox), else
// the status code of the first failure.
int OutboxSend(const std::string& server_root, const OutboxOptions& options = {});

// Moves the records that "outbox.state" marks as delivered or refused (by a
// transmission that a crash or a full disk interrupted) to "outbox.bak" and
// "outbox.dead", and writes the state file short. Returns false when the
// outbox files could not be changed.
bool OutboxSettle(const std::string& server_root);

// True when the machine has an up interface, other than loopback, with an
// IPv4 address outside 127.0.0.0/8; the environment variable
// TALLYPAD_NETWORK set to "online" or "offline" overrides the test.
bool MachineIsOnline();

// One outbox step: when OutboxPending is non-zero, the
// back-off in `retry` allows (or "Send now" ended it, see OutboxSendNow)
// and the machine is online, transmits the outbox of `server_root`, then
// clears OutboxPending on success or lengthens the back-off on failure.
// Outbox files changed by another program count as pending mail. Publishes
// the outbox's status (outbox_status.h). Waits at most as long as
// `settings.transmit` allows.
void OutboxServerStep(const std::string& server_root, OutboxRetry* retry,
                      const OutboxSettings& settings);
// The same with the default settings and the process's own back-off state;
// waits end once `stop` is set. Call it from the outbox thread only.
void OutboxServerStep(const std::string& server_root, const std::atomic<bool>& stop);

// How often the outbox thread looks for pending mail.
inline constexpr std::chrono::milliseconds kOutboxStepInterval{1000};
// The outbox thread: runs OutboxServerStep for `server_root` every
// kOutboxStepInterval until `stop` is set (it then ends within a fraction
// of a second, or when a transmission in progress ends).
void OutboxThread(const std::string& server_root, const std::atomic<bool>& stop);

}  // namespace tallypad
