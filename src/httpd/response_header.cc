#include "httpd/response_header.h"

#include <string>

#include "base/str.h"

namespace tallypad {

namespace {

void WriteHeaderWithStatus(OutputStream* s, std::string_view status_line,
                           std::string_view header) {
  StreamWriteText(s, status_line);
  StreamWriteText(s, "client:close\r\nExpires: 0\r\nCache-control: no-cache\r\nPragma: no-cache\r\n");
  StreamWriteText(s, header);
}

}  // namespace

void WriteResponseHeader(OutputStream* s, std::string_view header) {
  if (header.empty()) header = kDefaultHeader;
  bool redirect = header.size() >= 9 && StrCompareNoCaseN(header, "Location:", 9) == 0;
  WriteHeaderWithStatus(s, redirect ? "HTTP/1.1 302 Found\r\n" : "HTTP/1.1 200 OK\r\n", header);
}

void WriteNotFoundHeader(OutputStream* s) { WriteStatusHeader(s, "404 Not Found"); }

void WriteTooManyRequests(OutputStream* s, long retry_after_seconds, std::string_view page) {
  WriteStatusHeader(s, "429 Too Many Requests",
                    "Retry-After: " + std::to_string(retry_after_seconds) + "\r\n");
  StreamWriteText(s, page);
}

void WriteStatusHeader(OutputStream* s, std::string_view status, std::string_view extra) {
  std::string line = "HTTP/1.1 ";
  line.append(status).append("\r\n").append(extra);
  WriteHeaderWithStatus(s, line, kDefaultHeader);
}

}  // namespace tallypad
