// Encrypted and authenticated submission against a scripted server with a
// certificate the test makes: STARTTLS and TLS from the first byte, logins
// only over encryption, the server's certificate and name checked, and the
// password never written anywhere.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/file.h"
#include "base/status_log.h"
#include "mail/mail_compose.h"
#include "mail/mail_encode.h"
#include "mail/outbox.h"
#include "mail/outbox_list.h"
#include "support/smtp_peer.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::ScriptedSmtpPeer;
using testing::SmtpPeerScript;
using testing::TempDir;

constexpr std::string_view kUser = "survey@example.test";
constexpr std::string_view kPassword = "s3cret-Pa55word";

class SmtpTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StatusLogReset();
    ASSERT_TRUE(testing::MakeTestCertificate(certs_.path(), {"IP:127.0.0.1", "DNS:localhost"}));
    options_.connect_timeout_ms = 3000;
    options_.send_timeout_ms = 3000;
    options_.reply_timeout_ms = 3000;
    options_.data_reply_timeout_ms = 3000;
    options_.client_name = "client.test";
  }
  // A server offering STARTTLS (or TLS from the first byte) and logins.
  SmtpPeerScript Script(std::string mechanisms = "PLAIN LOGIN") {
    SmtpPeerScript script;
    script.cert_file = certs_.File("cert.pem");
    script.key_file = certs_.File("key.pem");
    script.auth_mechanisms = std::move(mechanisms);
    script.user = std::string(kUser);
    script.password = std::string(kPassword);
    return script;
  }
  // Queues a mail for the server at port and gives its section of cgi.ini
  // the lines `settings`.
  void Queue(int port, const std::string& settings, const std::string& host = "127.0.0.1") {
    const std::string server = host + ":" + std::to_string(port);
    dir_.Write("cgi.ini", "[server]\nHOME=index.html\n[mail " + server + "]\n" + settings);
    MailParts parts;
    parts.recipient = "team@example.test";
    parts.subject = "Result";
    parts.body = "answers";
    dir_.Write("outbox.kqs", MailOutboxRecord(server, MailComposeDialogue(parts)));
  }
  std::string Account(std::string_view tls, std::string ca = "") {
    return "USER=" + std::string(kUser) + "\nPASSWORD=" + std::string(kPassword) + "\nTLS=" +
           std::string(tls) + "\nCAFILE=" + (ca.empty() ? certs_.File("cert.pem") : ca) + "\n";
  }
  int Send() { return OutboxSend(dir_.path(), options_); }
  std::string LastReply() {
    OutboxListing listing = OutboxList(dir_.path());
    return listing.queued.empty() ? "" : listing.queued[0].last_reply;
  }
  // Index of the first command beginning with `word`, or -1.
  static int IndexOf(const std::vector<std::string>& commands, std::string_view word) {
    for (size_t i = 0; i < commands.size(); ++i)
      if (commands[i].compare(0, word.size(), word) == 0) return static_cast<int>(i);
    return -1;
  }

  TempDir certs_;
  TempDir dir_;
  OutboxOptions options_;
};

TEST_F(SmtpTlsTest, StartTlsThenLogsInAndDelivers) {
  struct Case {
    const char* mechanisms;
    const char* expected;  // the AUTH command the client chose
  } cases[] = {
      {"PLAIN LOGIN", "AUTH PLAIN "},
      {"LOGIN", "AUTH LOGIN"},
      {"CRAM-MD5 PLAIN", "AUTH PLAIN "},
  };
  for (const Case& c : cases) {
    ScriptedSmtpPeer peer(Script(c.mechanisms));
    Queue(peer.port(), Account("required"));
    EXPECT_EQ(Send(), 0) << c.mechanisms << " " << LastReply();
    ASSERT_EQ(peer.Accepted().size(), 1u) << c.mechanisms;
    const testing::SmtpPeerSession session = peer.Sessions()[0];
    EXPECT_TRUE(session.encrypted) << c.mechanisms;
    EXPECT_TRUE(session.logged_in) << c.mechanisms;
    const int tls = IndexOf(session.commands, "STARTTLS");
    const int auth = IndexOf(session.commands, c.expected);
    ASSERT_GE(tls, 0) << c.mechanisms;
    EXPECT_GT(auth, tls) << "the login comes after the encryption: " << c.mechanisms;
    // After encryption the client says EHLO again.
    EXPECT_EQ(session.commands[tls + 1], "EHLO client.test\r\n") << c.mechanisms;
  }
}

TEST_F(SmtpTlsTest, TlsFromTheFirstByte) {
  SmtpPeerScript script = Script();
  script.implicit_tls = true;
  ScriptedSmtpPeer peer(script);
  Queue(peer.port(), Account("implicit"));
  EXPECT_EQ(Send(), 0) << LastReply();
  ASSERT_EQ(peer.Accepted().size(), 1u);
  EXPECT_TRUE(peer.Sessions()[0].encrypted);
  EXPECT_EQ(IndexOf(peer.Sessions()[0].commands, "STARTTLS"), -1);
  EXPECT_TRUE(peer.Sessions()[0].logged_in);
}

TEST_F(SmtpTlsTest, AutoEncryptsWhenOfferedAndSendsPlainWhenNot) {
  ScriptedSmtpPeer offering(Script(""));
  Queue(offering.port(), "CAFILE=" + certs_.File("cert.pem") + "\n");
  EXPECT_EQ(Send(), 0) << LastReply();
  EXPECT_TRUE(offering.Sessions()[0].encrypted);

  // A relay without TLS and without a login takes the mail in the clear.
  ScriptedSmtpPeer relay(SmtpPeerScript{});
  Queue(relay.port(), "");
  EXPECT_EQ(Send(), 0) << LastReply();
  EXPECT_EQ(relay.Accepted().size(), 1u);
}

// Whatever keeps the connection from being encrypted or the server from
// being trusted keeps the mail, and no password and no mail cross.
TEST_F(SmtpTlsTest, NoTrustNoLoginNoMail) {
  TempDir other;
  ASSERT_TRUE(testing::MakeTestCertificate(other.path(), {"IP:127.0.0.1"}));
  TempDir misnamed;
  ASSERT_TRUE(testing::MakeTestCertificate(misnamed.path(), {"DNS:other.example"}));
  struct Case {
    const char* what;
    SmtpPeerScript script;
    std::string settings;
    const char* reason;  // a part of the last reply
  } cases[] = {
      {"TLS required but not offered", [] {
         SmtpPeerScript s;
         s.auth_mechanisms = "PLAIN";
         return s;
       }(), "TLS=required\n", "no STARTTLS"},
      {"a password but no TLS offered", [] {
         SmtpPeerScript s;
         s.auth_mechanisms = "PLAIN";
         s.user = std::string(kUser);
         s.password = std::string(kPassword);
         return s;
       }(), Account("auto"), "only over an encrypted connection"},
      {"a password with TLS=off", Script(), Account("off"), "only over an encrypted connection"},
      {"a certificate of another authority", Script(), Account("required", other.File("cert.pem")),
       "certificate was not accepted"},
      {"the system's store does not know it", Script(),
       "USER=" + std::string(kUser) + "\nPASSWORD=" + std::string(kPassword) + "\nTLS=required\n",
       "certificate was not accepted"},
      {"a certificate for another name", [&] {
         SmtpPeerScript s = Script();
         s.cert_file = misnamed.File("cert.pem");
         s.key_file = misnamed.File("key.pem");
         return s;
       }(), Account("required", misnamed.File("cert.pem")), "certificate was not accepted"},
      {"data injected ahead of the handshake", [&] {
         SmtpPeerScript s = Script();
         s.after_starttls = "250 injected\r\n";
         return s;
       }(), Account("required"), "ahead of the TLS handshake"},
      {"a wrong password", [&] {
         SmtpPeerScript s = Script();
         s.password = "another";
         return s;
       }(), Account("required"), "refused the login"},
  };
  for (const Case& c : cases) {
    ScriptedSmtpPeer peer(c.script);
    Queue(peer.port(), c.settings);
    const std::string queued = dir_.Read("outbox.kqs");
    EXPECT_EQ(Send(), kOutboxRetryLater) << c.what;
    EXPECT_EQ(dir_.Read("outbox.kqs"), queued) << c.what;
    EXPECT_FALSE(FileExists(dir_.File("outbox.dead"))) << c.what;
    EXPECT_NE(LastReply().find(c.reason), std::string::npos) << c.what << ": " << LastReply();
    for (const testing::SmtpPeerSession& session : peer.Sessions()) {
      EXPECT_EQ(IndexOf(session.commands, "MAIL"), -1) << c.what;
      if (!session.encrypted) {
        EXPECT_EQ(IndexOf(session.commands, "AUTH"), -1) << c.what;
      }
    }
    ::unlink(dir_.File("outbox.state").c_str());
  }
}

// The password lives in cgi.ini only: no file the outbox writes, and no
// line of the message log, holds it in any form.
TEST_F(SmtpTlsTest, APasswordIsNeverWrittenToAFile) {
  const std::string plain = std::string(kPassword);
  const std::string forms[] = {
      plain,
      Base64Encode(plain),
      Base64Encode(std::string(1, '\0') + std::string(kUser) + '\0' + plain),
  };
  auto expect_nowhere = [&](const char* when) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      if (!entry.is_regular_file() || entry.path().filename() == "cgi.ini") continue;
      const std::string bytes = dir_.Read(entry.path().lexically_relative(dir_.path()).string());
      for (const std::string& form : forms)
        EXPECT_EQ(bytes.find(form), std::string::npos) << when << ": " << entry.path();
    }
    for (const std::string& form : forms)
      EXPECT_EQ(StatusLogText().find(form), std::string::npos) << when;
  };
  {
    ScriptedSmtpPeer peer(Script());
    Queue(peer.port(), Account("required"));
    EXPECT_EQ(Send(), 0);
    expect_nowhere("after a delivery");
  }
  {
    SmtpPeerScript script = Script();
    script.password = "another";
    ScriptedSmtpPeer peer(script);
    Queue(peer.port(), Account("required"));
    EXPECT_EQ(Send(), kOutboxRetryLater);
    expect_nowhere("after a refused login");
  }
  {
    SmtpPeerScript script = Script("LOGIN");
    script.replies["."] = "554 5.7.1 refused";
    ScriptedSmtpPeer peer(script);
    Queue(peer.port(), Account("required"));
    EXPECT_EQ(Send(), 0);
    EXPECT_TRUE(FileExists(dir_.File("outbox.dead")));
    expect_nowhere("after a dead letter");
  }
}

TEST_F(SmtpTlsTest, AnUnknownTlsWordCountsAsRequired) {
  ScriptedSmtpPeer relay(SmtpPeerScript{});
  Queue(relay.port(), "TLS=yes-please\n");
  EXPECT_EQ(Send(), kOutboxRetryLater);
  EXPECT_TRUE(relay.Accepted().empty());
  EXPECT_NE(StatusLogText().find("TLS=yes-please is no TLS mode"), std::string::npos)
      << StatusLogText();
}

}  // namespace
}  // namespace tallypad
