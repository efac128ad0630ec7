// The error-code help page through the real program: a server root without
// one gets the copy built into the program (the demo's page, byte for byte),
// so the link every error page ends with leads to its explanation; a server
// root's own page wins and is a template page like any other.
#include <gtest/gtest.h>

#include <string>

#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::HttpGet;
using testing::HttpResponse;
using testing::ServedRoot;

const std::string kHelpPath = "/help/cgi/kqs/error.html";

TEST(ErrorHelpPage, ARootWithoutOneGetsTheBuiltInCopy) {
  ServedRoot served;
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  HttpResponse help = HttpGet(served.port(), kHelpPath);
  EXPECT_EQ(help.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(help.Header("Content-type"), "text/html; charset=utf-8");
  EXPECT_EQ(help.body, testing::ReadFileText(std::string(TALLYPAD_SOURCE_DIR) +
                                             "/examples/demo/help/cgi/kqs/error.html"));

  // The link of an error page leads to the error's own part of the page.
  HttpResponse error = HttpGet(served.port(), "/kqs?DATABASE=nosuch");
  const size_t link = error.body.find("<A href=" + kHelpPath + "#s21>");
  ASSERT_NE(link, std::string::npos) << error.body;
  EXPECT_NE(help.body.find("<h2 id=\"s21\">"), std::string::npos);
}

TEST(ErrorHelpPage, TheRootsOwnPageWins) {
  ServedRoot served;
  served.root().Write("help/cgi/kqs/error.html", "<p>Our own help for <%= who %></p>");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  EXPECT_EQ(HttpGet(served.port(), kHelpPath + "?who=authors").body,
            "<p>Our own help for authors</p>");
  // Other pages of the folder are not made up.
  EXPECT_EQ(HttpGet(served.port(), "/help/cgi/kqs/other.html").status_line,
            "HTTP/1.1 404 Not Found");
}

}  // namespace
}  // namespace tallypad
