#include "httpd/server_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/status_log.h"
#include "httpd/response_header.h"

namespace tallypad {
namespace {

// Connects to 127.0.0.1:port, sends `request`, and reads until the server
// closes the connection.
std::string Exchange(int port, const std::string& request) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "<no connect>";
  ::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(s.get(), buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// Runs ServerThread on an ephemeral loopback port with a stub handler that
// answers "code=N" requests with a page and returns N.
class ServerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ListenerOpen(&listener_, 0, INADDR_LOOPBACK);
    ASSERT_TRUE(listener_.socket.valid());
    hooks_.handle_request = [this](Connection& c) {
      char buf[256];
      ssize_t n = ConnReadable(&c, 500000) ? ConnRecv(&c, buf, sizeof buf) : 0;
      std::string request(buf, n > 0 ? static_cast<size_t>(n) : 0);
      ++requests_;
      OutputStream s{&c, nullptr, nullptr};
      WriteResponseHeader(&s);
      StreamWriteText(&s, std::string(3000, 'p'));  // more than a few segments
      return request.rfind("code=", 0) == 0 ? std::stoi(request.substr(5)) : 0;
    };
    thread_ = std::thread([this] { exit_code_ = ServerThread(&listener_, hooks_, stop_); });
  }
  void TearDown() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ListenerClose(&listener_);
  }

  Listener listener_;
  ServerHooks hooks_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
  int exit_code_ = 0;
};

TEST_F(ServerThreadTest, AnswersWithTrailerLinesByCode) {
  const std::string page = std::string(3000, 'p');
  struct Case {
    int code;
    std::string tail;
    std::string log;
  } cases[] = {
      {0, "", ""},
      {101, "<P>Error: Access denied.\n<!-- Velkorn CGI 5.04 -->", "<P>Error: Access denied.\n"},
      {21, "<P><A href=/help/cgi/kqs/error.html#s21>Error 21</a>\n<!-- Velkorn CGI 5.04 -->",
       "<P><A href=/help/cgi/kqs/error.html#s21>Error 21</a>\n"},
  };
  for (const Case& c : cases) {
    StatusLogReset();
    std::string response = Exchange(listener_.port, "code=" + std::to_string(c.code));
    ASSERT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << c.code;
    std::string expected_end = page + c.tail;
    ASSERT_GE(response.size(), expected_end.size());
    EXPECT_EQ(response.substr(response.size() - expected_end.size()), expected_end) << c.code;
    EXPECT_EQ(StatusLogText(), c.log) << c.code;
  }
  EXPECT_EQ(requests_, 3);
}

TEST_F(ServerThreadTest, ClosesAfterEachResponseAndServesTheNext) {
  for (int i = 0; i < 5; ++i) {
    std::string response = Exchange(listener_.port, "code=0");
    EXPECT_NE(response.find(std::string(3000, 'p')), std::string::npos);
  }
  EXPECT_EQ(requests_, 5);
}

TEST_F(ServerThreadTest, EndsWhenTheStopFlagIsSet) {
  auto start = std::chrono::steady_clock::now();
  stop_ = true;
  thread_.join();
  EXPECT_EQ(exit_code_, kServerThreadExitCode);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(TrailerLine, ByCode) {
  EXPECT_EQ(TrailerLine(0), "");
  EXPECT_EQ(TrailerLine(101), "<P>Error: Access denied.\n");
  EXPECT_EQ(TrailerLine(3), "<P><A href=/help/cgi/kqs/error.html#s3>Error 3</a>\n");
}

TEST(ListenerOpen, FallsBackToTheNextPort) {
  Listener first;
  ListenerOpen(&first, 0, INADDR_LOOPBACK);
  ASSERT_TRUE(first.socket.valid());
  Listener second;
  ListenerOpen(&second, first.port, INADDR_LOOPBACK);
  ASSERT_TRUE(second.socket.valid());
  EXPECT_GT(second.port, first.port);
  EXPECT_LE(second.port, first.port + 9);
  ListenerClose(&second);
  ListenerClose(&first);
  EXPECT_FALSE(first.socket.valid());
}

TEST(ListenerOpen, AllTenPortsTakenLeavesItClosed) {
  // Find ten consecutive free ports, hold them all, then try to open there.
  for (int attempt = 0; attempt < 20; ++attempt) {
    Listener probe;
    ListenerOpen(&probe, 0, INADDR_LOOPBACK);
    int base = probe.port;
    ListenerClose(&probe);
    if (base + 10 > 65535) continue;
    std::vector<Listener> held(10);
    bool all = true;
    for (int i = 0; i < 10; ++i) {
      ListenerOpen(&held[static_cast<size_t>(i)], base + i, INADDR_LOOPBACK);
      all = all && held[static_cast<size_t>(i)].port == base + i;
    }
    if (!all) continue;
    Listener l;
    ListenerOpen(&l, base, INADDR_LOOPBACK);
    EXPECT_FALSE(l.socket.valid());
    EXPECT_EQ(l.port, base + 10);
    return;
  }
  GTEST_SKIP() << "no run of ten free ports found";
}

TEST(ListenerAccept, AdmissionTestRefusesClients) {
  Listener l;
  ListenerOpen(&l, 0, INADDR_LOOPBACK);
  l.admit = [](const sockaddr_in&, const sockaddr_in&) { return false; };
  std::thread client([&] { Exchange(l.port, "x"); });
  ASSERT_TRUE(ListenerPoll(&l, 2000));
  EXPECT_EQ(ListenerAccept(&l), nullptr);
  client.join();
}

}  // namespace
}  // namespace tallypad
