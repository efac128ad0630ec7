#include "mail/smtp_session.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>

#include "base/str.h"
#include "mail/mail_encode.h"
#include "mail/outbox.h"

namespace tallypad {

namespace {

using Clock = std::chrono::steady_clock;

// Longest wait for the answer to QUIT: the mail is already delivered.
constexpr int kQuitReplyTimeoutMs = 5000;
// Longest host name taken as the client's name in EHLO.
constexpr size_t kClientNameLimit = 255;
// Bytes of the message sent with one bounded wait: a server that takes the
// message slowly but steadily is not cut off.
constexpr size_t kDataPiece = 65536;

// The steps of one mail's transaction and the reply each expects.
enum class MailStep { kMail, kRcpt, kData, kDataEnd };

struct MailStepRow {
  MailStep step;
  std::string_view name;
  SmtpReplyClass expected;
};

constexpr MailStepRow kMailSteps[] = {
    {MailStep::kMail, "MAIL FROM", SmtpReplyClass::kPositive},
    {MailStep::kRcpt, "RCPT TO", SmtpReplyClass::kPositive},
    {MailStep::kData, "DATA", SmtpReplyClass::kIntermediate},
    {MailStep::kDataEnd, "the end of the message", SmtpReplyClass::kPositive},
};

// Replies whose meaning at a mail step is not their class's: they speak of
// the server or the login, not of the mail, so the mail waits.
struct SpecialReplyRow {
  int code;
  std::string_view why;
};

constexpr SpecialReplyRow kSpecialReplies[] = {
    {421, "the server is closing the connection"},
    {530, "the server asks for a login (USER and PASSWORD in cgi.ini)"},
};

const MailStepRow& RowOf(MailStep step) {
  for (const MailStepRow& row : kMailSteps)
    if (row.step == step) return row;
  return kMailSteps[0];
}

// What `reply` at `step` means for the mail: nullopt to go on.
std::optional<SmtpResult> Judge(MailStep step, const SmtpReply& reply) {
  const MailStepRow& row = RowOf(step);
  const std::string text = "at " + std::string(row.name) + ": " + reply.Text();
  for (const SpecialReplyRow& special : kSpecialReplies)
    if (reply.code == special.code)
      return SmtpResult{SmtpOutcome::kRetry, text + " (" + std::string(special.why) + ")", true};
  const SmtpReplyClass got = SmtpReplyClassOf(reply.code);
  if (got == row.expected) return std::nullopt;
  if (got == SmtpReplyClass::kTransient) return SmtpResult{SmtpOutcome::kRetry, text, false};
  if (got == SmtpReplyClass::kPermanent) return SmtpResult{SmtpOutcome::kRefused, text, false};
  // A reply of the wrong kind: the exchange is out of step.
  return SmtpResult{SmtpOutcome::kRetry, text + " (a reply that does not fit the command)", true};
}

// The address of "MAIL FROM:<a>" or "RCPT TO: <a>" after the colon.
std::string PathArgument(std::string_view rest) {
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (!rest.empty() && rest.front() == '<') {
    size_t close = rest.find('>');
    return std::string(rest.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                       : close - 1));
  }
  return std::string(rest.substr(0, rest.find(' ')));
}

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '-';
}

}  // namespace

std::optional<StoredMail> StoredMailParse(std::string_view dialogue, std::string* why) {
  StoredMail mail;
  bool have_sender = false;
  size_t at = 0;
  for (;;) {
    if (at >= dialogue.size()) {
      *why = "the record holds no DATA command";
      return std::nullopt;
    }
    size_t end = dialogue.find('\n', at);
    if (end == std::string_view::npos) end = dialogue.size();
    std::string_view line = dialogue.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (StrStartsNoCase(line, "MAIL FROM:")) {
      mail.sender = PathArgument(line.substr(10));
      have_sender = true;
    } else if (StrStartsNoCase(line, "RCPT TO:")) {
      mail.recipients.push_back(PathArgument(line.substr(8)));
    } else if (StrEqualNoCase(line, "DATA")) {
      break;
    } else if (StrEqualNoCase(line, "QUIT")) {
      *why = "the record holds no DATA command";
      return std::nullopt;
    } else if (!(StrStartsNoCase(line, "HELO") || StrStartsNoCase(line, "EHLO") ||
                 StrEqualNoCase(line, "RSET") || StrEqualNoCase(line, "NOOP") || line.empty())) {
      *why = "the record holds a command this client does not send";
      return std::nullopt;
    }
  }
  if (!have_sender || mail.recipients.empty()) {
    *why = have_sender ? "the record names no recipient" : "the record names no sender";
    return std::nullopt;
  }
  // The message ends at the first line holding only ".": the writer doubled
  // every "." that began a line.
  std::string_view rest = at <= dialogue.size() ? dialogue.substr(at) : std::string_view();
  size_t end = rest.compare(0, 3, ".\r\n") == 0 ? 0 : std::string_view::npos;
  if (end == std::string_view::npos) {
    size_t found = rest.find("\r\n.\r\n");
    if (found != std::string_view::npos) end = found + 2;
  }
  if (end == std::string_view::npos) {
    *why = "the record's message has no closing line";
    return std::nullopt;
  }
  mail.data = std::string(rest.substr(0, end + 3));
  mail.eight_bit = std::any_of(mail.data.begin(), mail.data.end(),
                               [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  return mail;
}

SmtpSession::SmtpSession(MailServerAddress server, MailAccount account, SmtpOptions options)
    : server_(std::move(server)),
      account_(std::move(account)),
      options_(std::move(options)),
      channel_(options_.stop) {}

SmtpSession::~SmtpSession() {
  OPENSSL_cleanse(account_.password.data(), account_.password.size());
  channel_.Close();
}

SmtpResult SmtpSession::Fail(std::string reply, SmtpOutcome outcome) {
  ready_ = false;
  channel_.Close();
  return SmtpResult{outcome, std::move(reply), true};
}

SmtpResult SmtpSession::ChannelFailure(ChannelStatus status, std::string_view during) {
  std::string text = std::string(ChannelStatusText(status)) + " (" + std::string(during) + ")";
  if (!channel_.error().empty()) text += ": " + channel_.error();
  return Fail(std::move(text));
}

bool SmtpSession::Command(std::string_view line, SmtpReply* reply, std::string_view during,
                          SmtpResult* failure, int timeout_ms) {
  const auto wait = std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : options_.reply_timeout_ms);
  std::string bytes = std::string(line) + "\r\n";
  ChannelStatus status =
      channel_.Send(bytes, Clock::now() + std::chrono::milliseconds(options_.send_timeout_ms));
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (status == ChannelStatus::kOk) status = channel_.ReadReply(reply, Clock::now() + wait);
  if (status != ChannelStatus::kOk) {
    *failure = ChannelFailure(status, during);
    return false;
  }
  return true;
}

std::string SmtpSession::ClientName() const {
  if (!options_.client_name.empty()) return options_.client_name;
  char name[kClientNameLimit + 1] = "";
  if (gethostname(name, kClientNameLimit) == 0) {
    name[kClientNameLimit] = '\0';
    std::string_view host = name;
    // A full domain name is what RFC 5321 asks for; a bare host name is not
    // one, and the connection's address is given instead.
    if (host.find('.') != std::string_view::npos && host.front() != '.' && host.back() != '.' &&
        std::all_of(host.begin(), host.end(), IsNameCharacter))
      return std::string(host);
  }
  std::string literal = channel_.LocalAddressLiteral();
  return literal.empty() ? "[127.0.0.1]" : literal;
}

bool SmtpSession::Hello(SmtpResult* failure) {
  extensions_ = Extensions{};
  SmtpReply reply;
  const std::string name = ClientName();
  if (!Command("EHLO " + name, &reply, "EHLO", failure)) return false;
  if (SmtpReplyClassOf(reply.code) == SmtpReplyClass::kPermanent) {
    // A server that knows no extensions refuses EHLO: say HELO instead.
    if (!Command("HELO " + name, &reply, "HELO", failure)) return false;
    if (SmtpReplyClassOf(reply.code) != SmtpReplyClass::kPositive) {
      *failure = Fail("at HELO: " + reply.Text());
      return false;
    }
    return true;
  }
  if (SmtpReplyClassOf(reply.code) != SmtpReplyClass::kPositive) {
    *failure = Fail("at EHLO: " + reply.Text());
    return false;
  }
  // Every line after the first names an extension and its parameters.
  for (size_t i = 1; i < reply.lines.size(); ++i) {
    std::string line = StrUpper(reply.lines[i]);
    std::string_view keyword = std::string_view(line).substr(0, line.find_first_of(" ="));
    if (keyword == "PIPELINING") extensions_.pipelining = true;
    if (keyword == "STARTTLS") extensions_.starttls = true;
    if (keyword == "8BITMIME") extensions_.eight_bit_mime = true;
    if (keyword == "AUTH") {
      extensions_.auth = true;
      std::string_view mechanisms = std::string_view(line).substr(keyword.size());
      for (size_t at = 0; at < mechanisms.size();) {
        while (at < mechanisms.size() && (mechanisms[at] == ' ' || mechanisms[at] == '='))
          ++at;
        size_t end = mechanisms.find_first_of(" =", at);
        if (end == std::string_view::npos) end = mechanisms.size();
        std::string_view mechanism = mechanisms.substr(at, end - at);
        if (mechanism == "PLAIN") extensions_.auth_plain = true;
        if (mechanism == "LOGIN") extensions_.auth_login = true;
        at = end;
      }
    }
  }
  return true;
}

bool SmtpSession::Encrypt(SmtpResult* failure) {
  SmtpReply reply;
  if (!Command("STARTTLS", &reply, "STARTTLS", failure)) return false;
  if (SmtpReplyClassOf(reply.code) != SmtpReplyClass::kPositive) {
    *failure = Fail("at STARTTLS: " + reply.Text());
    return false;
  }
  // Whatever came after the reply, ahead of the handshake, was sent
  // unencrypted by someone in between and would be read as if encrypted.
  if (channel_.has_unread()) {
    *failure = Fail("the server sent data ahead of the TLS handshake");
    return false;
  }
  std::string error;
  if (!channel_.StartTls(server_.host, account_.ca_file,
                         Clock::now() + std::chrono::milliseconds(options_.reply_timeout_ms),
                         &error)) {
    *failure = Fail(error);
    return false;
  }
  // What the server said before encryption no longer counts (RFC 3207, 4.2).
  return Hello(failure);
}

bool SmtpSession::LogIn(SmtpResult* failure) {
  if (!channel_.encrypted()) {
    *failure = Fail("the password is sent only over an encrypted connection, and this one is not "
                    "(the server offers no STARTTLS, or TLS=off)");
    return false;
  }
  // A server that asks for no login gets none.
  if (!extensions_.auth) return true;
  SmtpReply reply;
  if (extensions_.auth_plain) {
    std::string secret = std::string(1, '\0') + account_.user + '\0' + account_.password;
    std::string line = "AUTH PLAIN " + Base64Encode(secret);
    OPENSSL_cleanse(secret.data(), secret.size());
    const bool answered = Command(line, &reply, "AUTH", failure);
    OPENSSL_cleanse(line.data(), line.size());
    if (!answered) return false;
  } else if (extensions_.auth_login) {
    if (!Command("AUTH LOGIN", &reply, "AUTH", failure)) return false;
    if (reply.code == 334) {
      if (!Command(Base64Encode(account_.user), &reply, "AUTH", failure)) return false;
    }
    if (reply.code == 334) {
      std::string line = Base64Encode(account_.password);
      const bool answered = Command(line, &reply, "AUTH", failure);
      OPENSSL_cleanse(line.data(), line.size());
      if (!answered) return false;
    }
  } else {
    *failure = Fail("the server offers neither AUTH PLAIN nor AUTH LOGIN");
    return false;
  }
  if (SmtpReplyClassOf(reply.code) != SmtpReplyClass::kPositive) {
    *failure = Fail("the server refused the login of " + account_.user + ": " + reply.Text());
    return false;
  }
  return true;
}

SmtpResult SmtpSession::Open() {
  ready_ = false;
  mails_sent_ = 0;
  const int connected = channel_.Connect(server_.host, server_.port, options_.connect_timeout_ms);
  const std::string where = server_.host + ":" + std::to_string(server_.port);
  if (connected != 0) {
    SmtpResult failure = Fail(connected == kOutboxNoHost
                                  ? "the name " + server_.host + " was not found"
                                  : "could not connect to " + where);
    failure.connect_status = connected;
    return failure;
  }
  SmtpResult failure;
  if (account_.tls == MailTls::kImplicit) {
    std::string error;
    if (!channel_.StartTls(server_.host, account_.ca_file,
                           Clock::now() + std::chrono::milliseconds(options_.reply_timeout_ms),
                           &error))
      return Fail(error);
  }
  SmtpReply greeting;
  ChannelStatus status = channel_.ReadReply(
      &greeting, Clock::now() + std::chrono::milliseconds(options_.reply_timeout_ms));
  if (status != ChannelStatus::kOk) return ChannelFailure(status, "the greeting");
  if (SmtpReplyClassOf(greeting.code) != SmtpReplyClass::kPositive)
    return Fail("at the greeting: " + greeting.Text());
  if (!Hello(&failure)) return failure;
  const bool wants_tls = account_.tls == MailTls::kAuto || account_.tls == MailTls::kRequired;
  if (wants_tls && !channel_.encrypted()) {
    if (extensions_.starttls) {
      if (!Encrypt(&failure)) return failure;
    } else if (account_.tls == MailTls::kRequired) {
      return Fail("the server offers no STARTTLS, and its settings say TLS=required");
    }
  }
  if (!account_.user.empty() && !LogIn(&failure)) return failure;
  ready_ = true;
  return SmtpResult{SmtpOutcome::kDelivered, "", false};
}

SmtpResult SmtpSession::Reset(SmtpResult result) {
  SmtpReply reply;
  SmtpResult failure;
  if (!Command("RSET", &reply, "RSET", &failure) ||
      SmtpReplyClassOf(reply.code) != SmtpReplyClass::kPositive) {
    ready_ = false;
    channel_.Close();
  }
  return result;
}

SmtpResult SmtpSession::Send(const StoredMail& mail) {
  if (!ready_) return Fail("no open connection to the mail server");
  std::vector<std::pair<MailStep, std::string>> commands;
  std::string mail_from = "MAIL FROM:<" + mail.sender + ">";
  if (mail.eight_bit && extensions_.eight_bit_mime) mail_from += " BODY=8BITMIME";
  commands.emplace_back(MailStep::kMail, std::move(mail_from));
  for (const std::string& to : mail.recipients)
    commands.emplace_back(MailStep::kRcpt, "RCPT TO:<" + to + ">");
  commands.emplace_back(MailStep::kData, "DATA");

  const auto send_deadline = [&] {
    return Clock::now() + std::chrono::milliseconds(options_.send_timeout_ms);
  };
  const auto reply_deadline = [&] {
    return Clock::now() + std::chrono::milliseconds(options_.reply_timeout_ms);
  };
  std::optional<SmtpResult> first_failure;
  SmtpReply reply;
  if (extensions_.pipelining) {
    // The whole envelope in one go (RFC 2920), then every reply in order.
    std::string batch;
    for (const auto& command : commands) batch += command.second + "\r\n";
    ChannelStatus status = channel_.Send(batch, send_deadline());
    if (status != ChannelStatus::kOk) return ChannelFailure(status, "the envelope");
    for (const auto& command : commands) {
      status = channel_.ReadReply(&reply, reply_deadline());
      if (status != ChannelStatus::kOk) return ChannelFailure(status, RowOf(command.first).name);
      std::optional<SmtpResult> judged = Judge(command.first, reply);
      if (judged && !first_failure) first_failure = judged;
    }
    if (first_failure) {
      // DATA was accepted although the envelope failed: the server now
      // takes every byte as the message, and only closing ends that.
      if (SmtpReplyClassOf(reply.code) == SmtpReplyClass::kIntermediate) {
        ready_ = false;
        channel_.Close();
        return *first_failure;
      }
      if (first_failure->server_unusable) return Fail(first_failure->reply, first_failure->outcome);
      return Reset(*first_failure);
    }
  } else {
    for (const auto& command : commands) {
      SmtpResult failure;
      if (!Command(command.second, &reply, RowOf(command.first).name, &failure)) return failure;
      if (std::optional<SmtpResult> judged = Judge(command.first, reply)) {
        if (judged->server_unusable) return Fail(judged->reply, judged->outcome);
        return Reset(*judged);
      }
    }
  }

  // The message, stored dot-stuffed and ending with its "." line.
  std::string_view data = mail.data;
  while (!data.empty()) {
    const size_t piece = std::min(data.size(), kDataPiece);
    ChannelStatus status = channel_.Send(data.substr(0, piece), send_deadline());
    if (status != ChannelStatus::kOk) return ChannelFailure(status, "the message");
    data.remove_prefix(piece);
  }
  ChannelStatus status = channel_.ReadReply(
      &reply, Clock::now() + std::chrono::milliseconds(options_.data_reply_timeout_ms));
  if (status != ChannelStatus::kOk) return ChannelFailure(status, "the end of the message");
  if (std::optional<SmtpResult> judged = Judge(MailStep::kDataEnd, reply)) {
    if (judged->server_unusable) return Fail(judged->reply, judged->outcome);
    return *judged;
  }
  if (++mails_sent_ >= kSmtpMailsPerSession) Close();
  return SmtpResult{SmtpOutcome::kDelivered, reply.Text(), false};
}

void SmtpSession::Close() {
  if (ready_ && channel_.connected()) {
    SmtpReply reply;
    SmtpResult ignored;
    Command("QUIT", &reply, "QUIT", &ignored, kQuitReplyTimeoutMs);
  }
  ready_ = false;
  channel_.Close();
}

}  // namespace tallypad
