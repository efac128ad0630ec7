#include "cgi/kqs/unique_id.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

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

// Matches a whole identifier: the leading form "x", digits, "Y", digits,
// then the random part. Digits are lower-case base 32.
const std::regex kIdentifier("^x[0-9a-v]*Y[0-9a-v]*[0-9a-v]{13}$");

// The random part of an identifier: its last kUniqueIdRandomDigits characters.
std::string RandomPart(const std::string& id) {
  return id.size() < kUniqueIdRandomDigits ? std::string()
                                           : id.substr(id.size() - kUniqueIdRandomDigits);
}

// The number of leading characters `a` and `b` share.
size_t CommonPrefix(const std::string& a, const std::string& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

// Longest start two random parts made independently may share in these
// tests: 999 neighbouring pairs share 6 digits with a chance below 1e-6.
constexpr size_t kMaxSharedRandomDigits = 5;

// Checks a run of identifiers made one after the other: each well formed and
// never seen before, the random parts of neighbours unrelated, and every
// digit position of the random part taking many values (a part fed with
// fewer than 64 random bits leaves some positions fixed).
void ExpectUnguessableRun(const std::vector<std::string>& ids) {
  std::set<std::string> seen;
  std::vector<std::set<char>> digits(kUniqueIdRandomDigits);
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string& id = ids[i];
    EXPECT_TRUE(std::regex_match(id, kIdentifier)) << id;
    EXPECT_TRUE(seen.insert(id).second) << "repeated: " << id;
    const std::string part = RandomPart(id);
    for (size_t d = 0; d < part.size(); ++d) digits[d].insert(part[d]);
    if (i == 0) continue;
    const std::string before = RandomPart(ids[i - 1]);
    EXPECT_NE(part, before) << ids[i - 1] << " then " << id;
    EXPECT_LE(CommonPrefix(part, before), kMaxSharedRandomDigits) << ids[i - 1] << " then " << id;
  }
  if (ids.size() < 500) return;
  // 500 draws of a uniform digit leave fewer than half its values unseen
  // with a vanishing chance. The last digit holds the top 4 bits only.
  for (size_t d = 0; d + 1 < kUniqueIdRandomDigits; ++d)
    EXPECT_GE(digits[d].size(), 16u) << "random digit " << d;
  EXPECT_GE(digits.back().size(), 8u) << "last random digit";
  for (char c : digits.back()) EXPECT_LE(c, 'f') << "the last digit holds 4 bits";
}

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

TEST(UniqueIdRandomDigits, AlwaysThirteenDigitsFromTheLeastSignificant) {
  const struct {
    uint64_t bits;
    const char* text;
  } cases[] = {
      {0, "0000000000000"},
      {1, "1000000000000"},
      {31, "v000000000000"},
      {32, "0100000000000"},
      {uint64_t{1} << 63, "0000000000008"},
      {~uint64_t{0}, "vvvvvvvvvvvvf"},
      {0x0123456789abcdefULL, "ffjnq4uc5q820"},
  };
  for (const auto& c : cases) EXPECT_EQ(UniqueIdRandomDigits(c.bits), c.text) << c.bits;
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

// The leading form is what UniqueIdFormat makes of the stored state; the
// random part follows it and differs from call to call.
TEST(UniqueIdNew, ThousandIdentifiersAreDistinctAndUnrelated) {
  TempDir registry;
  setenv("TALLYPAD_REGISTRY", registry.path().c_str(), 1);
  auto utc_now = [] {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    return std::pair(now, utc);
  };
  std::vector<std::string> ids;
  size_t forms_checked = 0;
  for (int i = 0; i < 1000; ++i) {
    const auto [before, utc] = utc_now();
    ids.push_back(UniqueIdNew(i % 2 ? "127.0.0.1" : ""));
    std::optional<uint32_t> state =
        RegistryGetDword(RegistryRoot::kCurrentUser, kUniqueIdKey, kUniqueIdValue);
    ASSERT_TRUE(state);
    // Only a call that stayed within one second has a known time stamp.
    if (utc_now().first != before) continue;
    const std::string form = UniqueIdFormat(*state, utc);
    ASSERT_EQ(ids.back().size(), form.size() + kUniqueIdRandomDigits) << ids.back();
    EXPECT_EQ(ids.back().substr(0, form.size()), form);
    ++forms_checked;
  }
  EXPECT_GT(forms_checked, 900u);
  ExpectUnguessableRun(ids);
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

// Sessions started one after the other over HTTP, as a client collecting
// identifiers of its own would start them, cannot be told from one another
// beyond their leading form.
TEST(UniqueIdProgram, SessionsStartedInARowAreUnrelated) {
  ServedRoot served;
  served.root().Write("form.ini", "[DATABASE]\nFORM=form\n[access]\nPWDAPPEND=(allow)\n");
  served.root().Write("form.html",
                      "<form><input type=hidden name=_SESSION><input name=q></form>\n");
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  std::vector<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    ids.push_back(
        InputValue(HtmlInputs(HttpGet(served.port(), "/kqs?DATABASE=form").body), "_SESSION"));
    ASSERT_TRUE(std::regex_match(ids.back(), kIdentifier)) << "start " << i << ": " << ids.back();
  }
  ExpectUnguessableRun(ids);
  EXPECT_EQ(served.Stop(), 0);
}

}  // namespace
}  // namespace tallypad
