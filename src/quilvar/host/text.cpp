// Fixed-width text helpers and value comparison; see text.hpp.
#include "quilvar/host/text.hpp"

#include <algorithm>
#include <cstring>

#include "quilvar/host/missing.hpp"

namespace quilvar::host {

int trim_length(const char* text, int length) {
  while (length > 0 && text[length - 1] == ' ') --length;
  return length;
}

void justify_text(char* text, int length, char mode) {
  int start = 0;
  while (start < length && text[start] == ' ') ++start;
  const int trimmed = trim_length(text + start, length - start);
  int target = 0;
  switch (mode) {
    case 'R': case 'r': target = length - trimmed; break;
    case 'C': case 'c': target = length - (length + trimmed + 1) / 2; break;
    default: target = 0; break;
  }
  std::memmove(text + target, text + start, static_cast<std::size_t>(trimmed));
  std::fill(text, text + target, ' ');
  std::fill(text + target + trimmed, text + length, ' ');
}

int find_text(const char* text, int text_length, const char* pattern, int pattern_length) {
  if (pattern_length < 0) pattern_length = static_cast<int>(std::strlen(pattern));
  if (pattern_length == 0) return 0;
  if (text_length <= 0) return -1;
  for (int i = 0; i + pattern_length <= text_length; ++i) {
    if (std::memcmp(text + i, pattern, static_cast<std::size_t>(pattern_length)) == 0) return i;
  }
  return -1;
}

int missing_rank(double value) {
  if (!is_missing(value)) return 0;
  const int code = missing_code(value);
  // "._" ranks first, the standard missing value second, and the lettered
  // codes 190 (".A") down to 165 (".Z") rank 3 to 28.
  if (code == kMissingCodeUnderscore) return 1;
  if (code == kMissingCodeStandard) return 2;
  return 255 - code - 62;
}

namespace {

template <typename T>
int sign_of_comparison(T a, T b) { return a < b ? -1 : (b < a ? 1 : 0); }

int compare_doubles(double a, double b) {
  const int rank_a = missing_rank(a);
  const int rank_b = missing_rank(b);
  if (rank_a != 0 || rank_b != 0) {
    if (rank_a == 0) return 1;   // a number is above every missing value
    if (rank_b == 0) return -1;
    return sign_of_comparison(rank_a, rank_b);
  }
  return sign_of_comparison(a, b);
}

}  // namespace

int compare_values(const void* a, const void* b, int length) {
  if (length < 0) {
    double x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return compare_doubles(x, y);
  }
  if (length == 0) {
    std::int32_t x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return sign_of_comparison(x, y);
  }
  // Keys are mostly a few bytes long (strata and group values): a byte loop
  // costs less than the library call. Bytes compare as unsigned, as memcmp
  // compares them.
  constexpr int kShortKey = 16;
  if (length <= kShortKey) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    for (int i = 0; i < length; ++i) {
      if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
  }
  const int c = std::memcmp(a, b, static_cast<std::size_t>(length));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace quilvar::host
