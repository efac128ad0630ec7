#include "mail/mail_compose.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/file.h"
#include "base/status_log.h"
#include "mail/mail_encode.h"
#include "mail/outbox.h"
#include "support/outbox_mail.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using namespace std::string_literals;
using testing::ReadQueuedMails;
using testing::TempDir;

class MailQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { OutboxPending = 0; }
  std::string Outbox() const { return dir_.Read("outbox.kqs"); }

  TempDir dir_;
};

// A mail with every varying part fixed, so that its record comes out the
// same each time.
MailParts Fixed(std::string_view recipient, std::string_view subject, std::string_view body) {
  MailParts parts;
  parts.mail_server = "mx";
  parts.recipient = recipient;
  parts.subject = subject;
  parts.body = body;
  parts.date = 1739451785;  // Thu, 13 Feb 2025 13:03:05 UTC
  parts.message_id = "<1.2@kiosk.example>";
  parts.client_name = "kiosk.example";
  return parts;
}

TEST(MailComposeDialogue, PlainMailIsStoredByteForByte) {
  MailParts parts = Fixed("a@b", "S", "Hello");
  parts.sender = "team@example.org";
  const std::string expected =
      "HELO kiosk.example\r\n"
      "MAIL FROM: <team@example.org>\r\n"
      "RCPT TO: <a@b>\r\n"
      "DATA\r\n"
      "Date: " + MailDate(1739451785) + "\r\n"
      "From: team@example.org\r\n"
      "To: a@b\r\n"
      "Subject: S\r\n"
      "Message-ID: <1.2@kiosk.example>\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n"
      "\r\n"
      "Hello\r\n"
      ".\r\n"
      "QUIT\r\n";
  EXPECT_EQ(MailComposeDialogue(parts), expected);
  // Without a sender the mail comes from its recipient, as it always has.
  parts.sender = {};
  const std::string own = MailComposeDialogue(parts);
  EXPECT_NE(own.find("MAIL FROM: <a@b>\r\n"), std::string::npos);
  EXPECT_NE(own.find("\r\nFrom: a@b\r\n"), std::string::npos);
}

TEST(MailComposeDialogue, HtmlBodyInAnyCaseIsAnHtmlMailInUtf8) {
  for (std::string_view body : {"<html><p>Hi</p></html>", "<HtMl>x"}) {
    const std::string d = MailComposeDialogue(Fixed("a@b", "S", body));
    EXPECT_NE(d.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos) << d;
  }
  // Only a body that begins with the tag is HTML.
  EXPECT_NE(MailComposeDialogue(Fixed("a@b", "S", " <HTML>")).find("text/plain"),
            std::string::npos);
}

TEST(MailComposeDialogue, EveryMailHasItsOwnMessageIdAndTheDateOfNow) {
  MailParts parts = Fixed("a@b", "S", "x");
  parts.message_id = {};
  parts.date.reset();
  const std::string one = MailComposeDialogue(parts);
  const std::string two = MailComposeDialogue(parts);
  auto header = [](const std::string& d, std::string_view name) {
    size_t at = d.find(std::string("\r\n") + std::string(name) + ": ");
    if (at == std::string::npos) return std::string();
    at += name.size() + 4;
    return d.substr(at, d.find("\r\n", at) - at);
  };
  const std::string id = header(one, "Message-ID");
  EXPECT_NE(id, header(two, "Message-ID"));
  EXPECT_EQ(id.front(), '<');
  EXPECT_EQ(id.back(), '>');
  EXPECT_NE(id.find("@" + MailMachineName() + ">"), std::string::npos) << id;
  std::optional<std::time_t> date = MailDateParse(header(one, "Date"));
  ASSERT_TRUE(date) << header(one, "Date");
  EXPECT_LE(std::abs(*date - std::time(nullptr)), 5);
}

// Bodies as answers make them: read back as a mail reader reads them, each
// is what was written (its line ends as CR LF), and no line of the stored
// message is longer than the standard allows or ends the data early.
TEST(MailComposeDialogue, BodiesArriveExactlyWhateverTheyHold) {
  struct Case {
    const char* name;
    std::string body;
  } cases[] = {
      {"lone dot line", "a\r\n.\r\nQUIT\r\n"},
      {"lone dot after bare LF", "a\n.\nMAIL FROM: <x>\n"},
      {"dot at the very start", ".start\n"},
      {"leading dots", "..x\n...\n"},
      {"a long answer", "Q1: " + std::string(5000, 'w') + "\n"},
      {"a long line of dots", std::string(300, '.') + "\n"},
      {"UTF-8 answers", "Name: Zo\xc3\xab \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x99\x82\n"},
      {"equals signs and blanks before line ends", "a=b \nc\t\n= \n"},
      {"empty lines", "\n\nx\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    OutboxPending = 0;
    ASSERT_EQ(MailQueue(dir.path(), "a@b", "S", c.body, "mx"), ResultCode::kOk) << c.name;
    const std::string outbox = dir.Read("outbox.kqs");
    std::vector<testing::QueuedMail> mails = ReadQueuedMails(outbox);
    ASSERT_EQ(mails.size(), 1u) << c.name;
    std::string expected;
    for (size_t i = 0; i < c.body.size(); ++i) {
      if (c.body[i] == '\r' && i + 1 < c.body.size() && c.body[i + 1] == '\n') continue;
      if (c.body[i] == '\n' || c.body[i] == '\r') {
        expected += "\r\n";
      } else {
        expected += c.body[i];
      }
    }
    EXPECT_EQ(mails[0].body, expected) << c.name;
    const std::string dialogue = outbox.substr(outbox.find("\n\n") + 2);
    const std::string message = dialogue.substr(dialogue.find("DATA\r\n") + 6);
    // The data ends at its first lone "." line, which is its last.
    EXPECT_EQ(message.find("\r\n.\r\n") + 5, message.size() - 6) << c.name;
    for (size_t at = 0, end; (end = message.find("\r\n", at)) != std::string::npos; at = end + 2)
      EXPECT_LE(end - at, kQuotedPrintableLineLimit) << c.name;
  }
}

TEST(MailComposeDialogue, SubjectsBeyondPlainAsciiAreEncodedWords) {
  const std::string subject = "R\xc3\xa9sultat \xe2\x80\x94 " + std::string(80, 'x');
  const std::string d = MailComposeDialogue(Fixed("a@b", subject, "x"));
  const size_t at = d.find("\r\nSubject: ") + 11;
  const std::string field = d.substr(at, d.find("\r\nMessage-ID:") - at);
  EXPECT_EQ(field.compare(0, 10, "=?utf-8?B?"), 0) << field;
  EXPECT_EQ(HeaderTextDecode(field), subject);
  for (size_t from = 0, end; from < field.size(); from = end + 2) {
    end = field.find("\r\n", from);
    if (end == std::string::npos) end = field.size();
    EXPECT_LE(end - from + (from == 0 ? 9 : 0), 78u) << field;
  }
}

TEST_F(MailQueueTest, TheOpenLineKeepsAPortGivenWithTheServer) {
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "x", "smtp.example.com:587"), ResultCode::kOk);
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "x", "relay.lan"), ResultCode::kOk);
  std::vector<testing::QueuedMail> mails = ReadQueuedMails(Outbox());
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].server, "smtp.example.com:587");
  EXPECT_EQ(mails[1].server, "relay.lan:25");
  EXPECT_EQ(OutboxPending, 2);
}

TEST_F(MailQueueTest, ASenderThatIsNoAddressIsLoggedAndTheRecipientSends) {
  StatusLogReset();
  ASSERT_EQ(MailQueue(dir_.path(), "a@b", "S", "x", "mx", "not-an-address"), ResultCode::kOk);
  std::vector<testing::QueuedMail> mails = ReadQueuedMails(Outbox());
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].mail_from, "a@b");
  EXPECT_EQ(mails[0].Header("From"), "a@b");
  EXPECT_NE(StatusLogText().find("\"not-an-address\" (EMAILFROM) is no mail address"),
            std::string::npos)
      << StatusLogText();
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

TEST(MailComposeDialogue, HeaderFieldsStayOnOneLine) {
  const std::string recipient = "a@b>\r\nRCPT TO: <c@d\0"s;
  MailParts parts = Fixed(recipient, "Hi\r\nBcc: all@x", "body");
  parts.sender = "s@x>\r\nDATA";
  const std::string d = MailComposeDialogue(parts);
  EXPECT_EQ(d.substr(0, d.find("DATA\r\n") + 6),
            "HELO kiosk.example\r\n"
            "MAIL FROM: <s@xDATA>\r\n"
            "RCPT TO: <a@bRCPT TO: c@d>\r\n"
            "DATA\r\n");
  EXPECT_NE(d.find("\r\nSubject: HiBcc: all@x\r\n"), std::string::npos) << d;
  EXPECT_NE(d.find("\r\nTo: a@bRCPT TO: c@d\r\n"), std::string::npos) << d;
  EXPECT_EQ(MailOutboxRecord("mx\nQUIT", "").substr(0, 14), "OPEN mxQUIT:25");
}

// Recipients as a hostile answer may give them: each stays one address
// inside one pair of angle brackets.
TEST(MailComposeDialogue, AddressesCannotAddCommands) {
  struct Case {
    const char* what;
    std::string recipient;
    std::string to;  // what stands between the angle brackets
  } cases[] = {
      {"a second recipient smuggled in", "victim@x>\r\nRCPT TO: <other@x",
       "victim@xRCPT TO: other@x"},
      {"brackets closed early", "a@b> NOTIFY=NEVER <", "a@b NOTIFY=NEVER "},
      {"address already in brackets", "<a@b>", "a@b"},
      {"control bytes", "a@b\0\x01\t\x1b\x7f"s, "a@b"},
      {"bare line feeds", "a@b\nDATA\n", "a@bDATA"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MailHeaderValue(c.recipient), c.to) << c.what;
    const std::string d = MailComposeDialogue(Fixed(c.recipient, "S", "body"));
    EXPECT_NE(d.find("\r\nRCPT TO: <" + c.to + ">\r\nDATA\r\n"), std::string::npos) << c.what;
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
  std::vector<testing::QueuedMail> mails = ReadQueuedMails(Outbox());
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"a@b"});
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
  EXPECT_NE(file.find("x\r\n=2E\r\ny\r\n.\r\nQUIT\r\n"), std::string::npos) << file;
}

}  // namespace
}  // namespace tallypad
