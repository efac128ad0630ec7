#include "httpd/output_stream.h"

#include <gtest/gtest.h>

#include "base/file.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

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
    EXPECT_EQ(WriteResponseHeader(&s, c.header), 1);
    EXPECT_EQ(b.ToString(), c.expected) << c.header;
  }
}

TEST(OutputStream, BufferCollectsExactBytes) {
  StrBuf b;
  OutputStream s{nullptr, nullptr, &b};
  StreamWrite(&s, "a\0b", 3);
  StreamWriteText(&s, "cd");
  StreamWrite(&s, nullptr, 4);
  StreamWrite(nullptr, "x", 1);
  EXPECT_EQ(b.ToString(), std::string("a\0bcd", 5));
  OutputStream nowhere;
  StreamWriteText(&nowhere, "swallowed");
}

TEST(OutputStream, FirstDestinationWins) {
  TempDir dir;
  StrBuf b;
  FILE* f = std::fopen(dir.File("o").c_str(), "wb");
  OutputStream s{nullptr, f, &b};
  StreamWriteText(&s, "to file");
  std::fclose(f);
  EXPECT_EQ(dir.Read("o"), "to file");
  EXPECT_EQ(b.Length(), 0u);
}

TEST(StreamCopyFile, CopiesInPiecesOf1024) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 2500; ++i) content += static_cast<char>('a' + i % 26);
  FilePtr f = FileOpen(dir.Write("big", content), "rb");
  // Through a connection, each 1024-byte write leaves as a 260-byte segment
  // plus 764 bytes sent straight; the last 452 bytes as 260 plus 192 waiting.
  auto conn = ConnMake(-1, sockaddr_in{});
  std::vector<size_t> sends;
  std::string sent;
  conn->send = [&](int, const char* bytes, size_t n) {
    sends.push_back(n);
    sent.append(bytes, n);
    return static_cast<ssize_t>(n);
  };
  OutputStream s{conn.get(), nullptr, nullptr};
  StreamCopyFile(&s, f.get());
  ConnClose(conn.get());
  EXPECT_EQ(sends, (std::vector<size_t>{260, 764, 260, 764, 260, 192}));
  EXPECT_EQ(sent, content);
}

TEST(StrBufWrite, WritesEveryChunk) {
  StrBuf src(3);
  src.AppendText("abcdefgh");
  StrBuf dst;
  OutputStream s{nullptr, nullptr, &dst};
  StrBufWrite(&s, &src);
  EXPECT_EQ(dst.ToString(), "abcdefgh");
}

}  // namespace
}  // namespace tallypad
