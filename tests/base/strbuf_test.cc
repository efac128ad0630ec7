#include "base/strbuf.h"

#include <gtest/gtest.h>

#include <string>

namespace tallypad {
namespace {

std::vector<size_t> Capacities(const StrBuf& b) {
  std::vector<size_t> out;
  for (const auto& c : b.chunks()) out.push_back(c->capacity);
  return out;
}

TEST(StrBuf, ChunkSizesFollowTheGrowthRule) {
  struct Case {
    const char* name;
    size_t capacity;
    std::vector<size_t> appends;
    std::vector<size_t> expected_capacities;
  } cases[] = {
      {"exactly full stays one chunk", 1024, {1024}, {1024}},
      {"one byte more makes a minimal chunk", 1024, {1024, 1}, {1024, 1024}},
      {"large append makes a chunk as large as the rest", 1024, {5000}, {1024, 3976}},
      {"small appends share the grown chunk", 10, {8, 8, 8}, {10, 1024}},
      {"each append makes at most one chunk", 4, {2000, 3000}, {4, 1996, 3000}},
  };
  for (const Case& c : cases) {
    StrBuf b(c.capacity);
    size_t total = 0;
    for (size_t n : c.appends) {
      std::string bytes(n, 'x');
      EXPECT_EQ(b.Append(bytes.data(), n), n) << c.name;
      total += n;
    }
    EXPECT_EQ(Capacities(b), c.expected_capacities) << c.name;
    EXPECT_EQ(b.Length(), total) << c.name;
  }
}

TEST(StrBuf, StoredBytesNeverMove) {
  StrBuf b(16);
  b.AppendText("0123456789abcdef");
  const char* first = b.chunks()[0]->data.get();
  for (int i = 0; i < 100; ++i) b.AppendText(std::string(500, 'y'));
  EXPECT_EQ(b.chunks()[0]->data.get(), first);
  EXPECT_EQ(std::string(first, 16), "0123456789abcdef");
}

TEST(StrBuf, KeepsZeroBytesAndOrder) {
  StrBuf b(4);
  std::string with_zero("a\0b", 3);
  b.Append(with_zero.data(), with_zero.size());
  b.AppendText("cdefgh");
  EXPECT_EQ(b.ToString(), std::string("a\0bcdefgh", 9));
  char out[5] = {'-', '-', '-', '-', '-'};
  b.CopyOut(out, 4);
  EXPECT_EQ(std::string(out, 5), std::string("a\0bc-", 5));
}

TEST(StrBuf, EmptyAppendsChangeNothing) {
  StrBuf b;
  EXPECT_EQ(b.Append("x", 0), 0u);
  EXPECT_EQ(b.Append(nullptr, 5), 0u);
  EXPECT_EQ(b.AppendText(""), 0u);
  EXPECT_EQ(b.Length(), 0u);
  EXPECT_EQ(b.ToString(), "");
  EXPECT_EQ(b.chunks().size(), 1u);
}

}  // namespace
}  // namespace tallypad
