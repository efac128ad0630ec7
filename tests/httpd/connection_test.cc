#include "httpd/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

#include "base/file.h"
#include "base/output_stream.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

std::unique_ptr<Connection> Loopback() {
  sockaddr_in client{};
  client.sin_family = AF_INET;
  client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ConnMake(-1, client);
}

TEST(ConnWrite, TheResponseCollectsEveryWriteInOrder) {
  auto c = Loopback();
  OutputStream s{c.get(), nullptr, nullptr};
  StreamWriteText(&s, "HTTP/1.1 200 OK\r\n\r\n");
  StreamWrite(&s, "a\0b", 3);
  EXPECT_EQ(ConnWrite(c.get(), "cd", 2), 2u);
  EXPECT_EQ(ConnWrite(c.get(), nullptr, 5), 5u);  // nothing to write, nothing written
  EXPECT_EQ(c->response, std::string("HTTP/1.1 200 OK\r\n\r\na\0bcd", 24));
}

TEST(ConnSendFile, AttachesTheFileToBeSentAfterTheResponse) {
  TempDir dir;
  auto c = Loopback();
  UniqueFd file(::open(dir.Write("f.txt", "file bytes").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file.valid());
  ConnWrite(c.get(), "head", 4);
  ConnSendFile(c.get(), std::move(file), 10);
  ASSERT_TRUE(c->file.valid());
  EXPECT_EQ(c->file_size, 10u);
  EXPECT_EQ(c->response, "head");
  ConnSendFile(c.get(), UniqueFd(), 10);
  EXPECT_EQ(c->file_size, 0u) << "no file, nothing to send";
}

}  // namespace
}  // namespace tallypad
