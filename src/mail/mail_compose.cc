#include "mail/mail_compose.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "base/file.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "base/output_stream.h"
#include "mail/mail_encode.h"
#include "mail/outbox.h"
#include "mail/outbox_status.h"
#include "platform/atomic_file.h"
#include "platform/random_bytes.h"

namespace tallypad {

namespace {

// First chunk of the buffer the dialogue is composed in.
constexpr size_t kDialogueFirstChunk = 1024;
// Longest host name taken as the machine's name.
constexpr size_t kMachineNameLimit = 255;
// "Subject: ", which the subject's first line shares.
constexpr size_t kSubjectNameLength = 9;

// A header field or command argument must stay on its own line: a line break
// in it would let a form's input add SMTP commands or header lines.
std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n' && c != '\0') out.push_back(c);
  }
  return out;
}

// Whether the cleaned recipient can be one: exactly one "@". Anything else
// would be no address at all, or several run together by a hostile answer.
bool IsUsableRecipient(std::string_view to) {
  return std::count(to.begin(), to.end(), '@') == 1;
}

// The recipient as the message log shows it: in quotes, printable ASCII as
// it is ('"' and a backslash behind a backslash), every other byte as \xNN,
// at most kMaxLoggedRecipient bytes of it.
std::string LoggableRecipient(std::string_view recipient) {
  std::string out = "\"";
  for (char c : recipient.substr(0, kMaxLoggedRecipient)) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b >= 0x7f) {
      out += StrPrintf("\\x%02x", b);
    } else {
      if (c == '"' || c == '\\') out.push_back('\\');
      out.push_back(c);
    }
  }
  out += '"';
  if (recipient.size() > kMaxLoggedRecipient) out += "...";
  return out;
}

// Writes the body with every line ending as CR LF and every line that begins
// with "." given a second "." (a line holding only "." would otherwise end
// the mail's data early and what follows would be taken as commands).
void WriteBodyLines(OutputStream* s, std::string_view body) {
  std::string out;
  out.reserve(body.size() + body.size() / 16 + 2);
  bool line_start = true;
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '\r' || c == '\n') {
      // CR LF, a bare LF and a bare CR each end one line.
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      out += "\r\n";
      line_start = true;
      continue;
    }
    if (line_start && c == '.') out.push_back('.');
    out.push_back(c);
    line_start = false;
  }
  StreamWriteText(s, out);
}

}  // namespace

std::string MailHeaderValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7f && c != '<' && c != '>') out.push_back(c);
  }
  return out;
}

std::string MailMachineName() {
  char name[kMachineNameLimit + 1] = "";
  if (gethostname(name, kMachineNameLimit) != 0) return "localhost";
  name[kMachineNameLimit] = '\0';
  std::string out;
  for (const char* c = name; *c; ++c) {
    const bool fits = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                      (*c >= '0' && *c <= '9') || *c == '.' || *c == '-';
    if (fits) out.push_back(*c);
  }
  while (!out.empty() && out.front() == '.') out.erase(out.begin());
  while (!out.empty() && out.back() == '.') out.pop_back();
  return out.empty() ? "localhost" : out;
}

std::string MailNewMessageId() {
  std::string random = RandomBytes(kMessageIdRandomBytes).value_or("");
  std::string hex;
  for (char c : random) hex += StrPrintf("%02x", static_cast<unsigned char>(c));
  if (hex.empty()) {
    // No random source: the time in microseconds and a counter still make
    // the identifier unique on this machine.
    static std::atomic<unsigned> counter{0};
    hex = StrPrintf("%llx.%u",
                    static_cast<unsigned long long>(
                        std::chrono::system_clock::now().time_since_epoch().count()),
                    counter.fetch_add(1));
  }
  return StrPrintf("<%llx.%s@%s>", static_cast<unsigned long long>(std::time(nullptr)),
                   hex.c_str(), MailMachineName().c_str());
}

std::string MailComposeDialogue(const MailParts& parts) {
  const std::string to = MailHeaderValue(parts.recipient);
  const std::string from = parts.sender.empty() ? to : MailHeaderValue(parts.sender);
  const std::string client =
      parts.client_name.empty() ? MailMachineName() : OneLine(parts.client_name);
  const std::string message_id =
      parts.message_id.empty() ? MailNewMessageId() : OneLine(parts.message_id);
  const bool html = StrCompareNoCaseN(parts.body, "<HTML", 5) == 0;
  StrBuf buffer(kDialogueFirstChunk);
  OutputStream s{nullptr, nullptr, &buffer};
  StreamWriteText(&s, "HELO " + client + "\r\n");
  StreamWriteText(&s, "MAIL FROM: <" + from + ">\r\n");
  StreamWriteText(&s, "RCPT TO: <" + to + ">\r\n");
  StreamWriteText(&s, "DATA\r\n");
  StreamWriteText(&s, "Date: " + MailDate(parts.date.value_or(std::time(nullptr))) + "\r\n");
  StreamWriteText(&s, "From: " + from + "\r\n");
  StreamWriteText(&s, "To: " + to + "\r\n");
  StreamWriteText(&s, "Subject: " +
                          HeaderTextEncode(MailHeaderValue(parts.subject), kSubjectNameLength) +
                          "\r\n");
  StreamWriteText(&s, "Message-ID: " + message_id + "\r\n");
  StreamWriteText(&s, "MIME-Version: 1.0\r\n");
  StreamWriteText(&s, html ? "Content-Type: text/html; charset=utf-8\r\n"
                           : "Content-Type: text/plain; charset=utf-8\r\n");
  StreamWriteText(&s, "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
  std::string body = QuotedPrintableEncode(parts.body);
  if (!body.empty() && !(body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0))
    body += "\r\n";
  WriteBodyLines(&s, body);
  StreamWriteText(&s, ".\r\nQUIT\r\n");
  return buffer.ToString();
}

std::string MailOutboxRecord(std::string_view mail_server, std::string_view dialogue) {
  const std::string server = OneLine(mail_server);
  const bool has_port = server.find(':') != std::string::npos;
  std::string record = StrPrintf("OPEN %s%s\nContent-Length: %zu\n\n", server.c_str(),
                                 has_port ? "" : ":25", dialogue.size());
  record.append(dialogue);
  return record;
}

ResultCode MailCompose(const std::string& server_root, std::string_view mail_server,
                       std::string_view subject, std::string_view recipient,
                       std::string_view body, std::string_view sender) {
  if (!IsUsableRecipient(MailHeaderValue(recipient))) {
    StatusLogAppend("\nmail: refused the recipient " + LoggableRecipient(recipient) +
                    ", which is no mail address; the mail was not queued");
    return ResultCode::kRecipientNoAddress;
  }
  if (!sender.empty() && !IsUsableRecipient(MailHeaderValue(sender))) {
    StatusLogAppend("\nmail: the sender " + LoggableRecipient(sender) +
                    " (EMAILFROM) is no mail address; the mail goes from its recipient");
    sender = {};
  }
  const std::string path = ServerRootFile(server_root, kOutboxFileName);
  std::lock_guard<std::mutex> lock(OutboxFileMutex());
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return ResultCode::kOutboxNotWritten;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ResultCode::kOutboxNotWritten;

  MailParts parts;
  parts.mail_server = mail_server;
  parts.sender = sender;
  parts.recipient = recipient;
  parts.subject = subject;
  parts.body = body;
  const std::string record = MailOutboxRecord(mail_server, MailComposeDialogue(parts));
  // One write of the whole record, flushed to disk: a record cut short would
  // swallow the records appended after it. Undo a partial write.
  if (!WriteAll(fd.get(), record) || fsync(fd.get()) != 0) {
    if (ftruncate(fd.get(), st.st_size) == 0) fsync(fd.get());
    return ResultCode::kOutboxNotWritten;
  }
  OutboxPending.fetch_add(1);
  OutboxStatusChange([](OutboxStatus* status) { ++status->queued; });
  return ResultCode::kOk;
}

ResultCode MailQueue(const std::string& server_root, std::string_view recipient,
                     std::string_view subject, std::string_view body,
                     std::string_view mail_server, std::string_view sender) {
  const std::string server = OneLine(mail_server);
  if (server.empty() || server.size() > kMaxMailServerName) return ResultCode::kNoMailServer;
  return MailCompose(server_root, server, subject, recipient, body, sender);
}

}  // namespace tallypad
