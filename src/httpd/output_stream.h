// OutputStream: the one sink every producer writes through. It stands for a
// client connection, an open file or a StrBuf, so the same template code
// fills a web page, a mail body in memory or a record in a file. A stream
// does not own its destination. Also writes the HTTP response header in
// front of the CGI-style header text that producers choose.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "base/strbuf.h"
#include "httpd/connection.h"

namespace tallypad {

// Exactly one destination is normally set; when several are, the first in
// this order receives the output. With none, output is swallowed.
struct OutputStream {
  Connection* conn = nullptr;
  std::FILE* file = nullptr;
  StrBuf* buffer = nullptr;
};

// Header text used when a producer passes none. The charset is written as a
// proper media-type parameter so that browsers read every page as UTF-8.
inline constexpr std::string_view kDefaultHeader = "Content-type: text/html; charset=utf-8\n\n";

// Writes `count` bytes to the stream; a null stream or null bytes do nothing.
void StreamWrite(OutputStream* s, const void* bytes, size_t count);
// Writes the bytes of `text`.
void StreamWriteText(OutputStream* s, std::string_view text);
// Copies the rest of the open file `f` to the stream in pieces of at most
// 1024 bytes; the file is neither rewound nor closed.
void StreamCopyFile(OutputStream* s, std::FILE* f);
// Writes each chunk of `b` to the stream, in order.
void StrBufWrite(OutputStream* s, const StrBuf* b);
// Writes the status line (302 for a "Location:" header, else 200), the fixed
// no-cache block and `header` (the default header when empty). Returns 1.
int WriteResponseHeader(OutputStream* s, std::string_view header = {});
// Writes the header of the answer to a path that names no file: status
// "404 Not Found", the fixed no-cache block and the default header.
// Returns 1.
int WriteNotFoundHeader(OutputStream* s);
// Writes a header with the status line for `status` ("429 Too Many
// Requests"), the header lines `extra` (each ending in "\r\n"), the fixed
// no-cache block and the default header. Returns 1.
int WriteStatusHeader(OutputStream* s, std::string_view status, std::string_view extra = {});

}  // namespace tallypad
