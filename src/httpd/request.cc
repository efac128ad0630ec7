#include "httpd/request.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "base/str.h"

namespace tallypad {

namespace {

constexpr size_t kNone = std::string_view::npos;

// Returns the position just after the first blank line ("\n\n" or
// "\r\n\r\n") whose last line feed is at or after `from`; npos when none.
size_t FindHeaderEnd(std::string_view text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] != '\n' || i == 0) continue;
    if (text[i - 1] == '\n') return i + 1;
    if (text[i - 1] == '\r' && i >= 2 && text[i - 2] == '\n') return i + 1;
  }
  return kNone;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The header block: the text up to its blank line, or all of it.
std::string_view HeaderBlock(std::string_view text) {
  size_t end = FindHeaderEnd(text, 0);
  return end == kNone ? text : text.substr(0, end);
}

// The length of the complete request whose header block ends at
// `header_end`: the header block alone unless the method is "POST", then
// the header block and the Content-Length bytes; nullopt for a POST
// without a usable Content-Length.
std::optional<size_t> LengthAfterHeader(std::string_view text, size_t header_end) {
  if (SplitRequestLine(text.substr(0, header_end)).method != "POST") return header_end;
  std::optional<size_t> body = ContentLength(text.substr(0, header_end));
  if (!body) return std::nullopt;
  if (*body > std::numeric_limits<size_t>::max() - header_end) return std::numeric_limits<size_t>::max();
  return header_end + *body;
}

// Calls `fn` with the trimmed name and value of each "name: value" line of
// the header block after the request line.
template <typename Fn>
void ForEachHeader(std::string_view text, Fn fn) {
  std::string_view block = HeaderBlock(text);
  size_t newline = block.find('\n');
  while (newline != kNone && newline + 1 < block.size()) {
    size_t begin = newline + 1;
    newline = block.find('\n', begin);
    std::string_view line = block.substr(begin, newline == kNone ? kNone : newline - begin);
    size_t colon = line.find(':');
    if (colon != kNone) fn(TrimBlanks(line.substr(0, colon)), TrimBlanks(line.substr(colon + 1)));
  }
}

}  // namespace

std::optional<size_t> BodyStart(std::string_view text) {
  size_t crlf = text.find("\r\n\r\n");
  if (crlf != kNone) return crlf + 4;
  size_t lf = text.find("\n\n");
  if (lf != kNone) return lf + 2;
  return std::nullopt;
}

std::optional<size_t> CompleteRequestLength(std::string_view text) {
  size_t header_end = FindHeaderEnd(text, 0);
  if (header_end == kNone) return std::nullopt;
  std::optional<size_t> total = LengthAfterHeader(text, header_end);
  if (!total || *total > text.size()) return std::nullopt;
  return total;
}

std::optional<std::string_view> HeaderValue(std::string_view text, std::string_view name) {
  std::optional<std::string_view> found;
  ForEachHeader(text, [&](std::string_view n, std::string_view value) {
    if (!found && StrEqualNoCase(n, name)) found = value;
  });
  return found;
}

std::optional<size_t> ContentLength(std::string_view text) {
  constexpr size_t kHuge = std::numeric_limits<size_t>::max();
  std::optional<size_t> found;
  bool usable = true;
  // Every Content-Length line must agree; conflicting lengths are not trusted.
  ForEachHeader(text, [&](std::string_view name, std::string_view value) {
    if (!StrEqualNoCase(name, "Content-Length")) return;
    size_t n = 0;
    if (value.empty()) usable = false;
    for (char c : value) {
      if (c < '0' || c > '9') {
        usable = false;
        return;
      }
      size_t digit = static_cast<size_t>(c - '0');
      n = n > (kHuge - digit) / 10 ? kHuge : n * 10 + digit;
    }
    if (found && *found != n) usable = false;
    found = n;
  });
  return usable ? found : std::nullopt;
}

RequestLine SplitRequestLine(std::string_view text) {
  RequestLine line;
  size_t first = text.find(' ');
  if (first == kNone) {
    line.method = text;
    return line;
  }
  line.method = text.substr(0, first);
  size_t second = text.find(' ', first + 1);
  if (second == kNone) {
    line.path = text.substr(first + 1);
    return line;
  }
  line.path = text.substr(first + 1, second - first - 1);
  line.rest = text.substr(second + 1);
  return line;
}

RequestAssembler::RequestAssembler(const RequestLimits& limits, Clock::time_point start)
    : limits_(limits),
      deadline_(start + std::chrono::milliseconds(limits.max_ms)),
      last_bytes_(start) {}

RequestState RequestAssembler::Feed(const char* bytes, size_t count, Clock::time_point now) {
  if (state_ != RequestState::kReading || count == 0) return state_;
  text_.append(bytes, count);
  last_bytes_ = now;
  if (header_end_ == kNone) {
    header_end_ = FindHeaderEnd(text_, scanned_ > 0 ? scanned_ - 1 : 0);
    scanned_ = text_.size();
    if (header_end_ != kNone) total_ = LengthAfterHeader(text_, header_end_);
  }
  if (total_ && *total_ > limits_.max_bytes) return state_ = RequestState::kTooLarge;
  if (total_ && text_.size() >= *total_) {
    had_more_ = text_.size() > *total_;
    text_.resize(*total_);
    return state_ = RequestState::kComplete;
  }
  if (text_.size() > limits_.max_bytes) return state_ = RequestState::kTooLarge;
  return Check(now);
}

RequestState RequestAssembler::PeerClosed() {
  if (state_ != RequestState::kReading) return state_;
  if (text_.empty()) return state_ = RequestState::kNothing;
  // A body of known length that has not all arrived never will.
  return state_ = total_ ? RequestState::kCutShort : RequestState::kComplete;
}

RequestState RequestAssembler::Check(Clock::time_point now) {
  if (state_ != RequestState::kReading) return state_;
  if (now >= deadline_)
    return state_ = text_.empty() ? RequestState::kNothing : RequestState::kTimedOut;
  // Silence ends a request whose end nothing else tells; a body of known
  // length is still owed, and a stalled client is waited for until the time
  // bound. Silence before the first byte is no request at all.
  if (!text_.empty() && !total_ && now - last_bytes_ >= SilenceThatEnds())
    return state_ = RequestState::kComplete;
  return state_;
}

RequestAssembler::Clock::time_point RequestAssembler::NextCheck() const {
  if (state_ != RequestState::kReading) return Clock::time_point::min();
  if (!text_.empty() && !total_) return std::min(deadline_, last_bytes_ + SilenceThatEnds());
  return deadline_;
}

size_t RequestAssembler::Room() const {
  return text_.size() > limits_.max_bytes ? 0 : limits_.max_bytes + 1 - text_.size();
}

RequestAssembler::Clock::duration RequestAssembler::SilenceThatEnds() const {
  return std::chrono::microseconds(2 * limits_.silent_wait_us);
}

}  // namespace tallypad
