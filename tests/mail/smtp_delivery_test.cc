// A real mail server receives what the outbox sends: Python's own SMTP
// server (smtpd, or aiosmtpd where smtpd is gone) runs as a child process
// on a loopback port and reports each mail it accepts.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "base/file.h"
#include "mail/mail_compose.h"
#include "mail/mail_encode.h"
#include "mail/outbox.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tallypad {
namespace {

// Prints "PORT n" once listening, then "FROM", "TO" and "DATA" (hex) lines
// per mail; "SKIP reason" when no SMTP server module exists. Ends when its
// standard input closes.
constexpr const char* kServerScript = R"PY(
import os, socket, sys, threading, warnings
warnings.simplefilter("ignore")

def emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()

def report(mail_from, rcpt_tos, data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    emit("FROM " + mail_from)
    emit("TO " + ",".join(rcpt_tos))
    emit("DATA " + data.hex())

def watch_parent():
    sys.stdin.read()
    os._exit(0)

threading.Thread(target=watch_parent, daemon=True).start()
try:
    import asyncore, smtpd
except ImportError:
    smtpd = None

if smtpd is not None:
    class Server(smtpd.SMTPServer):
        def process_message(self, peer, mail_from, rcpt_tos, data, **kwargs):
            report(mail_from, rcpt_tos, data)
    server = Server(("127.0.0.1", 0), None)
    emit("PORT %d" % server.socket.getsockname()[1])
    asyncore.loop(timeout=0.2)
else:
    try:
        from aiosmtpd.controller import Controller
    except ImportError:
        emit("SKIP neither smtpd nor aiosmtpd is available to python3")
        sys.exit(0)
    class Handler:
        async def handle_DATA(self, server, session, envelope):
            report(envelope.mail_from, envelope.rcpt_tos, envelope.content)
            return "250 OK"
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    controller = Controller(Handler(), hostname="127.0.0.1", port=port)
    controller.start()
    emit("PORT %d" % port)
    threading.Event().wait()
)PY";

// The SMTP server child with pipes to its standard input and output.
class SmtpServerProcess {
 public:
  SmtpServerProcess() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    to_child_.reset(in[1]);
    from_child_.reset(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const char* argv[] = {"python3", "-c", kServerScript, nullptr};
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
  }
  ~SmtpServerProcess() {
    to_child_.reset();  // the child ends when its input closes
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // The next line the child prints, without its line feed; "" when the
  // child ends or prints nothing within `timeout_ms`.
  std::string ReadLine(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pollfd p{from_child_.get(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return "";
      char buf[4096];
      ssize_t n = ::read(from_child_.get(), buf, sizeof buf);
      if (n <= 0) return "";
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  UniqueFd to_child_;
  UniqueFd from_child_;
  std::string pending_;
};

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

TEST(SmtpDelivery, QueuedMailArrivesWholeAtARealMailServer) {
  SmtpServerProcess server;
  std::string first = server.ReadLine(20000);
  if (first.rfind("SKIP ", 0) == 0) GTEST_SKIP() << first.substr(5);
  if (first.rfind("PORT ", 0) != 0) GTEST_SKIP() << "python3 could not start an SMTP server";
  const int port = std::stoi(first.substr(5));

  testing::TempDir dir;
  const std::string recipient = "survey-owner@example.test";
  const std::string body = "Answers:\n.\nq1=yes\n..two dots\r\nend";
  OutboxPending = 0;
  ASSERT_EQ(MailQueue(dir.path(), recipient, "Survey result 7", body,
                      "127.0.0.1:" + std::to_string(port)),
            ResultCode::kOk);
  ASSERT_EQ(OutboxSend(dir.path()), 0);
  EXPECT_FALSE(FileExists(dir.File("outbox.kqs")));

  std::string from = server.ReadLine(10000);
  std::string to = server.ReadLine(10000);
  std::string data = server.ReadLine(10000);
  EXPECT_EQ(from, "FROM " + recipient);
  EXPECT_EQ(to, "TO " + recipient);
  ASSERT_EQ(data.rfind("DATA ", 0), 0u) << data;
  // The server hands the message over with its line ends as it likes them.
  const std::string mail = WithoutCarriageReturns(FromHex(data.substr(5)));
  const size_t body_at = mail.find("\n\n");
  ASSERT_NE(body_at, std::string::npos) << mail;
  const std::string header = mail.substr(0, body_at + 1);
  EXPECT_NE(header.find("Subject: Survey result 7\n"), std::string::npos) << header;
  EXPECT_NE(header.find("From: " + recipient + "\n"), std::string::npos) << header;
  EXPECT_NE(header.find("To: " + recipient + "\n"), std::string::npos) << header;
  EXPECT_NE(header.find("Content-Type: text/plain; charset=utf-8\n"), std::string::npos);
  std::string received = WithoutCarriageReturns(QuotedPrintableDecode(mail.substr(body_at + 2)));
  while (!received.empty() && received.back() == '\n') received.pop_back();
  EXPECT_EQ(received, WithoutCarriageReturns(body));
}

}  // namespace
}  // namespace tallypad
