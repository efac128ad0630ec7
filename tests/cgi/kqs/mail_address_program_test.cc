// Mail to addresses that come from answers, through the real program over
// HTTP: a page script mails the respondent at the address typed into the
// form, and a hostile answer must not add recipients, commands or header
// lines to the stored dialogue. The program runs offline, so queued mail
// stays in the outbox, where the tests read it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file.h"
#include "support/html_form.h"
#include "support/outbox_mail.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::DescribeQueuedMails;
using testing::HttpResponse;
using testing::ServedRoot;
using testing::ServedRootSuite;

constexpr char kThanks[] = "<html><head><title></title></head><body><P>Thank you!</body></html>\n";

// The line the server adds after the body of a request that ended with `code`.
// The paragraphs of a save that failed: the respondent's, and the author's,
// which requests from this machine (all of this suite's) get.
std::string NotSaved() {
  return "<P class=\"kqs-error\">Sorry, your answers could not be saved. Please tell the people "
         "who run this survey.</P>\n";
}
std::string Author(const std::string& text) {
  return "<P class=\"kqs-author\"><B>For the survey's author</B> (shown only on this computer): " +
         text + "</P>\n";
}

std::string Trailer(int code) {
  return "<P><A href=/help/cgi/kqs/error.html#s" + std::to_string(code) + ">Error " +
         std::to_string(code) + "</a>\n<!-- Velkorn CGI 5.04 -->";
}

// The mail the "ask" form's script queues for `to` (already cleaned) with
// the subject "Re: " + `topic` (already cleaned), as DescribeQueuedMails
// shows it.
std::string AskRecord(const std::string& to, const std::string& topic) {
  return "OPEN 127.0.0.1:25\nFROM " + to + "\nTO " + to + "\nSubject: Re: " + topic +
         "\nThank you\r\n--\n";
}

class MailAddressProgramTest : public ServedRootSuite<MailAddressProgramTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>(
        std::vector<std::pair<std::string, std::string>>{{"TALLYPAD_NETWORK", "offline"}});
    const auto& root = served_->root();
    // A single-page form whose final script mails the respondent.
    root.Write("ask.ini",
               "[DATABASE]\nFORM=ask\nEMAILSERVER=127.0.0.1\nSAVEDATA=1\n"
               "[access]\nPWDAPPEND=(allow)\n");
    root.Write("ask.html",
               "<form method=post action=/kqs><input type=hidden name=DATABASE value=ask>\n"
               "<input type=hidden name=_SESSION><input name=EMAIL><input name=TOPIC>\n"
               "<input type=submit name=_ACTION value=SUBMIT></form>\n");
    root.Write("ask.asc", "#EMAIL\t\r\n");
    root.Write("ask.val",
               "<PAGE NAME=\"SUBMIT\">\n<SCRIPT>\n"
               "_subject = 'Re: ' + TOPIC;\nsendmail(EMAIL, _subject, 'Thank you');\n"
               "</SCRIPT>\n");
    // A form that mails each response to an owner who is no address.
    root.Write("owner.ini",
               "[DATABASE]\nFORM=ask\nSAVEEMAIL=1\nSAVEEMAILNAME=owner.example.org\n"
               "EMAILSERVER=127.0.0.1\nSAVEDATA=1\n[access]\nPWDAPPEND=(allow)\n");
    root.Write("owner.asc", "#EMAIL\t\r\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static const testing::TempDir& root() { return served_->root(); }
  static std::string Outbox() {
    return FileExists(root().File("outbox.kqs")) ? root().Read("outbox.kqs") : "";
  }
  static HttpResponse Submit(const std::string& form, const std::string& email,
                             const std::string& topic = "x") {
    return Post({{"DATABASE", form},
                 {"_SESSION", "s"},
                 {"EMAIL", email},
                 {"TOPIC", topic},
                 {"_ACTION", "SUBMIT"}});
  }
};

// One test, because the cases share the one outbox and follow each other.
TEST_F(MailAddressProgramTest, AnswersCannotAddRecipientsOrHeaderLines) {
  // Two addresses run together: refused, nothing queued, the log says so.
  HttpResponse r = Submit("ask", "victim@x>\r\nRCPT TO: <other@x");
  EXPECT_EQ(r.body, kThanks);
  EXPECT_EQ(Outbox(), "");
  EXPECT_TRUE(served_->server().WaitForOutput(
      "mail: refused the recipient \"victim@x>\\x0d\\x0aRCPT TO: <other@x\""))
      << served_->server().Output();

  // An ordinary address is mailed as the script asks.
  r = Submit("ask", "ann@example.org", "your visit");
  EXPECT_EQ(r.body, kThanks);
  std::string expected = AskRecord("ann@example.org", "your visit");
  EXPECT_EQ(DescribeQueuedMails(Outbox()), expected);

  // One "@", but brackets and line breaks to start a second recipient and a
  // header line: the address and the subject each stay on their one line.
  r = Submit("ask", "victim@x>\r\nRCPT TO: <other", "a\r\nBcc: <all@x>");
  EXPECT_EQ(r.body, kThanks);
  expected += AskRecord("victim@xRCPT TO: other", "aBcc: all@x");
  EXPECT_EQ(DescribeQueuedMails(Outbox()), expected);
  const std::string outbox = Outbox();
  size_t rcpt = 0;
  for (size_t at = 0; (at = outbox.find("\r\nRCPT TO:", at)) != std::string::npos; ++at) ++rcpt;
  EXPECT_EQ(rcpt, 2u) << "one recipient per mail";
  EXPECT_EQ(outbox.find("\r\nBcc:"), std::string::npos) << "no header line of the answer's";
}

// The form's own address is no address: the save stops with its code, as
// for a missing mail server, rather than thanking for a mail never queued.
TEST_F(MailAddressProgramTest, AnOwnerAddressThatIsNoAddressStopsTheSave) {
  const std::string outbox = Outbox();
  HttpResponse r = Submit("owner", "ann@example.org");
  EXPECT_EQ(r.body, NotSaved() +
                        Author("SAVEEMAILNAME in owner.ini (owner.example.org) is no mail address "
                               "(an address has exactly one @). The answers were not saved.") +
                        Trailer(68));
  EXPECT_EQ(root().Read("owner.asc"), "#EMAIL\t\r\n");
  EXPECT_EQ(Outbox(), outbox);
  EXPECT_TRUE(served_->server().WaitForOutput("mail: refused the recipient \"owner.example.org\""))
      << served_->server().Output();
}

}  // namespace
}  // namespace tallypad
