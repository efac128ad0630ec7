#include "mail/mail_compose.h"

#include <gtest/gtest.h>

#include "base/file.h"
#include "base/status_log.h"
#include "mail/outbox.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using namespace std::string_literals;
using testing::TempDir;

class MailQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { OutboxPending = 0; }
  std::string Outbox() const { return dir_.Read("outbox.kqs"); }

  TempDir dir_;
};

TEST_F(MailQueueTest, PlainMailIsStoredAsOneRecordByteForByte) {
  // 5-byte body, 3-byte recipient, one-letter subject, 12-byte server name:
  // the fixed texts add 65 bytes.
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "Hello", "mail.example"), ResultCode::kOk);
  const std::string dialogue =
      "HELO mail.example\r\n"
      "MAIL FROM: <a@b>\r\n"
      "RCPT TO: <a@b>\r\n"
      "DATA\r\n"
      "Subject: S\r\n"
      "\r\n"
      "Hello\r\n"
      ".\r\n"
      "QUIT\r\n";
  ASSERT_EQ(dialogue.size(), 89u);
  EXPECT_EQ(Outbox(), "OPEN mail.example:25\nContent-Length: 89\n\n" + dialogue);
  EXPECT_EQ(OutboxPending, 1);
}

TEST_F(MailQueueTest, HtmlBodyInAnyCaseIsSentAsMultipart) {
  const std::string body = "<html><p>Hi</p></html>";
  ASSERT_EQ(MailQueue(dir_.path(), "x@y.z", "Report", body, "10.0.0.1"), ResultCode::kOk);
  const std::string dialogue =
      "HELO 10.0.0.1\r\n"
      "MAIL FROM: <x@y.z>\r\n"
      "RCPT TO: <x@y.z>\r\n"
      "DATA\r\n"
      "Subject: Report\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/alternative; boundary=\"_Mime-Boundary_19C4E2\"\r\n"
      "\r\n"
      "  This is a multi-part message in MIME format.\r\n"
      "\r\n"
      "--_Mime-Boundary_19C4E2\r\n"
      "Content-Type: text/html; charset=\"iso-8859-1\"\r\n"
      "Content-Transfer-Encoding: 8bit\r\n"
      "\r\n"
      "<html><p>Hi</p></html>--_Mime-Boundary_19C4E2--\r\n"
      ".\r\n"
      "QUIT\r\n";
  EXPECT_EQ(Outbox(), "OPEN 10.0.0.1:25\nContent-Length: " + std::to_string(dialogue.size()) +
                          "\n\n" + dialogue);
  // Only a body that begins with the tag is HTML.
  EXPECT_EQ(MailComposeDialogue("m", "s", "r", " <HTML>").find("MIME"), std::string::npos);
  EXPECT_NE(MailComposeDialogue("m", "s", "r", "<HtMl").find("MIME"), std::string::npos);
}

TEST_F(MailQueueTest, TwoMailsLeaveTwoRecordsBackToBack) {
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "One", "first", "mx"), ResultCode::kOk);
  ASSERT_EQ(MailQueue(dir_.path(), "c@d", "Two", "second", "my"), ResultCode::kOk);
  const std::string first = MailComposeDialogue("mx", "One", "a@b", "first");
  const std::string second = MailComposeDialogue("my", "Two", "c@d", "second");
  EXPECT_EQ(Outbox(), MailOutboxRecord("mx", first) + MailOutboxRecord("my", second));
  EXPECT_EQ(OutboxPending, 2);
}

TEST_F(MailQueueTest, NoUsableServerQueuesNothing) {
  for (std::string server : {std::string(), std::string("\r\n"), std::string(251, 'm')}) {
    EXPECT_EQ(MailQueue(dir_.path(), "a@b", "S", "body", server), ResultCode::kNoMailServer)
        << server.size();
  }
  EXPECT_FALSE(FileExists(dir_.File("outbox.kqs")));
  EXPECT_EQ(OutboxPending, 0);
  // The longest name that still fits the open line is queued.
  EXPECT_EQ(MailQueue(dir_.path(), "a@b", "S", "body", std::string(250, 'm')), ResultCode::kOk);
}

TEST_F(MailQueueTest, UnopenableOutboxGives67AndLeavesPendingAlone) {
  EXPECT_EQ(MailQueue(dir_.File("missing-folder/"), "a@b", "S", "body", "mx"),
            ResultCode::kOutboxNotWritten);
  dir_.Write("root/outbox.kqs/x", "");  // the outbox's name taken by a folder
  EXPECT_EQ(MailQueue(dir_.File("root"), "a@b", "S", "body", "mx"), ResultCode::kOutboxNotWritten);
  EXPECT_EQ(OutboxPending, 0);
}

// Everything between "DATA\r\n" + the Subject line's end and the final
// "\r\n.\r\n" of a plain mail: the stored body.
std::string StoredBody(const std::string& body) {
  std::string d = MailComposeDialogue("mx", "s", "r@x", body);
  const std::string head = "Subject: s\r\n\r\n";
  const std::string tail = "\r\n.\r\nQUIT\r\n";
  size_t start = d.find(head) + head.size();
  return d.substr(start, d.size() - tail.size() - start);
}

TEST(MailComposeDialogue, BodyLinesCannotEndTheDataEarly) {
  struct Case {
    const char* name;
    std::string body;
    std::string stored;
  } cases[] = {
      {"lone dot line", "a\r\n.\r\nQUIT", "a\r\n..\r\nQUIT"},
      {"lone dot after bare LF", "a\n.\nMAIL FROM: <x>\n", "a\r\n..\r\nMAIL FROM: <x>\r\n"},
      {"lone dot after bare CR", "a\r.\rb", "a\r\n..\r\nb"},
      {"dot at the very start", ".start", "..start"},
      {"dots inside lines stay", "a.b ..c\r\nd.", "a.b ..c\r\nd."},
      {"leading dots doubled once", "..x\n...", "...x\r\n...."},
      {"empty lines", "\n\n", "\r\n\r\n"},
      {"empty body", "", ""},
      {"zero bytes kept", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(StoredBody(c.body), c.stored) << c.name;

  // An HTML body is stuffed the same way inside its part.
  std::string html = MailComposeDialogue("mx", "s", "r", "<html>\n.\n</html>");
  EXPECT_NE(html.find("\r\n\r\n<html>\r\n..\r\n</html>--_Mime-Boundary_19C4E2--\r\n.\r\n"),
            std::string::npos);
}

TEST(MailComposeDialogue, HeaderFieldsStayOnOneLine) {
  std::string d = MailComposeDialogue("mx\r\nQUIT", "Hi\r\nBcc: all@x",
                                      "a@b>\r\nRCPT TO: <c@d\0"s, "body");
  EXPECT_EQ(d,
            "HELO mxQUIT\r\n"
            "MAIL FROM: <a@bRCPT TO: c@d>\r\n"
            "RCPT TO: <a@bRCPT TO: c@d>\r\n"
            "DATA\r\n"
            "Subject: HiBcc: all@x\r\n"
            "\r\n"
            "body\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(MailOutboxRecord("mx\nQUIT", "").substr(0, 14), "OPEN mxQUIT:25");
}

// Recipients and subjects as a hostile answer may give them: each stays one
// address inside one pair of angle brackets, and one header line.
TEST(MailComposeDialogue, AddressesAndSubjectsCannotAddCommands) {
  struct Case {
    const char* what;
    std::string recipient;
    std::string subject;
    std::string to;       // what stands between the angle brackets
    std::string stored;   // what stands after "Subject: "
  } cases[] = {
      {"a second recipient smuggled in", "victim@x>\r\nRCPT TO: <other@x", "S",
       "victim@xRCPT TO: other@x", "S"},
      {"brackets closed early", "a@b> NOTIFY=NEVER <", "S", "a@b NOTIFY=NEVER ", "S"},
      {"address already in brackets", "<a@b>", "S", "a@b", "S"},
      {"control bytes", "a@b\0\x01\t\x1b\x7f"s, "S", "a@b", "S"},
      {"bare line feeds", "a@b\nDATA\n", "S", "a@bDATA", "S"},
      {"header line added by the subject", "a@b", "Hi\r\nBcc: all@x", "a@b", "HiBcc: all@x"},
      {"brackets and tabs in the subject", "a@b", "<b>Hi</b>\tthere", "a@b", "bHi/bthere"},
      {"bytes beyond ASCII are kept", "j\xc3\xb6rg@x", "Gr\xc3\xbc\xc3\x9f" "e",
       "j\xc3\xb6rg@x", "Gr\xc3\xbc\xc3\x9f" "e"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MailHeaderValue(c.recipient), c.to) << c.what;
    EXPECT_EQ(MailComposeDialogue("mx", c.subject, c.recipient, "body"),
              "HELO mx\r\nMAIL FROM: <" + c.to + ">\r\nRCPT TO: <" + c.to +
                  ">\r\nDATA\r\nSubject: " + c.stored + "\r\n\r\nbody\r\n.\r\nQUIT\r\n")
        << c.what;
  }
}

TEST_F(MailQueueTest, ARecipientThatIsNoAddressIsRefusedAndLogged) {
  struct Case {
    const char* what;
    std::string recipient;
    std::string logged;  // the recipient as the log line shows it
  } cases[] = {
      {"empty", "", "\"\""},
      {"no @", "owner.example.org", "\"owner.example.org\""},
      {"two @", "a@b@c", "\"a@b@c\""},
      {"two addresses run together", "victim@x>\r\nRCPT TO: <other@x",
       "\"victim@x>\\x0d\\x0aRCPT TO: <other@x\""},
      {"nothing but brackets and controls", "<\r\n>", "\"<\\x0d\\x0a>\""},
      {"quotes, backslashes and bytes beyond ASCII", "\"a\\b\"\xff",
       "\"\\\"a\\\\b\\\"\\xff\""},
      {"long", std::string(300, 'x'), "\"" + std::string(kMaxLoggedRecipient, 'x') + "\"..."},
  };
  for (const Case& c : cases) {
    StatusLogReset();
    EXPECT_EQ(MailQueue(dir_.path(), c.recipient, "S", "body", "mx"),
              ResultCode::kRecipientNoAddress)
        << c.what;
    EXPECT_EQ(StatusLogText(), "\nmail: refused the recipient " + c.logged +
                                   ", which is no mail address; the mail was not queued")
        << c.what;
  }
  // MailCompose, the step that writes the outbox, refuses as well.
  EXPECT_EQ(MailCompose(dir_.path(), "mx", "S", "a@b@c", "body"), ResultCode::kRecipientNoAddress);
  EXPECT_FALSE(FileExists(dir_.File("outbox.kqs")));
  EXPECT_EQ(OutboxPending, 0);
  StatusLogReset();

  // An address with one @ goes out, brackets and line breaks left out.
  ASSERT_EQ(MailQueue(dir_.path(), "<a@b>\r\n", "S", "body", "mx"), ResultCode::kOk);
  EXPECT_EQ(Outbox(), MailOutboxRecord("mx", MailComposeDialogue("mx", "S", "a@b", "body")));
  EXPECT_EQ(StatusLogText(), "");
}

TEST_F(MailQueueTest, ContentLengthCountsTheStoredBytes) {
  ASSERT_EQ(MailQueue(dir_.path(), "a@b\n", "S\r", "x\n.\ny\n", "mx"), ResultCode::kOk);
  const std::string file = Outbox();
  const std::string head = "OPEN mx:25\nContent-Length: ";
  ASSERT_EQ(file.compare(0, head.size(), head), 0);
  size_t end = file.find("\n\n");
  ASSERT_NE(end, std::string::npos);
  size_t length = std::stoul(file.substr(head.size(), end - head.size()));
  EXPECT_EQ(length, file.size() - end - 2);
  EXPECT_NE(file.find("x\r\n..\r\ny\r\n\r\n.\r\nQUIT\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tallypad
