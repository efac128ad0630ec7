// Reading and splitting a request. The reader gathers a request in blocks
// and stops as soon as it is complete: the header block has ended and either
// the method is not "POST" or the body holds the bytes its Content-Length
// names. Without a Content-Length a POST ends when the client closes or
// stays silent for two waits in a row; with one, its body must arrive whole
// before the client closes or the reading time ends. Every request is
// bounded in size, in reading time and in the number of its fields. The
// splitter cuts the request line into method, path and the rest, separated
// by spaces only, as the router needs them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "httpd/connection.h"

namespace tallypad {

// Largest request accepted: form posts from a browser are far smaller, and
// the whole request is held in memory.
inline constexpr size_t kMaxRequestBytes = 1 << 20;
// Longest time to read one request: the single server thread serves no one
// else meanwhile.
inline constexpr int kMaxRequestMs = 10000;
// One silent wait; two in a row end a request whose length is not known.
inline constexpr long kSilentWaitUs = 524288;
// Most fields (query or form items with a name) one request may carry: a
// long survey page sends a few hundred, and every field costs the engines
// a little work and memory.
inline constexpr size_t kMaxRequestFields = 10000;
// Bytes asked of the socket per receive.
inline constexpr size_t kRequestReadBlock = 16384;
// Room reserved for a request up front; nearly every request fits.
inline constexpr size_t kRequestInitialCapacity = 8196;

struct RequestLimits {
  size_t max_bytes = kMaxRequestBytes;
  int max_ms = kMaxRequestMs;
  long silent_wait_us = kSilentWaitUs;
  size_t max_fields = kMaxRequestFields;
};

enum class ReadResult {
  kComplete,  // the request is in the text (possibly empty, or ended by the client
              // where no Content-Length tells its end)
  kTooLarge,  // more than max_bytes
  kTimedOut,  // not complete within max_ms
  kCutShort,  // the client closed before the body its Content-Length names arrived
};

// Reads one request from the connection into `*text`; a complete request
// with a Content-Length is cut after its body.
ReadResult ReadRequest(Connection* c, std::string* text, const RequestLimits& limits = {});

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
