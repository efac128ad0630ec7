// A scripted mail server on 127.0.0.1 for tests of the SMTP client: it
// greets (or not, or late), answers each command from a table of replies
// by command word, takes messages after DATA, offers STARTTLS or speaks TLS
// from the first byte with a certificate the test made, checks logins, and
// can refuse a client that talks out of turn the way strict servers do
// ("554 SMTP synchronization error"), stop answering, or flood. It records
// every command and message of every connection. Connections are served
// one after another on its own thread.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file.h"

namespace tallypad::testing {

// A reply that is no reply: the peer says nothing and goes on reading.
inline constexpr const char* kSilentReply = "(silent)";

struct SmtpPeerScript {
  bool greet = true;                       // false: never says a word
  std::string greeting = "220 peer.test ESMTP ready";
  int greeting_delay_ms = 0;               // silence before the greeting
  // Refuse a client that sends before the greeting, or sends a command
  // before the reply to the one before it (pipelining allowed only for
  // MAIL, RCPT and RSET, and only when PIPELINING is announced).
  bool strict_sync = false;
  // Lines of the EHLO reply after the first (PIPELINING, 8BITMIME, ...);
  // STARTTLS and AUTH are added by the fields below.
  std::vector<std::string> extensions = {"PIPELINING", "8BITMIME"};
  bool ehlo_refused = false;               // EHLO gets "502 command not implemented"
  // Replies by command word ("MAIL", "RCPT", "DATA", "." for the end of the
  // message, "QUIT", "RSET", "HELO", "EHLO", "STARTTLS"); a missing word
  // gets the usual positive reply, kSilentReply gets none.
  std::map<std::string, std::string> replies;
  int silent_after = -1;                   // >= 0: answers that many commands, then no more
  std::string flood;                       // sent, endlessly repeated, instead of a greeting
  // TLS: with certificate and key files, STARTTLS is offered, or, with
  // implicit_tls, the connection is TLS from the first byte.
  std::string cert_file;
  std::string key_file;
  bool implicit_tls = false;
  std::string after_starttls;              // sent unencrypted right behind STARTTLS's 220
  // Logins: the mechanisms announced (after encryption only when TLS is
  // offered) and the one account accepted.
  std::string auth_mechanisms;             // "PLAIN LOGIN"; empty: no AUTH
  std::string user;
  std::string password;
};

struct SmtpPeerSession {
  std::vector<std::string> commands;  // every line the client sent outside messages
  std::vector<std::string> messages;  // each message as sent, up to and with its "." line
  bool sync_error = false;            // the client talked out of turn
  bool encrypted = false;             // TLS was running when the session ended
  int pipelined = 0;                  // commands that arrived behind another unanswered one
  bool logged_in = false;
};

class ScriptedSmtpPeer {
 public:
  explicit ScriptedSmtpPeer(SmtpPeerScript script);
  ~ScriptedSmtpPeer();
  ScriptedSmtpPeer(const ScriptedSmtpPeer&) = delete;
  ScriptedSmtpPeer& operator=(const ScriptedSmtpPeer&) = delete;

  int port() const { return port_; }
  // Changes the reply to command word `word` for later commands.
  void SetReply(const std::string& word, const std::string& reply);
  // The sessions so far (the one under way included).
  std::vector<SmtpPeerSession> Sessions();
  // Every message accepted (answered with a 2xx) so far.
  std::vector<std::string> Accepted();

 private:
  struct Connection;
  void Run();
  void Serve(UniqueFd socket);
  std::string Reply(const std::string& word, const std::string& usual);

  SmtpPeerScript script_;
  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<SmtpPeerSession> sessions_;
  std::vector<std::string> accepted_;
  std::thread thread_;
};

// Makes a self-signed certificate and its key in `folder` (cert.pem,
// key.pem) for the subject alternative names `names` ("IP:127.0.0.1",
// "DNS:localhost"); false on failure.
bool MakeTestCertificate(const std::string& folder, const std::vector<std::string>& names);

}  // namespace tallypad::testing
