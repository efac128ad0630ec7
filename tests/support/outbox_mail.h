// The mails of an outbox file read back the way a mail client would see
// them, for tests that check what a form queued without depending on the
// Date and Message-ID each mail gets: the server, the envelope, the
// subject and the body with the transfer encoding and the dot-stuffing
// undone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallypad::testing {

struct QueuedMail {
  std::string server;                 // the open line after "OPEN "
  std::string mail_from;              // the envelope sender
  std::vector<std::string> rcpt_to;   // the envelope recipients
  std::vector<std::string> header;    // the header lines, folded ones joined
  std::string body;                   // decoded, line ends as CR LF

  // The value of header field `name` ("" without one).
  std::string Header(std::string_view name) const;
};

// Every mail of the outbox bytes `outbox`, in order.
std::vector<QueuedMail> ReadQueuedMails(std::string_view outbox);

// The mails of `outbox` as one text for comparisons: per mail the lines
// "OPEN server", "FROM sender", "TO recipient", "Subject: ..." and the
// body, then "--".
std::string DescribeQueuedMails(std::string_view outbox);

}  // namespace tallypad::testing
