// The real program with mail waiting for a mail server that does not
// answer: requests must still be served, within the connect time-out while
// a transmission is tried and at once between tries.
#include <gtest/gtest.h>

#include <chrono>

#include "mail/mail_compose.h"
#include "support/loopback_peers.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::FreePort;
using testing::HangingListener;
using testing::HttpGet;
using testing::ServerProcess;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

// Longest a request may wait behind a transmission: the connect time-out of
// the outbox plus a margin for a loaded machine.
constexpr auto kConnectBound = std::chrono::seconds(10) + std::chrono::seconds(4);

TEST(OutboxProgram, UnreachableMailServerNeverHoldsRequestsLong) {
  HangingListener mail_server;
  ASSERT_TRUE(mail_server.ready());
  TempDir root, registry;
  root.Write("cgi.ini", "[server]\n");
  root.Write("index.html", "<p>index</p>");
  MailParts parts;
  parts.recipient = "a@b.example";
  parts.subject = "S";
  parts.body = "waiting";
  std::string dialogue = MailComposeDialogue(parts);
  std::string record = "OPEN 127.0.0.1:" + std::to_string(mail_server.port()) +
                       "\nContent-Length: " + std::to_string(dialogue.size()) + "\n\n" + dialogue;
  root.Write("outbox.kqs", record);

  ServerProcess program;
  ServerProcess::Options options;
  options.server_root = root.path();
  options.port = FreePort();
  options.registry = registry.path();
  options.env = {{"TALLYPAD_NETWORK", "online"}};
  std::optional<int> port = program.StartServing(options);
  ASSERT_TRUE(port) << program.Errors();

  // The first pass tries the outbox (mail pending at start-up): the first
  // request waits at most for the connect time-out.
  auto start = Clock::now();
  auto first = testing::HttpExchange(*port, "GET /index.html HTTP/1.0\r\n\r\n", 30000);
  EXPECT_NE(first.body.find("<p>index</p>"), std::string::npos);
  EXPECT_LT(Clock::now() - start, kConnectBound);

  // During the back-off every request is answered at once.
  for (int i = 0; i < 5; ++i) {
    auto t = Clock::now();
    auto r = HttpGet(*port, "/index.html");
    EXPECT_NE(r.body.find("<p>index</p>"), std::string::npos);
    EXPECT_LT(Clock::now() - t, std::chrono::seconds(2)) << "request " << i;
  }
  // The mail is still waiting, whole.
  EXPECT_EQ(root.Read("outbox.kqs"), record);
  EXPECT_EQ(program.Stop(), 0);
}

}  // namespace
}  // namespace tallypad
