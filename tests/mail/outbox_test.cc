#include "mail/outbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/file.h"
#include "base/status_log.h"
#include "mail/mail_compose.h"
#include "mail/outbox_list.h"
#include "mail/outbox_state.h"
#include "mail/outbox_status.h"
#include "support/loopback_peers.h"
#include "support/result_code_print.h"
#include "support/smtp_peer.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::HangingListener;
using testing::RefusingPort;
using testing::ScriptedSmtpPeer;
using testing::SmtpPeerScript;
using testing::TempDir;

constexpr std::string_view kSuccess = "Data transmitted successfully";
constexpr std::string_view kFailure = "Data not transmitted. Saved in outbox.kqs";

// A record for 127.0.0.1:port carrying `dialogue`, as the writer stores it.
std::string Record(int port, std::string_view dialogue) {
  return MailOutboxRecord("127.0.0.1:" + std::to_string(port), dialogue);
}

// The stored dialogue of a plain mail to `to` with `body`.
std::string Dialogue(std::string_view to, std::string_view body) {
  MailParts parts;
  parts.recipient = to;
  parts.subject = "Survey result";
  parts.body = body;
  parts.client_name = "kiosk.example";
  return MailComposeDialogue(parts);
}

// The message of a stored dialogue as it goes after DATA.
std::string MessageOf(const std::string& dialogue) {
  size_t data = dialogue.find("DATA\r\n") + 6;
  return dialogue.substr(data, dialogue.rfind("QUIT\r\n") - data);
}

SmtpPeerScript Plain() { return SmtpPeerScript{}; }

class OutboxSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StatusLogReset();
    options_.connect_timeout_ms = 3000;
    options_.send_timeout_ms = 3000;
    options_.reply_timeout_ms = 3000;
    options_.data_reply_timeout_ms = 3000;
    options_.client_name = "client.test";
  }
  int Send() { return OutboxSend(dir_.path(), options_); }
  std::string Outbox() const { return dir_.Read("outbox.kqs"); }
  std::string Backup() const { return dir_.Read("outbox.bak"); }
  std::string Dead() const { return dir_.Read("outbox.dead"); }
  bool HasOutbox() const { return FileExists(dir_.File("outbox.kqs")); }

  TempDir dir_;
  OutboxOptions options_;
};

TEST_F(OutboxSendTest, DeliversEveryMailInOrderOverOneSessionAndMovesThemToTheBackup) {
  ScriptedSmtpPeer peer(Plain());
  const std::string first = Dialogue("a@b.example", "first\n.\n");
  const std::string second = Dialogue("c@d.example", "second");
  const std::string file = Record(peer.port(), first) + Record(peer.port(), second);
  dir_.Write("outbox.kqs", file);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(peer.Accepted(), (std::vector<std::string>{MessageOf(first), MessageOf(second)}));
  ASSERT_EQ(peer.Sessions().size(), 1u);
  const std::vector<std::string> commands = peer.Sessions()[0].commands;
  EXPECT_EQ(commands, (std::vector<std::string>{
                          "EHLO client.test\r\n", "MAIL FROM:<a@b.example>\r\n",
                          "RCPT TO:<a@b.example>\r\n", "DATA\r\n", "MAIL FROM:<c@d.example>\r\n",
                          "RCPT TO:<c@d.example>\r\n", "DATA\r\n", "QUIT\r\n"}));
  EXPECT_EQ(Backup(), file);
  EXPECT_FALSE(HasOutbox());
  EXPECT_FALSE(FileExists(dir_.File("outbox.dead")));
  EXPECT_EQ(StatusLogText(), kSuccess);
  EXPECT_TRUE(OutboxStateRead(dir_.path()).last_success.has_value());
}

// A reply that says "not now" at any step keeps the mail, counts the
// attempt with the reply, and the next try delivers it once.
TEST_F(OutboxSendTest, TemporaryRepliesKeepTheMailForALaterTry) {
  struct Case {
    const char* word;
    const char* reply;
    const char* restored;  // the reply of the next try
  } cases[] = {
      {"EHLO", "421 4.3.2 too busy", "250 peer.test"},
      {"MAIL", "451 4.3.0 try later", "250 ok"},
      {"RCPT", "450 4.2.1 greylisted", "250 ok"},
      {"DATA", "451 4.3.0 no room", "354 go on"},
      {".", "452 4.3.1 queue full", "250 ok"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ScriptedSmtpPeer peer(Plain());
    peer.SetReply(c.word, c.reply);
    const std::string file = Record(peer.port(), Dialogue("a@b.example", "answers"));
    dir.Write("outbox.kqs", file);
    EXPECT_NE(OutboxSend(dir.path(), options_), 0) << c.word;
    EXPECT_EQ(dir.Read("outbox.kqs"), file) << c.word;
    EXPECT_FALSE(FileExists(dir.File("outbox.bak"))) << c.word;
    EXPECT_FALSE(FileExists(dir.File("outbox.dead"))) << c.word;
    OutboxListing listing = OutboxList(dir.path());
    ASSERT_EQ(listing.queued.size(), 1u) << c.word;
    EXPECT_EQ(listing.queued[0].attempts, 1) << c.word;
    EXPECT_NE(listing.queued[0].last_reply.find(std::string(c.reply).substr(0, 3)),
              std::string::npos)
        << listing.queued[0].last_reply;

    peer.SetReply(c.word, c.restored);
    EXPECT_EQ(OutboxSend(dir.path(), options_), 0) << c.word;
    EXPECT_EQ(peer.Accepted().size(), 1u) << c.word;
    EXPECT_EQ(dir.Read("outbox.bak"), file) << c.word;
    EXPECT_FALSE(FileExists(dir.File("outbox.kqs"))) << c.word;
    EXPECT_TRUE(OutboxList(dir.path()).queued.empty());
  }
}

// A refusal for good of MAIL, RCPT or the message moves that mail with the
// server's reply to the dead letters; the mail after it is delivered.
TEST_F(OutboxSendTest, RefusalsForGoodMoveTheMailToTheDeadLettersAndTheNextGoesOut) {
  struct Case {
    const char* word;
    const char* reply;
  } cases[] = {
      {"MAIL", "550 5.7.1 sender rejected"},
      {"RCPT", "550 5.1.1 no such user"},
      {"DATA", "554 5.5.1 no valid recipients"},
      {".", "554 5.6.0 message refused as spam"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ScriptedSmtpPeer refusing(Plain());
    refusing.SetReply(c.word, c.reply);
    ScriptedSmtpPeer taking(Plain());
    const std::string refused = Record(refusing.port(), Dialogue("gone@x.example", "one"));
    const std::string next = Record(taking.port(), Dialogue("b@y.example", "two"));
    dir.Write("outbox.kqs", refused + next);
    EXPECT_EQ(OutboxSend(dir.path(), options_), 0) << c.word;
    EXPECT_TRUE(refusing.Accepted().empty()) << c.word;
    EXPECT_EQ(taking.Accepted().size(), 1u) << c.word;
    EXPECT_EQ(dir.Read("outbox.bak"), next) << c.word;
    EXPECT_FALSE(FileExists(dir.File("outbox.kqs"))) << c.word;
    const std::string dead = dir.Read("outbox.dead");
    const size_t open_end = refused.find('\n') + 1;
    EXPECT_EQ(dead.substr(0, open_end), refused.substr(0, open_end)) << c.word;
    EXPECT_NE(dead.find(std::string("Reply: at ") + (c.word == std::string(".") ? "the end" : c.word)),
              std::string::npos)
        << dead;
    EXPECT_NE(dead.find(c.reply), std::string::npos) << dead;
    EXPECT_EQ(dead.substr(dead.find('\n', open_end) + 1), refused.substr(open_end)) << c.word;
    EXPECT_NE(StatusLogText().find("Mail to gone@x.example was refused for good"),
              std::string::npos)
        << StatusLogText();
    // The dead letter goes back into the queue as it was, and out again.
    refusing.SetReply(c.word, c.word == std::string("DATA") ? "354 go on" : "250 ok");
    ASSERT_EQ(OutboxRetryDead(dir.path()), std::optional<size_t>(1));
    EXPECT_EQ(dir.Read("outbox.kqs"), refused);
    EXPECT_FALSE(FileExists(dir.File("outbox.dead")));
    EXPECT_EQ(OutboxSend(dir.path(), options_), 0);
    EXPECT_EQ(refusing.Accepted().size(), 1u);
  }
}

// Refusals that speak of the server or of the login, not of the mail, keep
// the mail: another time, or with other settings, it goes out.
TEST_F(OutboxSendTest, AServerThatRefusesUsIsNoRefusalOfTheMail) {
  struct Case {
    const char* what;
    SmtpPeerScript script;
  } cases[] = {
      {"554 greeting", [] { SmtpPeerScript s; s.greeting = "554 no service for you"; return s; }()},
      {"EHLO and HELO refused", [] {
         SmtpPeerScript s;
         s.ehlo_refused = true;
         s.replies["HELO"] = "550 5.7.1 go away";
         return s;
       }()},
      {"login required", [] {
         SmtpPeerScript s;
         s.replies["MAIL"] = "530 5.7.0 Authentication required";
         return s;
       }()},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ScriptedSmtpPeer peer(c.script);
    const std::string file = Record(peer.port(), Dialogue("a@b.example", "x"));
    dir.Write("outbox.kqs", file);
    EXPECT_EQ(OutboxSend(dir.path(), options_), kOutboxRetryLater) << c.what;
    EXPECT_EQ(dir.Read("outbox.kqs"), file) << c.what;
    EXPECT_FALSE(FileExists(dir.File("outbox.dead"))) << c.what;
  }
}

TEST_F(OutboxSendTest, EhloRefusedFallsBackToHelo) {
  SmtpPeerScript script;
  script.ehlo_refused = true;
  script.strict_sync = true;
  ScriptedSmtpPeer peer(script);
  dir_.Write("outbox.kqs", Record(peer.port(), Dialogue("a@b.example", "x")));
  EXPECT_EQ(Send(), 0);
  ASSERT_EQ(peer.Accepted().size(), 1u) << Dead();
  const std::vector<std::string> commands = peer.Sessions()[0].commands;
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "EHLO client.test\r\n");
  EXPECT_EQ(commands[1], "HELO client.test\r\n");
  EXPECT_EQ(peer.Sessions()[0].pipelined, 0) << "no PIPELINING without EHLO";
}

// A strict server refuses a client that talks before its greeting or ahead
// of its replies; ours waits, and pipelines only what the server allows.
TEST_F(OutboxSendTest, StrictServersAcceptOurs) {
  struct Case {
    const char* what;
    bool pipelining;
    int greeting_delay_ms;
  } cases[] = {
      {"pipelining announced", true, 0},
      {"no pipelining", false, 0},
      {"a greeting after a pause", false, 400},
  };
  for (const Case& c : cases) {
    TempDir dir;
    SmtpPeerScript script;
    script.strict_sync = true;
    script.greeting_delay_ms = c.greeting_delay_ms;
    if (!c.pipelining) script.extensions = {"8BITMIME"};
    ScriptedSmtpPeer peer(script);
    dir.Write("outbox.kqs", Record(peer.port(), Dialogue("a@b.example", "x")) +
                                Record(peer.port(), Dialogue("c@d.example", "y")));
    EXPECT_EQ(OutboxSend(dir.path(), options_), 0) << c.what;
    EXPECT_EQ(peer.Accepted().size(), 2u) << c.what;
    ASSERT_EQ(peer.Sessions().size(), 1u) << c.what;
    EXPECT_FALSE(peer.Sessions()[0].sync_error) << c.what;
    // Announced: MAIL and RCPT went ahead of their replies, for each mail.
    EXPECT_EQ(peer.Sessions()[0].pipelined, c.pipelining ? 4 : 0) << c.what;
  }
}

// A server that never greets, or stops answering in the middle, is left
// within the reply time-out; the mail waits.
TEST_F(OutboxSendTest, SilentServersAreLeftWithinTheBound) {
  struct Case {
    const char* what;
    SmtpPeerScript script;
  } cases[] = {
      {"never greets", [] { SmtpPeerScript s; s.greet = false; return s; }()},
      {"silent after the greeting", [] { SmtpPeerScript s; s.silent_after = 0; return s; }()},
      {"silent at RCPT", [] {
         SmtpPeerScript s;
         s.extensions = {};
         s.silent_after = 2;
         return s;
       }()},
      {"silent after the message", [] {
         SmtpPeerScript s;
         s.replies["."] = testing::kSilentReply;
         return s;
       }()},
  };
  options_.reply_timeout_ms = 400;
  options_.data_reply_timeout_ms = 400;
  for (const Case& c : cases) {
    TempDir dir;
    ScriptedSmtpPeer peer(c.script);
    const std::string file = Record(peer.port(), Dialogue("a@b.example", "x"));
    dir.Write("outbox.kqs", file);
    const auto start = steady_clock::now();
    EXPECT_EQ(OutboxSend(dir.path(), options_), kOutboxRetryLater) << c.what;
    const auto took = steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(350)) << c.what;
    EXPECT_LT(took, milliseconds(4000)) << c.what;
    EXPECT_EQ(dir.Read("outbox.kqs"), file) << c.what;
    EXPECT_NE(OutboxList(dir.path()).queued[0].last_reply.find("did not answer in time"),
              std::string::npos)
        << c.what;
  }
}

TEST_F(OutboxSendTest, ShuttingDownEndsAWaitAtOnce) {
  SmtpPeerScript script;
  script.greet = false;
  ScriptedSmtpPeer peer(script);
  dir_.Write("outbox.kqs", Record(peer.port(), Dialogue("a@b.example", "x")));
  std::atomic<bool> stop{false};
  options_.reply_timeout_ms = 60000;
  options_.stop = &stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds(200));
    stop = true;
  });
  const auto start = steady_clock::now();
  EXPECT_NE(Send(), 0);
  EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
  stopper.join();
  EXPECT_TRUE(HasOutbox());
}

// What a hostile server sends cannot hold the client or fill its memory.
TEST_F(OutboxSendTest, HostileRepliesAreBounded) {
  struct Case {
    const char* what;
    std::string flood;
  } cases[] = {
      {"a reply of endless lines", "220-still greeting\r\n"},
      {"one endless line", std::string(65536, '2')},
      {"no SMTP at all", "HTTP/1.1 200 OK\r\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    SmtpPeerScript script;
    script.flood = c.flood;
    ScriptedSmtpPeer peer(script);
    const std::string file = Record(peer.port(), Dialogue("a@b.example", "x"));
    dir.Write("outbox.kqs", file);
    const auto start = steady_clock::now();
    EXPECT_EQ(OutboxSend(dir.path(), options_), kOutboxRetryLater) << c.what;
    EXPECT_LT(steady_clock::now() - start, milliseconds(5000)) << c.what;
    EXPECT_EQ(dir.Read("outbox.kqs"), file) << c.what;
  }
}

// Records the first versions of the program wrote (no From, To, Date or
// Message-ID, "MAIL FROM: <a>" with a blank, a server's port given before
// the ":25") go out as they are stored.
TEST_F(OutboxSendTest, OutboxesOfEarlierVersionsAreDeliveredUnchanged) {
  ScriptedSmtpPeer peer(Plain());
  const std::string plain =
      "HELO 127.0.0.1\r\nMAIL FROM: <a@b>\r\nRCPT TO: <a@b>\r\nDATA\r\nSubject: S\r\n\r\n"
      "Hello\r\n..two dots\r\n.\r\nQUIT\r\n";
  const std::string html =
      "HELO 127.0.0.1\r\nMAIL FROM: <x@y.z>\r\nRCPT TO: <x@y.z>\r\nDATA\r\nSubject: Report\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; "
      "boundary=\"_Mime-Boundary_19C4E2\"\r\n\r\n  This is a multi-part message in MIME "
      "format.\r\n\r\n--_Mime-Boundary_19C4E2\r\nContent-Type: text/html; "
      "charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n<html><p>Hi "
      "\xc3\xa9</p></html>--_Mime-Boundary_19C4E2--\r\n.\r\nQUIT\r\n";
  auto old_record = [&](const std::string& dialogue) {
    return "OPEN 127.0.0.1:" + std::to_string(peer.port()) +
           ":25\nContent-Length: " + std::to_string(dialogue.size()) + "\n\n" + dialogue;
  };
  const std::string file = old_record(plain) + old_record(html);
  dir_.Write("outbox.kqs", file);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(peer.Accepted(), (std::vector<std::string>{MessageOf(plain), MessageOf(html)}));
  const std::vector<std::string> commands = peer.Sessions()[0].commands;
  EXPECT_EQ(commands[1], "MAIL FROM:<a@b>\r\n");
  EXPECT_EQ(commands[4], "MAIL FROM:<x@y.z> BODY=8BITMIME\r\n") << "8-bit text announced";
  EXPECT_EQ(Backup(), file);
}

// A delivery or refusal noted in the state file (by a transmission that
// ended before it could move the record) is never sent again.
TEST_F(OutboxSendTest, MarkedRecordsAreMovedWithoutBeingSentAgain) {
  ScriptedSmtpPeer peer(Plain());
  const std::string delivered = Record(peer.port(), Dialogue("a@b.example", "one"));
  const std::string refused = Record(peer.port(), Dialogue("c@d.example", "two"));
  const std::string waiting_dialogue = Dialogue("e@f.example", "three");
  const std::string waiting = Record(peer.port(), waiting_dialogue);
  dir_.Write("outbox.kqs", delivered + refused + waiting);
  ASSERT_TRUE(OutboxStateAppendSent(dir_.path(), OutboxRecordKey(delivered), 1700000000));
  ASSERT_TRUE(OutboxStateAppendDead(dir_.path(), OutboxRecordKey(refused), "550 no such user"));
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(peer.Accepted(), (std::vector<std::string>{MessageOf(waiting_dialogue)}));
  EXPECT_EQ(Backup(), delivered + waiting);
  EXPECT_NE(Dead().find("Reply: 550 no such user\n"), std::string::npos) << Dead();
  EXPECT_FALSE(HasOutbox());
  // The marks are done with; what is left is the time of the last delivery.
  OutboxState state = OutboxStateRead(dir_.path());
  EXPECT_TRUE(state.sent.empty());
  EXPECT_TRUE(state.dead.empty());
  EXPECT_TRUE(state.tries.empty());
}

// A server that cannot be reached holds back only its own mails; they keep
// their order, and only the one tried counts an attempt.
TEST_F(OutboxSendTest, AnUnreachableServerDelaysNoOtherServer) {
  RefusingPort refusing;
  ScriptedSmtpPeer peer(Plain());
  const std::string first = Record(refusing.port(), Dialogue("a@b.example", "1"));
  const std::string second = Record(peer.port(), Dialogue("c@d.example", "2"));
  const std::string third = Record(refusing.port(), Dialogue("e@f.example", "3"));
  dir_.Write("outbox.kqs", first + second + third);
  EXPECT_EQ(Send(), kOutboxConnectFailed);
  EXPECT_EQ(peer.Accepted().size(), 1u);
  EXPECT_EQ(Outbox(), first + third);
  EXPECT_EQ(Backup(), second);
  EXPECT_EQ(StatusLogText().substr(0, kFailure.size()), kFailure);
  OutboxListing listing = OutboxList(dir_.path());
  ASSERT_EQ(listing.queued.size(), 2u);
  EXPECT_EQ(listing.queued[0].attempts, 1);
  EXPECT_EQ(listing.queued[1].attempts, 0);

  // The next try starts at the first unsent record: nothing goes out twice.
  EXPECT_EQ(Send(), kOutboxConnectFailed);
  EXPECT_EQ(peer.Accepted().size(), 1u);
  EXPECT_EQ(OutboxList(dir_.path()).queued[0].attempts, 2);
}

TEST_F(OutboxSendTest, RecordsThatHoldNoMailBecomeDeadLetters) {
  ScriptedSmtpPeer peer(Plain());
  const std::string broken = Record(peer.port(), "HELO x\r\nQUIT\r\n");
  const std::string unended = Record(peer.port(), "MAIL FROM: <a@b>\r\nRCPT TO: <a@b>\r\nDATA\r\nx\r\n");
  const std::string good = Record(peer.port(), Dialogue("a@b.example", "x"));
  dir_.Write("outbox.kqs", broken + unended + good);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(peer.Accepted().size(), 1u);
  EXPECT_NE(Dead().find("Reply: the record holds no DATA command\n"), std::string::npos) << Dead();
  EXPECT_NE(Dead().find("Reply: the record's message has no closing line\n"), std::string::npos);
  EXPECT_EQ(Backup(), good);
}

TEST_F(OutboxSendTest, MalformedOpenLineStopsWithStatus1AndKeepsTheRest) {
  ScriptedSmtpPeer peer(Plain());
  const std::string good = Record(peer.port(), Dialogue("a@b.example", "x"));
  for (std::string first : {std::string("\n"), std::string("open 127.0.0.1:25\n"),
                            std::string("SEND 127.0.0.1:25\n")}) {
    StatusLogReset();
    dir_.Write("outbox.kqs", first + good);
    EXPECT_EQ(Send(), kOutboxBadRecord) << first;
    EXPECT_EQ(Outbox(), first + good);
    EXPECT_EQ(StatusLogText().substr(0, kFailure.size()), kFailure);
  }
  EXPECT_FALSE(FileExists(dir_.File("outbox.bak")));
  EXPECT_TRUE(peer.Accepted().empty());
  EXPECT_TRUE(OutboxList(dir_.path()).damaged);
}

TEST_F(OutboxSendTest, LengthBeyondTheFileKeepsThatRecordWhole) {
  ScriptedSmtpPeer peer(Plain());
  const std::string good = Record(peer.port(), Dialogue("a@b.example", "x"));
  const std::string cut = "OPEN 127.0.0.1:" + std::to_string(peer.port()) +
                          "\nContent-Length: 10000\n\n" + std::string(9000, 'b');
  dir_.Write("outbox.kqs", good + cut);
  EXPECT_EQ(Send(), kOutboxTruncated);
  EXPECT_EQ(peer.Accepted().size(), 1u);
  EXPECT_EQ(Outbox(), cut);
  EXPECT_EQ(Backup(), good);
}

TEST_F(OutboxSendTest, HangingConnectIsBoundedByTheConnectTimeout) {
  HangingListener hanging;
  if (!hanging.ready()) GTEST_SKIP() << "could not fill a loopback accept queue";
  const std::string file = Record(hanging.port(), Dialogue("a@b.example", "x"));
  dir_.Write("outbox.kqs", file);
  options_.connect_timeout_ms = 300;
  auto start = steady_clock::now();
  EXPECT_EQ(Send(), kOutboxConnectFailed);
  auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(250));
  EXPECT_LT(took, milliseconds(5000));
  EXPECT_EQ(Outbox(), file);
}

TEST_F(OutboxSendTest, NoOutboxIsSuccessWithoutALogMessage) {
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(StatusLogText(), "");
  EXPECT_FALSE(FileExists(dir_.File("outbox.bak")));
}

TEST_F(OutboxSendTest, EmptyOutboxOrTrailingPartialLineCountsAsSent) {
  ScriptedSmtpPeer peer(Plain());
  const std::string good = Record(peer.port(), Dialogue("a@b.example", "m"));
  for (std::string file : {std::string(), good + "OPEN 127.0.0.1:1"}) {
    ::unlink(dir_.File("outbox.bak").c_str());
    dir_.Write("outbox.kqs", file);
    EXPECT_EQ(Send(), 0);
    EXPECT_EQ(StatusLogText(), kSuccess);
    EXPECT_FALSE(HasOutbox());
    EXPECT_EQ(Backup(), file);
  }
  EXPECT_EQ(peer.Accepted().size(), 1u);
}

TEST_F(OutboxSendTest, QueuedMailArrivesAsComposed) {
  ScriptedSmtpPeer peer(Plain());
  OutboxPending = 0;
  const std::string server = "127.0.0.1:" + std::to_string(peer.port());
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "line\n.\n", server), ResultCode::kOk);
  const std::string dialogue = Outbox().substr(Outbox().find("\n\n") + 2);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(peer.Accepted(), (std::vector<std::string>{MessageOf(dialogue)}));
}

TEST(OutboxConnect, ReportsEachFailure) {
  UniqueFd socket;
  EXPECT_EQ(OutboxConnect("", 25, &socket), kOutboxNoHost);
  EXPECT_FALSE(socket.valid());
  RefusingPort refusing;
  EXPECT_EQ(OutboxConnect("127.0.0.1", refusing.port(), &socket), kOutboxConnectFailed);
  EXPECT_TRUE(socket.valid());  // handed back for the caller to close
  EXPECT_EQ(OutboxConnect("127.0.0.1", 0, &socket), kOutboxConnectFailed);
  EXPECT_EQ(OutboxConnect("127.0.0.1", 70000, &socket), kOutboxConnectFailed);
  ScriptedSmtpPeer peer(Plain());
  EXPECT_EQ(OutboxConnect("localhost", peer.port(), &socket), 0);
}

TEST(ServerRootFile, JoinsWithOrWithoutASlash) {
  EXPECT_EQ(ServerRootFile("/srv/root", "outbox.kqs"), "/srv/root/outbox.kqs");
  EXPECT_EQ(ServerRootFile("/srv/root/", "outbox.kqs"), "/srv/root/outbox.kqs");
  EXPECT_EQ(ServerRootFile("", "outbox.kqs"), "outbox.kqs");
}

// The outbox thread's step, with a back-off short enough to watch.
class OutboxStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StatusLogReset();
    StatusLogSetObserver([this](std::string_view text) {
      if (text == "Transmitting data to the server") ++attempts_;
    });
    OutboxPending = 1;
    OutboxTakeSendNow();
    settings_.transmit.connect_timeout_ms = 2000;
    settings_.transmit.reply_timeout_ms = 2000;
    settings_.first_retry_delay = milliseconds(30000);
    settings_.longest_retry_delay = milliseconds(100000);
    settings_.is_online = [this] { return online_; };
  }
  void TearDown() override { StatusLogSetObserver(nullptr); }
  void Step() { OutboxServerStep(dir_.path(), &retry_, settings_); }
  // Lets the back-off expire now.
  void Expire() { retry_.next_attempt = steady_clock::now(); }

  TempDir dir_;
  OutboxSettings settings_;
  OutboxRetry retry_;
  bool online_ = true;
  int attempts_ = 0;
};

TEST_F(OutboxStepTest, TransmitsOnlyWhenPendingAndOnline) {
  ScriptedSmtpPeer peer(Plain());
  dir_.Write("outbox.kqs", Record(peer.port(), Dialogue("a@b.example", "m")));
  online_ = false;
  Step();
  EXPECT_EQ(attempts_, 0);
  EXPECT_EQ(OutboxPending, 1);
  EXPECT_EQ(OutboxStatusNow().queued, 1u);
  EXPECT_FALSE(OutboxStatusNow().online);
  online_ = true;
  OutboxPending = 0;
  Step();
  EXPECT_EQ(attempts_, 0);
  OutboxPending = 2;
  Step();
  EXPECT_EQ(attempts_, 1);
  EXPECT_EQ(OutboxPending, 0);
  EXPECT_EQ(peer.Accepted().size(), 1u);
  EXPECT_FALSE(retry_.backing_off);
  EXPECT_EQ(OutboxStatusNow().queued, 0u);
  EXPECT_TRUE(OutboxStatusNow().last_success.has_value());
}

TEST_F(OutboxStepTest, NoOutboxAtStartUpClearsPending) {
  Step();
  EXPECT_EQ(OutboxPending, 0);
}

TEST_F(OutboxStepTest, FailuresBackOffDoublingUpToTheLongestWait) {
  RefusingPort refusing;
  dir_.Write("outbox.kqs", Record(refusing.port(), Dialogue("a@b.example", "m")));
  std::vector<long> delays;
  for (int i = 0; i < 5; ++i) {
    Step();
    EXPECT_EQ(attempts_, i + 1);
    Step();  // within the back-off: no attempt
    EXPECT_EQ(attempts_, i + 1);
    ASSERT_TRUE(retry_.backing_off);
    EXPECT_GT(retry_.next_attempt, steady_clock::now() + milliseconds(20000));
    EXPECT_TRUE(OutboxStatusNow().next_attempt.has_value());
    delays.push_back(static_cast<long>(retry_.delay.count()));
    Expire();
  }
  EXPECT_EQ(delays, (std::vector<long>{30000, 60000, 100000, 100000, 100000}));
  EXPECT_EQ(OutboxPending, 1);
}

TEST_F(OutboxStepTest, NewMailOrSuccessRestartsTheBackOff) {
  RefusingPort refusing;
  const std::string server = "127.0.0.1:" + std::to_string(refusing.port());
  dir_.Write("outbox.kqs", Record(refusing.port(), Dialogue("a@b.example", "m")));
  Step();
  Expire();
  Step();
  ASSERT_EQ(retry_.delay, milliseconds(60000));
  // A new mail: the next try comes within the first wait of the failure.
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "body", server), ResultCode::kOk);
  Step();
  EXPECT_EQ(attempts_, 2);
  EXPECT_LE(retry_.next_attempt, retry_.failed_at + milliseconds(30000));
  retry_.next_attempt = retry_.failed_at;  // that first wait has passed
  Step();
  EXPECT_EQ(attempts_, 3);
  EXPECT_EQ(retry_.delay, milliseconds(30000));

  // Success clears both the back-off and the pending count.
  ScriptedSmtpPeer peer(Plain());
  dir_.Write("outbox.kqs", Record(peer.port(), Dialogue("a@b.example", "m")));
  Expire();
  Step();
  EXPECT_EQ(attempts_, 4);
  EXPECT_FALSE(retry_.backing_off);
  EXPECT_EQ(OutboxPending, 0);
}

TEST_F(OutboxStepTest, SendNowEndsTheBackOff) {
  RefusingPort refusing;
  dir_.Write("outbox.kqs", Record(refusing.port(), Dialogue("a@b.example", "m")));
  Step();
  ASSERT_TRUE(retry_.backing_off);
  Step();
  EXPECT_EQ(attempts_, 1);
  OutboxSendNow();
  Step();
  EXPECT_EQ(attempts_, 2);
  Step();  // the request was taken once
  EXPECT_EQ(attempts_, 2);
}

// Mail put into the outbox by another program (tallypad outbox --retry)
// is noticed and sent although nothing in this one queued it.
TEST_F(OutboxStepTest, MailQueuedByAnotherProgramIsSent) {
  Step();
  ASSERT_EQ(OutboxPending, 0);
  ScriptedSmtpPeer peer(Plain());
  dir_.Write("outbox.kqs", Record(peer.port(), Dialogue("a@b.example", "m")));
  Step();
  EXPECT_EQ(attempts_, 1);
  EXPECT_EQ(peer.Accepted().size(), 1u);
}

}  // namespace
}  // namespace tallypad
