// What the exit prompt takes as "1".
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "host/ExitToken.h"

TEST(ExitToken, OnlyAValueOfExactlyOneStops) {
  for (const char* stop : {"1", "01", "+1", "1x", "1abc", "0001", "1.5", "-18446744073709551615"})
    EXPECT_TRUE(isExitToken(stop)) << stop;
  for (const char* keep : {"0", "2", "10", "-1", "yes", "", "x1", "+", "-", "0x1", "11", " ", "18446744073709551617"})
    EXPECT_FALSE(isExitToken(keep)) << keep;
}

TEST(ExitToken, ConvertsLikeAnUnsigned64BitBase10Reading) {
  constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(exitTokenValue("42abc"), 42u);
  EXPECT_EQ(exitTokenValue("abc"), 0u);
  EXPECT_EQ(exitTokenValue("-1"), max);  // negated modulo 2^64
  EXPECT_EQ(exitTokenValue("-2"), max - 1);
  EXPECT_EQ(exitTokenValue("18446744073709551615"), max);
  EXPECT_EQ(exitTokenValue("99999999999999999999999"), max);  // overflow
  EXPECT_EQ(exitTokenValue("0x10"), 0u);                      // base 10 only
  EXPECT_EQ(exitTokenValue("  7"), 7u);
}
