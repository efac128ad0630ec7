// The server thread beside the outbox's own thread: while mail for an
// unreachable mail server is being tried, requests are answered at once,
// and after the attempt the outbox backs off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/status_log.h"
#include "httpd/response_header.h"
#include "httpd/server_thread.h"
#include "mail/outbox.h"
#include "support/loopback_peers.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kConnectTimeoutMs = 2000;

// Sends a request to 127.0.0.1:port and reads the answer until the server
// closes the connection.
std::string Exchange(int port) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "";
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  ::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string out;
  char buf[1024];
  for (ssize_t n; (n = ::recv(s.get(), buf, sizeof buf, 0)) > 0;) {
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

class OutboxServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StatusLogReset();
    StatusLogSetObserver([this](std::string_view text) {
      if (text == "Transmitting data to the server") ++attempts_;
    });
    ListenerOpen(&listener_, 0, INADDR_LOOPBACK);
    ASSERT_TRUE(listener_.socket.valid());
    settings_.transmit.connect_timeout_ms = kConnectTimeoutMs;
    settings_.first_retry_delay = milliseconds(60000);
    settings_.is_online = [] { return true; };
    hooks_.handle_request = [](Connection& c) {
      OutputStream s{&c, nullptr, nullptr};
      WriteResponseHeader(&s);
      StreamWriteText(&s, "answered");
      return 0;
    };
  }
  void TearDown() override {
    Stop();
    ListenerClose(&listener_);
    StatusLogSetObserver(nullptr);
  }
  void Start() {
    thread_ = std::thread([this] { ServerThread(&listener_, hooks_, stop_); });
    outbox_ = std::thread([this] {
      while (!stop_) {
        OutboxServerStep(dir_.path(), &retry_, settings_);
        std::this_thread::sleep_for(milliseconds(50));
      }
    });
  }
  void Stop() {
    stop_ = true;
    ListenerWake(&listener_);
    if (thread_.joinable()) thread_.join();
    if (outbox_.joinable()) outbox_.join();
  }
  // Makes a request and returns how long its answer took.
  milliseconds TimedRequest() {
    auto start = steady_clock::now();
    std::string answer = Exchange(listener_.port);
    EXPECT_NE(answer.find("answered"), std::string::npos);
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
  }
  // Requests are answered at once while the attempt runs; afterwards the
  // outbox backs off instead of trying again.
  void ExpectPromptAnswersThroughTheAttempt() {
    const auto end = steady_clock::now() + milliseconds(kConnectTimeoutMs + 1000);
    while (steady_clock::now() < end) {
      EXPECT_LT(TimedRequest(), milliseconds(500));
      std::this_thread::sleep_for(milliseconds(100));
    }
    Stop();
    EXPECT_EQ(attempts_, 1);
    EXPECT_TRUE(retry_.backing_off);
    EXPECT_EQ(OutboxPending, 1);
  }

  testing::TempDir dir_;
  Listener listener_;
  ServerHooks hooks_;
  OutboxSettings settings_;
  OutboxRetry retry_;
  std::atomic<bool> stop_{false};
  std::atomic<int> attempts_{0};
  std::thread thread_;
  std::thread outbox_;
};

TEST_F(OutboxServerTest, AHangingMailServerDelaysNoRequest) {
  testing::HangingListener hanging;
  if (!hanging.ready()) GTEST_SKIP() << "could not fill a loopback accept queue";
  dir_.Write("outbox.kqs", "OPEN 127.0.0.1:" + std::to_string(hanging.port()) +
                               "\nContent-Length: 4\n\nmail");
  OutboxPending = 1;
  Start();
  ExpectPromptAnswersThroughTheAttempt();
}

TEST_F(OutboxServerTest, ARefusingMailServerDelaysNoRequest) {
  testing::RefusingPort refusing;
  dir_.Write("outbox.kqs", "OPEN 127.0.0.1:" + std::to_string(refusing.port()) +
                               "\nContent-Length: 4\n\nmail");
  OutboxPending = 1;
  Start();
  ExpectPromptAnswersThroughTheAttempt();
}

}  // namespace
}  // namespace tallypad
