#include "httpd/response_header.h"

#include <gtest/gtest.h>

#include <string>

#include "base/strbuf.h"

namespace tallypad {
namespace {

constexpr const char* kFixedBlock =
    "client:close\r\nExpires: 0\r\nCache-control: no-cache\r\nPragma: no-cache\r\n";

TEST(WriteResponseHeader, ByteForByte) {
  struct Case {
    std::string header;
    std::string expected;
  } cases[] = {
      {"", std::string("HTTP/1.1 200 OK\r\n") + kFixedBlock + "Content-type: text/html; charset=utf-8\n\n"},
      {"Content-type: image/gif\n\n", std::string("HTTP/1.1 200 OK\r\n") + kFixedBlock + "Content-type: image/gif\n\n"},
      {"location: /x\n\n", std::string("HTTP/1.1 302 Found\r\n") + kFixedBlock + "location: /x\n\n"},
      {"Location: http://127.0.0.1:81/t.html\r\n\r\n",
       std::string("HTTP/1.1 302 Found\r\n") + kFixedBlock + "Location: http://127.0.0.1:81/t.html\r\n\r\n"},
      {"Locat\n\n", std::string("HTTP/1.1 200 OK\r\n") + kFixedBlock + "Locat\n\n"},
  };
  for (const Case& c : cases) {
    StrBuf b;
    OutputStream s{nullptr, nullptr, &b};
    WriteResponseHeader(&s, c.header);
    EXPECT_EQ(b.ToString(), c.expected) << c.header;
  }
}

TEST(WriteStatusHeader, StatusAndExtraLinesBeforeTheDefaultHeader) {
  StrBuf b;
  OutputStream s{nullptr, nullptr, &b};
  WriteStatusHeader(&s, "429 Too Many Requests", "Retry-After: 60\r\n");
  WriteNotFoundHeader(&s);
  EXPECT_EQ(b.ToString(), std::string("HTTP/1.1 429 Too Many Requests\r\nRetry-After: 60\r\n") +
                              kFixedBlock + "Content-type: text/html; charset=utf-8\n\n" +
                              "HTTP/1.1 404 Not Found\r\n" + kFixedBlock +
                              "Content-type: text/html; charset=utf-8\n\n");
}

}  // namespace
}  // namespace tallypad
