// The value axis of a chart: a range that holds every plotted value, with
// readable tick values (1, 2, 5 times a power of ten), on a linear or a
// logarithmic scale.
#pragma once

#include <string>
#include <vector>

namespace quilvar::runtime::output {

struct ValueAxis {
  bool log_scale = false;
  double low = 0;   // the range shown
  double high = 1;
  std::vector<double> ticks;
  int decimals = 0;  // tick labels of a linear axis show this many decimals
  bool exponent = false;  // or are written in E notation (tiny steps, huge values)
  int step_digit = 0;     // the power of ten of the step's lowest digit

  // Where a value falls in the range: 0 at low, 1 at high.
  double fraction(double value) const;
  // The label of a tick value.
  std::string tick_label(double value) const;
};

// Whether a value can stand on an axis: a finite number of a size an axis
// can hold; on a log scale also above 0.
bool on_value_axis(double value, bool log_scale);

// The axis spanning `values` (those not on_value_axis ignored). With no usable value the range is 0 to 1 (1/10 to 10
// on a log scale).
ValueAxis make_value_axis(const std::vector<double>& values, bool log_scale);

}  // namespace quilvar::runtime::output
