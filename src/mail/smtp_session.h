// The SMTP client (RFC 5321) that delivers the outbox's mails: it reads the
// stored dialogue of a record (HELO, MAIL FROM, RCPT TO, DATA, the message,
// QUIT; as every version of the program has written it) and drives it one
// command at a time against a real mail server. It waits for the greeting,
// says EHLO (HELO when EHLO is refused), reads every reply, pipelines only
// when the server announces PIPELINING, encrypts with STARTTLS or from the
// first byte, and logs in with AUTH PLAIN or LOGIN only over an encrypted
// connection. Each reply has a bounded wait. Runs on the outbox thread.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_account.h"
#include "mail/mail_channel.h"

namespace tallypad {

// A mail as an outbox record stores it.
struct StoredMail {
  std::string sender;                   // the envelope sender (may be empty: "<>")
  std::vector<std::string> recipients;  // at least one
  // The message as it goes after DATA: CR LF lines, dot-stuffed, ending
  // with the line ".".
  std::string data;
  bool eight_bit = false;  // the message holds bytes above 127
};

// Reads the stored dialogue of one record. Returns nullopt, with `*why`
// saying what is missing, when it holds no mail (no MAIL FROM, no RCPT TO,
// no DATA, or a message without its closing line).
std::optional<StoredMail> StoredMailParse(std::string_view dialogue, std::string* why);

// What became of a mail, or of the connection.
enum class SmtpOutcome {
  kDelivered,  // the server took the mail (2xx at the end of DATA)
  kRetry,      // not now: keep the mail and try again later
  kRefused,    // refused for good (5xx at MAIL, RCPT or DATA)
};

struct SmtpResult {
  SmtpOutcome outcome = SmtpOutcome::kRetry;
  // The server's reply that decided, or what went wrong ("the mail server
  // did not answer in time"), for the log and the outbox's records. Never
  // holds anything the client sent.
  std::string reply;
  // For kRetry: the server cannot take any mail now (the connection,
  // greeting, encryption or login failed), so the other mails for it wait.
  bool server_unusable = false;
  // When connecting failed: OutboxConnect's status code.
  int connect_status = 0;
};

// Bounds of one session; every wait also ends once `stop` is set.
struct SmtpOptions {
  int connect_timeout_ms = 10000;
  // Longest wait for a reply: the greeting and each command (RFC 5321,
  // 4.5.3.2, asks for minutes; a server that stays silent this long is
  // tried again later instead).
  int reply_timeout_ms = 120000;
  // Longest wait for the reply after the message's closing line, when the
  // server checks the whole message.
  int data_reply_timeout_ms = 300000;
  // Longest wait for the server to take more of what is sent.
  int send_timeout_ms = 60000;
  // The name the client gives with EHLO; empty: the machine's name when it
  // is a full domain name, else the connection's address literal.
  std::string client_name;
  const std::atomic<bool>* stop = nullptr;
};

// Mails sent over one connection before it is closed and opened again:
// servers limit the mails of one session.
inline constexpr int kSmtpMailsPerSession = 50;

class SmtpSession {
 public:
  SmtpSession(MailServerAddress server, MailAccount account, SmtpOptions options);
  ~SmtpSession();
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // Connects and readies the session: greeting, EHLO or HELO, encryption
  // and login as the account asks. kDelivered means ready; otherwise the
  // result says why not (always server_unusable).
  SmtpResult Open();
  // Sends one mail over the open session. After a result with
  // server_unusable the session is closed.
  SmtpResult Send(const StoredMail& mail);
  // Says QUIT (waiting briefly for the answer) and closes the connection.
  void Close();
  // True while the session can take a mail.
  bool ready() const { return ready_; }
  // True when the connection is encrypted.
  bool encrypted() const { return channel_.encrypted(); }

 private:
  struct Extensions {
    bool pipelining = false;
    bool starttls = false;
    bool eight_bit_mime = false;
    bool auth_plain = false;
    bool auth_login = false;
    bool auth = false;
  };
  SmtpResult Fail(std::string reply, SmtpOutcome outcome = SmtpOutcome::kRetry);
  SmtpResult ChannelFailure(ChannelStatus status, std::string_view during);
  bool Command(std::string_view line, SmtpReply* reply, std::string_view during,
               SmtpResult* failure, int timeout_ms = 0);
  bool Hello(SmtpResult* failure);
  bool Encrypt(SmtpResult* failure);
  bool LogIn(SmtpResult* failure);
  SmtpResult Reset(SmtpResult result);
  std::string ClientName() const;

  MailServerAddress server_;
  MailAccount account_;
  SmtpOptions options_;
  MailChannel channel_;
  Extensions extensions_;
  bool ready_ = false;
  int mails_sent_ = 0;
};

}  // namespace tallypad
