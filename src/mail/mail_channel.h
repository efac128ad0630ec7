// One connection to a mail server, plain or encrypted: connecting with a
// bounded wait, TLS over it (from the first byte, or after STARTTLS) with
// the server's certificate and name verified, sending bytes and reading
// whole SMTP replies, every wait bounded by a deadline and ended at once
// when the program shuts down. TLS is OpenSSL's, driven through memory
// buffers so that the socket stays non-blocking and never raises SIGPIPE.
// Used by the SMTP session on the outbox thread; one channel per thread.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "base/file.h"
#include "mail/smtp_reply.h"

namespace tallypad {

// How a read or write on the channel ended.
enum class ChannelStatus {
  kOk,
  kTimedOut,   // the deadline passed first
  kStopped,    // the program is shutting down
  kClosed,     // the server closed the connection, or it failed
  kMalformed,  // the server sent something that is no SMTP reply
  kTlsFailed,  // the TLS layer failed (the description says why)
};

// Returns words for `status`, for the log and the outbox's records.
std::string_view ChannelStatusText(ChannelStatus status);

class MailChannel {
 public:
  using Clock = std::chrono::steady_clock;

  // `stop`, when given, ends every wait once it is set.
  explicit MailChannel(const std::atomic<bool>* stop = nullptr);
  ~MailChannel();
  MailChannel(const MailChannel&) = delete;
  MailChannel& operator=(const MailChannel&) = delete;

  // Connects to `host` (dotted IPv4 or a name, looked up once) at `port`
  // within `timeout_ms`. Returns 0 or the outbox's status code
  // (kOutboxNoHost, kOutboxNoSocket, kOutboxConnectFailed).
  int Connect(const std::string& host, int port, int timeout_ms);
  // Takes an already connected non-blocking socket (for tests).
  void Adopt(UniqueFd socket);

  // Starts TLS on the connection and completes the handshake by
  // `deadline`. The server's certificate must chain to a certificate of
  // `ca_file` (empty: the system's store) and name `host` (a name, or an
  // IPv4 address given as such). False with `*error` set on failure.
  bool StartTls(const std::string& host, const std::string& ca_file, Clock::time_point deadline,
                std::string* error);
  // True once TLS is running.
  bool encrypted() const;
  // True when bytes of the server arrived that no reply has taken yet (a
  // server that sends ahead of STARTTLS's handshake is injecting them).
  bool has_unread() const { return !unread_.empty(); }

  // Sends all of `bytes` by `deadline`.
  ChannelStatus Send(std::string_view bytes, Clock::time_point deadline);
  // Reads the next complete reply by `deadline`.
  ChannelStatus ReadReply(SmtpReply* reply, Clock::time_point deadline);
  // The reason of the last kTlsFailed or kClosed, when one is known.
  const std::string& error() const { return error_; }

  // Ends TLS politely (without waiting for an answer) and closes the socket.
  void Close();
  bool connected() const { return socket_.valid(); }
  // The local address of the connection as an address literal,
  // "[192.0.2.1]"; empty when unknown.
  std::string LocalAddressLiteral() const;

 private:
  struct Tls;
  bool FlushTls(Clock::time_point deadline);
  ChannelStatus FillTls(Clock::time_point deadline);
  ChannelStatus ReadMore(Clock::time_point deadline);
  ChannelStatus SendRaw(std::string_view bytes, Clock::time_point deadline);

  const std::atomic<bool>* stop_;
  UniqueFd socket_;
  std::unique_ptr<Tls> tls_;
  std::string unread_;  // bytes received and not yet taken by a reply
  SmtpReplyReader reader_;
  std::string error_;
};

}  // namespace tallypad
