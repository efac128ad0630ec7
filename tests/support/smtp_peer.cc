#include "support/smtp_peer.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "mail/mail_encode.h"
#include "support/server_process.h"

namespace tallypad::testing {

namespace {

// Longest the peer waits for a client's next bytes before it gives up.
constexpr int kIdleLimitMs = 15000;
// Most bytes a flood sends before the peer stops on its own.
constexpr size_t kFloodLimit = 64 << 20;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// The command word of a line: "MAIL" for "MAIL FROM:<a>", "." never.
std::string Verb(std::string_view line) {
  size_t end = line.find_first_of(" :\r\n");
  return Upper(line.substr(0, end));
}

std::string WithLineEnd(std::string text) {
  if (text == kSilentReply) return "";
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text += "\r\n";
  return text;
}

}  // namespace

struct ScriptedSmtpPeer::Connection {
  UniqueFd fd;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  std::string buffer;
  const std::atomic<bool>* stop = nullptr;

  ~Connection() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }

  bool StartTls(const std::string& cert, const std::string& key) {
    ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_file(ctx, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
      return false;
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd.get());
    timeval wait{10, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (SSL_accept(ssl) != 1) {
      ERR_clear_error();
      SSL_free(ssl);
      ssl = nullptr;
      return false;
    }
    return true;
  }

  // Waits up to `ms` for bytes; true when there are some.
  bool Readable(int ms) {
    if (!buffer.empty() || (ssl && SSL_pending(ssl) > 0)) return true;
    pollfd p{fd.get(), POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  // Reads more bytes into the buffer; false when the client is gone or
  // silent too long, or the peer stops.
  bool Fill() {
    for (int waited = 0; waited < kIdleLimitMs; waited += 50) {
      if (stop->load()) return false;
      if (ssl && SSL_pending(ssl) > 0) break;
      pollfd p{fd.get(), POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) break;
      if (waited + 50 >= kIdleLimitMs) return false;
    }
    char chunk[16384];
    const int n = ssl ? SSL_read(ssl, chunk, sizeof chunk)
                      : static_cast<int>(::recv(fd.get(), chunk, sizeof chunk, 0));
    if (n <= 0) {
      ERR_clear_error();
      return false;
    }
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
  }

  bool ReadLine(std::string* line) {
    size_t end;
    while ((end = buffer.find('\n')) == std::string::npos)
      if (!Fill()) return false;
    *line = buffer.substr(0, end + 1);
    buffer.erase(0, end + 1);
    return true;
  }

  bool Write(std::string_view bytes) {
    if (bytes.empty()) return true;  // a silent reply
    if (ssl) {
      const bool ok = SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
      ERR_clear_error();
      return ok;
    }
    return ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
};

ScriptedSmtpPeer::ScriptedSmtpPeer(SmtpPeerScript script) : script_(std::move(script)) {
  // A client that goes away while the peer writes over TLS must not end the test.
  std::signal(SIGPIPE, SIG_IGN);
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = LoopbackAddress(0);
  socklen_t size = sizeof a;
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &size) != 0 ||
      ::listen(listener_.get(), 8) != 0)
    return;
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptedSmtpPeer::~ScriptedSmtpPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void ScriptedSmtpPeer::SetReply(const std::string& word, const std::string& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.replies[word] = reply;
}

std::vector<SmtpPeerSession> ScriptedSmtpPeer::Sessions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

std::vector<std::string> ScriptedSmtpPeer::Accepted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

std::string ScriptedSmtpPeer::Reply(const std::string& word, const std::string& usual) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = script_.replies.find(word);
  return WithLineEnd(found == script_.replies.end() ? usual : found->second);
}

void ScriptedSmtpPeer::Run() {
  while (!stop_) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (conn.valid()) Serve(std::move(conn));
  }
}

void ScriptedSmtpPeer::Serve(UniqueFd socket) {
  Connection c;
  c.fd = std::move(socket);
  c.stop = &stop_;
  size_t index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.emplace_back();
    index = sessions_.size() - 1;
  }
  auto update = [&](auto change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(sessions_[index]);
  };
  const bool tls_offered = !script_.cert_file.empty();
  if (script_.implicit_tls) {
    if (!c.StartTls(script_.cert_file, script_.key_file)) return;
    update([](SmtpPeerSession& s) { s.encrypted = true; });
  }
  if (!script_.flood.empty()) {
    for (size_t sent = 0; sent < kFloodLimit && !stop_; sent += script_.flood.size())
      if (!c.Write(script_.flood)) return;
    return;
  }
  if (!script_.greet) {
    while (c.Fill()) c.buffer.clear();
    return;
  }
  if (script_.greeting_delay_ms > 0 && c.Readable(script_.greeting_delay_ms) &&
      script_.strict_sync) {
    c.Write("554 SMTP synchronization error\r\n");
    update([](SmtpPeerSession& s) { s.sync_error = true; });
    return;
  }
  if (!c.Write(WithLineEnd(script_.greeting))) return;
  bool pipelining = false;
  int answered = 0;
  std::string line;
  while (c.ReadLine(&line)) {
    update([&](SmtpPeerSession& s) { s.commands.push_back(line); });
    const std::string verb = Verb(line);
    if (script_.silent_after >= 0 && answered >= script_.silent_after) continue;
    if (c.Readable(0)) {
      const bool may = pipelining && (verb == "MAIL" || verb == "RCPT" || verb == "RSET");
      update([](SmtpPeerSession& s) { ++s.pipelined; });
      if (!may && script_.strict_sync) {
        c.Write("554 SMTP synchronization error\r\n");
        update([](SmtpPeerSession& s) { s.sync_error = true; });
        return;
      }
    }
    ++answered;
    std::string reply;
    if (verb == "EHLO") {
      if (script_.ehlo_refused) {
        reply = "502 5.5.2 command not implemented\r\n";
      } else {
        std::vector<std::string> lines = {"peer.test"};
        for (const std::string& e : script_.extensions) lines.push_back(e);
        if (tls_offered && !c.ssl) lines.push_back("STARTTLS");
        if (!script_.auth_mechanisms.empty() && (!tls_offered || c.ssl))
          lines.push_back("AUTH " + script_.auth_mechanisms);
        for (size_t i = 0; i < lines.size(); ++i)
          reply += "250" + std::string(i + 1 < lines.size() ? "-" : " ") + lines[i] + "\r\n";
        pipelining = false;
        for (const std::string& e : script_.extensions) pipelining |= e == "PIPELINING";
        auto custom = script_.replies.find("EHLO");
        if (custom != script_.replies.end()) reply = Reply("EHLO", "");
      }
    } else if (verb == "HELO") {
      reply = Reply("HELO", "250 peer.test");
      pipelining = false;
    } else if (verb == "STARTTLS") {
      if (!tls_offered || c.ssl) {
        reply = "502 5.5.1 not offered\r\n";
      } else {
        reply = Reply("STARTTLS", "220 2.0.0 ready to start TLS");
        if (!c.Write(reply + script_.after_starttls)) return;
        if (reply.compare(0, 3, "220") != 0) continue;
        if (!c.StartTls(script_.cert_file, script_.key_file)) return;
        update([](SmtpPeerSession& s) { s.encrypted = true; });
        continue;
      }
    } else if (verb == "AUTH") {
      std::string rest = line.substr(5);
      while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) rest.pop_back();
      std::string user, password;
      if (Upper(rest.substr(0, 5)) == "PLAIN") {
        std::string response = rest.size() > 6 ? rest.substr(6) : "";
        if (response.empty()) {
          if (!c.Write("334 \r\n") || !c.ReadLine(&response)) return;
        }
        std::string decoded = Base64Decode(response).value_or("");
        size_t first = decoded.find('\0');
        size_t second = decoded.find('\0', first + 1);
        if (first != std::string::npos && second != std::string::npos) {
          user = decoded.substr(first + 1, second - first - 1);
          password = decoded.substr(second + 1);
        }
      } else if (Upper(rest.substr(0, 5)) == "LOGIN") {
        std::string u, p;
        if (!c.Write("334 VXNlcm5hbWU6\r\n") || !c.ReadLine(&u)) return;
        if (!c.Write("334 UGFzc3dvcmQ6\r\n") || !c.ReadLine(&p)) return;
        user = Base64Decode(u).value_or("");
        password = Base64Decode(p).value_or("");
      }
      const bool right = !script_.user.empty() && user == script_.user &&
                         password == script_.password;
      if (right) update([](SmtpPeerSession& s) { s.logged_in = true; });
      reply = right ? "235 2.7.0 authenticated\r\n" : "535 5.7.8 authentication failed\r\n";
    } else if (verb == "MAIL" || verb == "RCPT" || verb == "RSET" || verb == "NOOP") {
      reply = Reply(verb, "250 2.0.0 OK");
    } else if (verb == "DATA") {
      reply = Reply("DATA", "354 end with a lone dot");
      if (!c.Write(reply)) return;
      if (reply.compare(0, 3, "354") != 0) continue;
      std::string message, part;
      while (c.ReadLine(&part)) {
        message += part;
        if (part == ".\r\n") break;
      }
      if (message.size() < 3 || message.compare(message.size() - 3, 3, ".\r\n") != 0) return;
      update([&](SmtpPeerSession& s) { s.messages.push_back(message); });
      reply = Reply(".", "250 2.0.0 queued");
      if (!c.Write(reply)) return;
      if (!reply.empty() && reply[0] == '2') {
        std::lock_guard<std::mutex> lock(mutex_);
        accepted_.push_back(message);
      }
      continue;
    } else if (verb == "QUIT") {
      c.Write(Reply("QUIT", "221 2.0.0 bye"));
      return;
    } else {
      reply = "500 5.5.1 unknown command\r\n";
    }
    if (!c.Write(reply)) return;
  }
}

bool MakeTestCertificate(const std::string& folder, const std::vector<std::string>& names) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key && cert;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("tallypad test"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    std::string san;
    for (const std::string& n : names) san += (san.empty() ? "" : ",") + n;
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair<int, std::string>{NID_subject_alt_name, san},
                              {NID_basic_constraints, "critical,CA:TRUE"},
                              {NID_key_usage, "critical,digitalSignature,keyCertSign"}}) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
      ok = ok && ext && X509_add_ext(cert, ext, -1) == 1;
      if (ext) X509_EXTENSION_free(ext);
    }
    ok = ok && X509_sign(cert, key, EVP_sha256()) > 0;
  }
  if (ok) {
    FILE* c = std::fopen((folder + "/cert.pem").c_str(), "w");
    FILE* k = std::fopen((folder + "/key.pem").c_str(), "w");
    ok = c && k && PEM_write_X509(c, cert) == 1 &&
         PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (c) std::fclose(c);
    if (k) std::fclose(k);
  }
  if (cert) X509_free(cert);
  if (key) EVP_PKEY_free(key);
  ERR_clear_error();
  return ok;
}

}  // namespace tallypad::testing
