#include "httpd/server_names.h"

#include <gtest/gtest.h>

#include <string>

namespace tallypad {
namespace {

TEST(HostHeaderName, TakesTheNameOfAPlainHostAndPort) {
  struct Case {
    std::string header;
    std::string name;  // "" when the value is refused
  } cases[] = {
      {"example.org", "example.org"},
      {"example.org:8080", "example.org"},
      {"127.0.0.1:80", "127.0.0.1"},
      {"[::1]:8080", "::1"},
      {"[::1]", "::1"},
      {"example.org:", ""},
      {"example.org:80x", ""},
      {"example.org:123456", ""},
      {"example.org:80/path", ""},
      {"user@example.org", ""},
      {"example.org/evil", ""},
      {"exa mple.org", ""},
      {"[::1", ""},
      {"[::1]x", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(HostHeaderName(c.header), c.name) << c.header;
}

TEST(HostNamesThisServer, AcceptsOwnNamesAndListedOnesOnly) {
  struct Case {
    std::string header;
    std::string extra;
    bool ours;
  } cases[] = {
      {"localhost", "", true},
      {"LocalHost:8080", "", true},
      {"127.0.0.1", "", true},
      {"127.5.6.7:81", "", true},  // the whole loopback network
      {"[::1]:8080", "", true},
      {"survey.example", "survey.example", true},
      {"SURVEY.example:8080", "kiosk, survey.example", true},
      {"kiosk", "kiosk survey.example", true},
      {"evil.example", "", false},
      {"evil.example", "kiosk, survey.example", false},
      {"localhost.evil.example", "", false},
      {"survey", "survey.example", false},
      {"8.8.8.8", "", false},
      {"", "", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HostNamesThisServer(c.header, c.extra), c.ours) << c.header << " / " << c.extra;
}

TEST(ConnectionArrivalAddress, UnknownWithoutASocket) {
  EXPECT_EQ(ConnectionArrivalAddress(-1), "");
}

}  // namespace
}  // namespace tallypad
