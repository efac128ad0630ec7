#include "mail/mail_channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "mail/outbox.h"
#include "platform/socket_send.h"

namespace tallypad {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes moved at a time between the socket and the TLS layer: one TLS
// record's worth.
constexpr size_t kIoChunk = 16384;
// How often a wait looks whether the program is shutting down.
constexpr auto kStopCheck = std::chrono::milliseconds(100);
// Longest wait for TLS's closing message to leave at Close.
constexpr auto kCloseNotifyWait = std::chrono::milliseconds(200);

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool Stopping(const std::atomic<bool>* stop) { return stop && stop->load(); }

// Waits until `fd` is ready for `events`, `deadline` passes or `stop` is
// set. Returns kOk, kTimedOut, kStopped or kClosed (a failed poll).
ChannelStatus WaitReady(int fd, short events, Clock::time_point deadline,
                        const std::atomic<bool>* stop) {
  for (;;) {
    if (Stopping(stop)) return ChannelStatus::kStopped;
    const auto slice = std::min(deadline, Clock::now() + kStopCheck);
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, MillisecondsLeft(slice));
    if (r > 0) return ChannelStatus::kOk;
    if (r < 0 && errno != EINTR) return ChannelStatus::kClosed;
    if (r == 0 && Clock::now() >= deadline) return ChannelStatus::kTimedOut;
  }
}

// The first error OpenSSL queued on this thread, as text.
std::string OpenSslError(std::string_view what) {
  unsigned long code = ERR_get_error();
  std::string out(what);
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    out += ": ";
    out += text;
  }
  ERR_clear_error();
  return out;
}

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

}  // namespace

// The TLS state of a channel: OpenSSL reads the server's bytes from `in`
// and leaves its own in `out`; the channel moves them over the socket.
struct MailChannel::Tls {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;
  BIO* in = nullptr;   // owned by ssl
  BIO* out = nullptr;  // owned by ssl
};

std::string_view ChannelStatusText(ChannelStatus status) {
  switch (status) {
    case ChannelStatus::kOk: return "done";
    case ChannelStatus::kTimedOut: return "the mail server did not answer in time";
    case ChannelStatus::kStopped: return "the program is shutting down";
    case ChannelStatus::kClosed: return "the mail server closed the connection";
    case ChannelStatus::kMalformed: return "the mail server's answer is no SMTP reply";
    case ChannelStatus::kTlsFailed: return "the encrypted connection failed";
  }
  return "unknown";
}

MailChannel::MailChannel(const std::atomic<bool>* stop) : stop_(stop) {}

MailChannel::~MailChannel() { Close(); }

int MailChannel::Connect(const std::string& host, int port, int timeout_ms) {
  Close();
  return OutboxConnect(host, port, &socket_, timeout_ms, stop_);
}

void MailChannel::Adopt(UniqueFd socket) {
  Close();
  socket_ = std::move(socket);
}

bool MailChannel::encrypted() const { return tls_ != nullptr; }

bool MailChannel::StartTls(const std::string& host, const std::string& ca_file,
                           Clock::time_point deadline, std::string* error) {
  ERR_clear_error();
  auto tls = std::make_unique<Tls>();
  tls->ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!tls->ctx) {
    *error = OpenSslError("cannot set up TLS");
    return false;
  }
  SSL_CTX_set_min_proto_version(tls->ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(tls->ctx.get(), SSL_VERIFY_PEER, nullptr);
  const int loaded = ca_file.empty()
                         ? SSL_CTX_set_default_verify_paths(tls->ctx.get())
                         : SSL_CTX_load_verify_locations(tls->ctx.get(), ca_file.c_str(), nullptr);
  if (loaded != 1) {
    *error = OpenSslError(ca_file.empty() ? "cannot read the system's certificate store"
                                          : "cannot read the CA file " + ca_file);
    return false;
  }
  tls->ssl.reset(SSL_new(tls->ctx.get()));
  tls->in = BIO_new(BIO_s_mem());
  tls->out = BIO_new(BIO_s_mem());
  if (!tls->ssl || !tls->in || !tls->out) {
    if (tls->in) BIO_free(tls->in);
    if (tls->out) BIO_free(tls->out);
    *error = OpenSslError("cannot set up TLS");
    return false;
  }
  // An empty input buffer means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(tls->in, -1);
  SSL_set_bio(tls->ssl.get(), tls->in, tls->out);
  SSL_set_connect_state(tls->ssl.get());
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->ssl.get()), host.c_str());
  } else {
    SSL_set_tlsext_host_name(tls->ssl.get(), host.c_str());
    SSL_set_hostflags(tls->ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(tls->ssl.get(), host.c_str());
  }
  tls_ = std::move(tls);
  for (;;) {
    ERR_clear_error();
    const int r = SSL_do_handshake(tls_->ssl.get());
    const int reason = r == 1 ? SSL_ERROR_NONE : SSL_get_error(tls_->ssl.get(), r);
    // Whatever the outcome, what OpenSSL wrote (a message or an alert) goes out.
    const bool flushed = FlushTls(deadline);
    if (r == 1 && flushed) return true;
    ChannelStatus status = ChannelStatus::kTlsFailed;
    if (flushed && reason == SSL_ERROR_WANT_READ) {
      status = FillTls(deadline);
      if (status == ChannelStatus::kOk) continue;
    }
    const long verified = SSL_get_verify_result(tls_->ssl.get());
    if (verified != X509_V_OK) {
      *error = std::string("the server's certificate was not accepted: ") +
               X509_verify_cert_error_string(verified);
    } else if (status != ChannelStatus::kTlsFailed) {
      *error = std::string("the TLS handshake did not complete: ") +
               std::string(ChannelStatusText(status));
    } else {
      *error = OpenSslError("the TLS handshake failed");
    }
    ERR_clear_error();
    tls_.reset();
    return false;
  }
}

bool MailChannel::FlushTls(Clock::time_point deadline) {
  char chunk[kIoChunk];
  while (BIO_ctrl_pending(tls_->out) > 0) {
    const int n = BIO_read(tls_->out, chunk, sizeof chunk);
    if (n <= 0) return false;
    if (SendRaw(std::string_view(chunk, static_cast<size_t>(n)), deadline) != ChannelStatus::kOk)
      return false;
  }
  return true;
}

ChannelStatus MailChannel::FillTls(Clock::time_point deadline) {
  ChannelStatus ready = WaitReady(socket_.get(), POLLIN, deadline, stop_);
  if (ready != ChannelStatus::kOk) return ready;
  char chunk[kIoChunk];
  const ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return ChannelStatus::kOk;
  if (n <= 0) return ChannelStatus::kClosed;
  BIO_write(tls_->in, chunk, static_cast<int>(n));
  return ChannelStatus::kOk;
}

ChannelStatus MailChannel::SendRaw(std::string_view bytes, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (Stopping(stop_)) return ChannelStatus::kStopped;
    if (Clock::now() >= deadline) return ChannelStatus::kTimedOut;
    const auto slice = std::min(deadline, Clock::now() + kStopCheck);
    const size_t n = SendAllUntil(socket_.get(), bytes.data() + sent, bytes.size() - sent, slice);
    sent += n;
    if (n == 0 && Clock::now() < slice) return ChannelStatus::kClosed;  // the peer is gone
  }
  return ChannelStatus::kOk;
}

ChannelStatus MailChannel::Send(std::string_view bytes, Clock::time_point deadline) {
  if (!socket_.valid()) return ChannelStatus::kClosed;
  if (!tls_) return SendRaw(bytes, deadline);
  while (!bytes.empty()) {
    const size_t piece = std::min(bytes.size(), kIoChunk);
    for (;;) {
      ERR_clear_error();
      const int r = SSL_write(tls_->ssl.get(), bytes.data(), static_cast<int>(piece));
      if (!FlushTls(deadline)) return Clock::now() >= deadline ? ChannelStatus::kTimedOut
                                                                : ChannelStatus::kClosed;
      if (r > 0) break;
      if (SSL_get_error(tls_->ssl.get(), r) != SSL_ERROR_WANT_READ) {
        error_ = OpenSslError("sending over TLS failed");
        return ChannelStatus::kTlsFailed;
      }
      ChannelStatus filled = FillTls(deadline);
      if (filled != ChannelStatus::kOk) return filled;
    }
    bytes.remove_prefix(piece);
  }
  return ChannelStatus::kOk;
}

ChannelStatus MailChannel::ReadMore(Clock::time_point deadline) {
  char chunk[kIoChunk];
  if (!tls_) {
    ChannelStatus ready = WaitReady(socket_.get(), POLLIN, deadline, stop_);
    if (ready != ChannelStatus::kOk) return ready;
    const ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
      return ChannelStatus::kOk;
    if (n <= 0) return ChannelStatus::kClosed;
    unread_.append(chunk, static_cast<size_t>(n));
    return ChannelStatus::kOk;
  }
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(tls_->ssl.get(), chunk, sizeof chunk);
    if (n > 0) {
      unread_.append(chunk, static_cast<size_t>(n));
      return ChannelStatus::kOk;
    }
    const int reason = SSL_get_error(tls_->ssl.get(), n);
    if (!FlushTls(deadline)) return ChannelStatus::kClosed;
    if (reason == SSL_ERROR_ZERO_RETURN) return ChannelStatus::kClosed;
    if (reason != SSL_ERROR_WANT_READ) {
      error_ = OpenSslError("reading over TLS failed");
      return ChannelStatus::kTlsFailed;
    }
    ChannelStatus filled = FillTls(deadline);
    if (filled != ChannelStatus::kOk) return filled;
  }
}

ChannelStatus MailChannel::ReadReply(SmtpReply* reply, Clock::time_point deadline) {
  if (!socket_.valid()) return ChannelStatus::kClosed;
  for (;;) {
    if (!unread_.empty()) unread_.erase(0, reader_.Feed(unread_));
    if (reader_.state() == SmtpReplyReader::State::kComplete) {
      *reply = reader_.Take();
      return ChannelStatus::kOk;
    }
    if (reader_.state() == SmtpReplyReader::State::kMalformed) return ChannelStatus::kMalformed;
    ChannelStatus more = ReadMore(deadline);
    if (more != ChannelStatus::kOk) return more;
  }
}

void MailChannel::Close() {
  if (tls_ && socket_.valid()) {
    ERR_clear_error();
    SSL_shutdown(tls_->ssl.get());
    FlushTls(Clock::now() + kCloseNotifyWait);
    ERR_clear_error();
  }
  tls_.reset();
  if (socket_.valid()) ::shutdown(socket_.get(), SHUT_RDWR);
  socket_.reset();
  unread_.clear();
  reader_ = SmtpReplyReader{};
}

std::string MailChannel::LocalAddressLiteral() const {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (!socket_.valid() ||
      ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&local), &size) != 0)
    return "";
  char dotted[INET_ADDRSTRLEN] = "";
  if (!inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted)) return "";
  return std::string("[") + dotted + "]";
}

}  // namespace tallypad
