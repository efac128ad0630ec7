#include "mail/smtp_reply.h"

namespace tallypad {

namespace {

struct ReplyClassRow {
  char first_digit;
  SmtpReplyClass reply_class;
  std::string_view meaning;
};

// The classes of RFC 5321, 4.2.1, by the first digit of the code.
constexpr ReplyClassRow kReplyClasses[] = {
    {'2', SmtpReplyClass::kPositive, "accepted"},
    {'3', SmtpReplyClass::kIntermediate, "go on"},
    {'4', SmtpReplyClass::kTransient, "not now, try again later"},
    {'5', SmtpReplyClass::kPermanent, "refused for good"},
};

const ReplyClassRow* RowOf(int code) {
  if (code < 200 || code > 599) return nullptr;
  const char digit = static_cast<char>('0' + code / 100);
  for (const ReplyClassRow& row : kReplyClasses)
    if (row.first_digit == digit) return &row;
  return nullptr;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string SmtpReply::Text() const {
  std::string out = std::to_string(code);
  for (size_t i = 0; i < lines.size(); ++i) {
    out += i == 0 ? " " : " / ";
    for (char c : lines[i]) {
      const unsigned char b = static_cast<unsigned char>(c);
      out.push_back(b < 0x20 || b == 0x7f ? '?' : c);
    }
  }
  return out;
}

SmtpReplyClass SmtpReplyClassOf(int code) {
  const ReplyClassRow* row = RowOf(code);
  return row ? row->reply_class : SmtpReplyClass::kTransient;
}

std::string_view SmtpReplyClassMeaning(int code) {
  const ReplyClassRow* row = RowOf(code);
  return row ? row->meaning : "no valid reply";
}

size_t SmtpReplyReader::Feed(std::string_view bytes) {
  size_t used = 0;
  while (used < bytes.size() && state_ == State::kNeedMore) {
    const char c = bytes[used++];
    if (c == '\n') {
      EndLine();
    } else if (line_.size() < kSmtpReplyLineKept) {
      line_.push_back(c);
    }
  }
  return used;
}

void SmtpReplyReader::EndLine() {
  std::string line = std::move(line_);
  line_.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // "NNN", "NNN text" or "NNN-text", with the same code on every line.
  const bool coded = line.size() >= 3 && line[0] >= '2' && line[0] <= '5' && IsDigit(line[1]) &&
                     IsDigit(line[2]) && (line.size() == 3 || line[3] == ' ' || line[3] == '-');
  const int code = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
  if (!coded || (!reply_.lines.empty() && code != reply_.code) ||
      reply_.lines.size() >= kSmtpReplyLinesMax) {
    state_ = State::kMalformed;
    return;
  }
  reply_.code = code;
  reply_.lines.push_back(line.size() > 4 ? line.substr(4) : std::string());
  if (line.size() == 3 || line[3] == ' ') state_ = State::kComplete;
}

SmtpReply SmtpReplyReader::Take() {
  SmtpReply reply = std::move(reply_);
  reply_ = SmtpReply{};
  state_ = State::kNeedMore;
  return reply;
}

}  // namespace tallypad
