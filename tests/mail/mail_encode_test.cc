#include "mail/mail_encode.h"

#include <gtest/gtest.h>

namespace tallypad {
namespace {

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
  // RFC 4648, section 10.
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Base64Encode(bytes), text);
    EXPECT_EQ(Base64Decode(text), bytes);
  }
  const std::string all = [] {
    std::string s;
    for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
    return s;
  }();
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
  EXPECT_EQ(Base64Decode("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(Base64Decode("Zm9v!"), std::nullopt);
  EXPECT_EQ(Base64Decode("Z"), std::nullopt);
  EXPECT_EQ(Base64Decode("Zg==Zg"), std::nullopt);
}

// Whatever a body holds, its encoding decodes to it (line ends as CR LF),
// and no encoded line is longer than 76 characters or a lone ".".
TEST(QuotedPrintable, RoundTripsEveryBodyWithShortLines) {
  struct Case {
    const char* name;
    std::string text;
    std::string encoded;  // "" when only the round trip is checked
  } cases[] = {
      {"plain", "Hello", "Hello"},
      {"equals sign", "a=b", "a=3Db"},
      {"UTF-8", "Zo\xc3\xab", "Zo=C3=AB"},
      {"blank before a line end", "a \nb\t", "a=20\r\nb=09"},
      {"dot opening a line", ".\n..x", "=2E\r\n=2E.x"},
      {"line ends of every kind", "a\r\nb\nc\rd", "a\r\nb\r\nc\r\nd"},
      {"a long line", std::string(200, 'w'), ""},
      {"a long line of dots", std::string(300, '.'), ""},
      {"long UTF-8", std::string(100, '\xc3') + std::string(100, '\xa9'), ""},
      {"zero bytes", std::string("a\0b", 3), "a=00b"},
  };
  for (const Case& c : cases) {
    const std::string encoded = QuotedPrintableEncode(c.text);
    if (!c.encoded.empty()) {
      EXPECT_EQ(encoded, c.encoded) << c.name;
    }
    std::string expected;
    for (size_t i = 0; i < c.text.size(); ++i) {
      if (c.text[i] == '\r' && i + 1 < c.text.size() && c.text[i + 1] == '\n') continue;
      expected += (c.text[i] == '\r' || c.text[i] == '\n') ? std::string("\r\n")
                                                            : std::string(1, c.text[i]);
    }
    EXPECT_EQ(QuotedPrintableDecode(encoded), expected) << c.name;
    size_t at = 0;
    for (size_t end; at <= encoded.size(); at = end + 2) {
      end = encoded.find("\r\n", at);
      if (end == std::string::npos) end = encoded.size();
      EXPECT_LE(end - at, kQuotedPrintableLineLimit) << c.name;
      EXPECT_NE(encoded.substr(at, end - at), ".") << c.name;
      if (end == encoded.size()) break;
    }
  }
}

TEST(HeaderText, PlainAsciiStaysAndTheRestBecomesEncodedWords) {
  EXPECT_EQ(HeaderTextEncode("Survey result", 9), "Survey result");
  const struct {
    const char* name;
    std::string text;
  } encoded[] = {
      {"UTF-8", "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln"},
      {"too long for one line", std::string(90, 'a')},
      {"looks like an encoded word", "=?utf-8?B?QQ==?="},
      {"characters across word borders", std::string(60, '\xe2') + "x"},
      {"emoji", "\xf0\x9f\x99\x82\xf0\x9f\x99\x82\xf0\x9f\x99\x82\xf0\x9f\x99\x82\xf0\x9f\x99\x82"
                "\xf0\x9f\x99\x82\xf0\x9f\x99\x82\xf0\x9f\x99\x82\xf0\x9f\x99\x82\xf0\x9f\x99\x82"},
  };
  for (const auto& c : encoded) {
    const std::string field = HeaderTextEncode(c.text, 9);
    EXPECT_EQ(field.compare(0, 10, "=?utf-8?B?"), 0) << c.name;
    EXPECT_EQ(HeaderTextDecode(field), c.text) << c.name;
  }
  // Words are cut between characters: each decodes to whole UTF-8.
  const std::string emoji = encoded[4].text;
  const std::string field = HeaderTextEncode(emoji, 9);
  for (size_t at = 0; (at = field.find("=?utf-8?B?", at)) != std::string::npos; ++at) {
    const size_t end = field.find("?=", at);
    std::optional<std::string> word = Base64Decode(field.substr(at + 10, end - at - 10));
    ASSERT_TRUE(word);
    EXPECT_EQ(word->size() % 4, 0u);
  }
}

TEST(HeaderText, DecodesQuotedAndBase64WordsBetweenPlainText) {
  EXPECT_EQ(HeaderTextDecode("=?ISO-8859-1?Q?Andr=E9_?= Pirard"), "Andr\xe9  Pirard");
  EXPECT_EQ(HeaderTextDecode("=?utf-8?B?SGVs?=\r\n =?utf-8?B?bG8=?="), "Hello");
  EXPECT_EQ(HeaderTextDecode("plain =?x?B?!?= text"), "plain =?x?B?!?= text");
}

TEST(MailDate, WritesTheHeaderFormAndReadsItBack) {
  const std::time_t when = 1739451785;  // 2025-02-13 13:03:05 UTC
  const std::string text = MailDate(when);
  EXPECT_EQ(MailDateParse(text), when) << text;
  EXPECT_EQ(MailDateParse("Thu, 13 Feb 2025 13:03:05 +0000"), when);
  EXPECT_EQ(MailDateParse("13 Feb 2025 14:03:05 +0100"), when);
  EXPECT_EQ(MailDateParse("Thu, 13 Feb 2025 08:03:05 -0500"), when);
  EXPECT_EQ(MailDateParse("Thu, 13 Feb 2025 13:03 GMT"), when - 5);
  for (const char* bad : {"", "yesterday", "Thu, 13 Foo 2025 13:03:05 +0000",
                          "32 Feb 2025 13:03:05 +0000", "13 Feb 2025 13:03:05 +01"})
    EXPECT_EQ(MailDateParse(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace tallypad
