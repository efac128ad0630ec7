#include "httpd/request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace tallypad {
namespace {

using Clock = std::chrono::steady_clock;

// A connection record on one end of a socket pair; the test plays the
// client on the other end.
struct Pair {
  Pair() {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    conn = ConnMake(fds[0], client);
    peer.reset(fds[1]);
  }
  void Send(std::string_view bytes) {
    ASSERT_EQ(::send(peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  std::unique_ptr<Connection> conn;
  UniqueFd peer;
};

// Limits whose silent waits are far longer than any test: a reader that
// waited for silence instead of seeing the request end would show.
RequestLimits PatientLimits() {
  RequestLimits limits;
  limits.silent_wait_us = 4'000'000;
  return limits;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(ReadRequestTest, CompleteRequestsEndWithoutWaitingForTheClient) {
  struct Case {
    const char* what;
    std::string sent;
    std::string expected;
  };
  const Case cases[] = {
      {"GET, CRLF header block", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"GET, LF header block", "GET /a HTTP/1.0\n\n", "GET /a HTTP/1.0\n\n"},
      {"GET with a body is cut at the header block", "GET / HTTP/1.1\r\n\r\nextra",
       "GET / HTTP/1.1\r\n\r\n"},
      {"POST with Content-Length", "POST /kqs HTTP/1.1\r\nContent-Length: 7\r\n\r\nA=1&B=2",
       "POST /kqs HTTP/1.1\r\nContent-Length: 7\r\n\r\nA=1&B=2"},
      {"POST with bytes after its body", "POST /kqs HTTP/1.1\r\ncontent-length:3\r\n\r\nA=1GET / HTTP/1.1",
       "POST /kqs HTTP/1.1\r\ncontent-length:3\r\n\r\nA=1"},
      {"POST with an empty body", "POST /kqs HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
       "POST /kqs HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
      {"lower-case post does not wait for a body", "post /kqs HTTP/1.1\r\nContent-Length: 50\r\n\r\n",
       "post /kqs HTTP/1.1\r\nContent-Length: 50\r\n\r\n"},
  };
  for (const Case& c : cases) {
    Pair p;
    p.Send(c.sent);
    std::string text;
    auto start = Clock::now();
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, PatientLimits()), ReadResult::kComplete) << c.what;
    EXPECT_EQ(text, c.expected) << c.what;
    EXPECT_LT(SecondsSince(start), 2.0) << c.what;
  }
}

TEST(ReadRequestTest, ABodyArrivingLaterIsReadWhole) {
  Pair p;
  std::thread client([&] {
    p.Send("POST /kqs HTTP/1.1\r\nContent-Length: 11\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p.Send("NAME=");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.Send("Maria");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.Send("!");
  });
  std::string text;
  EXPECT_EQ(ReadRequest(p.conn.get(), &text, PatientLimits()), ReadResult::kComplete);
  client.join();
  EXPECT_EQ(text, "POST /kqs HTTP/1.1\r\nContent-Length: 11\r\n\r\nNAME=Maria!");
}

TEST(ReadRequestTest, WithoutContentLengthAPostEndsWhenTheClientClosesOrFallsSilent) {
  {
    Pair p;
    p.Send("POST /kqs HTTP/1.0\r\n\r\nA=1");
    ::shutdown(p.peer.get(), SHUT_WR);
    std::string text;
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, PatientLimits()), ReadResult::kComplete);
    EXPECT_EQ(text, "POST /kqs HTTP/1.0\r\n\r\nA=1");
  }
  {
    Pair p;
    p.Send("POST /kqs HTTP/1.0\r\n\r\nA=1");
    RequestLimits limits;
    limits.silent_wait_us = 30'000;
    std::string text;
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, limits), ReadResult::kComplete);
    EXPECT_EQ(text, "POST /kqs HTTP/1.0\r\n\r\nA=1");
  }
  {
    Pair p;  // a client that sends nothing at all
    RequestLimits limits;
    limits.silent_wait_us = 30'000;
    std::string text = "stale";
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, limits), ReadResult::kComplete);
    EXPECT_EQ(text, "");
  }
}

TEST(ReadRequestTest, ABodyShorterThanItsLengthIsNeverComplete) {
  enum class Then { kClose, kFallSilent };
  struct Case {
    const char* what;
    std::string sent;
    Then then;
    ReadResult expected;
    std::string text;  // what the reader holds when it reports kComplete
  };
  const std::string head = "POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n\r\n";
  const std::string part(40, 'a');
  const Case cases[] = {
      {"part of the body, then closed", head + part, Then::kClose, ReadResult::kCutShort, ""},
      {"no body at all, then closed", head, Then::kClose, ReadResult::kCutShort, ""},
      {"one byte short, then closed", head + std::string(99, 'a'), Then::kClose,
       ReadResult::kCutShort, ""},
      {"part of the body, then silent", head + part, Then::kFallSilent, ReadResult::kTimedOut, ""},
      {"whole body, then closed", head + std::string(100, 'a'), Then::kClose,
       ReadResult::kComplete, head + std::string(100, 'a')},
      // Without a usable length the end of input is the end of the body.
      {"no length, then closed", "POST /kqs HTTP/1.0\r\n\r\nA=1", Then::kClose,
       ReadResult::kComplete, "POST /kqs HTTP/1.0\r\n\r\nA=1"},
      {"no length, then silent", "POST /kqs HTTP/1.0\r\n\r\nA=1", Then::kFallSilent,
       ReadResult::kComplete, "POST /kqs HTTP/1.0\r\n\r\nA=1"},
      {"conflicting lengths, then closed",
       "POST /kqs HTTP/1.0\r\nContent-Length: 9\r\nContent-Length: 5\r\n\r\nA=1", Then::kClose,
       ReadResult::kComplete, "POST /kqs HTTP/1.0\r\nContent-Length: 9\r\nContent-Length: 5\r\n\r\nA=1"},
      // A header block that never ended holds no body to be short of.
      {"unended header block, then closed", "POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n",
       Then::kClose, ReadResult::kComplete, "POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n"},
  };
  for (const Case& c : cases) {
    Pair p;
    p.Send(c.sent);
    if (c.then == Then::kClose) ::shutdown(p.peer.get(), SHUT_WR);
    RequestLimits limits;
    limits.max_ms = 400;
    limits.silent_wait_us = 30'000;  // many silent waits fit in the time bound
    std::string text;
    auto start = Clock::now();
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, limits), c.expected) << c.what;
    if (c.expected == ReadResult::kComplete) {
      EXPECT_EQ(text, c.text) << c.what;
    }
    // Silence ends a body of known length only at the time bound.
    if (c.expected == ReadResult::kTimedOut) {
      EXPECT_GE(SecondsSince(start), 0.39) << c.what;
    }
  }
}

TEST(ReadRequestTest, OversizedRequestsAreRefused) {
  RequestLimits limits = PatientLimits();
  limits.max_bytes = 1000;
  {
    Pair p;  // a header block that never ends
    p.Send("GET /" + std::string(1200, 'a'));
    std::string text;
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, limits), ReadResult::kTooLarge);
  }
  {
    Pair p;  // a body announced larger than the limit is refused before it arrives
    p.Send("POST /kqs HTTP/1.1\r\nContent-Length: 5000\r\n\r\n");
    std::string text;
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, limits), ReadResult::kTooLarge);
  }
  {
    Pair p;  // exactly at the limit is fine
    std::string head = "POST /kqs HTTP/1.1\r\nContent-Length: 900\r\n\r\n";
    std::string request = head.substr(0, head.size() - 4) + "\r\nX: " +
                          std::string(1000 - head.size() - 900 - 5, 'x') + "\r\n\r\n" +
                          std::string(900, 'b');
    ASSERT_EQ(request.size(), 1000u);
    p.Send(request);
    std::string text;
    EXPECT_EQ(ReadRequest(p.conn.get(), &text, limits), ReadResult::kComplete);
    EXPECT_EQ(text.size(), 1000u);
  }
}

TEST(ReadRequestTest, ASlowClientRunsOutOfTime) {
  Pair p;
  RequestLimits limits;
  limits.max_ms = 300;
  limits.silent_wait_us = 200'000;
  std::atomic<bool> done{false};
  std::thread client([&] {
    // One byte every 40 ms: never two silent waits in a row.
    for (int i = 0; i < 40 && !done; ++i) {
      ::send(p.peer.get(), "x", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  });
  std::string text;
  auto start = Clock::now();
  EXPECT_EQ(ReadRequest(p.conn.get(), &text, limits), ReadResult::kTimedOut);
  done = true;
  client.join();
  EXPECT_LT(SecondsSince(start), 1.5);
}

TEST(CompleteRequestLengthTest, KnowsWhenARequestHasEnded) {
  struct Case {
    std::string text;
    std::optional<size_t> expected;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"GET / HTTP/1.1\r\nHost: x\r\n", std::nullopt},
      {"GET / HTTP/1.1\r\n\r\n", 18},
      {"GET / HTTP/1.1\n\nrest", 16},
      {"POST / HTTP/1.1\r\n\r\nA=1", std::nullopt},  // no Content-Length: unknown
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nA=", std::nullopt},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nA=1", 41},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nA=1B", 41},
      {"POST / HTTP/1.1\r\nContent-Length: x3\r\n\r\nA=1", std::nullopt},
      {"Get / HTTP/1.1\r\nContent-Length: 3\r\n\r\n", 37},
  };
  for (const Case& c : cases) EXPECT_EQ(CompleteRequestLength(c.text), c.expected) << c.text;
}

TEST(ContentLengthTest, OnlyAPlainAgreedNumberCounts) {
  struct Case {
    std::string headers;
    std::optional<size_t> expected;
  };
  const Case cases[] = {
      {"Content-Length: 12", 12},
      {"content-length:12", 12},
      {"CONTENT-LENGTH:   12  ", 12},
      {"Content-Length: 12\r\nContent-Length: 12", 12},
      {"Content-Length: 12\r\nContent-Length: 13", std::nullopt},
      {"Content-Length: -1", std::nullopt},
      {"Content-Length: 1e3", std::nullopt},
      {"Content-Length:", std::nullopt},
      {"Content-Length: 99999999999999999999999", std::numeric_limits<size_t>::max()},
      {"X-Content-Length: 5", std::nullopt},
      {"Host: x", std::nullopt},
  };
  for (const Case& c : cases) {
    std::string text = "POST / HTTP/1.1\r\n" + c.headers + "\r\n\r\nContent-Length: 7";
    EXPECT_EQ(ContentLength(text), c.expected) << c.headers;
  }
}

TEST(HeaderValueTest, FindsHeadersOfTheHeaderBlockOnly) {
  std::string text = "GET /Host: no HTTP/1.1\r\nhost:  example.org:81 \r\nX: 1\r\n\r\nHost: body";
  EXPECT_EQ(HeaderValue(text, "Host"), "example.org:81");
  EXPECT_EQ(HeaderValue(text, "x"), "1");
  EXPECT_FALSE(HeaderValue(text, "Missing"));
  EXPECT_FALSE(HeaderValue("GET / HTTP/1.0\r\n\r\nHost: body", "Host"));
}

TEST(BodyStartTest, PrefersTheCrLfBlankLine) {
  EXPECT_EQ(BodyStart("a\r\n\r\nb"), 5u);
  EXPECT_EQ(BodyStart("a\n\nb"), 3u);
  EXPECT_EQ(BodyStart("a\n\nb\r\n\r\nc"), 8u);  // "\r\n\r\n" anywhere wins
  EXPECT_FALSE(BodyStart("a\r\nb"));
}

TEST(SplitRequestLineTest, SpacesAreTheOnlySeparators) {
  struct Case {
    std::string text;
    std::string method, path, rest;
  };
  const Case cases[] = {
      {"GET /index.html HTTP/1.0\r\n\r\n", "GET", "/index.html", "HTTP/1.0\r\n\r\n"},
      {"GET /a?b=c HTTP/1.1", "GET", "/a?b=c", "HTTP/1.1"},
      {"GET  HTTP/1.0", "GET", "", "HTTP/1.0"},
      {"GET /x", "GET", "/x", ""},
      {"GET /x\r\nHost: y\r\n\r\n", "GET", "/x\r\nHost:", "y\r\n\r\n"},
      {"NOSPACE\r\n\r\n", "NOSPACE\r\n\r\n", "", ""},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    RequestLine line = SplitRequestLine(c.text);
    EXPECT_EQ(line.method, c.method) << c.text;
    EXPECT_EQ(line.path, c.path) << c.text;
    EXPECT_EQ(line.rest, c.rest) << c.text;
  }
}

}  // namespace
}  // namespace tallypad
