#include "categorical/typed_value.h"

#include <charconv>
#include <cmath>

namespace korvel {
namespace {

// Reads exactly `digits` decimal digits at text[pos..], advancing pos.
bool read_digits(std::string_view text, size_t& pos, size_t digits, int64_t& out) noexcept {
  if (pos + digits > text.size()) return false;
  out = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += digits;
  return true;
}

// Days from 1970-01-01 to the given proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) noexcept {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::optional<long double> parse_number(std::string_view text) noexcept {
  const char* first = text.data();
  const char* last = first + text.size();
  if (text.empty()) return std::nullopt;
  int64_t i = 0;
  if (auto r = std::from_chars(first, last, i); r.ec == std::errc() && r.ptr == last) {
    return static_cast<long double>(i);
  }
  uint64_t u = 0;
  if (auto r = std::from_chars(first, last, u); r.ec == std::errc() && r.ptr == last) {
    return static_cast<long double>(u);
  }
  double d = 0;
  if (auto r = std::from_chars(first, last, d); r.ec == std::errc() && r.ptr == last) {
    if (std::isnan(d)) return std::nullopt;
    return static_cast<long double>(d);
  }
  return std::nullopt;
}

std::optional<DateKey> parse_date(std::string_view text) noexcept {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
  // The year: four or more digits.
  size_t digits = 0;
  while (pos + digits < text.size() && text[pos + digits] >= '0' && text[pos + digits] <= '9') {
    ++digits;
  }
  int64_t year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  if (digits < 4 || digits > 12 || !read_digits(text, pos, digits, year)) return std::nullopt;
  if (negative) year = -year;
  auto part = [&](char sep, int64_t& out, int64_t lo, int64_t hi) {
    if (pos == text.size()) return true;  // a missing part is its start
    if (text[pos] != sep) return false;
    ++pos;
    return read_digits(text, pos, 2, out) && out >= lo && out <= hi;
  };
  if (!part('-', month, 1, 12) || !part('-', day, 1, 31) || !part('T', hour, 0, 23) ||
      !part(':', minute, 0, 59) || !part(':', second, 0, 60)) {
    return std::nullopt;
  }
  uint64_t attoseconds = 0;
  if (pos < text.size()) {
    if (text[pos] != '.') return std::nullopt;
    ++pos;
    const size_t start = pos;
    uint64_t scale = 100000000000000000ull;
    for (; pos < text.size(); ++pos, scale /= 10) {
      const char c = text[pos];
      if (c < '0' || c > '9' || pos - start >= 18) return std::nullopt;
      attoseconds += static_cast<uint64_t>(c - '0') * scale;
    }
    if (pos == start) return std::nullopt;
  }
  return DateKey{days_from_civil(year, month, day), hour * 3600 + minute * 60 + second,
                 attoseconds};
}

}  // namespace korvel
