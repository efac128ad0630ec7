#include "httpd/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "base/file.h"
#include "base/output_stream.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

// A connection whose sends are recorded instead of going to a socket.
struct RecordingConnection {
  std::unique_ptr<Connection> conn = ConnMake(-1, sockaddr_in{});
  std::vector<std::string> sends;
  RecordingConnection() {
    conn->send = [this](int, const char* bytes, size_t n) {
      sends.emplace_back(bytes, n);
      return static_cast<ssize_t>(n);
    };
  }
  std::vector<size_t> SendSizes() const {
    std::vector<size_t> out;
    for (const auto& s : sends) out.push_back(s.size());
    return out;
  }
};

TEST(ConnWrite, GathersSmallWritesIntoSegments) {
  struct Case {
    const char* name;
    size_t waiting;
    size_t write;
    std::vector<size_t> sends;
    size_t fill_after;
  } cases[] = {
      {"fits", 0, 259, {}, 259},
      {"fills exactly", 0, 260, {260}, 0},
      {"fills exactly with bytes waiting", 100, 160, {260}, 0},
      {"large write after waiting bytes", 100, 1000, {260, 840}, 0},
      {"overflow below a segment", 100, 300, {260}, 140},
      {"overflow by exactly a segment", 0, 520, {260, 260}, 0},
  };
  for (const Case& c : cases) {
    RecordingConnection r;
    std::string first(c.waiting, 'w');
    if (c.waiting) ConnWrite(r.conn.get(), first.data(), first.size());
    std::string data(c.write, 'd');
    EXPECT_EQ(ConnWrite(r.conn.get(), data.data(), data.size()), c.write) << c.name;
    EXPECT_EQ(r.SendSizes(), c.sends) << c.name;
    EXPECT_EQ(r.conn->fill, c.fill_after) << c.name;
  }
}

TEST(ConnWrite, KeepsByteOrderAcrossSegments) {
  RecordingConnection r;
  std::string all;
  for (int i = 0; i < 50; ++i) {
    std::string piece = std::to_string(i) + ":" + std::string(static_cast<size_t>(i * 7), 'x') + ";";
    all += piece;
    ConnWrite(r.conn.get(), piece.data(), piece.size());
  }
  ConnClose(r.conn.get());
  std::string sent;
  for (const auto& s : r.sends) sent += s;
  EXPECT_EQ(sent, all);
}

TEST(ConnClose, SendsWhatIsWaiting) {
  RecordingConnection r;
  ConnWrite(r.conn.get(), "tail", 4);
  EXPECT_TRUE(r.sends.empty());
  ConnClose(r.conn.get());
  EXPECT_EQ(r.sends, (std::vector<std::string>{"tail"}));
  ConnClose(r.conn.get());
  EXPECT_EQ(r.sends.size(), 1u);
}

TEST(ConnWrite, WritingToAClosedPeerDoesNotKillTheProcess) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  auto conn = ConnMake(pair[0], sockaddr_in{});
  ::close(pair[1]);
  std::string data(100000, 'x');
  EXPECT_EQ(ConnWrite(conn.get(), data.data(), data.size()), data.size());
  ConnClose(conn.get());
}

TEST(ConnWrite, ACopiedFileLeavesInSegments) {
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

}  // namespace
}  // namespace tallypad
