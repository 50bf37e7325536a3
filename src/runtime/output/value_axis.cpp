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
constexpr int kMaxDecimals = 10;
constexpr double kMaxDecadesWithSteps = 4;

double nice_step(double span) {
  const double raw = span / kTargetIntervals;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double step : kNiceSteps) {
    if (step * magnitude >= raw) return step * magnitude;
  }
  return 10 * magnitude;
}

int decimals_of(double step) {
  int decimals = 0;
  while (decimals < kMaxDecimals && std::abs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) > 1e-9) {
    ++decimals;
  }
  return decimals;
}

ValueAxis linear_axis(double low, double high) {
  if (high - low < 1e-12 * std::max(1.0, std::abs(high))) {
    const double pad = low == 0 ? 1 : std::abs(low) * 0.1;
    low -= pad;
    high += pad;
  }
  ValueAxis axis;
  const double step = nice_step(high - low);
  axis.low = std::floor(low / step + 1e-9) * step;
  axis.high = std::ceil(high / step - 1e-9) * step;
  axis.decimals = decimals_of(step);
  for (double tick = axis.low; tick <= axis.high + step * 1e-6; tick += step) {
    axis.ticks.push_back(std::abs(tick) < step * 1e-9 ? 0.0 : tick);
  }
  return axis;
}

ValueAxis log_axis(double low, double high) {
  ValueAxis axis;
  axis.log_scale = true;
  double first = std::floor(std::log10(low));
  double last = std::ceil(std::log10(high));
  if (last - first < 1) ++last;
  axis.low = std::pow(10.0, first);
  axis.high = std::pow(10.0, last);
  for (double power = first; power <= last; ++power) {
    for (double mantissa : kLogMantissas) {
      const double tick = mantissa * std::pow(10.0, power);
      if (tick >= axis.low * (1 - 1e-9) && tick <= axis.high * (1 + 1e-9)) axis.ticks.push_back(tick);
    }
  }
  // Over many decades the 2 and 5 ticks would crowd: keep the powers of ten.
  if (last - first > kMaxDecadesWithSteps) {
    std::erase_if(axis.ticks, [](double tick) {
      const double mantissa = tick / std::pow(10.0, std::floor(std::log10(tick) + 1e-9));
      return std::abs(mantissa - 1) > 1e-6;
    });
  }
  return axis;
}

}  // namespace

double ValueAxis::fraction(double value) const {
  if (log_scale) return (std::log10(value) - std::log10(low)) / (std::log10(high) - std::log10(low));
  return (value - low) / (high - low);
}

std::string ValueAxis::tick_label(double value) const {
  if (log_scale) return shortest_text(value);
  return format_fixed(value, decimals);
}

ValueAxis make_value_axis(const std::vector<double>& values, bool log_scale) {
  double low = INFINITY, high = -INFINITY;
  for (double value : values) {
    if (!std::isfinite(value) || (log_scale && value <= 0)) continue;
    low = std::min(low, value);
    high = std::max(high, value);
  }
  if (low > high) return log_scale ? log_axis(0.1, 10) : linear_axis(0, 1);
  return log_scale ? log_axis(low, high) : linear_axis(low, high);
}

}  // namespace quilvar::runtime::output
