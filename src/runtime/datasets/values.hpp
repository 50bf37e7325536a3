// Values of data set columns: reading the text of a numeric column,
// formatting numbers and missing values, and the sort order of values.
//
// Numbers are decimal: an optional sign, digits with an optional point, an
// optional exponent ("12", "-3.5", ".5", "+1e-3"), with blanks around them
// allowed. Text that a double cannot hold (1e400, also 1e-400), "NaN",
// "inf", hexadecimal and grouped digits ("1,000") are not numbers. "-0"
// reads as 0. In a numeric column a blank value or "." is the standard
// missing value and ".A" to ".Z" and "._" (letters in either case) are the
// special missing values.
#pragma once

#include <string>
#include <string_view>

namespace quilvar::runtime::datasets {

// The formatted width of every numeric variable.
inline constexpr int kNumberFormatWidth = 16;

enum class NumericText { kNumber, kMissing, kNotNumeric };

// Reads one value of a numeric column into *value: kNumber or kMissing
// (with the missing value's encoding), or kNotNumeric (*value untouched).
NumericText read_numeric_text(std::string_view text, double* value);

// Room that write_number_text needs.
inline constexpr int kNumberTextCapacity = 32;

// Writes into text (kNumberTextCapacity bytes) the shortest decimal text
// that reads back as the same double, a whole number below 1E15 written
// out in full (".", ".A" ... for missing values);
// when that is longer than `width` characters (at most 31), the most
// precise text that fits, or asterisks when nothing fits. Returns its length.
int write_number_text(double value, int width, char* text);

// write_number_text as a string.
std::string number_text(double value, int width = kNumberFormatWidth);

// Writes number_text(value, width) right-aligned into field[0, width).
void format_number_field(double value, int width, char* field);

// -1, 0 or +1: missing values below all numbers, ordered among themselves
// "._", ".", ".A" ... ".Z"; numbers by value.
int compare_numbers(double a, double b);

// -1, 0 or +1: byte-wise (unsigned) order, trailing blanks ignored.
int compare_texts(std::string_view a, std::string_view b);

std::string_view trim_trailing_blanks(std::string_view text);

}  // namespace quilvar::runtime::datasets
