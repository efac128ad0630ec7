// Links in a served root, through the real program: a symbolic link or a
// hard link is judged by the file it leads to.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::FreePort;
using testing::HttpGet;
using testing::HttpResponse;
using testing::ServerProcess;
using testing::TempDir;

constexpr std::string_view kMenuStart =
    "<P>Tallypad Personal Server\r\nCopyright &copy; Velkorn. All rights reserved.\r\n<P>";
// Every secret of the fixture holds this, so no answer may.
constexpr std::string_view kSecretMark = "SECRET";
constexpr std::string_view kPrivateLine = "Refused a form's private file: ";
constexpr std::string_view kOutsideLine = "Refused a link leading outside the server root: ";

// The server root "site" of a temporary folder, with a form, its settings,
// checks and answers, a style sheet, and a secret in "outside" next to it.
// The program serves "site/" itself or, in the second run, "served/", a
// symbolic link to it.
class LinkServingTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_.Write("outside/secret.txt", "SECRET outside the root");
    dir_.Write("site/cgi.ini", "[server]\n");
    dir_.Write("site/survey.ini",
               "[DATABASE]\nSAVEDATANAME=data/answers.txt\n[access]\nPWDREAD=SECRET-password\n");
    dir_.Write("site/survey.val", "<PAGE NAME=\"p1\">SECRET check</PAGE>\n");
    dir_.Write("site/data/answers.txt", "Q1\nSECRET answer\n");
    dir_.Write("site/css/site.css", "body{color:teal}");
    dir_.Write("site/sub/page.txt", "sub page");
    ASSERT_EQ(symlink("site", dir_.File("served").c_str()), 0);
  }

  void TearDown() override {
    if (server_.Running()) {
      EXPECT_EQ(server_.Stop(), 0) << server_.Errors();
    }
  }

  // Makes `name` of the root a symbolic link to `target`.
  void SymLink(const std::string& target, const char* name) {
    ASSERT_EQ(symlink(target.c_str(), dir_.File(std::string("site/") + name).c_str()), 0) << name;
  }
  // Makes `name` of the root a hard link to the root's `target`.
  void HardLink(const char* target, const char* name) {
    ASSERT_EQ(link(dir_.File(std::string("site/") + target).c_str(),
                   dir_.File(std::string("site/") + name).c_str()),
              0)
        << name;
  }

  void Start() {
    ServerProcess::Options options;
    options.server_root = dir_.path() + GetParam();
    options.port = FreePort();
    options.registry = registry_.path();
    std::optional<int> port = server_.StartServing(options);
    ASSERT_TRUE(port) << server_.Output() << server_.Errors();
    port_ = *port;
  }

  TempDir dir_;
  TempDir registry_;
  ServerProcess server_;
  int port_ = 0;
};

enum class Answer {
  kServed,   // sent as it is
  kPrivate,  // a form's private file: answered as missing, and logged
  kOutside,  // leads outside the root: answered as missing, and logged
  kMissing,  // names no file that opens: answered as missing
};

TEST_P(LinkServingTest, LinksAreJudgedByTheFileTheyLeadTo) {
  const std::string outside = dir_.File("outside");
  ASSERT_NO_FATAL_FAILURE(SymLink("survey.ini", "settings.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink("survey.val", "checks.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink("data/answers.txt", "answers.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink(outside + "/secret.txt", "passwd.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink("../outside/secret.txt", "up.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink(outside, "elsewhere"));
  ASSERT_NO_FATAL_FAILURE(SymLink("../../outside", "sub/escape"));
  ASSERT_NO_FATAL_FAILURE(HardLink("data/answers.txt", "notes.txt"));
  ASSERT_NO_FATAL_FAILURE(HardLink("survey.ini", "readme.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink("css/site.css", "style.css"));
  ASSERT_NO_FATAL_FAILURE(SymLink("css", "styles"));
  ASSERT_NO_FATAL_FAILURE(SymLink("../sub/page.txt", "css/page-link.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink("loop.txt", "loop.txt"));
  ASSERT_NO_FATAL_FAILURE(SymLink("gone.txt", "dangling.txt"));
  ASSERT_NO_FATAL_FAILURE(Start());

  struct Case {
    const char* path;  // without its leading '/'
    Answer answer;
    const char* body = "";  // the body of a served file
  };
  const Case cases[] = {
      {"settings.txt", Answer::kPrivate},
      {"checks.txt", Answer::kPrivate},
      {"answers.txt", Answer::kPrivate},
      {"passwd.txt", Answer::kOutside},
      {"up.txt", Answer::kOutside},
      {"elsewhere/secret.txt", Answer::kOutside},
      {"sub/escape/secret.txt", Answer::kOutside},
      {"notes.txt", Answer::kPrivate},
      {"readme.txt", Answer::kPrivate},
      {"style.css", Answer::kServed, "body{color:teal}"},
      {"styles/site.css", Answer::kServed, "body{color:teal}"},
      {"css/page-link.txt", Answer::kServed, "sub page"},
      {"loop.txt", Answer::kMissing},
      {"dangling.txt", Answer::kMissing},
  };
  for (const Case& c : cases) {
    HttpResponse r = HttpGet(port_, std::string("/") + c.path);
    EXPECT_TRUE(r.closed) << c.path;
    EXPECT_EQ(r.raw.find(kSecretMark), std::string::npos) << c.path << "\n" << r.raw;
    if (c.answer == Answer::kServed) {
      EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK") << c.path;
      EXPECT_EQ(r.body, c.body) << c.path;
    } else {
      EXPECT_EQ(r.status_line, "HTTP/1.1 404 Not Found") << c.path;
      EXPECT_EQ(r.body.rfind(kMenuStart, 0), 0u) << c.path << "\n" << r.body;
    }
  }
  // The message log names each refused link with its reason, and no other.
  for (const Case& c : cases) {
    const std::string as_private = std::string(kPrivateLine) + c.path + "\n";
    const std::string as_outside = std::string(kOutsideLine) + c.path + "\n";
    if (c.answer == Answer::kPrivate) {
      EXPECT_TRUE(server_.WaitForOutput(as_private)) << c.path;
    } else if (c.answer == Answer::kOutside) {
      EXPECT_TRUE(server_.WaitForOutput(as_outside)) << c.path;
    }
  }
  const std::string output = server_.Output();
  for (const Case& c : cases) {
    const std::string as_private = std::string(kPrivateLine) + c.path + "\n";
    const std::string as_outside = std::string(kOutsideLine) + c.path + "\n";
    if (c.answer != Answer::kPrivate) {
      EXPECT_EQ(output.find(as_private), std::string::npos) << c.path;
    }
    if (c.answer != Answer::kOutside) {
      EXPECT_EQ(output.find(as_outside), std::string::npos) << c.path;
    }
  }
}

// The page sent for missing files leads outside the root: the menu page is
// sent instead. One that stays inside through a link is sent.
TEST_P(LinkServingTest, TheErrorPageStaysInsideTheRoot) {
  dir_.Write("site/cgi.ini", "[server]\nERROR=oops.html\n");
  ASSERT_NO_FATAL_FAILURE(SymLink("../outside/secret.txt", "oops.html"));
  ASSERT_NO_FATAL_FAILURE(Start());
  HttpResponse r = HttpGet(port_, "/missing.txt");
  EXPECT_EQ(r.status_line, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(r.body.rfind(kMenuStart, 0), 0u) << r.body;
  EXPECT_EQ(r.raw.find(kSecretMark), std::string::npos) << r.raw;
  EXPECT_TRUE(server_.WaitForOutput(std::string(kOutsideLine) + "oops.html\n"));

  ASSERT_EQ(unlink(dir_.File("site/oops.html").c_str()), 0);
  dir_.Write("site/pages/not-here.html", "<p>not here</p>");
  ASSERT_NO_FATAL_FAILURE(SymLink("pages/not-here.html", "oops.html"));
  r = HttpGet(port_, "/missing.txt");
  EXPECT_EQ(r.status_line, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(r.body, "<p>not here</p>");
}

INSTANTIATE_TEST_SUITE_P(Roots, LinkServingTest, ::testing::Values("site/", "served/"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.index == 0 ? "PlainRoot" : "RootThroughALink");
                         });

}  // namespace
}  // namespace tallypad
