#include "mail/outbox_list.h"

#include "base/str.h"
#include "mail/mail_encode.h"
#include "mail/outbox.h"
#include "mail/outbox_file.h"
#include "mail/outbox_state.h"
#include "mail/outbox_status.h"

namespace tallypad {

namespace {

// The value of header `name` in the message part of a stored dialogue
// (after DATA, up to the empty line), folded lines joined.
std::string MessageHeader(std::string_view dialogue, std::string_view name) {
  size_t data = std::string_view::npos;
  for (size_t at = 0; at < dialogue.size();) {
    size_t end = dialogue.find('\n', at);
    if (end == std::string_view::npos) break;
    std::string_view line = dialogue.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = end + 1;
    if (StrEqualNoCase(line, "DATA")) {
      data = at;
      break;
    }
  }
  if (data == std::string_view::npos) return "";
  std::string value;
  bool inside = false;
  for (size_t at = data; at < dialogue.size();) {
    size_t end = dialogue.find('\n', at);
    if (end == std::string_view::npos) end = dialogue.size();
    std::string_view line = dialogue.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = end + 1;
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      if (inside) value.append(line);
      continue;
    }
    inside = false;
    if (line.size() > name.size() && line[name.size()] == ':' &&
        StrEqualNoCase(line.substr(0, name.size()), name)) {
      std::string_view v = line.substr(name.size() + 1);
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
      value = std::string(v);
      inside = true;
    }
  }
  return value;
}

// The address after "MAIL FROM:" or the first "RCPT TO:" of a dialogue.
std::string EnvelopeAddress(std::string_view dialogue, std::string_view command) {
  for (size_t at = 0; at < dialogue.size();) {
    size_t end = dialogue.find('\n', at);
    if (end == std::string_view::npos) end = dialogue.size();
    std::string_view line = dialogue.substr(at, end - at);
    at = end + 1;
    if (StrEqualNoCase(line.substr(0, 4), "DATA")) break;
    if (StrStartsNoCase(line, command)) {
      std::string_view rest = line.substr(command.size());
      std::string out;
      for (char c : rest)
        if (c != '<' && c != '>' && c != ' ' && c != '\r') out.push_back(c);
      return out;
    }
  }
  return "";
}

std::string Printable(std::string text) {
  for (char& c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) c = ' ';
  }
  return text;
}

OutboxEntry EntryOf(const OutboxRecord& record) {
  OutboxEntry entry;
  std::string_view rest = record.open_line.size() > 5 ? std::string_view(record.open_line).substr(5)
                                                      : std::string_view();
  entry.server = std::string(rest);
  entry.sender = Printable(EnvelopeAddress(record.body, "MAIL FROM:"));
  entry.recipient = Printable(EnvelopeAddress(record.body, "RCPT TO:"));
  entry.subject = Printable(HeaderTextDecode(MessageHeader(record.body, "Subject")));
  std::string date = MessageHeader(record.body, "Date");
  if (!date.empty()) entry.date = MailDateParse(date);
  return entry;
}

}  // namespace

OutboxListing OutboxList(const std::string& server_root) {
  OutboxListing listing;
  const OutboxState state = OutboxStateRead(server_root);
  listing.last_success = state.last_success;
  {
    OutboxReader reader(ServerRootFile(server_root, kOutboxFileName));
    OutboxRecord record;
    RecordRead read;
    // Keys need the whole record: made only for the records that are listed.
    while ((read = reader.Next(&record, kOutboxListedHeadBytes,
                               listing.queued_total < kOutboxListedMax)) == RecordRead::kRecord) {
      if (listing.queued_total++ >= kOutboxListedMax) continue;
      OutboxEntry entry = EntryOf(record);
      auto tries = state.tries.find(record.key);
      if (tries != state.tries.end()) {
        entry.attempts = tries->second.attempts;
        entry.last_try = tries->second.last_try;
        entry.last_reply = tries->second.last_reply;
      }
      listing.queued.push_back(std::move(entry));
    }
    listing.damaged = read == RecordRead::kBadRecord || read == RecordRead::kTruncated;
  }
  OutboxReader reader(ServerRootFile(server_root, kOutboxDeadName));
  OutboxRecord record;
  while (reader.Next(&record, kOutboxListedHeadBytes, false) == RecordRead::kRecord) {
    if (listing.dead_total++ >= kOutboxListedMax) continue;
    OutboxEntry entry = EntryOf(record);
    entry.last_reply = Printable(record.Header("Reply"));
    listing.dead.push_back(std::move(entry));
  }
  return listing;
}

std::optional<size_t> OutboxRetryDead(const std::string& server_root) {
  const std::string outbox = ServerRootFile(server_root, kOutboxFileName);
  const std::string dead_file = ServerRootFile(server_root, kOutboxDeadName);
  OutboxLock lock(server_root, kOutboxLockWaitMs);
  if (!lock.held()) return std::nullopt;
  OutboxReader reader(dead_file);
  OutboxRecord record;
  RecordRead read;
  std::string queue;
  size_t moved = 0;
  while ((read = reader.Next(&record, 0, false)) == RecordRead::kRecord) {
    // The record as it was queued: the open line, the header lines except
    // the reply, and the dialogue.
    std::string bytes = OutboxReadRange(dead_file, record.begin, record.end);
    std::string restored;
    size_t at = 0;
    bool in_header = true;
    bool first = true;
    while (at < bytes.size() && in_header) {
      size_t end = bytes.find('\n', at);
      if (end == std::string::npos) break;
      std::string_view line = std::string_view(bytes).substr(at, end + 1 - at);
      at = end + 1;
      if (!first && (line == "\n" || line == "\r\n")) in_header = false;
      if (first || !StrStartsNoCase(line, "Reply:")) restored.append(line);
      first = false;
    }
    restored.append(bytes, at, std::string::npos);
    queue += restored;
    ++moved;
  }
  if (moved == 0) return size_t{0};
  if (!OutboxAppendBytes(outbox, queue)) return std::nullopt;
  // Whatever follows the last readable dead letter stays.
  if (!OutboxRewrite(dead_file, {}, reader.offset())) return std::nullopt;
  OutboxPending.fetch_add(1);
  const size_t queued = OutboxCountRecords(outbox);
  const size_t dead = OutboxCountRecords(dead_file);
  OutboxStatusChange([&](OutboxStatus* status) {
    status->queued = queued;
    status->dead = dead;
  });
  return moved;
}

std::string OutboxAgeText(std::time_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return std::to_string(seconds) + " s";
  if (seconds < 2 * 3600) return std::to_string(seconds / 60) + " min";
  if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
  return std::to_string(seconds / 86400) + " d";
}

}  // namespace tallypad
