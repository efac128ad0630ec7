#include "mail/outbox_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/file.h"
#include "base/text.h"
#include "mail/outbox.h"
#include "platform/atomic_file.h"

namespace tallypad {

namespace {

// The words that open the lines of the state file.
constexpr std::string_view kTriedWord = "tried";
constexpr std::string_view kSentWord = "sent";
constexpr std::string_view kDeadWord = "dead";
constexpr std::string_view kLastSentWord = "last-sent";

std::string StatePath(const std::string& server_root) {
  return ServerRootFile(server_root, kOutboxStateName);
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

std::optional<long long> Number(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsKey(std::string_view text) {
  if (text.size() != 16) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// Applies one whole line to `state`; lines that do not parse are skipped.
void ApplyLine(std::string_view line, OutboxState* state) {
  std::vector<std::string_view> f = SplitTabs(line);
  if (f[0] == kTriedWord && f.size() == 5 && IsKey(f[1])) {
    std::optional<long long> attempts = Number(f[2]), when = Number(f[3]);
    if (!attempts || !when) return;
    OutboxTries& tries = state->tries[std::string(f[1])];
    tries.attempts = static_cast<int>(std::min<long long>(*attempts, 1 << 30));
    tries.last_try = static_cast<std::time_t>(*when);
    tries.last_reply = std::string(f[4]);
  } else if (f[0] == kSentWord && f.size() == 3 && IsKey(f[1])) {
    std::optional<long long> when = Number(f[2]);
    if (!when) return;
    ++state->sent[std::string(f[1])];
    if (!state->last_success || *state->last_success < *when)
      state->last_success = static_cast<std::time_t>(*when);
  } else if (f[0] == kDeadWord && f.size() == 3 && IsKey(f[1])) {
    state->dead[std::string(f[1])].push_back(std::string(f[2]));
  } else if (f[0] == kLastSentWord && f.size() == 2) {
    if (std::optional<long long> when = Number(f[1])) {
      if (!state->last_success || *state->last_success < *when)
        state->last_success = static_cast<std::time_t>(*when);
    }
  }
}

bool AppendLine(const std::string& server_root, const std::string& line) {
  UniqueFd fd(::open(StatePath(server_root).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                     0600));
  if (!fd.valid()) return false;
  return WriteAll(fd.get(), line) && fsync(fd.get()) == 0;
}

}  // namespace

void OutboxKeyHasher::Add(std::string_view bytes) {
  for (char c : bytes) {
    hash_ ^= static_cast<unsigned char>(c);
    hash_ *= 1099511628211ull;  // FNV-1a prime
  }
}

std::string OutboxKeyHasher::Key() const {
  return StrPrintf("%016llx", static_cast<unsigned long long>(hash_));
}

std::string OutboxRecordKey(std::string_view record) {
  OutboxKeyHasher hasher;
  hasher.Add(record);
  return hasher.Key();
}

std::string OutboxReplyLine(std::string_view reply) {
  std::string out;
  for (char c : reply.substr(0, kOutboxReplyKept)) {
    const unsigned char b = static_cast<unsigned char>(c);
    out.push_back(b < 0x20 || b == 0x7f ? ' ' : c);
  }
  return out;
}

OutboxState OutboxStateRead(const std::string& server_root) {
  OutboxState state;
  FilePtr f = FileOpen(StatePath(server_root), "rb");
  if (!f) return state;
  std::string line;
  size_t read = 0;
  for (int c; (c = std::getc(f.get())) != EOF && read < kOutboxStateBytesMax; ++read) {
    if (c != '\n') {
      // A line longer than any the program writes is damage: drop it whole.
      if (line.size() <= kOutboxReplyKept + 128) line.push_back(static_cast<char>(c));
      continue;
    }
    if (line.size() <= kOutboxReplyKept + 128) ApplyLine(line, &state);
    line.clear();
  }
  // A last line without its line feed was cut short: it is not applied.
  return state;
}

bool OutboxStateAppendTry(const std::string& server_root, std::string_view key, int attempts,
                          std::time_t when, std::string_view reply) {
  return AppendLine(server_root, std::string(kTriedWord) + "\t" + std::string(key) + "\t" +
                                     std::to_string(attempts) + "\t" +
                                     std::to_string(static_cast<long long>(when)) + "\t" +
                                     OutboxReplyLine(reply) + "\n");
}

bool OutboxStateAppendSent(const std::string& server_root, std::string_view key,
                           std::time_t when) {
  return AppendLine(server_root, std::string(kSentWord) + "\t" + std::string(key) + "\t" +
                                     std::to_string(static_cast<long long>(when)) + "\n");
}

bool OutboxStateAppendDead(const std::string& server_root, std::string_view key,
                           std::string_view reply) {
  return AppendLine(server_root, std::string(kDeadWord) + "\t" + std::string(key) + "\t" +
                                     OutboxReplyLine(reply) + "\n");
}

bool OutboxStateWrite(const std::string& server_root, const OutboxState& state) {
  std::string text;
  if (state.last_success)
    text += std::string(kLastSentWord) + "\t" +
            std::to_string(static_cast<long long>(*state.last_success)) + "\n";
  for (const auto& [key, tries] : state.tries)
    text += std::string(kTriedWord) + "\t" + key + "\t" + std::to_string(tries.attempts) + "\t" +
            std::to_string(static_cast<long long>(tries.last_try)) + "\t" +
            OutboxReplyLine(tries.last_reply) + "\n";
  for (const auto& [key, count] : state.sent)
    for (int i = 0; i < count; ++i)
      text += std::string(kSentWord) + "\t" + key + "\t0\n";
  for (const auto& [key, replies] : state.dead)
    for (const std::string& reply : replies)
      text += std::string(kDeadWord) + "\t" + key + "\t" + OutboxReplyLine(reply) + "\n";
  const std::string path = StatePath(server_root);
  if (text.empty()) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
  return AtomicWriteFile(path, text);
}

}  // namespace tallypad
