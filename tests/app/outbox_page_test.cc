#include "app/outbox_page.h"

#include <gtest/gtest.h>

#include "base/decode.h"
#include "base/file.h"
#include "base/strbuf.h"
#include "httpd/request.h"
#include "mail/mail_compose.h"
#include "mail/mail_encode.h"
#include "mail/outbox.h"
#include "mail/outbox_state.h"
#include "mail/outbox_status.h"
#include "platform/profile.h"
#include "store/password_guard.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

constexpr uint32_t kLoopback = 0x7f000001;
constexpr uint32_t kNeighbour = 0xc0a80105;  // 192.168.1.5

struct Answer {
  std::string status_line;
  std::string head;
  std::string body;
};

class OutboxPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OutboxTakeSendNow();
    ProcessPasswordGuard().Clear();
  }
  void TearDown() override { ProcessPasswordGuard().Clear(); }

  void Settings(std::string_view ini) {
    settings_ = IniLoadSection(root_.Write("cgi.ini", ini), "server", 0);
  }
  Answer Serve(uint32_t client, std::string request, std::string_view fields = {}) {
    RequestInfo info;
    info.client_address = client;
    if (auto host = HeaderValue(request, "Host")) info.host_header = std::string(*host);
    VarTablePtr vars = VarTableFromList(fields, '&', 0);
    StrBuf out;
    OutputStream stream{nullptr, nullptr, &out};
    ServeOutboxPage(&stream, root_.path(), request, vars.get(), settings_.get(), info);
    const std::string text = out.ToString();
    Answer answer;
    size_t line_end = text.find("\r\n");
    answer.status_line = text.substr(0, line_end);
    size_t blank = text.find("\n\n");
    answer.head = text.substr(0, blank);
    answer.body = blank == std::string::npos ? "" : text.substr(blank + 2);
    return answer;
  }
  static std::string Get(std::string_view host, std::string_view extra = {}) {
    std::string request = "GET /outbox HTTP/1.1\r\n";
    if (!host.empty()) request += "Host: " + std::string(host) + "\r\n";
    return request + std::string(extra) + "\r\n";
  }
  static std::string Basic(std::string_view password) {
    return "Authorization: Basic " + Base64Encode("operator:" + std::string(password)) + "\r\n";
  }

  TempDir root_;
  VarTablePtr settings_;
};

// Without a password only the machine itself sees the page; with one,
// whoever gives it, from anywhere the server admits.
TEST_F(OutboxPageTest, ShownToTheMachineItselfOrWithThePassword) {
  struct Case {
    const char* what;
    const char* ini;
    uint32_t client;
    std::string request;
    const char* status;
  } cases[] = {
      {"loopback, no Host", "[server]\n", kLoopback, Get(""), "HTTP/1.1 200 OK"},
      {"loopback as localhost", "[server]\n", kLoopback, Get("localhost:8080"), "HTTP/1.1 200 OK"},
      {"loopback by address", "[server]\n", kLoopback, Get("127.0.0.1:8080"), "HTTP/1.1 200 OK"},
      {"loopback reached by a foreign name", "[server]\n", kLoopback, Get("evil.example"),
       "HTTP/1.1 403 Forbidden"},
      {"a neighbour", "[server]\n", kNeighbour, Get("192.168.1.2"), "HTTP/1.1 403 Forbidden"},
      {"password set, none given", "[server]\nOUTBOXPASSWORD=pw1\n", kLoopback, Get("localhost"),
       "HTTP/1.1 401 Unauthorized"},
      {"password set, a wrong one", "[server]\nOUTBOXPASSWORD=pw1\n", kNeighbour,
       Get("192.168.1.2", Basic("pw2")), "HTTP/1.1 401 Unauthorized"},
      {"password set and given", "[server]\nOUTBOXPASSWORD=pw1\n", kNeighbour,
       Get("192.168.1.2", Basic("pw1")), "HTTP/1.1 200 OK"},
  };
  for (const Case& c : cases) {
    Settings(c.ini);
    Answer a = Serve(c.client, c.request);
    EXPECT_EQ(a.status_line, c.status) << c.what;
    if (a.status_line.find("401") != std::string::npos) {
      EXPECT_NE(a.head.find("WWW-Authenticate: Basic realm=\"Tallypad outbox\""),
                std::string::npos)
          << c.what;
    }
    if (a.status_line.find("200") == std::string::npos) {
      EXPECT_EQ(a.body.find("<h1>Outbox</h1>"), std::string::npos) << c.what;
    }
  }
}

TEST_F(OutboxPageTest, ListsQueuedMailsAndDeadLettersEscaped) {
  Settings("[server]\n[mail mx:25]\nUSER=u\nPASSWORD=smtp-secret\n");
  OutboxPending = 0;
  ASSERT_EQ(MailQueue(root_.path(), "ann@example.org", "Tom & \"Jerry\" \xc3\xa9t\xc3\xa9", "body", "mx"),
            ResultCode::kOk);
  const std::string record = root_.Read("outbox.kqs");
  ASSERT_TRUE(OutboxStateAppendTry(root_.path(), OutboxRecordKey(record), 3, 1700000000,
                                   "at RCPT TO: 450 4.2.1 greylisted"));
  MailParts parts;
  parts.recipient = "gone@example.org";
  parts.subject = "Dead";
  parts.body = "x";
  std::string dead = MailOutboxRecord("mx", MailComposeDialogue(parts));
  dead.insert(dead.find('\n') + 1, "Reply: at RCPT TO: 550 5.1.1 no such user\n");
  root_.Write("outbox.dead", dead);

  Answer a = Serve(kLoopback, Get("localhost"));
  EXPECT_EQ(a.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(a.body.find("1 mail(s) waiting, 1 dead letter(s)."), std::string::npos) << a.body;
  EXPECT_NE(a.body.find("ann@example.org"), std::string::npos);
  // The subject, stored in encoded words, is shown decoded and escaped.
  EXPECT_NE(a.body.find("<td>Tom &amp; &quot;Jerry&quot; \xc3\xa9t\xc3\xa9</td>"), std::string::npos)
      << a.body;
  EXPECT_NE(a.body.find("<td>3</td><td>at RCPT TO: 450 4.2.1 greylisted</td>"), std::string::npos)
      << a.body;
  EXPECT_NE(a.body.find("gone@example.org"), std::string::npos);
  EXPECT_NE(a.body.find("550 5.1.1 no such user"), std::string::npos);
  EXPECT_NE(a.body.find("value=\"send\">Send now</button>"), std::string::npos);
  EXPECT_NE(a.body.find("value=\"retry\">"), std::string::npos);
  EXPECT_EQ(a.body.find("smtp-secret"), std::string::npos);
}

TEST_F(OutboxPageTest, ButtonsActAndLeadBackToThePage) {
  Settings("[server]\n");
  const std::string post = "POST /outbox HTTP/1.1\r\nHost: localhost:8080\r\n"
                           "Origin: http://localhost:8080\r\n\r\n";
  Answer a = Serve(kLoopback, post, "action=send");
  EXPECT_EQ(a.status_line, "HTTP/1.1 302 Found");
  EXPECT_NE(a.head.find("Location: /outbox"), std::string::npos);
  EXPECT_TRUE(OutboxTakeSendNow());

  MailParts parts;
  parts.recipient = "gone@example.org";
  parts.subject = "Dead";
  parts.body = "x";
  const std::string record = MailOutboxRecord("mx", MailComposeDialogue(parts));
  std::string dead = record;
  dead.insert(dead.find('\n') + 1, "Reply: 550 no\n");
  root_.Write("outbox.dead", dead);
  a = Serve(kLoopback, post, "action=retry");
  EXPECT_EQ(a.status_line, "HTTP/1.1 302 Found");
  EXPECT_EQ(root_.Read("outbox.kqs"), record);
  EXPECT_FALSE(FileExists(root_.File("outbox.dead")));

  // A form of another site posting here is refused, and nothing happens.
  OutboxTakeSendNow();
  a = Serve(kLoopback,
            "POST /outbox HTTP/1.1\r\nHost: localhost:8080\r\nOrigin: http://evil.example\r\n\r\n",
            "action=send");
  EXPECT_EQ(a.status_line, "HTTP/1.1 403 Forbidden");
  EXPECT_FALSE(OutboxTakeSendNow());
}

TEST_F(OutboxPageTest, GuessingThePasswordIsSlowedDown) {
  Settings("[server]\nOUTBOXPASSWORD=right\n");
  for (int i = 0; i < kMaxWrongPasswords; ++i)
    EXPECT_EQ(Serve(kNeighbour, Get("x", Basic("wrong"))).status_line, "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(Serve(kNeighbour, Get("x", Basic("right"))).status_line,
            "HTTP/1.1 429 Too Many Requests");
}

}  // namespace
}  // namespace tallypad
