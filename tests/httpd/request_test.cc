#include "httpd/request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

namespace tallypad {
namespace {

using Clock = std::chrono::steady_clock;

using std::chrono::milliseconds;

// Limits with a silence of 2 x 100 ms and a time bound of 1 s.
RequestLimits TestLimits() {
  RequestLimits limits;
  limits.silent_wait_us = 100'000;
  limits.max_ms = 1000;
  limits.max_bytes = 1000;
  return limits;
}

// What a client does next, in a scripted exchange with the assembler.
struct Step {
  enum Kind { kSend, kClose, kWait } kind;
  std::string bytes;   // kSend
  int ms = 0;          // kWait: silence for this long
};
Step Send(std::string bytes) { return {Step::kSend, std::move(bytes), 0}; }
Step Close() { return {Step::kClose, "", 0}; }
Step Wait(int ms) { return {Step::kWait, "", ms}; }

// Plays `steps` against an assembler on a clock of its own; returns the
// final state, and the text in `text`.
RequestState Play(const std::vector<Step>& steps, std::string* text = nullptr,
                  RequestLimits limits = TestLimits()) {
  auto now = Clock::time_point{} + std::chrono::hours(1);
  RequestAssembler a(limits, now);
  RequestState state = RequestState::kReading;
  for (const Step& step : steps) {
    if (state != RequestState::kReading) break;
    switch (step.kind) {
      case Step::kSend:
        state = a.Feed(step.bytes.data(), step.bytes.size(), now);
        break;
      case Step::kClose:
        state = a.PeerClosed();
        break;
      case Step::kWait: {
        // Checked whenever the assembler asks to be, as the server does.
        const auto until = now + milliseconds(step.ms);
        while (state == RequestState::kReading && a.NextCheck() <= until) {
          now = std::max(now, a.NextCheck());
          state = a.Check(now);
        }
        now = until;
        if (state == RequestState::kReading) state = a.Check(now);
        break;
      }
    }
  }
  if (text) *text = a.text();
  return state;
}

TEST(RequestAssemblerTest, CompleteRequestsEndWithoutWaitingForTheClient) {
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
    std::string text;
    EXPECT_EQ(Play({Send(c.sent)}, &text), RequestState::kComplete) << c.what;
    EXPECT_EQ(text, c.expected) << c.what;
  }
  // Byte by byte, the blank line split across two pieces.
  std::string text;
  std::vector<Step> bytes;
  for (char ch : std::string("GET /b HTTP/1.0\r\n\r\n")) bytes.push_back(Send(std::string(1, ch)));
  EXPECT_EQ(Play(bytes, &text), RequestState::kComplete);
  EXPECT_EQ(text, "GET /b HTTP/1.0\r\n\r\n");
}

TEST(RequestAssemblerTest, ABodyArrivingLaterIsReadWhole) {
  std::string text;
  EXPECT_EQ(Play({Send("POST /kqs HTTP/1.1\r\nContent-Length: 11\r\n\r\n"), Wait(150),
                  Send("NAME="), Wait(150), Send("Maria"), Wait(150), Send("!")},
                 &text),
            RequestState::kComplete);
  EXPECT_EQ(text, "POST /kqs HTTP/1.1\r\nContent-Length: 11\r\n\r\nNAME=Maria!");
}

TEST(RequestAssemblerTest, EndsAsTheClientSendsClosesOrFallsSilent) {
  const std::string head = "POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n\r\n";
  const std::string part(40, 'a');
  struct Case {
    const char* what;
    std::vector<Step> steps;
    RequestState expected;
    std::string text;  // what the assembler holds when the request is complete
  };
  const Case cases[] = {
      {"part of the body, then closed", {Send(head + part), Close()}, RequestState::kCutShort, ""},
      {"no body at all, then closed", {Send(head), Close()}, RequestState::kCutShort, ""},
      {"one byte short, then closed", {Send(head + std::string(99, 'a')), Close()},
       RequestState::kCutShort, ""},
      {"part of the body, then silent", {Send(head + part), Wait(5000)}, RequestState::kTimedOut,
       ""},
      {"whole body, then closed", {Send(head + std::string(100, 'a')), Close()},
       RequestState::kComplete, head + std::string(100, 'a')},
      // Without a usable length the end of input, or silence, ends the body.
      {"no length, then closed", {Send("POST /kqs HTTP/1.0\r\n\r\nA=1"), Close()},
       RequestState::kComplete, "POST /kqs HTTP/1.0\r\n\r\nA=1"},
      {"no length, then silent", {Send("POST /kqs HTTP/1.0\r\n\r\nA=1"), Wait(300)},
       RequestState::kComplete, "POST /kqs HTTP/1.0\r\n\r\nA=1"},
      {"no length, a short silence is not the end", {Send("POST /kqs HTTP/1.0\r\n\r\nA=1"), Wait(150)},
       RequestState::kReading, ""},
      {"conflicting lengths, then closed",
       {Send("POST /kqs HTTP/1.0\r\nContent-Length: 9\r\nContent-Length: 5\r\n\r\nA=1"), Close()},
       RequestState::kComplete,
       "POST /kqs HTTP/1.0\r\nContent-Length: 9\r\nContent-Length: 5\r\n\r\nA=1"},
      // A header block that never ended holds no body to be short of.
      {"unended header block, then closed", {Send("POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n"), Close()},
       RequestState::kComplete, "POST /kqs HTTP/1.1\r\nContent-Length: 100\r\n"},
      // Silence before the first byte is no request at all.
      {"nothing, then closed", {Close()}, RequestState::kNothing, ""},
      {"nothing, for a long silence", {Wait(800)}, RequestState::kReading, ""},
      {"nothing within the time bound", {Wait(5000)}, RequestState::kNothing, ""},
      {"a slow client runs out of time",
       {Send("G"), Wait(150), Send("E"), Wait(150), Send("T"), Wait(150), Send(" "), Wait(150),
        Send("/"), Wait(150), Send("x"), Wait(150), Send(" "), Wait(150)},
       RequestState::kTimedOut, ""},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(Play(c.steps, &text), c.expected) << c.what;
    if (c.expected == RequestState::kComplete) {
      EXPECT_EQ(text, c.text) << c.what;
    }
  }
}

TEST(RequestAssemblerTest, OversizedRequestsAreRefused) {
  EXPECT_EQ(Play({Send("GET /" + std::string(1200, 'a'))}), RequestState::kTooLarge)
      << "a header block that never ends";
  EXPECT_EQ(Play({Send("POST /kqs HTTP/1.1\r\nContent-Length: 5000\r\n\r\n")}),
            RequestState::kTooLarge)
      << "a body announced larger than the limit is refused before it arrives";
  std::string head = "POST /kqs HTTP/1.1\r\nContent-Length: 900\r\n\r\n";
  std::string request = head.substr(0, head.size() - 4) + "\r\nX: " +
                        std::string(1000 - head.size() - 900 - 5, 'x') + "\r\n\r\n" +
                        std::string(900, 'b');
  ASSERT_EQ(request.size(), 1000u);
  std::string text;
  EXPECT_EQ(Play({Send(request)}, &text), RequestState::kComplete) << "exactly at the limit";
  EXPECT_EQ(text.size(), 1000u);
}

TEST(RequestAssemblerTest, RoomNeverLetsMoreThanOneByteBeyondTheLimitIn) {
  RequestAssembler a(TestLimits(), Clock::now());
  EXPECT_EQ(a.Room(), 1001u);
  std::string part(600, 'a');
  a.Feed(part.data(), part.size(), Clock::now());
  EXPECT_EQ(a.Room(), 401u);
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
