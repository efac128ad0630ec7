#include "httpd/host_names.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace tallypad {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kClient = 0x0a000001;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(HostNames, AnAnswerWithinTheWaitIsUsedAndKept) {
  std::atomic<int> lookups{0};
  HostNames names([&](uint32_t address) -> std::optional<std::string> {
    ++lookups;
    return address == kClient ? std::optional<std::string>("kiosk.local") : std::nullopt;
  });
  EXPECT_EQ(names.NameOf(kClient), "kiosk.local");
  EXPECT_EQ(names.NameOf(kClient), "kiosk.local");
  EXPECT_EQ(names.NameOf(kClient + 1), "") << "an address without a name";
  EXPECT_EQ(names.NameOf(kClient + 1), "");
  EXPECT_EQ(lookups, 2) << "answers, and the lack of one, are kept";
}

TEST(HostNames, AStalledLookUpHoldsARequestOnlyTheWaitAndAnswersTheNextOne) {
  std::atomic<bool> release{false};
  HostNames names(
      [&](uint32_t) -> std::optional<std::string> {
        while (!release) std::this_thread::sleep_for(milliseconds(10));
        return "late.local";
      },
      milliseconds(100));
  auto start = Clock::now();
  EXPECT_EQ(names.NameOf(kClient), "") << "as after a failed look-up";
  EXPECT_LT(SecondsSince(start), 1.0);
  // Further requests meanwhile wait no longer either.
  start = Clock::now();
  EXPECT_EQ(names.NameOf(kClient), "");
  EXPECT_LT(SecondsSince(start), 1.0);
  release = true;
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(names.NameOf(kClient), "late.local") << "the answer came in the background";
}

TEST(HostNames, LongNamesAreCut) {
  HostNames names([](uint32_t) -> std::optional<std::string> { return std::string(500, 'n'); });
  EXPECT_EQ(names.NameOf(kClient), std::string(kHostNameLimit, 'n'));
}

TEST(HostNames, ALookUpStillRunningAtTheEndDoesNotHoldIt) {
  auto start = Clock::now();
  {
    HostNames names(
        [](uint32_t) -> std::optional<std::string> {
          std::this_thread::sleep_for(milliseconds(500));
          return std::nullopt;
        },
        milliseconds(10));
    names.NameOf(kClient);
  }
  EXPECT_LT(SecondsSince(start), 0.4);
  std::this_thread::sleep_for(milliseconds(600));  // let the look-up end before the test does
}

}  // namespace
}  // namespace tallypad
