#include "categorical/typed_value.h"

#include <gtest/gtest.h>

#include <charconv>
#include <random>
#include <string>

namespace korvel {
namespace {

TEST(TypedValue, NumbersOrderExactlyAcrossIntegersAndFloats) {
  EXPECT_FALSE(parse_number(""));
  EXPECT_FALSE(parse_number("nan"));
  EXPECT_FALSE(parse_number("1.5x"));
  EXPECT_FALSE(parse_number("true"));
  EXPECT_EQ(*parse_number("-inf"), -HUGE_VALL);
  EXPECT_EQ(*parse_number("1e+20"), 1e20L);
  // 2^63 + 1 and 2^53 + 1 differ from their nearest doubles: the order stays exact.
  EXPECT_LT(*parse_number("9223372036854775808"), *parse_number("9223372036854775809"));
  EXPECT_LT(*parse_number("9007199254740992.0"), *parse_number("9007199254740993"));
  std::mt19937_64 rng(3);
  for (int i = 0; i < 2000; ++i) {
    const auto a = static_cast<int64_t>(rng()) >> (rng() % 64);
    const double d = static_cast<double>(a) + (rng() % 3 == 0 ? 0.5 : 0.0);
    char buf[64];
    auto end = std::to_chars(buf, buf + sizeof buf, d).ptr;
    const auto x = parse_number(std::to_string(a));
    const auto y = parse_number(std::string(buf, end));
    ASSERT_TRUE(x && y);
    EXPECT_EQ(*x, static_cast<long double>(a));
    EXPECT_EQ(*y, static_cast<long double>(d));
  }
}

TEST(TypedValue, DatesOfEveryUnitCompareAsPointsInTime) {
  EXPECT_EQ(*parse_date("1970-01-01"), (DateKey{0, 0, 0}));
  EXPECT_EQ(*parse_date("2024-03"), *parse_date("2024-03-01T00:00:00.000"));
  EXPECT_EQ(*parse_date("2000-03-01"), (DateKey{11017, 0, 0}));
  EXPECT_EQ(*parse_date("1969-12-31T23:59:59.5"), (DateKey{-1, 86399, 500000000000000000}));
  EXPECT_LT(*parse_date("-0001-12-31"), *parse_date("0000-01-01"));
  EXPECT_LT(*parse_date("2024-05-01T12:00:00.000000001"), *parse_date("2024-05-01T12:00:00.01"));
  EXPECT_LT(*parse_date("9999-12-31"), *parse_date("10000-01-01"));
  for (const char* bad : {"", "24-01-01", "2024-13-01", "2024-01-01 10:00", "2024-01-01T",
                          "2024-01-01T10:00:00.", "red", "12.5"}) {
    EXPECT_FALSE(parse_date(bad)) << bad;
  }
}

}  // namespace
}  // namespace korvel
