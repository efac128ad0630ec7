// Fuzzes what the outbox reads from outside: a mail server's replies (the
// reply reader, fed in pieces whose sizes come from the first byte), a
// stored dialogue (the record parser), and the header texts, dates and
// encodings the listing reads back. Checks that the reader keeps its
// bounds and takes the bytes it is given exactly once, that a parsed
// mail's message ends with its lone "." line, and that what is encoded
// decodes to itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "mail/mail_encode.h"
#include "mail/smtp_reply.h"
#include "mail/smtp_session.h"

using fuzzing::Check;
using namespace tallypad;

namespace {

void FuzzReplies(std::string_view bytes, size_t piece) {
  SmtpReplyReader reader;
  size_t taken = 0;
  while (taken < bytes.size()) {
    std::string_view next = bytes.substr(taken, piece);
    const size_t used = reader.Feed(next);
    Check(used <= next.size());
    taken += used;
    if (reader.state() == SmtpReplyReader::State::kMalformed) return;
    if (reader.state() == SmtpReplyReader::State::kComplete) {
      SmtpReply reply = reader.Take();
      Check(reply.code >= 200 && reply.code <= 599);
      Check(!reply.lines.empty() && reply.lines.size() <= kSmtpReplyLinesMax);
      for (const std::string& line : reply.lines) Check(line.size() <= kSmtpReplyLineKept);
      Check(reply.Text().find('\n') == std::string::npos);
    } else {
      Check(used == next.size());
    }
  }
}

void FuzzStoredMail(std::string_view dialogue) {
  std::string why;
  std::optional<StoredMail> mail = StoredMailParse(dialogue, &why);
  if (!mail) {
    Check(!why.empty());
    return;
  }
  Check(!mail->recipients.empty());
  const std::string& data = mail->data;
  Check(data.size() >= 3 && data.compare(data.size() - 3, 3, ".\r\n") == 0);
  // The closing line is the first lone "." line.
  Check(data.size() == 3 || data.find("\r\n.\r\n") == data.size() - 5);
}

void FuzzEncodings(std::string_view text) {
  Check(Base64Decode(Base64Encode(text)) == std::string(text));
  Base64Decode(text);
  const std::string qp = QuotedPrintableEncode(text);
  std::string normal;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    normal += (text[i] == '\r' || text[i] == '\n') ? std::string("\r\n") : std::string(1, text[i]);
  }
  Check(QuotedPrintableDecode(qp) == normal);
  QuotedPrintableDecode(text);
  Check(HeaderTextDecode(HeaderTextEncode(text, 9)) == std::string(text) ||
        text.find_first_of("\r\n") != std::string_view::npos);
  HeaderTextDecode(text);
  if (std::optional<std::time_t> when = MailDateParse(text)) {
    // Written back in local time with a zone of whole minutes (old local
    // mean times had seconds), it reads back within a minute.
    std::optional<std::time_t> again = MailDateParse(MailDate(*when));
    Check(again && *again - *when < 60 && *when - *again < 60);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 64;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  FuzzReplies(text, piece);
  FuzzStoredMail(text);
  FuzzEncodings(text);
  return 0;
}
