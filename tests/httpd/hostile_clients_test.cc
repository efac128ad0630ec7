// Clients that would hold a server that serves one connection at a time,
// against the real program: a respondent is answered at once while many
// connections are silent, trickle their request byte by byte, or asked for
// a large answer and never read it; a burst of two thousand clients is
// answered; and a mail server that accepts the outbox's connection and
// then never answers delays no respondent, nor the program's shut-down.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/html_form.h"
#include "support/loopback_peers.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormBody;
using testing::HttpClient;
using testing::HttpGet;
using testing::HttpPost;
using testing::HttpResponse;
using testing::LoopbackSink;
using testing::ServedRoot;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Raises this process's limit of open files to `wanted` where allowed;
// returns the limit in force.
rlim_t RaiseFileLimit(rlim_t wanted) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < wanted) {
    files.rlim_cur = std::min(files.rlim_max, wanted);
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
  }
  return files.rlim_cur;
}

TEST(HostileClients, ARespondentIsAnsweredWhileOthersHoldTheirConnections) {
  ServedRoot served;
  served.root().Write("page.html", "<p>for the respondent</p>");
  // A form whose permission prompt echoes every answer: a large post gets a
  // large answer.
  served.root().Write("locked.ini", "[DATABASE]\nFORM=locked.html\n");
  served.root().Write("locked.html", "<form><input name=q></form>");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  const int port = served.port();

  std::vector<HttpClient> silent(100), tricklers(20), non_readers(10);
  for (HttpClient& c : silent) ASSERT_TRUE(c.Connect(port));
  for (HttpClient& c : tricklers) ASSERT_TRUE(c.Connect(port));
  const std::string large = FormBody({{"DATABASE", "locked"},
                                      {"_ACTION", "SUBMIT"},
                                      {"answer", std::string(900'000, 'a')}});
  for (HttpClient& c : non_readers) {
    ASSERT_TRUE(c.Connect(port));
    // The smallest receive buffer: the answer cannot hide in the kernel.
    int tiny = 1;
    setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    c.Send("POST /kqs HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " + std::to_string(large.size()) + "\r\n\r\n" + large);
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string request = "GET /page.html HTTP/1.0\r\nX-Slow: ";
    for (size_t at = 0; !done; at = (at + 1) % request.size()) {
      for (HttpClient& c : tricklers) c.Send(request.substr(at, 1));
      std::this_thread::sleep_for(milliseconds(200));
    }
  });

  std::vector<double> latencies;
  for (int i = 0; i < 20; ++i) {
    auto start = Clock::now();
    HttpResponse r = HttpGet(port, "/page.html");
    latencies.push_back(SecondsSince(start));
    EXPECT_EQ(r.body, "<p>for the respondent</p>") << i;
  }
  done = true;
  trickle.join();
  EXPECT_LT(*std::max_element(latencies.begin(), latencies.end()), 1.0);
}

TEST(HostileClients, ABurstOfTwoThousandClientsIsAnswered) {
  constexpr int kClients = 2000;
  if (RaiseFileLimit(kClients + 500) < kClients + 500)
    GTEST_SKIP() << "too few file descriptors for the burst";
  ServedRoot served;
  served.root().Write("burst.txt", "burst");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  std::vector<HttpClient> clients(kClients);
  for (HttpClient& c : clients) {
    ASSERT_TRUE(c.Connect(served.port()));
    c.Send("GET /burst.txt HTTP/1.0\r\n\r\n");
  }
  int answered = 0;
  for (HttpClient& c : clients) answered += c.ReadResponse(30000).body == "burst";
  EXPECT_EQ(answered, kClients);
  EXPECT_EQ(HttpGet(served.port(), "/burst.txt").body, "burst") << "the server goes on";
}

TEST(HostileClients, AMailServerThatNeverAnswersDelaysNoRespondent) {
  // Accepts the outbox's connections and never reads or writes on them.
  LoopbackSink silent_mail_server(0, false);
  ServedRoot served(std::vector<std::pair<std::string, std::string>>{{"TALLYPAD_NETWORK", "online"}});
  served.root().Write("mailing.ini",
                      "[DATABASE]\nFORM=mailing.html\nSAVEEMAIL=1\nSAVEEMAILNAME=team@example.org\n"
                      "EMAILSERVER=127.0.0.1:" + std::to_string(silent_mail_server.port()) +
                          "\n[access]\nPWDAPPEND=(allow)\n");
  served.root().Write("mailing.html", "<form><input name=q></form>");
  served.root().Write("page.html", "<p>page</p>");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();

  for (int i = 0; i < 5; ++i) {
    auto start = Clock::now();
    HttpResponse saved = HttpPost(served.port(), "/kqs",
                                  FormBody({{"DATABASE", "mailing"},
                                            {"_ACTION", "SUBMIT"},
                                            {"q", std::string(200'000, 'm')}}));
    EXPECT_NE(saved.body.find("Thank you!"), std::string::npos) << i;
    EXPECT_LT(SecondsSince(start), 1.0) << i;
    start = Clock::now();
    EXPECT_EQ(HttpGet(served.port(), "/page.html").body, "<p>page</p>");
    EXPECT_LT(SecondsSince(start), 1.0) << i;
    std::this_thread::sleep_for(milliseconds(300));
  }
  EXPECT_TRUE(silent_mail_server.WaitForAccepted(1, 10000)) << "the outbox did try";
  // The outbox is stuck sending to a server that takes nothing: shutting
  // down does not wait for its time-outs, and the mail stays queued.
  auto start = Clock::now();
  EXPECT_EQ(served.Stop(), 0);
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_NE(served.root().Read("outbox.kqs").find("team@example.org"), std::string::npos);
}

}  // namespace
}  // namespace tallypad
