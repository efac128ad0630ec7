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
#include "mail/mail_compose.h"
#include "mail/outbox.h"
#include "mail/outbox_status.h"
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

// A record of one mail for the mail server at 127.0.0.1:port.
std::string Record(int port) {
  MailParts parts;
  parts.recipient = "a@b.example";
  parts.subject = "S";
  parts.body = "mail";
  return MailOutboxRecord("127.0.0.1:" + std::to_string(port), MailComposeDialogue(parts));
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
  dir_.Write("outbox.kqs", Record(hanging.port()));
  OutboxPending = 1;
  Start();
  ExpectPromptAnswersThroughTheAttempt();
}

TEST_F(OutboxServerTest, ARefusingMailServerDelaysNoRequest) {
  testing::RefusingPort refusing;
  dir_.Write("outbox.kqs", Record(refusing.port()));
  OutboxPending = 1;
  Start();
  ExpectPromptAnswersThroughTheAttempt();
}

// "Send now" is pressed on the server thread while the outbox thread backs
// off: the next step tries again, and the status both threads share shows
// it (ThreadSanitizer runs this test: the shared state is race-free).
TEST_F(OutboxServerTest, SendNowFromARequestEndsTheBackOff) {
  testing::RefusingPort refusing;
  dir_.Write("outbox.kqs", Record(refusing.port()));
  OutboxPending = 1;
  OutboxTakeSendNow();
  std::atomic<size_t> seen_queued{0};
  hooks_.handle_request = [&seen_queued](Connection& c) {
    OutboxSendNow();
    seen_queued = OutboxStatusNow().queued;
    OutputStream s{&c, nullptr, nullptr};
    WriteResponseHeader(&s);
    StreamWriteText(&s, "answered");
    return 0;
  };
  Start();
  const auto first = steady_clock::now() + milliseconds(5000);
  while (attempts_ < 1 && steady_clock::now() < first) std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(attempts_, 1);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(attempts_, 1) << "backing off";
  TimedRequest();
  const auto second = steady_clock::now() + milliseconds(5000);
  while (attempts_ < 2 && steady_clock::now() < second) std::this_thread::sleep_for(milliseconds(20));
  Stop();
  EXPECT_EQ(attempts_, 2);
  EXPECT_EQ(seen_queued, 1u);
}

}  // namespace
}  // namespace tallypad
