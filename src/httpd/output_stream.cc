#include "httpd/output_stream.h"

#include "base/str.h"

namespace tallypad {

void StreamWrite(OutputStream* s, const void* bytes, size_t count) {
  if (!s || !bytes || count == 0) return;
  if (s->conn) {
    ConnWrite(s->conn, static_cast<const char*>(bytes), count);
  } else if (s->file) {
    std::fwrite(bytes, 1, count, s->file);
  } else if (s->buffer) {
    s->buffer->Append(bytes, count);
  }
}

void StreamWriteText(OutputStream* s, std::string_view text) {
  StreamWrite(s, text.data(), text.size());
}

void StreamCopyFile(OutputStream* s, std::FILE* f) {
  if (!s || !f) return;
  char piece[1024];
  size_t n;
  while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) StreamWrite(s, piece, n);
}

void StrBufWrite(OutputStream* s, const StrBuf* b) {
  if (!s || !b) return;
  for (const auto& chunk : b->chunks()) StreamWrite(s, chunk->data.get(), chunk->length);
}

namespace {

int WriteHeaderWithStatus(OutputStream* s, std::string_view status_line,
                          std::string_view header) {
  StreamWriteText(s, status_line);
  StreamWriteText(s, "client:close\r\nExpires: 0\r\nCache-control: no-cache\r\nPragma: no-cache\r\n");
  StreamWriteText(s, header);
  return 1;
}

}  // namespace

int WriteResponseHeader(OutputStream* s, std::string_view header) {
  if (header.empty()) header = kDefaultHeader;
  bool redirect = header.size() >= 9 && StrCompareNoCaseN(header, "Location:", 9) == 0;
  return WriteHeaderWithStatus(s, redirect ? "HTTP/1.1 302 Found\r\n" : "HTTP/1.1 200 OK\r\n",
                               header);
}

int WriteNotFoundHeader(OutputStream* s) { return WriteStatusHeader(s, "404 Not Found"); }

int WriteStatusHeader(OutputStream* s, std::string_view status, std::string_view extra) {
  std::string line = "HTTP/1.1 ";
  line.append(status).append("\r\n").append(extra);
  return WriteHeaderWithStatus(s, line, kDefaultHeader);
}

}  // namespace tallypad
