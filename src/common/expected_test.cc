#include "common/expected.h"

#include <gtest/gtest.h>

#include <string>

#include "common/os_error.h"

namespace korvel {
namespace {

Expected<int, std::string> half(int x) {
  if (x % 2) return unexpected(std::string("odd"));
  return x / 2;
}

Expected<int, std::string> quarter(int x) {
  KORVEL_ASSIGN_OR_RETURN(int h, half(x));
  KORVEL_ASSIGN_OR_RETURN(int q, half(h));
  return q;
}

Expected<void, std::string> check_even(int x) {
  KORVEL_TRY(half(x));
  return {};
}

TEST(Expected, PropagatesFirstError) {
  EXPECT_EQ(*quarter(8), 2);
  EXPECT_EQ(quarter(6).error(), "odd");
  EXPECT_TRUE(check_even(2));
  EXPECT_EQ(check_even(3).error(), "odd");
  // Same type for value and error is unambiguous.
  Expected<std::string, std::string> v(std::string("v")), e(unexpected(std::string("e")));
  EXPECT_TRUE(v.has_value());
  EXPECT_EQ(e.error(), "e");
}

TEST(Expected, WrongAccessIsAnInternalFault) {
  EXPECT_THROW((void)half(1).value(), InternalFault);
  EXPECT_THROW((void)half(2).error(), InternalFault);
}

TEST(OsError, TextCarriesDescriptionAndNumber) {
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(13), "Permission denied (os error 13)");
}

}  // namespace
}  // namespace korvel
