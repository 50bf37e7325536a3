// Readable value axes: "nice" steps of 1, 2 or 5 times a power of ten for a
// linear axis (about five intervals), and for a logarithmic axis the values
// 1, 2 and 5 times the powers of ten that fall in the range.
#include "runtime/output/value_axis.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/output/formats.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr double kTargetIntervals = 5;
constexpr double kNiceSteps[] = {1, 2, 2.5, 5, 10};
constexpr double kLogMantissas[] = {1, 2, 5};
constexpr double kMaxDecadesWithSteps = 4;
constexpr double kMaxPowerTicks = 10;
// Tick labels between these sizes are written plainly; smaller steps and
// larger values in E notation (2E-9 rather than 0.000000002 or a row of
// zeros, 5E8 rather than 500000000).
constexpr double kSmallestPlainStep = 1e-5;
constexpr double kLargestPlainTick = 1e7;
// Values beyond these sizes have no place on an axis: their ticks and
// pixels would overflow to infinity or vanish to 0.
constexpr double kLargestAxisValue = 1e300;
constexpr double kSmallestLogAxisValue = 1e-300;
// Below this share of the values' size, a range is taken to be one value.
constexpr double kFlatRange = 1e-12;
constexpr double kFlatPadding = 0.1;

// The power of ten of a decimal number's lowest digit after rounding away
// binary noise: -1 for 0.5, -2 for 0.25, 1 for 20.
int lowest_digit(double number) {
  const double power = std::floor(std::log10(std::abs(number)) + 1e-9);
  const double mantissa = std::abs(number) / std::pow(10.0, power);
  return static_cast<int>(power) - (std::abs(mantissa - std::round(mantissa)) > 1e-6 ? 1 : 0);
}

int power_of(double value) { return static_cast<int>(std::floor(std::log10(std::abs(value)) + 1e-9)); }

double nice_step(double span) {
  const double raw = span / kTargetIntervals;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double step : kNiceSteps) {
    if (step * magnitude >= raw) return step * magnitude;
  }
  return 10 * magnitude;
}

ValueAxis linear_axis(double low, double high) {
  // Values all alike stand mid-axis; values all 0 (a rate plot of a BY
  // group without events) on the foot of an axis from 0 to 1, not of one
  // reaching down to rates of -1.
  if (low == 0 && high == 0) {
    high = 1;
  } else if (high - low <= kFlatRange * std::max(std::abs(low), std::abs(high))) {
    const double pad = std::abs(low) * kFlatPadding;
    low -= pad;
    high += pad;
  }
  ValueAxis axis;
  const double step = nice_step(high - low);
  const double first = std::floor(low / step + 1e-9);
  const double last = std::ceil(high / step - 1e-9);
  axis.low = first * step;
  axis.high = last * step;
  axis.step_digit = lowest_digit(step);
  axis.decimals = std::max(0, -axis.step_digit);
  axis.exponent = step < kSmallestPlainStep || std::max(std::abs(axis.low), std::abs(axis.high)) >= kLargestPlainTick;
  // Each tick a whole number of steps: no sums drifting off the step's digits.
  for (double k = first; k <= last; ++k) axis.ticks.push_back(k == 0 ? 0.0 : k * step);
  return axis;
}

ValueAxis log_axis(double low, double high) {
  ValueAxis axis;
  axis.log_scale = true;
  double first = std::floor(std::log10(low) + 1e-9);
  double last = std::ceil(std::log10(high) - 1e-9);
  // One value on a power of ten (ratios all 1) stands mid-axis, a decade
  // either side, rather than on the frame's edge.
  if (last == first) {
    --first;
    ++last;
  }
  // Over many decades the 2 and 5 ticks would crowd: only powers of ten are
  // ticks, and over very many decades only every few of them, the axis
  // ending at ticks.
  const bool steps = last - first <= kMaxDecadesWithSteps;
  const double every = steps ? 1 : std::ceil((last - first) / kMaxPowerTicks);
  first = std::floor(first / every) * every;
  last = std::ceil(last / every) * every;
  axis.low = std::pow(10.0, first);
  axis.high = std::pow(10.0, last);
  for (double power = first; power <= last; power += every) {
    for (double mantissa : kLogMantissas) {
      const double tick = mantissa * std::pow(10.0, power);
      if ((steps || mantissa == 1) && tick <= axis.high * (1 + 1e-9)) axis.ticks.push_back(tick);
    }
  }
  return axis;
}

}  // namespace

double ValueAxis::fraction(double value) const {
  if (log_scale) return (std::log10(value) - std::log10(low)) / (std::log10(high) - std::log10(low));
  return (value - low) / (high - low);
}

std::string ValueAxis::tick_label(double value) const {
  if (log_scale) {
    if (value >= kSmallestPlainStep && value < kLargestPlainTick) return shortest_text(value);
    return format_exponent(value, std::max(0, power_of(value) - lowest_digit(value)));
  }
  if (!exponent) return format_fixed(value, decimals);
  if (value == 0) return "0";
  return format_exponent(value, std::max(0, power_of(value) - step_digit));
}

bool on_value_axis(double value, bool log_scale) {
  if (!std::isfinite(value) || std::abs(value) > kLargestAxisValue) return false;
  return !log_scale || value >= kSmallestLogAxisValue;
}

ValueAxis make_value_axis(const std::vector<double>& values, bool log_scale) {
  double low = INFINITY, high = -INFINITY;
  for (double value : values) {
    if (!on_value_axis(value, log_scale)) continue;
    low = std::min(low, value);
    high = std::max(high, value);
  }
  if (low > high) return log_scale ? log_axis(0.1, 10) : linear_axis(0, 1);
  return log_scale ? log_axis(low, high) : linear_axis(low, high);
}

}  // namespace quilvar::runtime::output
