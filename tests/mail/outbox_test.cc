#include "mail/outbox.h"

#include <gtest/gtest.h>

#include <chrono>

#include "base/file.h"
#include "base/status_log.h"
#include "mail/mail_compose.h"
#include "support/loopback_peers.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::AnsweringPeer;
using testing::HangingListener;
using testing::LoopbackSink;
using testing::RefusingPort;
using testing::TempDir;

constexpr std::string_view kSuccess = "Data transmitted successfully";
constexpr std::string_view kFailure = "Data not transmitted. Saved in outbox.kqs";

// A record for 127.0.0.1:port carrying `body`.
std::string Record(int port, std::string_view body) {
  return "OPEN 127.0.0.1:" + std::to_string(port) + "\nContent-Length: " +
         std::to_string(body.size()) + "\n\n" + std::string(body);
}

class OutboxSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StatusLogReset();
    options_.connect_timeout_ms = 3000;
    options_.send_timeout_ms = 3000;
    options_.close_wait_ms = 3000;
  }
  int Send() { return OutboxSend(dir_.path(), options_); }
  std::string Outbox() const { return dir_.Read("outbox.kqs"); }
  std::string Backup() const { return dir_.Read("outbox.bak"); }
  bool HasOutbox() const { return FileExists(dir_.File("outbox.kqs")); }

  TempDir dir_;
  OutboxOptions options_;
};

TEST_F(OutboxSendTest, SendsEveryRecordInOrderAndMovesThemToTheBackup) {
  LoopbackSink sink;
  ASSERT_NE(sink.port(), 0);
  const std::string file = Record(sink.port(), "first mail\r\n") + Record(sink.port(), "second");
  dir_.Write("outbox.kqs", file);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{"first mail\r\n", "second"}));
  EXPECT_EQ(Backup(), file);
  EXPECT_FALSE(HasOutbox());
  EXPECT_EQ(StatusLogText(), kSuccess);
}

TEST_F(OutboxSendTest, AppendsToAnExistingBackup) {
  LoopbackSink sink;
  const std::string file = Record(sink.port(), "new");
  dir_.Write("outbox.bak", "older records");
  dir_.Write("outbox.kqs", file);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(Backup(), "older records" + file);
}

TEST_F(OutboxSendTest, RecordWithoutLengthOpensAndClosesAConnection) {
  LoopbackSink sink;
  const std::string file = "OPEN 127.0.0.1:" + std::to_string(sink.port()) + "\nX-Other: 5\n\n" +
                           Record(sink.port(), "after");
  dir_.Write("outbox.kqs", file);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{"", "after"}));
  EXPECT_EQ(Backup(), file);
}

TEST_F(OutboxSendTest, HeaderLinesIgnoreCarriageReturns) {
  LoopbackSink sink;
  dir_.Write("outbox.kqs", "OPEN 127.0.0.1:" + std::to_string(sink.port()) +
                               "\r\nContent-Length: 3\r\n\r\nabcdef");
  EXPECT_EQ(Send(), 0);
  // Three bytes are the body; "def" is a trailing line without a line feed.
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{"abc"}));
}

TEST_F(OutboxSendTest, MalformedOpenLineStopsWithStatus1AndKeepsTheFile) {
  LoopbackSink sink;
  const std::string good = Record(sink.port(), "never sent");
  for (std::string first : {std::string("\n"), std::string("open 127.0.0.1:25\n"),
                            std::string("SEND 127.0.0.1:25\n")}) {
    StatusLogReset();
    dir_.Write("outbox.kqs", first + good);
    EXPECT_EQ(Send(), kOutboxBadRecord) << first;
    EXPECT_EQ(Outbox(), first + good);
    EXPECT_EQ(StatusLogText(), kFailure);
  }
  EXPECT_FALSE(FileExists(dir_.File("outbox.bak")));
  EXPECT_TRUE(sink.Received().empty());
}

TEST_F(OutboxSendTest, LengthBeyondTheFileSendsTheCompletePiecesThenStatus2) {
  LoopbackSink sink;
  const std::string body(9000, 'b');
  const std::string file = "OPEN 127.0.0.1:" + std::to_string(sink.port()) +
                           "\nContent-Length: 10000\n\n" + body;
  dir_.Write("outbox.kqs", file);
  EXPECT_EQ(Send(), kOutboxTruncated);
  ASSERT_TRUE(sink.WaitForAccepted(1, 5000));
  // Wait for the sink to see the connection end.
  for (int i = 0; i < 500 && sink.Received().empty(); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{std::string(kOutboxPieceSize, 'b')}));
  EXPECT_EQ(Outbox(), file);
}

TEST_F(OutboxSendTest, LongBodyGoesInPiecesOfAtMost8196Bytes) {
  LoopbackSink sink;
  std::string body;
  for (int i = 0; i < 20000; ++i) body.push_back(static_cast<char>('a' + i % 26));
  dir_.Write("outbox.kqs", Record(sink.port(), body));
  std::vector<size_t> pieces;
  options_.piece_sent = [&](size_t n) { pieces.push_back(n); };
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(pieces, (std::vector<size_t>{8196, 8196, 3608}));
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{body}));
}

TEST_F(OutboxSendTest, RefusedConnectionKeepsOnlyTheUnsentRecords) {
  LoopbackSink sink;
  RefusingPort refusing;
  const std::string sent = Record(sink.port(), "one");
  const std::string unsent = Record(refusing.port(), "two") + Record(sink.port(), "three");
  dir_.Write("outbox.kqs", sent + unsent);
  EXPECT_EQ(Send(), kOutboxConnectFailed);
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{"one"}));
  EXPECT_EQ(Outbox(), unsent);
  EXPECT_EQ(Backup(), sent);
  EXPECT_EQ(StatusLogText(), kFailure);

  // The next try starts at the first unsent record: nothing goes out twice.
  EXPECT_EQ(Send(), kOutboxConnectFailed);
  EXPECT_EQ(sink.Received().size(), 1u);
  EXPECT_EQ(Outbox(), unsent);
  EXPECT_EQ(Backup(), sent);
}

TEST_F(OutboxSendTest, HangingConnectIsBoundedByTheConnectTimeout) {
  HangingListener hanging;
  if (!hanging.ready()) GTEST_SKIP() << "could not fill a loopback accept queue";
  const std::string file = Record(hanging.port(), "stuck");
  dir_.Write("outbox.kqs", file);
  options_.connect_timeout_ms = 300;
  auto start = steady_clock::now();
  EXPECT_EQ(Send(), kOutboxConnectFailed);
  auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(250));
  EXPECT_LT(took, milliseconds(5000));
  EXPECT_EQ(Outbox(), file);
}

TEST_F(OutboxSendTest, PeerThatStopsReadingEndsWithStatus3) {
  LoopbackSink sink(4096, /*read=*/false);
  const std::string file = Record(sink.port(), std::string(16 << 20, 'z'));
  dir_.Write("outbox.kqs", file);
  options_.send_timeout_ms = 200;
  auto start = steady_clock::now();
  EXPECT_EQ(Send(), kOutboxShortSend);
  EXPECT_LT(steady_clock::now() - start, milliseconds(10000));
  EXPECT_EQ(Outbox().size(), file.size());
}

TEST_F(OutboxSendTest, PeerThatAnswersEveryLineTakesInTheWholeDialogue) {
  // Closing with the peer's answers unread would reset the connection, and a
  // peer that stops at its first failed answer would lose the mail.
  AnsweringPeer peer(100);
  const std::string dialogue = "HELO x\r\nDATA\r\nbody\r\n.\r\nQUIT\r\n";
  dir_.Write("outbox.kqs", Record(peer.port(), dialogue));
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(peer.Lines(),
            (std::vector<std::string>{"HELO x\r\n", "DATA\r\n", "body\r\n", ".\r\n", "QUIT\r\n"}));
}

TEST_F(OutboxSendTest, NoOutboxIsSuccessWithoutALogMessage) {
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(StatusLogText(), "");
  EXPECT_FALSE(FileExists(dir_.File("outbox.bak")));
}

TEST_F(OutboxSendTest, EmptyOutboxOrTrailingPartialLineCountsAsSent) {
  LoopbackSink sink;
  for (std::string file : {std::string(), Record(sink.port(), "m") + "OPEN 127.0.0.1:1"}) {
    ::unlink(dir_.File("outbox.bak").c_str());
    dir_.Write("outbox.kqs", file);
    EXPECT_EQ(Send(), 0);
    EXPECT_EQ(StatusLogText(), kSuccess);
    EXPECT_FALSE(HasOutbox());
    EXPECT_EQ(Backup(), file);
  }
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{"m"}));
}

TEST_F(OutboxSendTest, ResolvesHostNamesAndRejectsAnEmptyHost) {
  LoopbackSink sink;
  dir_.Write("outbox.kqs", "OPEN localhost:" + std::to_string(sink.port()) +
                               "\nContent-Length: 2\n\nhi" + "OPEN :25\n\n");
  EXPECT_EQ(Send(), kOutboxNoHost);
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{"hi"}));
  EXPECT_EQ(Outbox(), "OPEN :25\n\n");
}

TEST_F(OutboxSendTest, QueuedMailArrivesAsComposed) {
  LoopbackSink sink;
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "line\n.\n", "127.0.0.1"), ResultCode::kOk);
  // The writer always names port 25; point the record at the sink.
  std::string file = Outbox();
  file.replace(0, file.find('\n'), "OPEN 127.0.0.1:" + std::to_string(sink.port()));
  dir_.Write("outbox.kqs", file);
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(sink.Received(),
            (std::vector<std::string>{MailComposeDialogue("127.0.0.1", "S", "a@b", "line\n.\n")}));
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
  LoopbackSink sink;
  EXPECT_EQ(OutboxConnect("127.0.0.1", sink.port(), &socket), 0);
}

TEST(ServerRootFile, JoinsWithOrWithoutASlash) {
  EXPECT_EQ(ServerRootFile("/srv/root", "outbox.kqs"), "/srv/root/outbox.kqs");
  EXPECT_EQ(ServerRootFile("/srv/root/", "outbox.kqs"), "/srv/root/outbox.kqs");
  EXPECT_EQ(ServerRootFile("", "outbox.kqs"), "outbox.kqs");
}

// The server thread's step, with a back-off short enough to watch.
class OutboxStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StatusLogReset();
    StatusLogSetObserver([this](std::string_view text) {
      if (text == "Transmitting data to the server") ++attempts_;
    });
    OutboxPending = 1;
    settings_.transmit.connect_timeout_ms = 2000;
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
  LoopbackSink sink;
  dir_.Write("outbox.kqs", Record(sink.port(), "m"));
  online_ = false;
  Step();
  EXPECT_EQ(attempts_, 0);
  EXPECT_EQ(OutboxPending, 1);
  online_ = true;
  OutboxPending = 0;
  Step();
  EXPECT_EQ(attempts_, 0);
  OutboxPending = 2;
  Step();
  EXPECT_EQ(attempts_, 1);
  EXPECT_EQ(OutboxPending, 0);
  EXPECT_EQ(sink.Received(), (std::vector<std::string>{"m"}));
  EXPECT_FALSE(retry_.backing_off);
}

TEST_F(OutboxStepTest, NoOutboxAtStartUpClearsPending) {
  Step();
  EXPECT_EQ(OutboxPending, 0);
}

TEST_F(OutboxStepTest, FailuresBackOffDoublingUpToTheLongestWait) {
  RefusingPort refusing;
  dir_.Write("outbox.kqs", Record(refusing.port(), "m"));
  std::vector<long> delays;
  for (int i = 0; i < 5; ++i) {
    Step();
    EXPECT_EQ(attempts_, i + 1);
    Step();  // within the back-off: no attempt
    EXPECT_EQ(attempts_, i + 1);
    ASSERT_TRUE(retry_.backing_off);
    EXPECT_GT(retry_.next_attempt, steady_clock::now() + milliseconds(20000));
    delays.push_back(static_cast<long>(retry_.delay.count()));
    Expire();
  }
  EXPECT_EQ(delays, (std::vector<long>{30000, 60000, 100000, 100000, 100000}));
  EXPECT_EQ(OutboxPending, 1);
}

TEST_F(OutboxStepTest, NewMailOrSuccessRestartsTheBackOff) {
  RefusingPort refusing;
  dir_.Write("outbox.kqs", Record(refusing.port(), "m"));
  Step();
  Expire();
  Step();
  ASSERT_EQ(retry_.delay, milliseconds(60000));
  // A new mail: the next try comes within the first wait of the failure.
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "body", "127.0.0.1"), ResultCode::kOk);
  Step();
  EXPECT_EQ(attempts_, 2);
  EXPECT_LE(retry_.next_attempt, retry_.failed_at + milliseconds(30000));
  retry_.next_attempt = retry_.failed_at;  // that first wait has passed
  Step();
  EXPECT_EQ(attempts_, 3);
  EXPECT_EQ(retry_.delay, milliseconds(30000));

  // Success clears both the back-off and the pending count.
  LoopbackSink sink;
  dir_.Write("outbox.kqs", Record(sink.port(), "m"));
  Expire();
  Step();
  EXPECT_EQ(attempts_, 4);
  EXPECT_FALSE(retry_.backing_off);
  EXPECT_EQ(OutboxPending, 0);
}

}  // namespace
}  // namespace tallypad
