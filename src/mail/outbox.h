// Outbox transmission: replays the records of "outbox.kqs" in the server
// root, each over a fresh TCP connection, without interpreting anything the
// peer answers, and moves the records that went through to "outbox.bak".
// A thread of its own runs OutboxServerStep about every second; it
// transmits only while mail is pending and the machine is on a network, and
// backs off after a failure, so that an unreachable mail server is not
// called again and again. The server thread never waits for it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <functional>
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
inline constexpr int kOutboxShortSend = 3;       // a piece of a body was not sent in full
inline constexpr int kOutboxNoHost = 62;         // the host name did not resolve
inline constexpr int kOutboxNoSocket = 63;       // no socket could be created
inline constexpr int kOutboxConnectFailed = 64;  // the connection failed or timed out

// Bytes kept of a record's open line and of a header line; the rest of a
// longer line is dropped (the writer's lines are far shorter).
inline constexpr size_t kOutboxOpenLineKept = 259;
inline constexpr size_t kOutboxHeaderLineKept = 8195;
// A body is read and sent in pieces of at most this many bytes.
inline constexpr size_t kOutboxPieceSize = 8196;
// Port used when the open line names none.
inline constexpr int kOutboxDefaultPort = 80;

// How one transmission runs. Every wait is bounded, and ends at once when
// the program shuts down.
struct OutboxOptions {
  // Longest wait for a connection to be established.
  int connect_timeout_ms = 10000;
  // Longest wait for the peer to take more bytes of one piece.
  int send_timeout_ms = 10000;
  // Longest wait, after the last byte of a record, for the peer to close the
  // connection. Closing while the peer's answers are still unread would
  // reset the connection and could make the peer drop the dialogue.
  int close_wait_ms = 5000;
  // Called with the size of each body piece after it was sent (for tests).
  std::function<void(size_t bytes)> piece_sent;
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

// Transmits the outbox of `server_root` record by record until the end or
// the first failure, and logs the outcome. Records that went through are
// appended to "outbox.bak" and removed from "outbox.kqs"; the rest stay for
// the next try. Returns 0 (also when there is no outbox) or a status code.
int OutboxSend(const std::string& server_root, const OutboxOptions& options = {});

// True when the machine has an up interface, other than loopback, with an
// IPv4 address outside 127.0.0.0/8; the environment variable
// TALLYPAD_NETWORK set to "online" or "offline" overrides the test.
bool MachineIsOnline();

// One outbox step: when OutboxPending is non-zero, the
// back-off in `retry` allows and the machine is online, transmits the outbox
// of `server_root`, then clears OutboxPending on success or lengthens the
// back-off on failure. Waits at most as long as `settings.transmit` allows.
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
