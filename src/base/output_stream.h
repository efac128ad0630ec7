// OutputStream: the one sink every producer writes through. It stands for a
// byte sink (a client connection), an open file or a StrBuf, so the same
// template code fills a web page, a mail body in memory or a record in a
// file. A stream does not own its destination.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "base/strbuf.h"

namespace tallypad {

// A destination that takes bytes as they are written; the server's client
// connections are sinks.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes `count` bytes.
  virtual void Take(const char* bytes, size_t count) = 0;
};

// Exactly one destination is normally set; when several are, the first in
// this order receives the output. With none, output is swallowed.
struct OutputStream {
  ByteSink* sink = nullptr;
  std::FILE* file = nullptr;
  StrBuf* buffer = nullptr;
};

// Writes `count` bytes to the stream; a null stream or null bytes do nothing.
void StreamWrite(OutputStream* s, const void* bytes, size_t count);
// Writes the bytes of `text`.
void StreamWriteText(OutputStream* s, std::string_view text);
// Copies the rest of the open file `f` to the stream in pieces of at most
// 1024 bytes; the file is neither rewound nor closed.
void StreamCopyFile(OutputStream* s, std::FILE* f);
// Writes each chunk of `b` to the stream, in order.
void StrBufWrite(OutputStream* s, const StrBuf* b);

}  // namespace tallypad
