// Typed trait values: the canonical value strings that number and date columns are stored
// as, read back as ordered keys for range filters. Numbers: decimal integers or floats as
// written by a shortest round-trip repr ("1.5", "1e+20", "inf"); dates: ISO-8601 as NumPy
// writes datetime64 ("2024-05", "2024-05-01", "2024-05-01T12:30:00.250", years may be signed).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel {

// The value of a number string, exact for every int64, uint64 and double (long double holds
// all three on x86-64). Nothing for anything else, NaN included.
std::optional<long double> parse_number(std::string_view text) noexcept;

// A point in time, ordered: days since 1970-01-01, second of the day, attoseconds.
struct DateKey {
  int64_t days = 0;
  int64_t second = 0;
  uint64_t attoseconds = 0;
  auto operator<=>(const DateKey&) const = default;
};

// The point an ISO-8601 date or date-time string names (a missing part is its start), or
// nothing when the text is not one.
std::optional<DateKey> parse_date(std::string_view text) noexcept;

}  // namespace korvel
