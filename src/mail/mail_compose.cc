#include "mail/mail_compose.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/file.h"
#include "base/status_log.h"
#include "base/str.h"
#include "base/strbuf.h"
#include "base/text.h"
#include "base/output_stream.h"
#include "mail/outbox.h"
#include "platform/atomic_file.h"

namespace tallypad {

namespace {

// First chunk of the buffer the dialogue is composed in.
constexpr size_t kDialogueFirstChunk = 1024;

constexpr std::string_view kMimeHeader =
    "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/alternative; "
    "boundary=\"_Mime-Boundary_19C4E2\"\r\n\r\n";
constexpr std::string_view kMimePartHeader =
    "  This is a multi-part message in MIME format.\r\n\r\n--_Mime-Boundary_19C4E2\r\n"
    "Content-Type: text/html; charset=\"iso-8859-1\"\r\n"
    "Content-Transfer-Encoding: 8bit\r\n\r\n";
constexpr std::string_view kMimeClose = "--_Mime-Boundary_19C4E2--";

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

std::string MailComposeDialogue(std::string_view mail_server, std::string_view subject,
                                std::string_view recipient, std::string_view body) {
  const std::string server = OneLine(mail_server);
  const std::string to = MailHeaderValue(recipient);
  StrBuf buffer(kDialogueFirstChunk);
  OutputStream s{nullptr, nullptr, &buffer};
  StreamWriteText(&s, "HELO ");
  StreamWriteText(&s, server);
  StreamWriteText(&s, "\r\nMAIL FROM: <");
  StreamWriteText(&s, to);
  StreamWriteText(&s, ">\r\nRCPT TO: <");
  StreamWriteText(&s, to);
  StreamWriteText(&s, ">\r\nDATA\r\n");
  StreamWriteText(&s, "Subject: ");
  StreamWriteText(&s, MailHeaderValue(subject));
  if (StrCompareNoCaseN(body, "<HTML", 5) != 0) {
    StreamWriteText(&s, "\r\n\r\n");
    WriteBodyLines(&s, body);
  } else {
    StreamWriteText(&s, kMimeHeader);
    StreamWriteText(&s, kMimePartHeader);
    WriteBodyLines(&s, body);
    StreamWriteText(&s, kMimeClose);
  }
  StreamWriteText(&s, "\r\n.\r\nQUIT\r\n");
  return buffer.ToString();
}

std::string MailOutboxRecord(std::string_view mail_server, std::string_view dialogue) {
  std::string record = StrPrintf("OPEN %s:25\nContent-Length: %zu\n\n",
                                 OneLine(mail_server).c_str(), dialogue.size());
  record.append(dialogue);
  return record;
}

ResultCode MailCompose(const std::string& server_root, std::string_view mail_server,
                std::string_view subject, std::string_view recipient, std::string_view body) {
  if (!IsUsableRecipient(MailHeaderValue(recipient))) {
    StatusLogAppend("\nmail: refused the recipient " + LoggableRecipient(recipient) +
                    ", which is no mail address; the mail was not queued");
    return ResultCode::kRecipientNoAddress;
  }
  const std::string path = ServerRootFile(server_root, kOutboxFileName);
  std::lock_guard<std::mutex> lock(OutboxFileMutex());
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return ResultCode::kOutboxNotWritten;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ResultCode::kOutboxNotWritten;

  const std::string record =
      MailOutboxRecord(mail_server, MailComposeDialogue(mail_server, subject, recipient, body));
  // One write of the whole record, flushed to disk: a record cut short would
  // swallow the records appended after it. Undo a partial write.
  if (!WriteAll(fd.get(), record) || fsync(fd.get()) != 0) {
    if (ftruncate(fd.get(), st.st_size) == 0) fsync(fd.get());
    return ResultCode::kOutboxNotWritten;
  }
  OutboxPending.fetch_add(1);
  return ResultCode::kOk;
}

ResultCode MailQueue(const std::string& server_root, std::string_view recipient,
              std::string_view subject, std::string_view body, std::string_view mail_server) {
  const std::string server = OneLine(mail_server);
  if (server.empty() || server.size() > kMaxMailServerName) return ResultCode::kNoMailServer;
  return MailCompose(server_root, server, subject, recipient, body);
}

}  // namespace tallypad
