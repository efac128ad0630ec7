#include "cgi/kqs/unique_id.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/registry.h"
#include "support/html_form.h"
#include "support/served_root.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::HtmlInputs;
using testing::HttpGet;
using testing::InputValue;
using testing::ServedRoot;
using testing::TempDir;

std::tm Utc(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(UniqueIdBase32, DigitsRunFromTheLeastSignificant) {
  const struct {
    uint32_t value;
    const char* text;
  } cases[] = {
      {0, ""}, {1, "1"}, {10, "a"}, {31, "v"}, {32, "01"}, {33, "11"}, {0xffffffff, "vvvvvv3"},
  };
  for (const auto& c : cases) EXPECT_EQ(UniqueIdBase32(c.value), c.text) << c.value;
}

TEST(UniqueIdTimeStamp, PacksTheClockFieldsWithOr) {
  // 15 March 2024, 09:30:05: 5 | (9*32|30) << 6 | 14 << 16 | 2 << 20.
  EXPECT_EQ(UniqueIdTimeStamp(Utc(2024, 3, 15, 9, 30, 5)), 3035013u);
  // The day (30, five bits from bit 16) and the month (11, from bit 20)
  // share bit 20: combined, not added.
  EXPECT_EQ(UniqueIdTimeStamp(Utc(2024, 12, 31, 0, 0, 0)), 0xbe0000u);
  EXPECT_EQ(UniqueIdTimeStamp(Utc(2000, 1, 1, 0, 0, 0)), 0u);
}

TEST(UniqueIdFormat, MixesTheStateAndTheTimeUnderTheMask) {
  const std::tm new_year_2000 = Utc(2000, 1, 1, 0, 0, 0);  // time stamp 0
  const struct {
    const char* what;
    uint32_t state;
    std::tm when;
    std::string id;
  } cases[] = {
      {"year 2000, both values 0: nothing but the letters", 0, new_year_2000, "xY"},
      {"year 2000, A of 0: Y right after the x", kUniqueIdMask, new_year_2000,
       "xY" + UniqueIdBase32(kUniqueIdMask)},
      {"B of 0: Y at the end", ~kUniqueIdMask, new_year_2000,
       "x" + UniqueIdBase32(~kUniqueIdMask) + "Y"},
      {"year digit a", 0, Utc(2010, 1, 1, 0, 0, 0), "xaY"},
      {"year digit v", 0, Utc(2031, 1, 1, 0, 0, 0), "xvY"},
      // t = 0x002e4f85: A takes the mask bits from t and the rest from the
      // state, B the other way round.
      {"mask bits", 0x12345678, Utc(2024, 3, 15, 9, 30, 5),
       "xo" + UniqueIdBase32(0x023e47d0) + "Y" + UniqueIdBase32(0x10245e2d)},
  };
  for (const auto& c : cases) EXPECT_EQ(UniqueIdFormat(c.state, c.when), c.id) << c.what;
}

TEST(UniqueIdAdvance, MixesTextTickAndProcess) {
  // a = 1 + ('A' + -1) + 1000 = 1065; low half (7 + 0x10002) & 0xffff = 9.
  EXPECT_EQ(UniqueIdAdvance(0x00010002, "A\xff", 1000, 7), (1065u << 16) | 9u);
  // Bytes count as signed numbers.
  EXPECT_EQ(UniqueIdAdvance(0, "\x80", 0, 0), 0xff800000u);
  // Identifiers made in the same millisecond by the same process still
  // differ, because each starts from the state the last one stored.
  const std::tm now = Utc(2024, 6, 1, 12, 0, 0);
  const uint32_t first = UniqueIdAdvance(0x5eed, "", 123456, 4242);
  const uint32_t second = UniqueIdAdvance(first, "", 123456, 4242);
  EXPECT_NE(first, second);
  EXPECT_NE(UniqueIdFormat(first, now), UniqueIdFormat(second, now));
}

TEST(UniqueIdNew, StoresTheStateAndNeverRepeats) {
  TempDir registry;
  setenv("TALLYPAD_REGISTRY", registry.path().c_str(), 1);
  const std::string first = UniqueIdNew("");
  std::optional<uint32_t> stored =
      RegistryGetDword(RegistryRoot::kCurrentUser, kUniqueIdKey, kUniqueIdValue);
  ASSERT_TRUE(stored);
  const std::string second = UniqueIdNew("");
  const std::string third = UniqueIdNew("some text");
  EXPECT_NE(first, second);
  EXPECT_NE(second, third);
  EXPECT_NE(RegistryGetDword(RegistryRoot::kCurrentUser, kUniqueIdKey, kUniqueIdValue), stored);
  EXPECT_EQ(first[0], 'x');
  EXPECT_LE(first.size(), 96u);
  unsetenv("TALLYPAD_REGISTRY");
}

// The state lives in the registry, not in the program: a run that ends
// without its shut-down (a crash, a power cut) leaves it for the next run,
// whose first identifier goes on from it. A normal shut-down removes it.
TEST(UniqueIdProgram, TheStateOutlivesARunUntilANormalShutDown) {
  ServedRoot served;
  served.root().Write("form.ini", "[DATABASE]\nFORM=form\n[access]\nPWDAPPEND=(allow)\n");
  served.root().Write("form.html",
                      "<form><input type=hidden name=_SESSION><input name=q></form>\n");
  setenv("TALLYPAD_REGISTRY", served.registry().path().c_str(), 1);
  auto stored = [] {
    return RegistryGetDword(RegistryRoot::kCurrentUser, kUniqueIdKey, kUniqueIdValue);
  };
  auto session = [&] {
    return InputValue(HtmlInputs(HttpGet(served.port(), "/kqs?DATABASE=form").body), "_SESSION");
  };

  ASSERT_NE(served.Start(), 0);
  const uint32_t pid1 = static_cast<uint32_t>(served.server().pid());
  const std::string id1 = session();
  EXPECT_EQ(served.Stop(9), 128 + 9);
  std::optional<uint32_t> state1 = stored();
  ASSERT_TRUE(state1);
  EXPECT_EQ(*state1 & 0xffff, pid1 & 0xffff) << "the first state starts from 0";

  ASSERT_NE(served.Start(), 0);
  const uint32_t pid2 = static_cast<uint32_t>(served.server().pid());
  const std::string id2 = session();
  std::optional<uint32_t> state2 = stored();
  ASSERT_TRUE(state2);
  EXPECT_EQ(*state2 & 0xffff, (pid2 + *state1) & 0xffff)
      << "the second run reads the first's state";
  EXPECT_NE(id1, id2);
  EXPECT_EQ(id2[0], 'x');

  EXPECT_EQ(served.Stop(), 0);
  EXPECT_FALSE(stored());
  unsetenv("TALLYPAD_REGISTRY");
}

}  // namespace
}  // namespace tallypad
