// The mail server account: how the outbox reaches a mail server and logs
// in. A form names its server with EMAILSERVER ("host" or "host:port"); the
// machine's operator gives the login and the encryption for that server in
// "cgi.ini" of the server root, in a section of its own:
//
//   [mail smtp.example.com:587]
//   USER=survey@example.com
//   PASSWORD=...
//   TLS=required
//   CAFILE=/etc/tallypad/relay-ca.pem
//
// The outbox records name only the server, so the transmitter looks the
// account up here each time it sends: a password never travels in the
// outbox, and a changed password takes effect with the next try. Read on
// the outbox thread; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallypad {

// The port of a server named without one (SMTP, RFC 5321).
inline constexpr int kSmtpPort = 25;
// The port on which a server speaks TLS from the first byte (RFC 8314).
inline constexpr int kSmtpsPort = 465;

// How the connection to the server is encrypted.
enum class MailTls {
  kAuto,      // STARTTLS when the server offers it, else plain
  kRequired,  // STARTTLS, and no mail goes when the server does not offer it
  kImplicit,  // TLS from the first byte (port 465)
  kOff,       // never encrypted (a relay whose TLS cannot be used)
};

struct MailServerAddress {
  std::string host;  // a name or a dotted IPv4 address
  int port = kSmtpPort;
};

struct MailAccount {
  std::string user;      // empty: no login
  std::string password;  // never logged, never written anywhere
  MailTls tls = MailTls::kAuto;
  std::string ca_file;   // empty: the system's certificate store
};

// Splits "host" or "host:port" (port 1-65535; 25 when missing). Returns
// nullopt for an empty host or a port that is no number in that range.
std::optional<MailServerAddress> MailServerParse(std::string_view text);

// Returns the TLS mode a setting names ("auto", "required", "implicit",
// "off", any case; empty is auto); nullopt for any other word.
std::optional<MailTls> MailTlsFromSetting(std::string_view setting);
// Returns the setting's word for `tls`.
std::string_view MailTlsName(MailTls tls);

// Returns the account for `server` from section "mail HOST:PORT" of
// "cgi.ini" in `server_root` (for port 25 also "mail HOST"). Without a
// section the account has no login and TLS is auto, or implicit on port
// 465. A relative CAFILE is taken from the server root. `problem`, when
// given, receives a description of a setting that could not be used (an
// unknown TLS word, which then counts as "required": a typo must not turn
// encryption off).
MailAccount MailAccountFor(const std::string& server_root, const MailServerAddress& server,
                           std::string* problem = nullptr);

}  // namespace tallypad
