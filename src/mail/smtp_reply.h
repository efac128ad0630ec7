// SMTP replies (RFC 5321, 4.2): the reader that gathers a mail server's
// reply, one line or many, out of the bytes that arrive, and the table of
// reply classes that decides what a reply means. The reader is fed bytes
// that come from a server, which may be hostile: it keeps at most
// kSmtpReplyLineKept bytes of a line and kSmtpReplyLinesMax lines of a
// reply, and looks at each byte once. Used by the SMTP session on the
// outbox thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tallypad {

// Bytes kept of one reply line. RFC 5321 (4.5.3.1.5) limits a reply line to
// 512 octets; the rest of a longer line is read and dropped.
inline constexpr size_t kSmtpReplyLineKept = 512;
// Lines of one reply. An EHLO reply lists a dozen or two extensions; a
// reply that goes on beyond this is no reply but a flood.
inline constexpr size_t kSmtpReplyLinesMax = 100;

// One complete reply: its three-digit code and the text of each line
// (after "250-" or "250 ").
struct SmtpReply {
  int code = 0;
  std::vector<std::string> lines;

  // The reply as one line for logs and the outbox's records: "250 text",
  // further lines joined with " / ", control bytes as '?'.
  std::string Text() const;
};

// What a reply class asks of the client.
enum class SmtpReplyClass {
  kPositive,      // 2xx: done, go on
  kIntermediate,  // 3xx: go on with the rest of the command (DATA, AUTH)
  kTransient,     // 4xx: not now; the same command may succeed later
  kPermanent,     // 5xx: refused; the same command will fail again
};

// Returns the class of reply `code` (a code outside 200-599 counts as
// kTransient: the exchange went wrong, and nothing is judged for good).
SmtpReplyClass SmtpReplyClassOf(int code);
// Returns the words that describe the class of `code`, for the log.
std::string_view SmtpReplyClassMeaning(int code);

class SmtpReplyReader {
 public:
  enum class State { kNeedMore, kComplete, kMalformed };

  // Reads from `bytes` up to the end of the reply under way and returns how
  // many bytes it took (the rest belongs to later replies). After
  // kComplete, Take() hands over the reply; after kMalformed the exchange
  // cannot go on (a line without a code, a code that changes within a
  // reply, or too many lines).
  size_t Feed(std::string_view bytes);
  State state() const { return state_; }
  // Returns the complete reply and starts the next one.
  SmtpReply Take();

 private:
  void EndLine();

  State state_ = State::kNeedMore;
  std::string line_;
  SmtpReply reply_;
};

}  // namespace tallypad
