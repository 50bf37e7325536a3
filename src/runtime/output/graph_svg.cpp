// The renderer of the stratum graph templates: draws a graph's chart as a
// self-contained SVG drawing (no scripts, no style sheet, no outside fonts
// or images) with a title and a description as its text alternative.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "runtime/output/chart_model.hpp"
#include "runtime/output/graph_layout.hpp"
#include "runtime/output/output.hpp"
#include "runtime/output/svg_writer.hpp"
#include "runtime/output/value_axis.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr std::string_view kGridColor = "#e4e4e4";
constexpr std::string_view kAxisColor = "#444444";
constexpr std::string_view kMutedText = "#555555";
constexpr std::string_view kReferenceColor = "#888888";
constexpr double kMarkerSize = 8;
constexpr double kCapHalfWidth = 4;
constexpr double kBarWidth = 1.35;      // × the axis margin: a stratum's bars stand side by side
constexpr double kTickLength = 5;
constexpr double kGap = 8;
constexpr double kRotatedLabelAngle = -45;

bool drawable(const ValueAxis& axis, double value) { return on_value_axis(value, axis.log_scale); }

// Every value the value axis must hold. On a log axis, estimates of 0 are
// drawn at its foot: the axis then reaches a decade below its smallest
// value, so that the foot is not read as a value shown (1, say).
std::vector<double> chart_values(const ChartData& chart) {
  std::vector<double> values = chart.value_hints;
  if (has_points_below_log_axis(chart)) {
    double smallest = 1;
    for (const ChartSeries& series : chart.series) {
      for (const ChartPoint& point : series.points) {
        if (on_value_axis(point.value, true)) smallest = std::min(smallest, point.value);
      }
    }
    values.push_back(smallest / 10);
  }
  if (chart.reference_value) values.push_back(*chart.reference_value);
  for (const ChartSeries& series : chart.series) {
    for (const ChartPoint& point : series.points) values.push_back(point.value);
    for (const ChartRange& range : series.limits) values.insert(values.end(), {range.low, range.high});
    for (const ChartRange& bar : series.bars) values.insert(values.end(), {bar.low, bar.high});
    for (const auto& line : series.lines) {
      for (const ChartPoint& vertex : line) values.push_back(vertex.value);
    }
  }
  return values;
}

void draw_titles(SvgWriter& svg, const ChartLayout& layout) {
  const double middle = kChartWidth / 2;
  double y = kChartMargin + kTitleSize;
  for (const std::string& line : layout.title) {
    svg.text(middle, y, line, {kTitleSize, TextAnchor::kMiddle, true});
    y += kTitleSize * kLineHeight;
  }
  y += (kSubtitleSize - kTitleSize) * kLineHeight;  // a subtitle line below the title's last
  for (const std::string& line : layout.subtitle) {
    svg.text(middle, y, line, {kSubtitleSize, TextAnchor::kMiddle, false, 0, kMutedText});
    y += kSubtitleSize * kLineHeight;
  }
}

void draw_value_ticks(SvgWriter& svg, const Frame& f) {
  for (double tick : f.values.ticks) {
    const double p = f.across(tick);
    const std::string label = f.values.tick_label(tick);
    if (f.horizontal) {
      svg.line(p, f.top, p, f.top + f.height, {kGridColor});
      svg.text(p, f.top + f.height + kGap + kTickSize, label, {kTickSize, TextAnchor::kMiddle});
    } else {
      svg.line(f.left, p, f.left + f.width, p, {kGridColor});
      svg.text(f.left - kTickLength - 2, p + kTickSize * 0.35, label, {kTickSize, TextAnchor::kEnd});
    }
  }
}

void draw_stratum_label(SvgWriter& svg, const Frame& f, const StratumLabels& labels, int index) {
  const double p = f.along(index);
  const auto& lines = labels.lines[static_cast<std::size_t>(index - 1)];
  if (f.horizontal) {
    svg.text(f.left - kTickLength - 3, p + kTickSize * 0.35, lines[0], {kTickSize, TextAnchor::kEnd});
    return;
  }
  const double y = f.top + f.height + kTickLength + kTickSize + 2;
  if (labels.fit == LabelFit::kRotated) {
    svg.text(p + kTickSize * kRotatedLabelShift, y - 2, lines[0], {kTickSize, TextAnchor::kEnd, false, kRotatedLabelAngle});
    return;
  }
  for (std::size_t line = 0; line < lines.size(); ++line) {
    svg.text(p, y + line * kTickSize * kLineHeight, lines[line], {kTickSize, TextAnchor::kMiddle});
  }
}

void draw_stratum_ticks(SvgWriter& svg, const Frame& f, const StratumLabels& labels) {
  const int strata = static_cast<int>(labels.lines.size());
  for (int index = 1; index <= strata; ++index) {
    const double p = f.along(index);
    if (f.horizontal) {
      svg.line(f.left - kTickLength, p, f.left, p, {kAxisColor});
    } else {
      svg.line(p, f.top + f.height, p, f.top + f.height + kTickLength, {kAxisColor});
    }
    if ((index - 1) % labels.step == 0) draw_stratum_label(svg, f, labels, index);
  }
}

void draw_axis_titles(SvgWriter& svg, const ChartLayout& layout) {
  const Frame& f = layout.frame;
  const double below = layout.legend_top - kGap - 2;
  svg.text(f.left + f.width / 2, below, layout.bottom_title, {kAxisTitleSize, TextAnchor::kMiddle, true});
  double side = kChartMargin + kAxisTitleSize;
  for (const std::string& line : layout.side_title) {
    svg.text(side, f.top + f.height / 2, line, {kAxisTitleSize, TextAnchor::kMiddle, true, -90});
    side += kAxisTitleSize * kLineHeight;
  }
}

void draw_frame(SvgWriter& svg, const Frame& f) {
  svg.line(f.left, f.top, f.left, f.top + f.height, {kAxisColor});
  svg.line(f.left, f.top + f.height, f.left + f.width, f.top + f.height, {kAxisColor});
}

void draw_segment(SvgWriter& svg, const Frame& f, ChartPoint a, ChartPoint b, const StrokeStyle& stroke) {
  const auto [x1, y1] = f.at(a.position, a.value);
  const auto [x2, y2] = f.at(b.position, b.value);
  svg.line(x1, y1, x2, y2, stroke);
}

void draw_reference_value(SvgWriter& svg, const Frame& f, const ChartData& chart) {
  if (!chart.reference_value || !drawable(f.values, *chart.reference_value)) return;
  draw_segment(svg, f, {f.start, *chart.reference_value}, {f.end, *chart.reference_value}, {kReferenceColor, 1.2});
}

void draw_bars(SvgWriter& svg, const Frame& f, const ChartSeries& series, std::string_view color, double width) {
  for (const ChartRange& bar : series.bars) {
    if (!drawable(f.values, bar.low) || !drawable(f.values, bar.high)) continue;
    const auto [x1, y1] = f.at(bar.position - width / 2, bar.low);
    const auto [x2, y2] = f.at(bar.position + width / 2, bar.high);
    svg.rect(std::min(x1, x2), std::min(y1, y2), std::abs(x2 - x1), std::abs(y2 - y1), color, nullptr);
  }
}

void draw_limits(SvgWriter& svg, const Frame& f, const ChartSeries& series, std::string_view color) {
  const StrokeStyle stroke{color, 1.4};
  for (const ChartRange& range : series.limits) {
    // A limit without its partner (NaN) is drawn from the estimate, capped
    // at its own end only.
    const auto [from, to] = limit_bar(series, range);
    if (!drawable(f.values, from) || !drawable(f.values, to)) continue;
    draw_segment(svg, f, {range.position, from}, {range.position, to}, stroke);
    for (double end : {range.low, range.high}) {
      if (!drawable(f.values, end)) continue;
      const auto [x, y] = f.at(range.position, end);
      if (f.horizontal) {
        svg.line(x, y - kCapHalfWidth, x, y + kCapHalfWidth, stroke);
      } else {
        svg.line(x - kCapHalfWidth, y, x + kCapHalfWidth, y, stroke);
      }
    }
  }
}

// An arrow pointing off the value axis's low end at (x, y).
void draw_floor_arrow(SvgWriter& svg, double x, double y, bool horizontal, std::string_view color) {
  const StrokeStyle stroke{color, 1.6};
  const double d = kCapHalfWidth;
  if (horizontal) {
    svg.line(x + d, y - d, x, y, stroke);
    svg.line(x, y, x + d, y + d, stroke);
  } else {
    svg.line(x - d, y - d, x, y, stroke);
    svg.line(x, y, x + d, y - d, stroke);
  }
}

void draw_series(SvgWriter& svg, const Frame& f, const ChartData& chart, std::size_t k) {
  const ChartSeries& series = chart.series[k];
  const std::string_view color = series_color(k);
  svg.begin_group(series.name);
  draw_bars(svg, f, series, color, kBarWidth * chart.axis_start);
  for (const auto& line : series.lines) {
    for (std::size_t i = 1; i < line.size(); ++i) {
      if (drawable(f.values, line[i - 1].value)) {
        draw_segment(svg, f, line[i - 1], line[i], {color, 1.5, series_dashes(k)});
      }
    }
  }
  draw_limits(svg, f, series, color);
  for (const ChartPoint& point : series.points) {
    if (below_log_axis(chart, point.value)) {
      // An estimate of 0 has no place on a log axis: an arrow at the
      // axis's low end says it is there, below the lowest value shown.
      const double along = f.along(point.position);
      if (f.horizontal) {
        draw_floor_arrow(svg, f.left + 2, along, true, color);
      } else {
        draw_floor_arrow(svg, along, f.top + f.height - 2, false, color);
      }
      continue;
    }
    if (!drawable(f.values, point.value)) continue;
    const auto [x, y] = f.at(point.position, point.value);
    svg.marker(x, y, series_shape(k), kMarkerSize, color);
  }
  svg.end_group();
}

// A legend glyph drawn as the plot draws its marks: in a horizontal chart
// the limit bars lie along the value axis and the arrow for 0 points left.
void draw_legend_glyph(SvgWriter& svg, const LegendEntry& entry, double x, double y, bool horizontal) {
  switch (entry.glyph) {
    case LegendGlyph::kSwatch: svg.rect(x + 4, y - 6, 14, 12, entry.color, nullptr); return;
    case LegendGlyph::kLimit: {
      const StrokeStyle stroke{entry.color, 1.4};
      if (horizontal) {
        svg.line(x + 4, y, x + 18, y, stroke);
        svg.line(x + 4, y - 4, x + 4, y + 4, stroke);
        svg.line(x + 18, y - 4, x + 18, y + 4, stroke);
        return;
      }
      svg.line(x + 11, y - 7, x + 11, y + 7, stroke);
      svg.line(x + 7, y - 7, x + 15, y - 7, stroke);
      svg.line(x + 7, y + 7, x + 15, y + 7, stroke);
      return;
    }
    case LegendGlyph::kLine: svg.line(x, y, x + 22, y, {entry.color, 1.5, line_entry_dashes()}); return;
    case LegendGlyph::kFloor:
      if (horizontal) {
        draw_floor_arrow(svg, x + 8, y, true, entry.color);
      } else {
        draw_floor_arrow(svg, x + 11, y + 3, false, entry.color);
      }
      return;
    default:
      if (!entry.dashes.empty()) svg.line(x, y, x + 22, y, {entry.color, 1.5, entry.dashes});
      svg.marker(x + 11, y, entry.shape, kMarkerSize, entry.color);
  }
}

void draw_legend(SvgWriter& svg, const ChartLayout& layout) {
  if (layout.legend.empty()) return;
  svg.begin_group("");
  for (const LegendEntry& entry : layout.legend) {
    const double x = kChartMargin + entry.x;
    const double y = layout.legend_top + entry.row * 18 + 8;
    draw_legend_glyph(svg, entry, x, y, layout.frame.horizontal);
    svg.text(x + 26, y + kLegendSize * 0.35, entry.text, {kLegendSize});
  }
  svg.end_group();
}

// The text alternative: what the chart shows, along which axes.
std::string describe(const ChartData& chart) {
  std::string text = chart.description;
  if (!chart.subtitle.empty()) text += " (" + chart.subtitle + ")";
  text += ": " + chart.value_title;
  if (!chart.stratum_title.empty()) text += " by " + chart.stratum_title;
  text += ", " + std::to_string(chart.strata) + (chart.strata == 1 ? " stratum" : " strata");
  if (!chart.series.empty()) {
    text += "; series:";
    for (std::size_t k = 0; k < chart.series.size(); ++k) text += (k == 0 ? " " : ", ") + chart.series[k].name;
  }
  return text + ".";
}

}  // namespace

std::string render_graph_svg(const Graph& graph) {
  const std::optional<ChartData> chart = read_chart(graph);
  if (!chart) return std::string();
  const ChartLayout layout = lay_out_chart(*chart, make_value_axis(chart_values(*chart), chart->log_scale));
  const Frame& f = layout.frame;
  SvgWriter svg(kChartWidth, layout.height, chart->title, describe(*chart));
  draw_titles(svg, layout);
  svg.begin_group("");
  draw_value_ticks(svg, f);
  draw_stratum_ticks(svg, f, layout.labels);
  draw_axis_titles(svg, layout);
  draw_reference_value(svg, f, *chart);
  svg.end_group();
  for (std::size_t k = 0; k < chart->series.size(); ++k) draw_series(svg, f, *chart, k);
  draw_frame(svg, f);
  draw_legend(svg, layout);
  return svg.finish();
}

}  // namespace quilvar::runtime::output
