// The server loop over real loopback sockets, with a stub request handler:
// trailer lines by result code, one request per connection, refusals of
// requests that never became complete, and clients that are silent, trickle
// their request, or ask for a large answer and never read it, none of which
// delays anybody else.
#include "httpd/server_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/status_log.h"
#include "httpd/response_header.h"

namespace tallypad {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kBigAnswer = 4 << 20;
constexpr size_t kHugeAnswer = 24 << 20;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A client socket connected to 127.0.0.1:port (invalid when it failed).
UniqueFd Connect(int port) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) s.reset();
  return s;
}

// Reads until the server closes the connection.
std::string ReadAll(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// Sends `request` on a new connection and reads the whole response.
std::string Exchange(int port, const std::string& request) {
  UniqueFd s = Connect(port);
  if (!s.valid()) return "<no connect>";
  ::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
  return ReadAll(s.get());
}

// Runs ServerThread on an ephemeral loopback port with a stub handler:
// "code=N" answers with a page and returns N; "big" answers with 4 MiB,
// more than a socket's buffers usually hold, and "huge" with 24 MiB, more
// than they can hold.
class ServerThreadTest : public ::testing::Test {
 protected:
  void Start(ServerLimits limits = {}) {
    limits_ = limits;
    ListenerOpen(&listener_, 0, INADDR_LOOPBACK);
    ASSERT_TRUE(listener_.socket.valid());
    hooks_.handle_request = [this](Connection& c) {
      ++requests_;
      OutputStream s{&c, nullptr, nullptr};
      WriteResponseHeader(&s);
      if (c.request.rfind("big", 0) == 0 || c.request.rfind("huge", 0) == 0) {
        StreamWriteText(&s, std::string(c.request[0] == 'b' ? kBigAnswer : kHugeAnswer, 'b'));
        return 0;
      }
      StreamWriteText(&s, "page for " + c.request.substr(0, 40) + "|" + std::string(3000, 'p'));
      return c.request.rfind("code=", 0) == 0 ? std::stoi(c.request.substr(5)) : 0;
    };
    thread_ = std::thread([this] { exit_code_ = ServerThread(&listener_, hooks_, stop_, limits_); });
  }
  void TearDown() override {
    stop_ = true;
    ListenerWake(&listener_);
    if (thread_.joinable()) thread_.join();
    ListenerClose(&listener_);
  }
  int port() const { return listener_.port; }

  Listener listener_;
  ServerHooks hooks_;
  ServerLimits limits_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
  int exit_code_ = 0;
};

TEST_F(ServerThreadTest, AnswersWithTrailerLinesByCode) {
  Start();
  const std::string page = std::string(3000, 'p');
  struct Case {
    int code;
    std::string tail;
    std::string log;
  } cases[] = {
      {0, "", ""},
      // The message log gets a sentence, never the page's HTML.
      {101, "<P>Error: Access denied.\n<!-- Velkorn CGI 5.04 -->",
       "\nThe request ended with error 101: access denied."},
      {21, "<P><A href=/help/cgi/kqs/error.html#s21>Error 21</a>\n<!-- Velkorn CGI 5.04 -->",
       "\nThe request ended with error 21 (explained at /help/cgi/kqs/error.html#s21)."},
  };
  for (const Case& c : cases) {
    StatusLogReset();
    std::string response = Exchange(port(), "code=" + std::to_string(c.code) + "\r\n\r\n");
    ASSERT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << c.code;
    std::string expected_end = page + c.tail;
    ASSERT_GE(response.size(), expected_end.size());
    EXPECT_EQ(response.substr(response.size() - expected_end.size()), expected_end) << c.code;
    EXPECT_EQ(StatusLogText(), c.log) << c.code;
  }
  EXPECT_EQ(requests_, 3);
}

TEST_F(ServerThreadTest, ClosesAfterEachResponseAndServesTheNext) {
  Start();
  for (int i = 0; i < 5; ++i) {
    std::string response = Exchange(port(), "GET /" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
    EXPECT_NE(response.find("page for GET /" + std::to_string(i) + " "), std::string::npos);
  }
  EXPECT_EQ(requests_, 5);
}

TEST_F(ServerThreadTest, EndsAtOnceWhenWokenAfterTheStopFlagIsSet) {
  Start();
  auto start = Clock::now();
  stop_ = true;
  ListenerWake(&listener_);
  thread_.join();
  EXPECT_EQ(exit_code_, kServerThreadExitCode);
  EXPECT_LT(SecondsSince(start), 0.5);
}

TEST_F(ServerThreadTest, RequestsThatNeverBecomeCompleteAreRefused) {
  ServerLimits limits;
  limits.request.max_bytes = 2000;
  limits.request.max_ms = 300;
  Start(limits);
  enum class Then { kWait, kClose };
  struct Case {
    const char* what;
    std::string sent;
    Then then;
    std::string status;  // "" when closed without an answer
    std::string line;
    std::string log;
  } cases[] = {
      {"too large", "GET /" + std::string(3000, 'a'), Then::kWait, "HTTP/1.1 413 Payload Too Large",
       "The request is larger than 2000 bytes.\n", "\nRefused a request larger than 2000 bytes."},
      {"announced larger than the limit", "POST /kqs HTTP/1.1\r\nContent-Length: 5000\r\n\r\n",
       Then::kWait, "HTTP/1.1 413 Payload Too Large", "The request is larger than 2000 bytes.\n",
       "\nRefused a request larger than 2000 bytes."},
      {"not complete in time", "POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n\r\nab", Then::kWait,
       "HTTP/1.1 408 Request Timeout", "The request was not complete within 300 ms.\n",
       "\nRefused a request not complete within 300 ms."},
      {"body cut short", "POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n\r\na=" + std::string(38, 'x'),
       Then::kClose, "HTTP/1.1 400 Bad Request", "The request ended before its body was complete.\n",
       "\nRefused a request that ended before its body was complete."},
      {"nothing sent, then closed", "", Then::kClose, "", "", ""},
      {"nothing sent within the time", "", Then::kWait, "", "", ""},
  };
  for (const Case& c : cases) {
    StatusLogReset();
    UniqueFd s = Connect(port());
    ASSERT_TRUE(s.valid()) << c.what;
    if (!c.sent.empty()) ::send(s.get(), c.sent.data(), c.sent.size(), MSG_NOSIGNAL);
    if (c.then == Then::kClose) ::shutdown(s.get(), SHUT_WR);
    auto start = Clock::now();
    std::string response = ReadAll(s.get());
    EXPECT_LT(SecondsSince(start), 2.0) << c.what;
    if (c.status.empty()) {
      EXPECT_EQ(response, "") << c.what;
    } else {
      EXPECT_EQ(response.rfind(c.status + "\r\n", 0), 0u) << c.what << "\n" << response;
      EXPECT_NE(response.find("\r\n\r\n" + c.line), std::string::npos) << c.what;
    }
    EXPECT_EQ(StatusLogText(), c.log) << c.what;
  }
  EXPECT_EQ(requests_, 0) << "no refused request reaches the handler";
}

TEST_F(ServerThreadTest, SilenceIsNeverARequestAndALateRequestGetsItsOwnPage) {
  Start();
  UniqueFd late = Connect(port());
  ASSERT_TRUE(late.valid());
  std::this_thread::sleep_for(milliseconds(2000));
  EXPECT_EQ(requests_, 0);
  const std::string request = "GET /late HTTP/1.0\r\n\r\n";
  ::send(late.get(), request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_NE(ReadAll(late.get()).find("page for GET /late "), std::string::npos);
}

TEST_F(ServerThreadTest, SilentTricklingAndNonReadingClientsCostOthersNothing) {
  Start();
  std::vector<UniqueFd> silent, tricklers, non_readers;
  for (int i = 0; i < 100; ++i) silent.push_back(Connect(port()));
  for (int i = 0; i < 20; ++i) tricklers.push_back(Connect(port()));
  for (int i = 0; i < 10; ++i) {
    non_readers.push_back(Connect(port()));
    ::send(non_readers.back().get(), "big\r\n\r\n", 7, MSG_NOSIGNAL);
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string request = "GET /slow HTTP/1.0\r\nX: ";
    for (size_t at = 0; !done; at = (at + 1) % request.size()) {
      for (UniqueFd& t : tricklers) ::send(t.get(), &request[at], 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(milliseconds(200));
    }
  });
  std::vector<double> latencies;
  for (int i = 0; i < 20; ++i) {
    auto start = Clock::now();
    std::string response = Exchange(port(), "GET /normal HTTP/1.0\r\n\r\n");
    latencies.push_back(SecondsSince(start));
    EXPECT_NE(response.find("page for GET /normal "), std::string::npos);
  }
  done = true;
  trickle.join();
  std::sort(latencies.begin(), latencies.end());
  EXPECT_LT(latencies.back(), 1.0) << "the slowest of 20 requests";
}

TEST_F(ServerThreadTest, AResponseNotTakenInTimeIsDropped) {
  ServerLimits limits;
  limits.response_ms = 300;
  Start(limits);
  UniqueFd s = Connect(port());
  ::send(s.get(), "big\r\n\r\n", 7, MSG_NOSIGNAL);
  std::this_thread::sleep_for(milliseconds(800));
  // Whatever was sent before the bound arrives; the rest never does.
  std::string got = ReadAll(s.get());
  EXPECT_LT(got.size(), kBigAnswer);
  EXPECT_NE(Exchange(port(), "code=0\r\n\r\n").find("page for code=0"), std::string::npos);
}

TEST_F(ServerThreadTest, HeldResponsesBeyondTheBoundDropTheStalledClients) {
  ServerLimits limits;
  limits.max_held_response_bytes = 32 << 20;  // room for about two huge answers
  Start(limits);
  std::vector<UniqueFd> stalled;
  for (int i = 0; i < 3; ++i) {
    stalled.push_back(Connect(port()));
    ::send(stalled.back().get(), "huge\r\n\r\n", 8, MSG_NOSIGNAL);
    std::this_thread::sleep_for(milliseconds(1200));  // each stalls past a second
  }
  // The server dropped the stalled client it had to: the first one ends
  // short of its answer, and everybody else is still served.
  std::string first = ReadAll(stalled.front().get());
  EXPECT_LT(first.size(), kHugeAnswer);
  EXPECT_NE(Exchange(port(), "code=0\r\n\r\n").find("page for code=0"), std::string::npos);
}

TEST_F(ServerThreadTest, AtTheConnectionBoundNewClientsWaitInTheBacklog) {
  ServerLimits limits;
  limits.max_connections = 5;
  limits.request.max_ms = 500;
  Start(limits);
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 5; ++i) silent.push_back(Connect(port()));
  std::this_thread::sleep_for(milliseconds(100));
  auto start = Clock::now();
  std::string response = Exchange(port(), "GET /waiting HTTP/1.0\r\n\r\n");
  EXPECT_NE(response.find("page for GET /waiting "), std::string::npos);
  // Served once the silent connections were closed at their time bound.
  EXPECT_GT(SecondsSince(start), 0.2);
}

TEST_F(ServerThreadTest, ABurstOfTwoThousandClientsIsServed) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 5000) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 5000);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur < 5000) GTEST_SKIP() << "too few file descriptors for the burst";
  Start();
  constexpr int kClients = 2000;
  std::vector<UniqueFd> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(Connect(port()));
    ASSERT_TRUE(clients.back().valid()) << i;
    const std::string request = "GET /burst" + std::to_string(i) + " HTTP/1.0\r\n\r\n";
    ::send(clients.back().get(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  int answered = 0;
  for (int i = 0; i < kClients; ++i) {
    if (ReadAll(clients[static_cast<size_t>(i)].get())
            .find("page for GET /burst" + std::to_string(i) + " ") != std::string::npos)
      ++answered;
  }
  EXPECT_EQ(answered, kClients);
  EXPECT_NE(Exchange(port(), "code=0\r\n\r\n").find("page for code=0"), std::string::npos);
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
  UniqueFd client = Connect(l.port);
  ASSERT_TRUE(client.valid());
  std::this_thread::sleep_for(milliseconds(100));
  bool refused = false;
  EXPECT_EQ(ListenerAccept(&l, &refused), nullptr);
  EXPECT_TRUE(refused);
  EXPECT_EQ(ReadAll(client.get()), "") << "the refused client is closed";
}

}  // namespace
}  // namespace tallypad
