#include "platform/random_bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

namespace tallypad {
namespace {

TEST(RandomBytes, DeliversExactlyTheBytesAskedFor) {
  // 1 MiB is far more than one getrandom call promises to fill at once.
  for (size_t count : {size_t{0}, size_t{1}, size_t{8}, size_t{257}, size_t{1} << 20}) {
    std::optional<std::string> bytes = RandomBytes(count);
    ASSERT_TRUE(bytes) << count;
    EXPECT_EQ(bytes->size(), count);
  }
}

TEST(RandomBytes, EveryByteIsDrawn) {
  // A buffer only partly filled would keep its zero bytes: in 1 MiB of
  // random bytes each value comes about 4096 times (standard deviation 64).
  constexpr size_t kCount = size_t{1} << 20;
  std::optional<std::string> bytes = RandomBytes(kCount);
  ASSERT_TRUE(bytes);
  std::array<size_t, 256> seen{};
  for (char c : *bytes) ++seen[static_cast<unsigned char>(c)];
  for (size_t value = 0; value < seen.size(); ++value) {
    EXPECT_GT(seen[value], 3500u) << value;
    EXPECT_LT(seen[value], 4700u) << value;
  }
  // Draws one after the other are never the same.
  std::set<std::string> draws;
  for (int i = 0; i < 1000; ++i) draws.insert(RandomBytes(8).value_or(""));
  EXPECT_EQ(draws.size(), 1000u);
}

}  // namespace
}  // namespace tallypad
