// Reading a stratum graph's data object into the chart it shows. Rows are
// read by what they hold: a row with XRef and YRef is a vertex of a
// reference line; Prop_u makes a bar, LowerCL and UpperCL a limit bar, Est
// at a stratum a point; rows without a stratum are the axis rows, which give
// the values the axis spans (or, where the template says so, the value of no
// effect). An all-missing row ends a reference line.
#include "runtime/output/chart_model.hpp"

#include <array>
#include <cmath>
#include <string_view>
#include <utility>

#include "quilvar/host/missing.hpp"
#include "runtime/output/display.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr std::string_view kGraphPrefix = "Vesk.Quilvar.Graphics.";
constexpr std::string_view kHorizontalSuffix = "Horiz";

// How each stratum graph template reads its data object.
struct StratumTemplate {
  std::string_view name;
  bool bars;
  bool reference_from_axis_rows;   // an axis row's Est is the value of no effect
  std::string_view series_name;    // the single series' name, when no population column names it
  std::string_view value_title;    // when the data object sets no _YLabel
  std::string_view line_label;
};

constexpr std::array kStratumTemplates{
    StratumTemplate{"StrataRatePlot", false, false, "", "", "Overall crude estimate"},
    StratumTemplate{"StrataRiskPlot", false, false, "", "", "Overall crude estimate"},
    StratumTemplate{"StrataDistPlot", true, false, "", "", ""},
    StratumTemplate{"StrataSMRPlot", false, true, "SMR", "SMR", ""},
    StratumTemplate{"StrataEffectPlot", false, true, "Effect", "", "Effect of the overall crude estimates"},
};

const StratumTemplate* find_template(std::string_view path, bool* horizontal) {
  if (path.size() < kGraphPrefix.size() || !same_name(path.substr(0, kGraphPrefix.size()), kGraphPrefix)) return nullptr;
  std::string_view name = path.substr(kGraphPrefix.size());
  *horizontal = name.size() > kHorizontalSuffix.size() &&
                same_name(name.substr(name.size() - kHorizontalSuffix.size()), kHorizontalSuffix);
  if (*horizontal) name.remove_suffix(kHorizontalSuffix.size());
  for (const StratumTemplate& known : kStratumTemplates) {
    if (same_name(known.name, name)) return &known;
  }
  return nullptr;
}

constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

// The data object's columns by their role.
struct Columns {
  std::size_t position = kAbsent;
  std::size_t index = kAbsent;
  std::size_t population = kAbsent;
  std::size_t estimate = kAbsent;
  std::size_t lower = kAbsent;
  std::size_t upper = kAbsent;
  std::size_t x_reference = kAbsent;
  std::size_t y_reference = kAbsent;
  std::size_t share_low = kAbsent;
  std::size_t share_high = kAbsent;
};

std::size_t find_column(const Table& table, std::string_view name) {
  for (std::size_t i = 0; i < table.column_count(); ++i) {
    if (same_name((*table.columns)[i].name, name)) return i;
  }
  return kAbsent;
}

Columns find_columns(const Table& table) {
  Columns c;
  c.index = find_column(table, "StratumIndex");
  c.position = find_column(table, "StratumID");
  if (c.position == kAbsent) c.position = c.index;
  c.population = find_column(table, "Population");
  c.estimate = find_column(table, "Est");
  c.lower = find_column(table, "LowerCL");
  c.upper = find_column(table, "UpperCL");
  c.x_reference = find_column(table, "XRef");
  c.y_reference = find_column(table, "YRef");
  c.share_low = find_column(table, "Prop_l");
  c.share_high = find_column(table, "Prop_u");
  return c;
}

std::optional<double> dynamic_number(const Table& table, std::string_view name) {
  const Value* value = find_dynamic(table.dynamic, name);
  if (value == nullptr || !value->numeric || quilvar::host::is_missing(value->number)) return std::nullopt;
  return value->number;
}

std::string dynamic_text(const Table& table, std::string_view name) {
  const Value* value = find_dynamic(table.dynamic, name);
  return value == nullptr ? std::string() : value_text(*value);
}

// Reads the rows of one data object into the chart's series.
class RowReader {
 public:
  RowReader(const Table& table, const StratumTemplate& stored, std::string single_series, ChartData& chart)
      : table_(table),
        stored_(stored),
        single_series_(std::move(single_series)),
        chart_(chart),
        columns_(find_columns(table)) {}

  void read() {
    for (std::size_t row = 0; row < table_.row_count(); ++row) read_row(row);
  }

 private:
  std::optional<double> number(std::size_t row, std::size_t column) const {
    if (column == kAbsent) return std::nullopt;
    const double value = table_.cell(row, column).number;
    if (quilvar::host::is_missing(value)) return std::nullopt;
    return value;
  }

  ChartSeries& series(std::size_t row) {
    const std::string name = columns_.population == kAbsent
                                 ? single_series_
                                 : std::string(table_.text(table_.cell(row, columns_.population)));
    for (ChartSeries& known : chart_.series) {
      if (known.name == name) return known;
    }
    chart_.series.push_back(ChartSeries{name, {}, {}, {}, {}});
    return chart_.series.back();
  }

  bool blank(std::size_t row) const {
    for (std::size_t column = 0; column < table_.column_count(); ++column) {
      if ((*table_.columns)[column].numeric && number(row, column)) return false;
    }
    return true;
  }

  void read_row(std::size_t row) {
    if (blank(row)) {
      open_line_ = nullptr;
      return;
    }
    const auto x_reference = number(row, columns_.x_reference);
    const auto y_reference = number(row, columns_.y_reference);
    if (x_reference && y_reference) return add_line_vertex(row, {*x_reference, *y_reference});
    const auto position = number(row, columns_.position);
    if (!number(row, columns_.index) || !position) return read_axis_row(row);
    const auto low = number(row, columns_.lower), high = number(row, columns_.upper);
    const auto share = number(row, columns_.share_high);
    const auto estimate = number(row, columns_.estimate);
    if (share) series(row).bars.push_back({*position, number(row, columns_.share_low).value_or(0), *share});
    // A limit the tables give without its partner (a quantile that could
    // not be computed) is kept; the other end is NaN.
    if (low || high) series(row).limits.push_back({*position, low.value_or(NAN), high.value_or(NAN)});
    if (estimate) series(row).points.push_back({*position, *estimate});
  }

  void read_axis_row(std::size_t row) {
    const auto estimate = number(row, columns_.estimate);
    if (estimate && stored_.reference_from_axis_rows) chart_.reference_value = *estimate;
    if (estimate && !stored_.reference_from_axis_rows) chart_.value_hints.push_back(*estimate);
    if (const auto share = number(row, columns_.share_low)) chart_.value_hints.push_back(*share);
  }

  void add_line_vertex(std::size_t row, ChartPoint vertex) {
    ChartSeries& owner = series(row);
    if (open_line_ == nullptr || open_line_owner_ != &owner) {
      owner.lines.emplace_back();
      open_line_ = &owner.lines.back();
      open_line_owner_ = &owner;
    }
    open_line_->push_back(vertex);
  }

  const Table& table_;
  const StratumTemplate& stored_;
  std::string single_series_;
  ChartData& chart_;
  Columns columns_;
  std::vector<ChartPoint>* open_line_ = nullptr;
  const ChartSeries* open_line_owner_ = nullptr;
};

void read_texts(const Graph& graph, const Table& table, const StratumTemplate& stored, ChartData& chart) {
  chart.title = graph.label.empty() ? graph.name : graph.label;
  chart.subtitle = by_line(graph.origin.by);
  chart.description = graph.description.empty() ? chart.title : graph.description;
  chart.stratum_title = dynamic_text(table, "_XLabel");
  chart.value_title = dynamic_text(table, "_YLabel");
  if (chart.value_title.empty()) chart.value_title = stored.value_title;
  if (dynamic_number(table, "_Cl") == 1.0) chart.limit_label = dynamic_text(table, "_ClLabel");
  chart.line_label = stored.line_label;
}

constexpr std::string_view kNumberedStrata = " (strata numbered)";

}  // namespace

std::vector<std::string> parse_tick_text(std::string_view text, std::size_t count) {
  std::vector<std::string> labels;
  for (std::string_view rest = text; !rest.empty();) {
    const std::size_t close = rest.front() == '\'' ? rest.find('\'', 1) : std::string_view::npos;
    if (close == std::string_view::npos) break;
    labels.emplace_back(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (rest.empty() && labels.size() == count) return labels;
  }
  labels.clear();
  if (count == 0 || text.size() < 2 || text.front() != '\'' || text.back() != '\'') return labels;
  std::string_view inner = text.substr(1, text.size() - 2);
  for (std::size_t boundary; (boundary = inner.find("''")) != std::string_view::npos;) {
    // More than two apostrophes in a row: the value before ends with the
    // extra ones (Jones' then O'Hare), as a value more often ends with one.
    while (boundary + 2 < inner.size() && inner[boundary + 2] == '\'') ++boundary;
    labels.emplace_back(inner.substr(0, boundary));
    inner.remove_prefix(boundary + 2);
  }
  labels.emplace_back(inner);
  if (labels.size() != count) labels.clear();
  return labels;
}

std::optional<ChartData> read_chart(const Graph& graph) {
  ChartData chart;
  const StratumTemplate* stored = find_template(graph.template_path, &chart.horizontal);
  if (stored == nullptr || graph.data.empty() || graph.data.front() == nullptr) return std::nullopt;
  const Table& table = *graph.data.front();
  const auto strata = dynamic_number(table, "_TMax");
  const auto start = dynamic_number(table, "_XMin");
  const auto end = dynamic_number(table, "_XMax");
  if (!strata || !start || !end || *strata < 1 || *end <= *start) return std::nullopt;
  chart.strata = static_cast<int>(*strata);
  chart.axis_start = *start;
  chart.axis_end = *end;
  chart.bars = stored->bars;
  chart.log_scale = dynamic_number(table, "_Ratio") == 1.0;
  const std::string ticks = dynamic_text(table, "_XTicks");
  chart.tick_labels = parse_tick_text(ticks, static_cast<std::size_t>(chart.strata));
  read_texts(graph, table, *stored, chart);
  // Values that cannot be told apart in the tick text: the strata are
  // numbered instead, and the axis title says so.
  if (chart.tick_labels.empty() && !ticks.empty()) chart.stratum_title += std::string(kNumberedStrata);
  // The effect plot names its single series by the effect it shows.
  std::string single_series = dynamic_text(table, "_Effect");
  if (single_series.empty()) single_series = stored->series_name;
  RowReader(table, *stored, std::move(single_series), chart).read();
  return chart;
}

}  // namespace quilvar::runtime::output
