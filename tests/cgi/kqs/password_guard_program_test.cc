// Password guessing against the real program: wrong passwords sent to the
// survey engine and the list viewer are counted per client address, every
// word of a posted list as one try, and an address with too many is
// refused every password-checked request with status 429, while requests
// without a password go on.
#include <gtest/gtest.h>

#include <string>

#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::HttpGet;
using testing::HttpResponse;
using testing::ServedRoot;
using testing::ServedRootSuite;

class PasswordGuardProgramTest : public ServedRootSuite<PasswordGuardProgramTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const auto& root = served_->root();
    root.Write("secret.ini",
               "[DATABASE]\nFORM=secret.html\nREPORT2=report.htm\n"
               "[access]\nPWDAPPEND=(allow)\nPWDREAD=opensesame\nPWDREPORT=results\n");
    root.Write("secret.html", "<form><input name=q></form>\n");
    root.Write("report.htm", "<p>the report</p>\n");
    root.Write("secret.asc", "#q\t\r\n");
    root.Write("style.css", "body {}\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static HttpResponse List(const std::string& password) {
    return HttpGet(port(), "/list?DATABASE=secret&_ACTION=LIST&_PASSWORD=" + password);
  }
  static HttpResponse Report(const std::string& password) {
    return HttpGet(port(), "/kqs?DATABASE=secret&_ACTION=REPORT&_PASSWORD=" + password);
  }
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(PasswordGuardProgramTest, TooManyWrongPasswordsGetTheAddressRefused) {
  // Nine wrong tries over both programs, then a right one: the count starts
  // afresh.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(List("guess" + std::to_string(i)).status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(Report("w1,w2,w3,w4,w5").status_line, "HTTP/1.1 200 OK");
  HttpResponse right = List("opensesame");
  EXPECT_EQ(right.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(right.body.find("Tallypad Database List"), std::string::npos) << right.body;

  // One request with a list of nine guesses is nine tries; the tenth gets
  // the address refused from then on.
  EXPECT_EQ(List("a1,a2,a3,a4,a5+a6+a7,a8,a9").status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(Report("a10").status_line, "HTTP/1.1 200 OK");

  struct Case {
    const char* what;
    std::string path;
    const char* status;
  } cases[] = {
      {"list viewer, right password", "/list?DATABASE=secret&_ACTION=LIST&_PASSWORD=opensesame",
       "HTTP/1.1 429 Too Many Requests"},
      {"report, right password", "/kqs?DATABASE=secret&_ACTION=REPORT&_PASSWORD=results",
       "HTTP/1.1 429 Too Many Requests"},
      {"survey page with a password", "/kqs?DATABASE=secret&_PASSWORD=x",
       "HTTP/1.1 429 Too Many Requests"},
      // Requests that check no password go on.
      {"survey page", "/kqs?DATABASE=secret", "HTTP/1.1 200 OK"},
      {"list viewer without a password", "/list?DATABASE=secret", "HTTP/1.1 200 OK"},
      {"a file", "/style.css", "HTTP/1.1 200 OK"},
  };
  for (const Case& c : cases) {
    HttpResponse r = HttpGet(port(), c.path);
    EXPECT_EQ(r.status_line, c.status) << c.what;
    if (std::string(c.status).find("429") == std::string::npos) continue;
    EXPECT_EQ(r.Header("Retry-After").value_or(""), "60") << c.what;
    EXPECT_NE(r.body.find("Too many wrong passwords"), std::string::npos) << c.what;
    EXPECT_EQ(r.body.find("the report"), std::string::npos) << c.what;
    EXPECT_EQ(r.body.find("Database List"), std::string::npos) << c.what;
  }
  // The refusal is logged once, naming the address.
  ASSERT_TRUE(served_->server().WaitForOutput("Too many wrong passwords from 127.0.0.1"));
  EXPECT_EQ(Count(served_->server().Output(), "Too many wrong passwords from"), 1u);
}

}  // namespace
}  // namespace tallypad
