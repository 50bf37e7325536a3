// Values of the date, time and datetime literals: '01JAN2000'd is a count of
// days since 1 January 1960, '12:30't and '01JAN2000:12:30'dt are seconds
// (since midnight, and since 1 January 1960 at midnight).
#pragma once

#include <optional>
#include <string_view>

namespace quilvar::runtime::statements {

// Two-digit years from kYearCutoff % 100 up are 19xx, the rest 20xx.
inline constexpr int kYearCutoff = 1926;

// Days since 1960-01-01 of "ddMONyy" or "ddMONyyyy" (month name in any
// case); nothing for a malformed text or a day the month does not have.
std::optional<double> date_literal_value(std::string_view text);

// Seconds of "hh:mm" or "hh:mm:ss[.fff]" (hours 0-23); nothing when malformed.
std::optional<double> time_literal_value(std::string_view text);

// Seconds since 1960-01-01T00:00 of "ddMONyyyy:hh:mm[:ss]"; nothing when malformed.
std::optional<double> datetime_literal_value(std::string_view text);

}  // namespace quilvar::runtime::statements
