// A memo of chi-square quantiles for one step. Exact Poisson limits ask for
// the quantiles at alpha/2 and 1 - alpha/2 with 2k and 2(k + 1) degrees of
// freedom, and the same event counts k recur in stratum after stratum and BY
// group after BY group; the quantile is a pure function of (p, df), so a
// remembered result is the result.
#pragma once

#include <array>
#include <cstdint>

namespace quilvar {

struct QuantileMemoEntry {
  double p;
  double df;
  double x;
  std::int32_t ok;    // the quantile (main routine or fall-back) succeeded
  std::int32_t used;  // the entry holds a result
};

// The normal quantiles z(alpha/2) and z(1 - alpha/2) of the step's alpha,
// asked for by every stratum's effect and every BY group's limits.
struct NormalQuantileMemo {
  double alpha = -1;  // outside (0, 1) while nothing is remembered
  double lower = 0;
  double upper = 0;
};

// Direct-mapped: a new (p, df) replaces whatever shared its slot.
struct QuantileMemo {
  static constexpr int kBits = 13;
  static constexpr std::size_t kSize = std::size_t{1} << kBits;
  std::array<QuantileMemoEntry, kSize> entries;
};

}  // namespace quilvar
