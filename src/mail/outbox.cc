#include "mail/outbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "base/status_log.h"
#include "platform/atomic_file.h"
#include "platform/socket_send.h"

namespace tallypad {

std::atomic<int> OutboxPending{1};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kLogTransmitting = "Transmitting data to the server";
constexpr std::string_view kLogSuccess = "Data transmitted successfully";
constexpr std::string_view kLogFailure = "Data not transmitted. Saved in outbox.kqs";

// Bytes copied at a time when moving records between files.
constexpr size_t kCopyBlock = 65536;
// A Content-Length beyond this is certainly larger than the file; clamping
// keeps the arithmetic free of overflow.
constexpr uint64_t kMaxBodyLength = uint64_t{1} << 62;

// Milliseconds left until `deadline`, at least 0.
int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// How often a wait looks whether the program is shutting down.
constexpr auto kStopCheck = std::chrono::milliseconds(100);

bool Stopping(const std::atomic<bool>* stop) { return stop && stop->load(); }

// Waits until `fd` is ready for `events` or `deadline` passes (or `stop` is
// set); true when ready.
bool WaitReady(int fd, short events, Clock::time_point deadline,
               const std::atomic<bool>* stop = nullptr) {
  for (;;) {
    if (Stopping(stop)) return false;
    const auto slice = stop ? std::min(deadline, Clock::now() + kStopCheck) : deadline;
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, MillisecondsLeft(slice));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
    if (r == 0 && Clock::now() >= deadline) return false;
  }
}

// Reads one line of `f` up to its line feed, keeping at most `keep` bytes
// (carriage returns dropped when `drop_cr`). False when the file ends first.
bool ReadRecordLine(std::FILE* f, size_t keep, bool drop_cr, std::string* line) {
  line->clear();
  for (int c; (c = std::getc(f)) != EOF;) {
    if (c == '\n') return true;
    if (drop_cr && c == '\r') continue;
    if (line->size() < keep) line->push_back(static_cast<char>(c));
  }
  return false;
}

// The decimal number at the start of `text` (digits only, clamped at `limit`).
uint64_t LeadingNumber(std::string_view text, uint64_t limit) {
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > limit) return limit;
  }
  return n;
}

// Reads the header lines up to the empty line (or the end of the file) and
// returns the body length from "Content-Length", 0 without one.
uint64_t ReadBodyLength(std::FILE* f) {
  static constexpr std::string_view kName = "Content-Length";
  static constexpr size_t kValueOffset = 16;  // after "Content-Length: "
  uint64_t length = 0;
  std::string line;
  for (;;) {
    bool complete = ReadRecordLine(f, kOutboxHeaderLineKept, true, &line);
    if (line.empty()) break;
    if (line.compare(0, kName.size(), kName) == 0 && line.size() > kValueOffset) {
      length = LeadingNumber(std::string_view(line).substr(kValueOffset), kMaxBodyLength);
    }
    if (!complete) break;
  }
  return length;
}

// Sends the body of `length` bytes in pieces. Returns 0, kOutboxTruncated when
// the file ends first (complete pieces are sent) or kOutboxShortSend.
int SendBody(std::FILE* f, uint64_t length, int fd, const OutboxOptions& options) {
  auto piece = std::make_unique<char[]>(kOutboxPieceSize);
  while (length > 0) {
    size_t want = length < kOutboxPieceSize ? static_cast<size_t>(length) : kOutboxPieceSize;
    if (std::fread(piece.get(), 1, want, f) != want) return kOutboxTruncated;
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.send_timeout_ms);
    size_t sent = 0;
    while (sent < want && Clock::now() < deadline && !Stopping(options.stop)) {
      const auto slice = std::min(deadline, Clock::now() + kStopCheck);
      sent += SendAllUntil(fd, piece.get() + sent, want - sent, slice);
    }
    if (sent != want) return kOutboxShortSend;
    if (options.piece_sent) options.piece_sent(want);
    length -= want;
  }
  return 0;
}

// Ends our side of a fully sent connection and lets the peer finish: its
// answers are read and discarded until it closes or `timeout_ms` passes.
void FinishConnection(int fd, int timeout_ms, const std::atomic<bool>* stop) {
  ::shutdown(fd, SHUT_WR);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char discard[1024];
  while (WaitReady(fd, POLLIN, deadline, stop)) {
    ssize_t n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
  }
}

// Transmits one record whose open line has been read. Returns its status.
int SendRecord(std::FILE* f, const std::string& open_line, const OutboxOptions& options) {
  std::string host = open_line.size() > 5 ? open_line.substr(5) : std::string();
  int port = kOutboxDefaultPort;
  size_t colon = host.find(':');
  if (colon != std::string::npos) {
    // An out-of-range port is left to fail at connect.
    port = static_cast<int>(LeadingNumber(std::string_view(host).substr(colon + 1), 65536));
    host.resize(colon);
  }
  UniqueFd socket;
  int status = OutboxConnect(host, port, &socket, options.connect_timeout_ms, options.stop);
  if (status == 0) status = SendBody(f, ReadBodyLength(f), socket.get(), options);
  if (socket.valid()) {
    if (status == 0) {
      FinishConnection(socket.get(), options.close_wait_ms, options.stop);
    } else {
      ::shutdown(socket.get(), SHUT_RDWR);
    }
  }
  return status;
}

// Appends bytes [begin, end) of the file at `from` to the file at `to` and
// flushes them to disk. On failure `to` is cut back to its old size.
bool AppendRange(const std::string& from, uint64_t begin, uint64_t end, const std::string& to) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!in.valid() || !out.valid()) return false;
  struct stat st;
  if (fstat(out.get(), &st) != 0) return false;
  auto block = std::make_unique<char[]>(kCopyBlock);
  bool ok = true;
  for (uint64_t at = begin; ok && at < end;) {
    size_t want = end - at < kCopyBlock ? static_cast<size_t>(end - at) : kCopyBlock;
    ssize_t n = ::pread(in.get(), block.get(), want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0 && WriteAll(out.get(), std::string_view(block.get(), static_cast<size_t>(n)));
    at += n > 0 ? static_cast<uint64_t>(n) : 0;
  }
  if (ok && fsync(out.get()) == 0) return true;
  if (ftruncate(out.get(), st.st_size) == 0) fsync(out.get());
  return false;
}

// Replaces the file at `path` by its bytes from `begin` on, through a
// temporary file and a rename; removes it when nothing is left.
bool KeepTail(const std::string& path, uint64_t begin) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (static_cast<uint64_t>(st.st_size) <= begin) return ::unlink(path.c_str()) == 0;
  std::string temp = path + ".tmpXXXXXX";
  {
    UniqueFd fd(mkstemp(temp.data()));
    if (!fd.valid()) return false;
    fchmod(fd.get(), st.st_mode & 07777);
    fd.reset();
  }
  bool ok = AppendRange(path, begin, static_cast<uint64_t>(st.st_size), temp) &&
            std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  size_t slash = path.rfind('/');
  UniqueFd folder(::open(slash == std::string::npos ? "." : path.substr(0, slash + 1).c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) fsync(folder.get());
  return true;
}

// Moves the first `sent` bytes of the outbox (the records that went through)
// to the end of the backup. The backup is written first, so a crash in
// between can make a mail go out twice but never lose one.
void MoveSentRecords(const std::string& server_root, uint64_t sent) {
  const std::string outbox = ServerRootFile(server_root, kOutboxFileName);
  const std::string backup = ServerRootFile(server_root, kOutboxBackupName);
  std::lock_guard<std::mutex> lock(OutboxFileMutex());
  if (AppendRange(outbox, 0, sent, backup)) KeepTail(outbox, sent);
}

bool IsUsableAddress(const ifaddrs* a) {
  if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) return false;
  if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) return false;
  uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
  return address != 0 && (address >> 24) != 127;
}

}  // namespace

std::mutex& OutboxFileMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string ServerRootFile(const std::string& server_root, std::string_view name) {
  if (server_root.empty()) return std::string(name);
  std::string path = server_root;
  if (path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

int OutboxConnect(const std::string& host, int port, UniqueFd* socket, int connect_timeout_ms,
                  const std::atomic<bool>* stop) {
  socket->reset();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (host.empty() || host.find('\0') != std::string::npos) return kOutboxNoHost;
  if (inet_aton(host.c_str(), &address.sin_addr) == 0) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return kOutboxNoHost;
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }
  socket->reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket->valid()) return kOutboxNoSocket;
  if (port <= 0 || port > 65535) return kOutboxConnectFailed;

  const auto deadline = Clock::now() + std::chrono::milliseconds(connect_timeout_ms);
  if (::connect(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return 0;
  }
  if (errno != EINPROGRESS && errno != EINTR) return kOutboxConnectFailed;
  if (!WaitReady(socket->get(), POLLOUT, deadline, stop)) return kOutboxConnectFailed;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(socket->get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
    return kOutboxConnectFailed;
  }
  return 0;
}

int OutboxSend(const std::string& server_root, const OutboxOptions& options) {
  FilePtr f = FileOpen(ServerRootFile(server_root, kOutboxFileName), "rb");
  if (!f) return 0;  // nothing pending
  StatusLogAppend(kLogTransmitting);

  int status = 0;
  uint64_t sent = 0;  // end of the last record that went through
  std::string open_line;
  for (;;) {
    if (!ReadRecordLine(f.get(), kOutboxOpenLineKept, false, &open_line)) {
      // No further record: a trailing piece of line belongs to nothing.
      sent = static_cast<uint64_t>(std::ftell(f.get()));
      break;
    }
    if (open_line.compare(0, 4, "OPEN") != 0) {
      status = kOutboxBadRecord;
      break;
    }
    status = SendRecord(f.get(), open_line, options);
    if (status != 0) break;
    sent = static_cast<uint64_t>(std::ftell(f.get()));
  }
  f.reset();

  if (status == 0 || sent > 0) MoveSentRecords(server_root, sent);
  StatusLogReplace(status == 0 ? kLogSuccess : kLogFailure);
  return status;
}

bool MachineIsOnline() {
  // TALLYPAD_NETWORK=online|offline overrides the interface test, so a
  // machine that is on a network can be run as if it were not, and tests can
  // exercise the outbox on either side.
  if (const char* forced = std::getenv("TALLYPAD_NETWORK")) {
    if (std::strcmp(forced, "online") == 0) return true;
    if (std::strcmp(forced, "offline") == 0) return false;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool online = false;
  for (const ifaddrs* a = list; a && !online; a = a->ifa_next) online = IsUsableAddress(a);
  freeifaddrs(list);
  return online;
}

void OutboxServerStep(const std::string& server_root, OutboxRetry* retry,
                      const OutboxSettings& settings) {
  const int pending = OutboxPending.load();
  if (pending == 0) return;
  if (retry->backing_off) {
    if (pending != retry->pending_at_failure) {
      // A new mail: try no later than the first wait after the last failure,
      // and start the doubling again.
      retry->delay = std::chrono::milliseconds(0);
      retry->next_attempt =
          std::min(retry->next_attempt, retry->failed_at + settings.first_retry_delay);
      retry->pending_at_failure = pending;
    }
    if (Clock::now() < retry->next_attempt) return;
  }
  if (!(settings.is_online ? settings.is_online() : MachineIsOnline())) return;

  if (OutboxSend(server_root, settings.transmit) == 0) {
    // Mails queued meanwhile stay pending.
    OutboxPending.fetch_sub(pending);
    *retry = OutboxRetry{};
    return;
  }
  retry->delay = retry->delay.count() > 0
                     ? std::min(retry->delay * 2, settings.longest_retry_delay)
                     : settings.first_retry_delay;
  retry->backing_off = true;
  retry->failed_at = Clock::now();
  retry->next_attempt = retry->failed_at + retry->delay;
  retry->pending_at_failure = OutboxPending.load();
}

void OutboxServerStep(const std::string& server_root, const std::atomic<bool>& stop) {
  static OutboxRetry retry;
  static OutboxSettings settings;
  settings.transmit.stop = &stop;
  OutboxServerStep(server_root, &retry, settings);
}

void OutboxThread(const std::string& server_root, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    OutboxServerStep(server_root, stop);
    for (auto waited = std::chrono::milliseconds(0); waited < kOutboxStepInterval && !stop.load();
         waited += kStopCheck)
      std::this_thread::sleep_for(kStopCheck);
  }
}

}  // namespace tallypad
