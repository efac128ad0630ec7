#include "store/password_guard.h"

#include <gtest/gtest.h>

#include <chrono>

namespace tallypad {
namespace {

using Clock = PasswordGuard::Clock;
using std::chrono::minutes;
using std::chrono::seconds;

constexpr uint32_t kClient = 0x0a000005;  // 10.0.0.5
constexpr uint32_t kOther = 0x0a000006;

TEST(PasswordGuard, TenWrongTriesInTheWindowRefuseTheAddress) {
  PasswordGuard guard;
  const Clock::time_point t0{};
  EXPECT_FALSE(guard.Record(kClient, 9, 9, t0));
  EXPECT_EQ(guard.RefusedFor(kClient, t0), 0);
  EXPECT_TRUE(guard.Record(kClient, 1, 1, t0 + seconds(5)));
  EXPECT_EQ(guard.RefusedFor(kClient, t0 + seconds(5)), 60);
  EXPECT_EQ(guard.RefusedFor(kClient, t0 + seconds(64)), 1);
  EXPECT_EQ(guard.RefusedFor(kClient, t0 + seconds(65)), 0);
  EXPECT_EQ(guard.RefusedFor(kOther, t0 + seconds(5)), 0) << "other addresses go on";
}

TEST(PasswordGuard, TriesOutsideTheWindowStartItAgain) {
  PasswordGuard guard;
  const Clock::time_point t0{};
  guard.Record(kClient, 9, 9, t0);
  EXPECT_FALSE(guard.Record(kClient, 1, 1, t0 + minutes(11)));
  EXPECT_EQ(guard.RefusedFor(kClient, t0 + minutes(11)), 0);
  EXPECT_TRUE(guard.Record(kClient, 9, 9, t0 + minutes(12)));
}

TEST(PasswordGuard, EachRefusalDoublesTheBackOffUpToAnHour) {
  PasswordGuard guard;
  Clock::time_point now{};
  const long expected[] = {60, 120, 240, 480, 960, 1920, 3600, 3600};
  for (long back_off : expected) {
    EXPECT_TRUE(guard.Record(kClient, 10, 10, now));
    EXPECT_EQ(guard.RefusedFor(kClient, now), back_off);
    now += seconds(back_off);
    EXPECT_EQ(guard.RefusedFor(kClient, now), 0);
  }
}

TEST(PasswordGuard, ARightPasswordAfterTheBackOffClearsTheRecord) {
  PasswordGuard guard;
  Clock::time_point now{};
  guard.Record(kClient, 10, 10, now);
  // During the back-off a right password changes nothing.
  guard.Record(kClient, 1, 0, now + seconds(30));
  EXPECT_GT(guard.RefusedFor(kClient, now + seconds(30)), 0);
  now += seconds(60);
  guard.Record(kClient, 9, 9, now);
  guard.Record(kClient, 1, 0, now);  // right: the count and the doubling start afresh
  EXPECT_FALSE(guard.Record(kClient, 9, 9, now));
  EXPECT_TRUE(guard.Record(kClient, 1, 1, now));
  EXPECT_EQ(guard.RefusedFor(kClient, now), 60);
}

TEST(PasswordGuard, AFloodOfAddressesKeepsTheRefusedOnes) {
  PasswordGuard guard;
  const Clock::time_point t0{};
  guard.Record(kClient, 10, 10, t0);
  for (uint32_t a = 1; a <= kMaxGuardedAddresses + 100; ++a)
    guard.Record(0x0b000000 + a, 1, 1, t0 + seconds(1));
  EXPECT_EQ(guard.RefusedFor(kClient, t0 + seconds(2)), 58);
}

}  // namespace
}  // namespace tallypad
