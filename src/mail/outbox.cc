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
#include <ctime>
#include <memory>
#include <set>
#include <thread>

#include "base/file.h"
#include "base/status_log.h"
#include "mail/mail_account.h"
#include "mail/mail_encode.h"
#include "mail/outbox_file.h"
#include "mail/outbox_state.h"
#include "mail/outbox_status.h"
#include "mail/smtp_session.h"

namespace tallypad {

std::atomic<int> OutboxPending{1};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kLogTransmitting = "Transmitting data to the server";
constexpr std::string_view kLogSuccess = "Data transmitted successfully";
constexpr std::string_view kLogFailure = "Data not transmitted. Saved in outbox.kqs";

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

// Longest wait, within a step, for the lock of the outbox files: another
// program holds it only while it moves a few records.
constexpr int kSettleLockWaitMs = 5000;

// The mail server of an open line "OPEN host:port". Records of the first
// versions name a server given with a port as "host:587:25": the port is
// the number after the first colon.
std::optional<MailServerAddress> RecordServer(std::string_view open_line) {
  std::string_view rest = open_line.size() > 5 ? open_line.substr(5) : std::string_view();
  size_t colon = rest.find(':');
  std::string_view host = rest.substr(0, colon);
  std::string_view port = colon == std::string_view::npos ? std::string_view("25")
                                                          : rest.substr(colon + 1);
  size_t digits = 0;
  while (digits < port.size() && digits < 5 && port[digits] >= '0' && port[digits] <= '9') ++digits;
  return MailServerParse(std::string(host) + ":" + std::string(port.substr(0, digits)));
}

// The first recipient of a stored dialogue, for the log.
std::string RecipientOf(std::string_view dialogue) {
  std::string why;
  std::optional<StoredMail> mail = StoredMailParse(dialogue, &why);
  if (!mail || mail->recipients.empty()) return "(unknown)";
  return mail->recipients.front();
}

// The record with its reply line, as the dead letters keep it.
std::string DeadLetter(const std::string& record, std::string_view reply) {
  size_t end = record.find('\n');
  if (end == std::string::npos) return record;
  return record.substr(0, end + 1) + "Reply: " + OutboxReplyLine(reply) + "\n" +
         record.substr(end + 1);
}

// Moves the records that `state` marks as delivered or refused out of the
// outbox, and writes the state short. The caller holds nothing.
bool Settle(const std::string& server_root, OutboxState state) {
  const std::string outbox = ServerRootFile(server_root, kOutboxFileName);
  const std::string backup = ServerRootFile(server_root, kOutboxBackupName);
  const std::string dead_file = ServerRootFile(server_root, kOutboxDeadName);
  OutboxLock lock(server_root, kSettleLockWaitMs);
  if (!lock.held()) return false;

  OutboxReader reader(outbox);
  std::vector<ByteRange> keep, delivered;
  std::string dead;
  std::set<std::string> kept_keys;
  OutboxRecord record;
  RecordRead read;
  uint64_t records_end = 0;
  while ((read = reader.Next(&record, 0, true)) == RecordRead::kRecord) {
    records_end = record.end;
    const ByteRange range{record.begin, record.end};
    auto sent = state.sent.find(record.key);
    auto refused = state.dead.find(record.key);
    if (sent != state.sent.end() && sent->second > 0) {
      delivered.push_back(range);
      if (--sent->second == 0) state.sent.erase(sent);
    } else if (refused != state.dead.end() && !refused->second.empty()) {
      dead += DeadLetter(OutboxReadRange(outbox, record.begin, record.end), refused->second.front());
      refused->second.erase(refused->second.begin());
      if (refused->second.empty()) state.dead.erase(refused);
    } else {
      keep.push_back(range);
      kept_keys.insert(record.key);
    }
  }
  // A trailing piece of a line after the last record belongs to no mail and
  // goes with the delivered ones; a damaged record and all after it stay.
  uint64_t tail = reader.offset();
  if (read == RecordRead::kEnd && tail > records_end) delivered.push_back({records_end, tail});
  // An outbox with nothing left in it goes.
  const bool emptied = keep.empty() && read == RecordRead::kEnd;
  if (!delivered.empty() || !dead.empty() || emptied) {
    if (!OutboxAppendRanges(outbox, delivered, backup)) return false;
    if (!dead.empty() && !OutboxAppendBytes(dead_file, dead)) return false;
    if (!OutboxRewrite(outbox, keep, tail)) return false;
  }
  // Marks of records no longer in the outbox are done with.
  OutboxState compact;
  compact.last_success = state.last_success;
  for (auto& [key, tries] : state.tries)
    if (kept_keys.count(key)) compact.tries[key] = tries;
  OutboxStateWrite(server_root, compact);
  const size_t queued = keep.size() + (read == RecordRead::kEnd ? 0 : 1);
  const size_t dead_count = OutboxCountRecords(dead_file);
  OutboxStatusChange([&](OutboxStatus* status) {
    status->queued = queued;
    status->dead = dead_count;
    if (state.last_success) status->last_success = state.last_success;
  });
  return true;
}

// One transmission's record of what happened to each mail.
class Pass {
 public:
  Pass(const std::string& server_root, OutboxState* state)
      : root_(server_root), state_(state) {}

  void Delivered(const OutboxRecord& record) {
    const std::time_t now = std::time(nullptr);
    ++state_->sent[record.key];
    state_->last_success = now;
    OutboxStateAppendSent(root_, record.key, now);
  }
  void Kept(const OutboxRecord& record, const std::string& reply) {
    const std::time_t now = std::time(nullptr);
    OutboxTries& tries = state_->tries[record.key];
    ++tries.attempts;
    tries.last_try = now;
    tries.last_reply = reply;
    OutboxStateAppendTry(root_, record.key, tries.attempts, now, reply);
    notes_.push_back("Mail to " + RecipientOf(record.body) + " waits: " + OutboxReplyLine(reply));
    last_problem_ = reply;
  }
  void Refused(const OutboxRecord& record, const std::string& reply) {
    state_->dead[record.key].push_back(reply);
    OutboxStateAppendDead(root_, record.key, reply);
    notes_.push_back("Mail to " + RecipientOf(record.body) +
                     " was refused for good and moved to outbox.dead: " + OutboxReplyLine(reply));
  }
  void Note(std::string text) { notes_.push_back(std::move(text)); }
  const std::vector<std::string>& notes() const { return notes_; }
  const std::string& last_problem() const { return last_problem_; }

 private:
  const std::string& root_;
  OutboxState* state_;
  std::vector<std::string> notes_;
  std::string last_problem_;
};

// A fingerprint of the outbox files (size, change time and inode of each),
// to notice changes made by another program.
std::string FilesSeen(const std::string& server_root) {
  std::string seen;
  for (std::string_view name : {kOutboxFileName, kOutboxDeadName}) {
    struct stat st;
    if (::stat(ServerRootFile(server_root, name).c_str(), &st) == 0) {
      seen += std::to_string(st.st_size) + "/" + std::to_string(st.st_ctim.tv_sec) + "." +
              std::to_string(st.st_ctim.tv_nsec) + "/" + std::to_string(st.st_ino);
    }
    seen += ";";
  }
  return seen;
}

// Counts the outbox files again when they changed, and publishes the counts.
// Returns true when they changed and mail is queued.
bool RecountWhenChanged(const std::string& server_root, OutboxRetry* retry) {
  std::string seen = FilesSeen(server_root);
  if (seen == retry->files_seen) return false;
  retry->files_seen = std::move(seen);
  const size_t queued = OutboxCountRecords(ServerRootFile(server_root, kOutboxFileName));
  const size_t dead = OutboxCountRecords(ServerRootFile(server_root, kOutboxDeadName));
  const std::optional<std::time_t> last = OutboxStateRead(server_root).last_success;
  OutboxStatusChange([&](OutboxStatus* status) {
    status->queued = queued;
    status->dead = dead;
    if (last) status->last_success = last;
  });
  return queued > 0;
}

// The steady-clock moment `when` on the wall clock.
std::time_t WallClock(Clock::time_point when) {
  const auto ahead = std::chrono::duration_cast<std::chrono::seconds>(when - Clock::now());
  return std::time(nullptr) + static_cast<std::time_t>(ahead.count());
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

bool OutboxSettle(const std::string& server_root) {
  return Settle(server_root, OutboxStateRead(server_root));
}

int OutboxSend(const std::string& server_root, const OutboxOptions& options) {
  const std::string outbox = ServerRootFile(server_root, kOutboxFileName);
  if (!FileExists(outbox)) return 0;  // nothing pending
  StatusLogAppend(kLogTransmitting);

  OutboxState state = OutboxStateRead(server_root);
  // Marks left by a transmission that was cut short are settled first, so
  // that no mail goes out twice.
  if (!state.sent.empty() || !state.dead.empty()) {
    if (!Settle(server_root, state)) {
      StatusLogReplace(kLogFailure);
      return kOutboxNotMoved;
    }
    state = OutboxStateRead(server_root);
  }

  SmtpOptions smtp;
  smtp.connect_timeout_ms = options.connect_timeout_ms;
  smtp.reply_timeout_ms = options.reply_timeout_ms;
  smtp.data_reply_timeout_ms = options.data_reply_timeout_ms;
  smtp.send_timeout_ms = options.send_timeout_ms;
  smtp.client_name = options.client_name;
  smtp.stop = options.stop;

  Pass pass(server_root, &state);
  int status = 0;
  auto failed = [&status](int code) {
    if (status == 0) status = code;
  };
  std::unique_ptr<SmtpSession> session;
  std::string session_server;
  std::set<std::string> unusable;  // servers that could not be used in this pass
  std::set<std::string> problems_noted;
  OutboxReader reader(outbox);
  OutboxRecord record;
  for (;;) {
    if (Stopping(options.stop)) {
      failed(kOutboxRetryLater);
      break;
    }
    const RecordRead read = reader.Next(&record, kOutboxMailBytesMax, true);
    if (read == RecordRead::kEnd) break;
    if (read == RecordRead::kBadRecord || read == RecordRead::kTruncated) {
      failed(read == RecordRead::kBadRecord ? kOutboxBadRecord : kOutboxTruncated);
      pass.Note("outbox.kqs is damaged at byte " + std::to_string(reader.offset()) +
                ": the mails from there on wait until it is repaired");
      break;
    }
    std::optional<MailServerAddress> server = RecordServer(record.open_line);
    if (!server) {
      pass.Refused(record, "the record names no mail server");
      continue;
    }
    if (record.body_length > kOutboxMailBytesMax) {
      pass.Refused(record, "the mail is larger than the outbox sends");
      continue;
    }
    std::string why;
    std::optional<StoredMail> mail = StoredMailParse(record.body, &why);
    if (!mail) {
      pass.Refused(record, why);
      continue;
    }
    const std::string where = server->host + ":" + std::to_string(server->port);
    if (unusable.count(where)) {
      // The server failed a moment ago: the mail waits, and no attempt counts.
      failed(kOutboxRetryLater);
      continue;
    }
    if (!session || session_server != where || !session->ready()) {
      if (session) session->Close();
      std::string problem;
      MailAccount account = MailAccountFor(server_root, *server, &problem);
      if (!problem.empty() && problems_noted.insert(where).second)
        pass.Note("cgi.ini, [mail " + where + "]: " + problem);
      session = std::make_unique<SmtpSession>(*server, std::move(account), smtp);
      session_server = where;
      SmtpResult opened = session->Open();
      if (opened.outcome != SmtpOutcome::kDelivered) {
        pass.Kept(record, opened.reply);
        unusable.insert(where);
        failed(opened.connect_status != 0 ? opened.connect_status : kOutboxRetryLater);
        continue;
      }
    }
    SmtpResult result = session->Send(*mail);
    switch (result.outcome) {
      case SmtpOutcome::kDelivered:
        pass.Delivered(record);
        break;
      case SmtpOutcome::kRefused:
        pass.Refused(record, result.reply);
        break;
      case SmtpOutcome::kRetry:
        pass.Kept(record, result.reply);
        if (result.server_unusable) unusable.insert(where);
        failed(kOutboxRetryLater);
        break;
    }
  }
  if (session) session->Close();

  if (!Settle(server_root, state)) failed(kOutboxNotMoved);
  OutboxStatusChange([&](OutboxStatus* s) {
    if (!pass.last_problem().empty()) s->last_problem = pass.last_problem();
    if (status == 0) s->last_problem.clear();
  });
  StatusLogReplace(status == 0 ? kLogSuccess : kLogFailure);
  for (const std::string& note : pass.notes()) StatusLogAppend("\n" + note);
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
  if (OutboxTakeSendNow()) {
    // The operator asked: the back-off ends, and whatever waits is tried.
    retry->backing_off = false;
    if (OutboxPending.load() == 0) OutboxPending.fetch_add(1);
  }
  if (RecountWhenChanged(server_root, retry) && OutboxPending.load() == 0)
    OutboxPending.fetch_add(1);
  const int pending = OutboxPending.load();
  if (pending == 0) {
    OutboxStatusChange([](OutboxStatus* s) { s->next_attempt.reset(); });
    return;
  }
  if (retry->backing_off) {
    if (pending != retry->pending_at_failure) {
      // A new mail: try no later than the first wait after the last failure,
      // and start the doubling again.
      retry->delay = std::chrono::milliseconds(0);
      retry->next_attempt =
          std::min(retry->next_attempt, retry->failed_at + settings.first_retry_delay);
      retry->pending_at_failure = pending;
      const std::time_t next = WallClock(retry->next_attempt);
      OutboxStatusChange([next](OutboxStatus* s) { s->next_attempt = next; });
    }
    if (Clock::now() < retry->next_attempt) return;
  }
  const bool online = settings.is_online ? settings.is_online() : MachineIsOnline();
  OutboxStatusChange([online](OutboxStatus* s) { s->online = online; });
  if (!online) return;

  OutboxStatusChange([](OutboxStatus* s) {
    s->sending = true;
    s->next_attempt.reset();
  });
  const int result = OutboxSend(server_root, settings.transmit);
  if (result == 0) {
    // Mails queued meanwhile stay pending.
    OutboxPending.fetch_sub(pending);
    *retry = OutboxRetry{};
  } else {
    retry->delay = retry->delay.count() > 0
                       ? std::min(retry->delay * 2, settings.longest_retry_delay)
                       : settings.first_retry_delay;
    retry->backing_off = true;
    retry->failed_at = Clock::now();
    retry->next_attempt = retry->failed_at + retry->delay;
    retry->pending_at_failure = OutboxPending.load();
  }
  // What the transmission itself changed is counted already.
  retry->files_seen = FilesSeen(server_root);
  const std::optional<std::time_t> next =
      retry->backing_off ? std::optional<std::time_t>(WallClock(retry->next_attempt))
                         : std::nullopt;
  OutboxStatusChange([next](OutboxStatus* s) {
    s->sending = false;
    s->next_attempt = next;
  });
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
