// Mail composition: turns one mail into the complete SMTP client dialogue
// (greeting, envelope, header, body, closing commands) and appends it as one
// record to the outbox file "outbox.kqs" in the server root. Nothing talks to
// a mail server here; the outbox transmitter replays the record later.
// Runs on the server thread (the survey engine calls MailQueue).
#pragma once

#include <string>
#include <string_view>

#include "base/result_code.h"

namespace tallypad {

// Longest mail server name that fits the outbox record's open line (the
// reader keeps 259 bytes of "OPEN " + name + ":25"); longer names are refused.
inline constexpr size_t kMaxMailServerName = 250;

// Most bytes of a refused recipient the message log shows; a longer one is
// cut, so that a hostile answer cannot fill the log.
inline constexpr size_t kMaxLoggedRecipient = 200;

// Queues one mail for `recipient` (who is also the envelope sender) with
// `subject` and `body`, to be handed to port 25 of `mail_server` (a host name
// or dotted IPv4 address, the form's EMAILSERVER). `server_root` is the
// server root folder. Returns kOk when queued, kNoMailServer when the mail
// server is empty (or too long to store), else MailCompose's result.
// The recipient often comes from a respondent's answer: see MailCompose.
ResultCode MailQueue(const std::string& server_root, std::string_view recipient,
              std::string_view subject, std::string_view body, std::string_view mail_server);

// Appends the dialogue for one mail as a record to the outbox in
// `server_root` and raises OutboxPending by 1. Returns kOk when the record
// was written and flushed to disk, kOutboxNotWritten when the outbox cannot
// be opened or written (the file is then left as it was). A recipient that,
// cleaned as MailHeaderValue cleans it, does not hold exactly one "@" is
// refused: nothing is queued, the message log names it (control bytes and
// other bytes outside printable ASCII written as \xNN), and the result is
// kRecipientNoAddress.
ResultCode MailCompose(const std::string& server_root, std::string_view mail_server,
                std::string_view subject, std::string_view recipient, std::string_view body);

// Returns `text` fit to stand in an envelope address or a header line:
// "<", ">" and every control character (bytes below 0x20, and 0x7f)
// removed, so that it can neither end its line nor close the address's
// angle brackets and add another.
std::string MailHeaderValue(std::string_view text);

// Returns the SMTP dialogue for one mail, exactly as it is stored: carriage
// returns, line feeds and zero bytes removed from the mail server, the
// subject and the recipient cleaned by MailHeaderValue; in the body every
// line ending made CR LF and every line that begins with "." given a second
// ".". A body that begins with "<HTML" (any case) is sent as a one-part
// MIME multipart mail.
std::string MailComposeDialogue(std::string_view mail_server, std::string_view subject,
                                std::string_view recipient, std::string_view body);

// Returns the outbox record for a dialogue: the open line, the
// Content-Length line, an empty line and the dialogue's bytes.
std::string MailOutboxRecord(std::string_view mail_server, std::string_view dialogue);

}  // namespace tallypad
