// Date, time and datetime literal values. Day counts use the proleptic
// Gregorian calendar through days_from_civil (Hinnant, "chrono-Compatible
// Low-Level Date Algorithms", 2013), shifted so that 1960-01-01 is day 0.
#include "runtime/statements/literals.hpp"

#include <array>
#include <cctype>
#include <charconv>

namespace quilvar::runtime::statements {
namespace {

constexpr std::array<std::string_view, 12> kMonthNames{"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                       "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr double kSecondsPerDay = 86400.0;

// Days from 1970-01-01 of y-m-d (Hinnant's days_from_civil).
constexpr long days_from_civil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

constexpr long kDay1960 = days_from_civil(1960, 1, 1);
static_assert(kDay1960 == -3653);

bool is_leap(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(long year, unsigned month) {
  constexpr std::array<unsigned, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Reads digits [from, from + count) as an integer; false when any is not a digit.
bool read_digits(std::string_view text, std::size_t from, std::size_t count, long* value) {
  if (from + count > text.size() || count == 0) return false;
  const char* begin = text.data() + from;
  const auto [end, error] = std::from_chars(begin, begin + count, *value);
  return error == std::errc() && end == begin + count;
}

// The month number (1..12) of a three-letter month name, or 0.
unsigned month_number(std::string_view name) {
  if (name.size() != 3) return 0;
  for (std::size_t m = 0; m < kMonthNames.size(); ++m) {
    bool same = true;
    for (std::size_t i = 0; i < 3; ++i) same &= std::toupper(static_cast<unsigned char>(name[i])) == kMonthNames[m][i];
    if (same) return static_cast<unsigned>(m + 1);
  }
  return 0;
}

long expand_year(long year, std::size_t digits) {
  if (digits == 4) return year;
  const long century = kYearCutoff / 100 * 100;
  return year >= kYearCutoff % 100 ? century + year : century + 100 + year;
}

}  // namespace

std::optional<double> date_literal_value(std::string_view text) {
  const std::size_t day_digits = text.size() >= 2 && std::isdigit(static_cast<unsigned char>(text[1])) ? 2 : 1;
  const std::size_t year_digits = text.size() - day_digits - 3;
  long day = 0;
  long year = 0;
  if (text.size() < day_digits + 5 || (year_digits != 2 && year_digits != 4)) return std::nullopt;
  const unsigned month = month_number(text.substr(day_digits, 3));
  if (!read_digits(text, 0, day_digits, &day) || month == 0 || !read_digits(text, day_digits + 3, year_digits, &year))
    return std::nullopt;
  year = expand_year(year, year_digits);
  if (day < 1 || day > static_cast<long>(days_in_month(year, month))) return std::nullopt;
  return static_cast<double>(days_from_civil(year, month, static_cast<unsigned>(day)) - kDay1960);
}

std::optional<double> time_literal_value(std::string_view text) {
  const std::size_t colon = text.find(':');
  long hours = 0;
  long minutes = 0;
  if (colon == std::string_view::npos || !read_digits(text, 0, colon, &hours) || colon > 2) return std::nullopt;
  if (!read_digits(text, colon + 1, 2, &minutes) || hours > 23 || minutes > 59) return std::nullopt;
  double seconds = 0.0;
  const std::size_t rest = colon + 3;
  if (rest < text.size()) {
    if (text[rest] != ':' || rest + 3 > text.size() || !std::isdigit(static_cast<unsigned char>(text[rest + 1])))
      return std::nullopt;
    const char* begin = text.data() + rest + 1;
    const auto [end, error] = std::from_chars(begin, text.data() + text.size(), seconds, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size() || seconds >= 60.0) return std::nullopt;
  }
  return static_cast<double>(hours * 3600 + minutes * 60) + seconds;
}

std::optional<double> datetime_literal_value(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<double> day = date_literal_value(text.substr(0, colon));
  const std::optional<double> time = time_literal_value(text.substr(colon + 1));
  if (!day || !time) return std::nullopt;
  return *day * kSecondsPerDay + *time;
}

}  // namespace quilvar::runtime::statements
