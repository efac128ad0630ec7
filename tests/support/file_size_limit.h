// Running a piece of a test with a small file size limit, so that writes
// past it fail as on a full disk.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

namespace tallypad::testing {

// Runs `fn` with the process's file size limit at `limit` bytes: writes past
// it fail (SIGXFSZ is ignored meanwhile). The old limit is restored after.
template <typename Fn>
void WithFileSizeLimit(rlim_t limit, Fn fn) {
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct sigaction ignore = {}, old_action;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old_action);
  struct rlimit small = old_limit;
  small.rlim_cur = limit;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  fn();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &old_action, nullptr);
}

}  // namespace tallypad::testing
