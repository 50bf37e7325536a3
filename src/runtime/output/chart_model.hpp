// What a stratum graph shows, read from its graph template's name and its
// data object's columns, rows and dynamic variables: the stratum axis, the
// series (points, limit bars, bars, reference lines), the reference value
// and the texts. The renderer lays this out; nothing here knows pixels.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/output/model.hpp"

namespace quilvar::runtime::output {

struct ChartPoint {
  double position;  // on the stratum axis
  double value;
};

struct ChartRange {
  double position;
  double low;
  double high;
};

struct ChartSeries {
  std::string name;
  std::vector<ChartPoint> points;
  std::vector<ChartRange> limits;   // confidence-limit bars; a missing end is NaN
  std::vector<ChartRange> bars;     // filled bars (population shares)
  std::vector<std::vector<ChartPoint>> lines;  // horizontal reference lines
};

struct ChartData {
  std::string title;
  std::string subtitle;        // the BY group
  std::string description;
  bool horizontal = false;
  bool bars = false;           // a bar chart (population shares)
  bool log_scale = false;
  int strata = 0;
  double axis_start = 0;       // the stratum axis runs from axis_start to axis_end
  double axis_end = 0;
  std::vector<std::string> tick_labels;  // one per stratum; empty: index numbers
  std::string stratum_title;
  std::string value_title;
  std::optional<double> reference_value;  // the line of no effect
  std::vector<double> value_hints;        // values the value axis must span
  std::string limit_label;                // empty: no limits in the legend
  std::string line_label;                 // what the reference lines show
  std::vector<ChartSeries> series;
};

// The chart of a graph, or nothing when the graph's template is not a
// stratum graph template or its data object lacks the stratum axis.
std::optional<ChartData> read_chart(const Graph& graph);

// The count texts of a tick text 'A''B''C' (A, B, C); empty when it does
// not hold count of them. Values are written between apostrophes without
// escaping, so a value with an apostrophe of its own (O'Hare) is found by
// taking only the '' between two values as their boundary.
std::vector<std::string> parse_tick_text(std::string_view text, std::size_t count);

}  // namespace quilvar::runtime::output
