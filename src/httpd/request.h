// Gathering and splitting a request. The assembler collects a request from
// the bytes a connection receives and tells when it is complete: the header
// block has ended and either the method is not "POST" or the body holds the
// bytes its Content-Length names. Without a Content-Length a POST ends when
// the client closes or stays silent for two waits in a row; with one, its
// body must arrive whole before the client closes or the reading time ends.
// Every request is bounded in size, in reading time and in the number of
// its fields. The splitter cuts the request line into method, path and the
// rest, separated by spaces only, as the router needs them.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tallypad {

// Largest request accepted: form posts from a browser are far smaller, and
// the whole request is held in memory.
inline constexpr size_t kMaxRequestBytes = 1 << 20;
// Longest time to read one request: a client that has not sent its whole
// request by then is answered 408 (or closed, when it sent nothing).
inline constexpr int kMaxRequestMs = 10000;
// One silent wait; two in a row end a request whose length is not known.
inline constexpr long kSilentWaitUs = 524288;
// Most fields (query or form items with a name) one request may carry: a
// long survey page sends a few hundred, and every field costs the engines
// a little work and memory.
inline constexpr size_t kMaxRequestFields = 10000;
// Bytes asked of the socket per receive.
inline constexpr size_t kRequestReadBlock = 16384;

struct RequestLimits {
  size_t max_bytes = kMaxRequestBytes;
  int max_ms = kMaxRequestMs;
  long silent_wait_us = kSilentWaitUs;
  size_t max_fields = kMaxRequestFields;
};

// What the bytes received so far make of a request.
enum class RequestState {
  kReading,   // more bytes may follow
  kComplete,  // the request is whole (ended by the client where no
              // Content-Length tells its end)
  kTooLarge,  // more than max_bytes
  kTimedOut,  // not complete within max_ms, though bytes came
  kCutShort,  // the client closed before the body its Content-Length names arrived
  kNothing,   // the client closed, or the time bound passed, before any byte came:
              // no request at all, closed without an answer
};

// Gathers one request from the bytes a connection receives, without ever
// waiting: the caller feeds what arrives, says when the client closed its
// sending side, and asks after silence whether the request has ended. A
// request is complete once its header block has ended and either the
// method is not "POST" or the body holds the bytes its Content-Length
// names; a POST without a usable Content-Length (or a header block that
// never ends) ends when the client closes or has been silent for two silent
// waits. Silence before the first byte never makes a request.
class RequestAssembler {
 public:
  using Clock = std::chrono::steady_clock;

  RequestAssembler(const RequestLimits& limits, Clock::time_point start);

  // Appends `count` received bytes at time `now`; returns the new state.
  RequestState Feed(const char* bytes, size_t count, Clock::time_point now);
  // Notes that the client closed its sending side; returns the new state.
  RequestState PeerClosed();
  // The state at `now`, after silence since the last bytes.
  RequestState Check(Clock::time_point now);
  // The latest time at which Check must be called again.
  Clock::time_point NextCheck() const;
  // How many more bytes may be fed before the request is too large.
  size_t Room() const;
  RequestState state() const { return state_; }
  // The request's text: cut after its body once complete.
  const std::string& text() const { return text_; }
  std::string TakeText() { return std::move(text_); }
  // True when bytes came after the end of the complete request (the client
  // sent more than one request, or a body longer than it said).
  bool had_more() const { return had_more_; }

 private:
  // How long a silence ends a request whose end nothing else tells.
  Clock::duration SilenceThatEnds() const;

  RequestLimits limits_;
  Clock::time_point deadline_;
  Clock::time_point last_bytes_;
  std::string text_;
  size_t header_end_ = std::string::npos;
  size_t scanned_ = 0;            // the header search has looked at bytes before this
  std::optional<size_t> total_;   // the complete length, once the header block tells it
  RequestState state_ = RequestState::kReading;
  bool had_more_ = false;
};

// Returns where the body of `text` starts: after the first "\r\n\r\n", or,
// when there is none, after the first "\n\n"; nullopt when neither is there.
std::optional<size_t> BodyStart(std::string_view text);
// Returns the length of the complete request at the start of `text`, or
// nullopt when more bytes may follow (header block not ended, or a POST
// body shorter than its Content-Length or without one).
std::optional<size_t> CompleteRequestLength(std::string_view text);
// Returns the trimmed value of the first header line named `name` (without
// regard to case) in the header block of `text`; nullopt when there is none.
std::optional<std::string_view> HeaderValue(std::string_view text, std::string_view name);
// Returns the Content-Length of the header block of `text`: nullopt when
// there is none or it is not a plain decimal number.
std::optional<size_t> ContentLength(std::string_view text);

struct RequestLine {
  std::string_view method;  // up to the first space (the whole text without one)
  std::string_view path;    // up to the next space
  std::string_view rest;    // everything after it: version, headers, body
};

// Cuts `text` at its first two spaces (line ends are not separators).
RequestLine SplitRequestLine(std::string_view text);

}  // namespace tallypad
