#include "mail/smtp_reply.h"

#include <gtest/gtest.h>

#include <chrono>

namespace tallypad {
namespace {

using State = SmtpReplyReader::State;

TEST(SmtpReplyReader, ReadsRepliesOfOneOrManyLines) {
  struct Case {
    const char* name;
    std::string bytes;
    State state;
    int code;
    std::vector<std::string> lines;
  } cases[] = {
      {"one line", "250 OK\r\n", State::kComplete, 250, {"OK"}},
      {"code alone", "354\r\n", State::kComplete, 354, {""}},
      {"without CR", "221 bye\n", State::kComplete, 221, {"bye"}},
      {"many lines", "250-peer.test\r\n250-PIPELINING\r\n250 STARTTLS\r\n", State::kComplete, 250,
       {"peer.test", "PIPELINING", "STARTTLS"}},
      {"not yet ended", "250-peer.test\r\n250-PIP", State::kNeedMore, 0, {}},
      {"no code", "hello\r\n", State::kMalformed, 0, {}},
      {"a code of no class", "199 odd\r\n", State::kMalformed, 0, {}},
      {"code changes within the reply", "250-a\r\n550 b\r\n", State::kMalformed, 0, {}},
      {"no blank or dash after the code", "250OK\r\n", State::kMalformed, 0, {}},
  };
  for (const Case& c : cases) {
    SmtpReplyReader reader;
    reader.Feed(c.bytes);
    EXPECT_EQ(reader.state(), c.state) << c.name;
    if (c.state != State::kComplete) continue;
    SmtpReply reply = reader.Take();
    EXPECT_EQ(reply.code, c.code) << c.name;
    EXPECT_EQ(reply.lines, c.lines) << c.name;
    EXPECT_EQ(reader.state(), State::kNeedMore) << "the next reply starts afresh";
  }
}

TEST(SmtpReplyReader, TakesOnlyItsOwnReplyOutOfPipelinedBytes) {
  const std::string bytes = "250 sender ok\r\n250 recipient ok\r\n354 go on\r\n";
  SmtpReplyReader reader;
  std::string_view rest = bytes;
  std::vector<int> codes;
  while (!rest.empty()) {
    rest.remove_prefix(reader.Feed(rest));
    ASSERT_EQ(reader.state(), State::kComplete);
    codes.push_back(reader.Take().code);
  }
  EXPECT_EQ(codes, (std::vector<int>{250, 250, 354}));
}

TEST(SmtpReplyReader, ReadsARepliesBytesArrivingOneByOne) {
  const std::string bytes = "220-greeting\r\n220 ready\r\n";
  SmtpReplyReader reader;
  for (char c : bytes) {
    ASSERT_EQ(reader.state(), State::kNeedMore);
    EXPECT_EQ(reader.Feed(std::string_view(&c, 1)), 1u);
  }
  ASSERT_EQ(reader.state(), State::kComplete);
  EXPECT_EQ(reader.Take().lines, (std::vector<std::string>{"greeting", "ready"}));
}

// A hostile server's reply costs bounded memory and time linear in its size.
TEST(SmtpReplyReader, BoundsLinesAndTheirNumber) {
  SmtpReplyReader reader;
  reader.Feed("250 " + std::string(1 << 20, 'x') + "\r\n");
  ASSERT_EQ(reader.state(), State::kComplete);
  EXPECT_EQ(reader.Take().lines[0].size(), kSmtpReplyLineKept - 4);

  std::string many;
  for (size_t i = 0; i < kSmtpReplyLinesMax; ++i) many += "250-line\r\n";
  reader.Feed(many);
  EXPECT_EQ(reader.state(), State::kNeedMore);
  reader.Feed("250-one too many\r\n");
  EXPECT_EQ(reader.state(), State::kMalformed);

  SmtpReplyReader flooded;
  const std::string flood(64 << 20, '2');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(flooded.Feed(flood), flood.size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(flooded.state(), State::kNeedMore);
}

TEST(SmtpReplyClass, ByTheFirstDigit) {
  EXPECT_EQ(SmtpReplyClassOf(250), SmtpReplyClass::kPositive);
  EXPECT_EQ(SmtpReplyClassOf(354), SmtpReplyClass::kIntermediate);
  EXPECT_EQ(SmtpReplyClassOf(451), SmtpReplyClass::kTransient);
  EXPECT_EQ(SmtpReplyClassOf(550), SmtpReplyClass::kPermanent);
  EXPECT_EQ(SmtpReplyClassOf(0), SmtpReplyClass::kTransient) << "no reply judges nothing for good";
  EXPECT_EQ(SmtpReplyClassOf(600), SmtpReplyClass::kTransient);
}

TEST(SmtpReply, TextIsOneLineWithoutControlBytes) {
  SmtpReply reply{550, {"5.1.1 no such user", "see\x1b[31m here"}};
  EXPECT_EQ(reply.Text(), "550 5.1.1 no such user / see?[31m here");
}

}  // namespace
}  // namespace tallypad
