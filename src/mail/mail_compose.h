// Mail composition: turns one mail into the complete SMTP client dialogue
// (greeting, envelope, header, body, closing commands) and appends it as one
// record to the outbox file "outbox.kqs" in the server root. The message
// follows RFC 5322 and MIME: From, To, Subject, Date, Message-ID,
// MIME-Version and a UTF-8 Content-Type; header texts that are not plain
// ASCII in encoded words; the body quoted-printable, so that no line is too
// long whatever the answers hold. Nothing talks to a mail server here; the
// outbox transmitter drives the dialogue later. Runs on the server thread
// (the survey engine calls MailQueue).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "base/result_code.h"

namespace tallypad {

// Longest mail server name that fits the outbox record's open line (the
// reader keeps 259 bytes of "OPEN " + name + ":25"); longer names are refused.
inline constexpr size_t kMaxMailServerName = 250;
// Random bytes in a Message-ID: enough that two mails never share one.
inline constexpr size_t kMessageIdRandomBytes = 12;

// Most bytes of a refused recipient the message log shows; a longer one is
// cut, so that a hostile answer cannot fill the log.
inline constexpr size_t kMaxLoggedRecipient = 200;

// Queues one mail for `recipient` with `subject` and `body`, to be handed to
// `mail_server` (the form's EMAILSERVER: a host name or dotted IPv4 address,
// with ":port" when not 25). The mail comes from `sender` (the form's
// EMAILFROM) or, without one, from the recipient. `server_root` is the
// server root folder. Returns kOk when queued, kNoMailServer when the mail
// server is empty (or too long to store), else MailCompose's result.
// The recipient often comes from a respondent's answer: see MailCompose.
ResultCode MailQueue(const std::string& server_root, std::string_view recipient,
                     std::string_view subject, std::string_view body,
                     std::string_view mail_server, std::string_view sender = {});

// Appends the dialogue for one mail as a record to the outbox in
// `server_root` and raises OutboxPending by 1. Returns kOk when the record
// was written and flushed to disk, kOutboxNotWritten when the outbox cannot
// be opened or written (the file is then left as it was). A recipient that,
// cleaned as MailHeaderValue cleans it, does not hold exactly one "@" is
// refused: nothing is queued, the message log names it (control bytes and
// other bytes outside printable ASCII written as \xNN), and the result is
// kRecipientNoAddress. A sender that is no address is logged and replaced
// by the recipient.
ResultCode MailCompose(const std::string& server_root, std::string_view mail_server,
                       std::string_view subject, std::string_view recipient,
                       std::string_view body, std::string_view sender = {});

// What one mail is made of.
struct MailParts {
  std::string_view mail_server;
  std::string_view sender;  // empty: the recipient
  std::string_view recipient;
  std::string_view subject;
  std::string_view body;
  // Fixed values of the Date and Message-ID headers and of the name in
  // HELO, for records that must come out the same (tests); unset or empty:
  // now, a new identifier and the machine's name.
  std::optional<std::time_t> date;
  std::string_view message_id;
  std::string_view client_name;
};

// Returns `text` fit to stand in an envelope address or a header line:
// "<", ">" and every control character (bytes below 0x20, and 0x7f)
// removed, so that it can neither end its line nor close the address's
// angle brackets and add another.
std::string MailHeaderValue(std::string_view text);

// Returns the SMTP dialogue for one mail, exactly as it is stored: HELO
// with the client's name, MAIL FROM and RCPT TO with the addresses cleaned
// by MailHeaderValue, DATA, the message and QUIT. The message's header
// carries Date, From, To, Subject (encoded by HeaderTextEncode when it is
// not short plain ASCII), Message-ID, MIME-Version and a Content-Type with
// charset=utf-8: text/html for a body that begins with "<HTML" (any case),
// else text/plain. The body is quoted-printable (QuotedPrintableEncode), a
// "." opening a line doubled, and the message ends with its "." line.
std::string MailComposeDialogue(const MailParts& parts);

// Returns a new Message-ID, "<time.random@machine>", unique to this mail.
std::string MailNewMessageId();
// Returns the machine's name as mails name it: its host name, letters,
// digits, '.' and '-' only ("localhost" when it has none).
std::string MailMachineName();

// Returns the outbox record for a dialogue: the open line ("OPEN " and the
// mail server, with ":25" when it names no port), the Content-Length line,
// an empty line and the dialogue's bytes.
std::string MailOutboxRecord(std::string_view mail_server, std::string_view dialogue);

}  // namespace tallypad
