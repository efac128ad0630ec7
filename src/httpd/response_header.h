// The HTTP response header: the status line and the fixed block every
// answer starts with, in front of the CGI-style header text that the
// producers choose ("Content-type: ...", or "Location: ..." for a
// redirect). The engines, the router and the server thread write it.
#pragma once

#include <string_view>

#include "base/output_stream.h"

namespace tallypad {

// Header text used when a producer passes none. The charset is written as a
// proper media-type parameter so that browsers read every page as UTF-8.
inline constexpr std::string_view kDefaultHeader = "Content-type: text/html; charset=utf-8\n\n";

// Writes the status line (302 for a "Location:" header, else 200), the fixed
// no-cache block and `header` (the default header when empty).
void WriteResponseHeader(OutputStream* s, std::string_view header = {});
// Writes the header of the answer to a path that names no file: status
// "404 Not Found", the fixed no-cache block and the default header.
void WriteNotFoundHeader(OutputStream* s);
// Writes the answer "429 Too Many Requests" with a Retry-After of
// `retry_after_seconds` and `page` as its body.
void WriteTooManyRequests(OutputStream* s, long retry_after_seconds, std::string_view page);
// Writes a header with the status line for `status` ("429 Too Many
// Requests"), the header lines `extra` (each ending in "\r\n"), the fixed
// no-cache block and the default header.
void WriteStatusHeader(OutputStream* s, std::string_view status, std::string_view extra = {});

}  // namespace tallypad
