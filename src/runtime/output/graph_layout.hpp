// The layout of a stratum chart: the plot frame mapping stratum positions
// and values to pixels, the stratum tick labels (level, wrapped onto two
// lines, or rotated, and thinned when even that would overlap), and the
// legend's entries and rows.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/output/chart_model.hpp"
#include "runtime/output/svg_writer.hpp"
#include "runtime/output/value_axis.hpp"

namespace quilvar::runtime::output {

inline constexpr double kChartWidth = 680;
inline constexpr double kChartMargin = 14;
inline constexpr double kTitleSize = 15;
inline constexpr double kSubtitleSize = 12;
inline constexpr double kAxisTitleSize = 12;
inline constexpr double kTickSize = 11;
inline constexpr double kLegendSize = 11;
inline constexpr double kLineHeight = 1.3;  // in ems
// What the arrow at the foot of a log axis stands for: an estimate of 0,
// which no log axis holds.
inline constexpr std::string_view kBelowLogAxisText = "Estimate 0 (below the log axis)";
// True for an estimate a log axis cannot show but that is a number: 0.
bool below_log_axis(const ChartData& chart, double value);
// True when some point of the chart is such an estimate.
bool has_points_below_log_axis(const ChartData& chart);
// The values a limit bar runs between. A limit without its partner (NaN)
// runs from the series' estimate at its position; NaN when there is none.
std::pair<double, double> limit_bar(const ChartSeries& series, const ChartRange& range);
// A rotated stratum label ends this many ems right of its tick.
inline constexpr double kRotatedLabelShift = 0.3;

// The estimated width of a text in pixels at a font size.
double text_width(std::string_view text, double size);

// The text cut to at most `width` pixels, ending in an ellipsis when cut.
std::string shortened(std::string_view text, double width, double size);

// The text broken at blanks into lines of at most `width` pixels (a word
// wider than that shortened); bold text is measured wider.
std::vector<std::string> wrapped_lines(std::string_view text, double width, double size, bool bold);

enum class LabelFit { kLevel, kWrapped, kRotated };

struct StratumLabels {
  std::vector<std::vector<std::string>> lines;  // per stratum, one or two lines
  LabelFit fit = LabelFit::kLevel;
  int step = 1;        // every step-th label is shown
  double extent = 0;   // the pixels the labels take away from the axis
};

// Labels for `slot` pixels per stratum along the axis.
StratumLabels fit_stratum_labels(const ChartData& chart, double slot);

enum class LegendGlyph { kMarker, kSwatch, kLimit, kLine, kFloor };

struct LegendEntry {
  LegendGlyph glyph;
  std::string_view color;
  MarkerShape shape;
  std::string text;
  double x = 0;   // place within the legend, set by place_legend
  int row = 0;
  std::string_view dashes = {};  // the pattern of the series' line, drawn through its glyph
};

std::vector<LegendEntry> legend_entries(const ChartData& chart);
// Places the entries in rows of at most `width` pixels; returns the rows.
int place_legend(std::vector<LegendEntry>& entries, double width);

// The colour and marker of the k-th series.
std::string_view series_color(std::size_t k);
MarkerShape series_shape(std::size_t k);
// The dash pattern of the k-th series' lines, and of the legend's entry
// that names what the lines show.
std::string_view series_dashes(std::size_t k);
std::string_view line_entry_dashes();

struct Frame {
  double left = 0;
  double top = 0;
  double width = 0;
  double height = 0;
  bool horizontal = false;
  double start = 0;  // the stratum axis's range
  double end = 1;
  ValueAxis values;

  // The pixel of a stratum position along its axis, and of a value along its.
  double along(double position) const;
  double across(double value) const;
  // The point of a stratum position and a value.
  std::pair<double, double> at(double position, double value) const;
};

// The whole layout: frame, labels, legend, and the drawing's height.
struct ChartLayout {
  std::vector<std::string> title;     // the title's lines
  std::vector<std::string> subtitle;  // the BY group's lines; none without BY groups
  std::vector<std::string> side_title;  // the axis title left of the frame, one or two lines
  std::string bottom_title;             // the axis title below the frame
  Frame frame;
  StratumLabels labels;
  std::vector<LegendEntry> legend;
  int legend_rows = 0;
  double height = 0;
  double legend_top = 0;
};

ChartLayout lay_out_chart(const ChartData& chart, ValueAxis values);

}  // namespace quilvar::runtime::output
