// A page that would run for a very long time, in the real program: nested
// reports without their end tags over a data file start every level again
// for every record. The page stops at its time budget, or earlier at the
// bound on nested runs on a fast machine, with an error line; the message
// log names it, and the server goes on at once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::HttpGet;
using testing::HttpResponse;
using testing::ServedRoot;
using Clock = std::chrono::steady_clock;

TEST(PageTimeBudget, ARunawayPageStopsAndTheServerGoesOn) {
  ServedRoot served;
  std::string data = "#N\t\n";
  for (int i = 0; i < 30; ++i) data += "\"" + std::to_string(i) + "\"\t\n";
  served.root().Write("d.asc", data);
  std::string page = "<p>start</p>";
  for (int level = 0; level < 8; ++level) page += "<%report d.asc %>{N}";
  served.root().Write("runaway.html", page);
  served.root().Write("quick.html", "<p>quick</p>");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();

  auto start = Clock::now();
  HttpResponse r = HttpGet(served.port(), "/runaway.html");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.body.rfind("<p>start</p>", 0), 0u);
  EXPECT_NE(r.body.find("<HR>Error in (page)["), std::string::npos);
  const bool timed_out =
      r.body.find("]: took more than 2000 ms: the rest is left out<HR>") != std::string::npos;
  const bool too_many_runs =
      r.body.find("]: ran more than 1000000 nested blocks: the rest is left out<HR>") !=
      std::string::npos;
  EXPECT_TRUE(timed_out || too_many_runs) << r.body.substr(0, 400);
  if (timed_out) EXPECT_GT(seconds, 1.9);
  EXPECT_LT(seconds, 6.0) << "a loaded machine still ends it soon after the budget";
  EXPECT_TRUE(served.server().WaitForOutput(
      timed_out ? "The page runaway.html took more than 2000 ms; the rest was left out"
                : "The page runaway.html ran more than 1000000 nested blocks; the rest was left out"));

  start = Clock::now();
  EXPECT_EQ(HttpGet(served.port(), "/quick.html").body, "<p>quick</p>");
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
}

}  // namespace
}  // namespace tallypad
