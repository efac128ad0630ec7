// The reverse look-up of a client's name in the real program, with a name
// server that never answers in time (a stand-in for getnameinfo loaded into
// the program): a request waits for it only a short bound and gets the HOST
// a failed look-up gives; the look-up goes on in the background.
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

TEST(ReverseLookup, AStalledNameServerHoldsNoRequest) {
#ifndef TALLYPAD_PRELOAD_stall_resolver
  GTEST_SKIP() << "the stalling resolver was not built";
#else
  // The sanitizer runtime normally insists on being loaded first.
  ServedRoot served({{"LD_PRELOAD", TALLYPAD_PRELOAD_stall_resolver},
                     {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
  served.root().Write("host.html", "HOST=[<%= HOST %>]\n");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    HttpResponse r = HttpGet(served.port(), "/host.html");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(r.body, "HOST=[]\n") << i;
    EXPECT_LT(seconds, 1.0) << "request " << i << " waited for the name server";
  }
#endif
}

}  // namespace
}  // namespace tallypad
