// Layout of the stratum charts. Text widths of Latin, Greek and Cyrillic
// letters are measured with the advance widths of DejaVu Sans, the first
// face the drawings name; the faces that stand in for it (Helvetica, Arial)
// are narrower, so such a label that fits measured this way fits in any of
// them. Other scripts are estimated: a full em for East Asian characters,
// 0.7 em for the letters of the rest.
#include "runtime/output/graph_layout.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/text/width.hpp"

namespace quilvar::runtime::output {
namespace {

// Advance widths of the characters from ' ' to '~', in thousandths of an em.
constexpr std::array<std::uint16_t, 95> kAsciiAdvance = {
    318, 401, 460, 838, 636, 950, 780, 275, 390, 390, 500, 838, 318, 361, 318, 337,
    636, 636, 636, 636, 636, 636, 636, 636, 636, 636, 337, 337, 838, 838, 838, 531,
    1000, 684, 686, 698, 770, 632, 575, 775, 752, 295, 295, 656, 557, 863, 748, 787,
    603, 787, 695, 635, 611, 732, 684, 989, 685, 611, 685, 390, 337, 390, 838, 500,
    500, 613, 635, 550, 635, 615, 352, 635, 634, 278, 278, 579, 278, 974, 634, 612,
    635, 635, 411, 521, 392, 634, 592, 818, 592, 592, 525, 636, 337, 636, 838,
};
// Advance widths of the characters from U+00A0 to U+04FF (Latin-1 letters
// and signs, Latin Extended, Greek, Cyrillic), in 64ths of an em rounded
// up, each stored as the character 32 + width (0.8 em where the face has
// no glyph and another stands in).
constexpr char32_t kExtendedFirst = 0x00A0;
constexpr std::string_view kExtendedAdvance =
    R"w(5:IIII6@@`?HV8`@@V::@II5@:?H___BLLLLLL_MIIII3333RPSSSSSVSOOOOHGIHHHHHH_DHHHH2222HIHHHHHVHIIIIFIF)w"
    R"w(LHLHLHMDMDMDMDRIRIIHIHIHIHIHRIRIRIRIQI[M3232323232FD32JFFD2D2D8D6D3PIPIPIUPISHSHSHebM;M;M;IBIBIB)w"
    R"w(IBH:H:H:OIOIOIOIOIOI`UHFHLBLBLB7IPLILIMMDRULIHISHE7RL_73PF2F_PIS[H]QJIMIBI6:H:HWIQOPOLBKKEBIKEAI)w"
    R"w(3@>3{tjVS>\\TLH32SHOIOIOIOIOIHLHLH__RIRIJFSHSHKE2{tjRIhLPILH__SHLHLHIHIH3232SHSHM;M;OIOIIBH:IBQI)w"
    R"w(PVMHLBLHIHSHSHSHSHHF?V?2``LMDDHBBG?LOLIH32RIM;HFGIIIDDIMHHUCCRK2MIIGGIII268:@2N___JJIHWOK;;;;;BB)w"
    R"w(GGB66>6::IHGFUFHBBEEAAAASFKNJ3KAOAAadaVHRWNJAAKK::,1339A82>5554488@@@@@@2@@@2@@@6644@@95@@@@@@5@)w"
    R"w(<+8=8@@@@@TT@@BTTTT@TTT@TTTTTTTT                                                                )w"
    R"w(                T   TTT  T T       TTTTTTTTTTTTTJEXJ22PJTT@DDD63TTTT@@M5PX;TTTUU6LLDLILQS3JLXPIS)w"
    R"w(QGTIHHSLSQ3HKCI6FKIFHCCIH6FFIDDHGIFIGFKEKV6FHFVJHHMVMKVKSHJFE>KKXI\VQKSHLGRHMHHCKID2SHHGIMXJIMMM)w"
    R"w(IISHMI333fcSNPGQLLLHRIeJPPNQXQSQGMHGXLRLefVYLMfMHHFBMHZCJJGIQJHJIDFFWFLF[]NSFDVGHHHBDB222ZZJGJFJ)w"
    R"w(\VRK]PYSkaSHbUICWYSHRKRK`Z]Qlb\VMDA     ;;RLLFGIHBLFHBeZJCNGNGNGWVQKaYf[YMMDHFHFHFLF\TLFLFLI]O]O)w"
    R"w(3eZJGRKQKRLLFYR2LHLH__IHSHSHeZJCKEPJPJSHSHSHMDGFGFGFLFHBYSLFLFLF)w";
static_assert(kExtendedAdvance.size() == 0x0500 - kExtendedFirst);
constexpr double kLetterAdvance = 0.7;     // other characters: letters of alphabetic scripts
constexpr double kWideAdvance = 1.0;       // East Asian wide characters, emoji, the ellipsis
constexpr double kLabelFill = 0.9;         // share of a stratum's slot a level label may take
constexpr double kMaxLabelWidth = 170;     // longer stratum labels are shortened
constexpr double kRotation = 0.7071;       // sin 45°: rotated labels lean at 45 degrees
constexpr double kPlotHeight = 300;        // vertical charts
constexpr double kHorizontalSlot = 34;     // pixels per stratum in horizontal charts
constexpr double kMinHorizontalPlot = 160;
constexpr double kMaxHorizontalPlot = 1600;
constexpr double kRightMargin = 24;
constexpr double kGap = 8;
constexpr double kLegendGlyph = 26;        // the glyph and its gap before the text
constexpr double kLegendSpacing = 18;      // between entries of a row
constexpr double kLegendRow = 18;
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";
// Bold DejaVu Sans is up to a tenth wider than the regular face measured.
constexpr double kBoldWidening = 1.12;
constexpr std::size_t kMaxSideTitleLines = 2;

// Okabe-Ito colours: distinguishable with colour-vision deficiencies and in
// greyscale print.
constexpr std::array<std::string_view, 6> kPalette{"#0072B2", "#D55E00", "#009E73", "#CC79A7", "#E69F00", "#56B4E9"};
constexpr std::array kShapes{MarkerShape::kCircle, MarkerShape::kSquare, MarkerShape::kTriangle, MarkerShape::kDiamond};
// Each series' lines have a dash pattern of their own, so they can be told
// apart where colour is lost (a black-and-white print). The first is the
// pattern of the legend's entry that says what the lines show.
constexpr std::array<std::string_view, 4> kDashes{"6 4", "2 3", "10 3 2 3", "1 5"};
constexpr std::string_view kNeutral = "#555555";

bool continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Characters a full em wide: the wide ones of the listing too, and the
// ellipsis that ends a shortened label.
bool is_wide(char32_t code) { return code == 0x2026 || text::is_wide_character(code); }

std::vector<std::string> label_texts(const ChartData& chart) {
  if (!chart.tick_labels.empty()) return chart.tick_labels;
  std::vector<std::string> texts;
  for (int index = 1; index <= chart.strata; ++index) texts.push_back(std::to_string(index));
  return texts;
}

// Two lines split at the blank nearest the middle; one line without a blank.
std::vector<std::string> wrapped(const std::string& text) {
  std::size_t best = std::string::npos;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ' ') continue;
    const auto distance = [&](std::size_t p) { return std::abs(static_cast<double>(p) - text.size() / 2.0); };
    if (best == std::string::npos || distance(i) < distance(best)) best = i;
  }
  if (best == std::string::npos) return {text};
  return {text.substr(0, best), text.substr(best + 1)};
}

double widest(const std::vector<std::vector<std::string>>& lines, double size) {
  double width = 0;
  for (const auto& label : lines) {
    for (const std::string& line : label) width = std::max(width, text_width(line, size));
  }
  return width;
}

int thinning_step(double needed, double slot) { return std::max(1, static_cast<int>(std::ceil(needed / slot))); }

// The text cut to `width` pixels in its middle, keeping its start and end.
std::string shortened_in_middle(std::string_view text, double width, double size) {
  if (text_width(text, size) <= width) return std::string(text);
  const double room = width - text_width(kEllipsis, size);
  std::size_t head = 0;  // bytes kept at the start, whole characters
  for (std::size_t next = head; next < text.size(); head = next) {
    next = head + 1;
    while (next < text.size() && continuation_byte(text[next])) ++next;
    if (text_width(text.substr(0, next), size) > room / 2) break;
  }
  const double head_width = text_width(text.substr(0, head), size);
  std::size_t tail = text.size();  // where the kept end starts
  for (std::size_t next = tail; next > head; tail = next) {
    next = tail - 1;
    while (next > head && continuation_byte(text[next])) --next;
    if (head_width + text_width(text.substr(next), size) > room) break;
  }
  return std::string(text.substr(0, head)) + std::string(kEllipsis) + std::string(text.substr(tail));
}

// Stratum labels cut to `width` pixels. Labels that differ only past the
// cut (as the levels of a last strata variable do) would read alike when
// cut at the end, so then every label is cut in its middle instead.
std::vector<std::string> shortened_labels(const std::vector<std::string>& texts, double width, double size) {
  std::vector<std::string> cut;
  std::map<std::string, std::string_view> original_of;
  bool alike = false;
  for (const std::string& text : texts) {
    cut.push_back(shortened(text, width, size));
    const auto [known, added] = original_of.emplace(cut.back(), text);
    alike = alike || (!added && known->second != text);
  }
  if (!alike) return cut;
  for (std::size_t i = 0; i < texts.size(); ++i) cut[i] = shortened_in_middle(texts[i], width, size);
  return cut;
}

StratumLabels fit_across(const std::vector<std::string>& texts, double slot) {
  StratumLabels labels;
  for (const std::string& text : texts) labels.lines.push_back({text});
  if (widest(labels.lines, kTickSize) <= slot * kLabelFill) {
    labels.extent = kTickSize * kLineHeight;
    return labels;
  }
  StratumLabels two;
  two.fit = LabelFit::kWrapped;
  for (const std::string& text : texts) two.lines.push_back(wrapped(text));
  if (widest(two.lines, kTickSize) <= slot * kLabelFill) {
    two.extent = 2 * kTickSize * kLineHeight;
    return two;
  }
  labels.fit = LabelFit::kRotated;
  const std::vector<std::string> cut = shortened_labels(texts, kMaxLabelWidth, kTickSize);
  for (std::size_t i = 0; i < cut.size(); ++i) labels.lines[i][0] = cut[i];
  labels.extent = widest(labels.lines, kTickSize) * kRotation + kTickSize;
  labels.step = thinning_step(kTickSize * kLineHeight / kRotation, slot);
  return labels;
}

StratumLabels fit_beside(const std::vector<std::string>& texts, double slot) {
  StratumLabels labels;
  for (std::string& text : shortened_labels(texts, kMaxLabelWidth, kTickSize)) labels.lines.push_back({std::move(text)});
  labels.extent = widest(labels.lines, kTickSize);
  labels.step = thinning_step(kTickSize * kLineHeight, slot);
  return labels;
}

double widest_tick_label(const ValueAxis& values) {
  double width = 0;
  for (double tick : values.ticks) width = std::max(width, text_width(values.tick_label(tick), kTickSize));
  return width;
}

// The room right of a horizontal chart's frame: its last tick label stands
// centred on the frame's right edge and must end inside the drawing.
double right_of_value_ticks(const ValueAxis& values) {
  if (values.ticks.empty()) return kRightMargin;
  const double half = text_width(values.tick_label(values.ticks.back()), kTickSize) / 2;
  return std::max(kRightMargin, half + kGap / 2);
}

// The left edge a vertical chart needs so that no rotated stratum label,
// leaning left from its tick, starts left of the chart's margin.
double left_for_rotated_labels(const Frame& f, const StratumLabels& labels) {
  double needed = f.left;
  const double slot = f.width / (f.end - f.start);
  for (std::size_t i = 0; i < labels.lines.size(); i += static_cast<std::size_t>(labels.step)) {
    const double overhang = text_width(labels.lines[i][0], kTickSize) * kRotation - kTickSize * kRotatedLabelShift;
    const double offset = (static_cast<double>(i + 1) - f.start) * slot;
    needed = std::max(needed, kChartMargin + overhang - offset);
  }
  return needed;
}

// The title along the side of the frame, turned upright: on a second line
// when longer than the frame, and shortened when even two lines are too short.
std::vector<std::string> side_title_lines(const std::string& title, double length) {
  std::vector<std::string> lines = wrapped_lines(title, length, kAxisTitleSize, true);
  if (lines.size() <= kMaxSideTitleLines) return lines;
  std::string last = lines[kMaxSideTitleLines - 1];
  for (std::size_t i = kMaxSideTitleLines; i < lines.size(); ++i) {
    last += ' ';
    last += lines[i];
  }
  lines.resize(kMaxSideTitleLines);
  lines.back() = shortened(last, length / kBoldWidening, kAxisTitleSize);
  return lines;
}

double title_block(const ChartLayout& layout) {
  return kChartMargin + layout.title.size() * kTitleSize * kLineHeight +
         layout.subtitle.size() * kSubtitleSize * kLineHeight + kGap;
}

}  // namespace

double text_width(std::string_view text, double size) {
  double ems = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      ems += byte >= ' ' && byte <= '~' ? kAsciiAdvance[byte - ' '] / 1000.0 : 0;
      ++i;
      continue;
    }
    char32_t code = byte & (byte >= 0xF0 ? 0x07 : byte >= 0xE0 ? 0x0F : 0x1F);
    for (++i; i < text.size() && continuation_byte(text[i]); ++i) code = (code << 6) | (text[i] & 0x3F);
    if (code >= kExtendedFirst && code - kExtendedFirst < kExtendedAdvance.size()) {
      ems += (kExtendedAdvance[code - kExtendedFirst] - 32) / 64.0;
    } else {
      ems += is_wide(code) ? kWideAdvance : kLetterAdvance;
    }
  }
  return ems * size;
}

std::string shortened(std::string_view text, double width, double size) {
  if (text_width(text, size) <= width) return std::string(text);
  std::string out(text);
  const double ellipsis = text_width(kEllipsis, size);
  while (!out.empty() && text_width(out, size) + ellipsis > width) {
    // One whole character goes: its continuation bytes, then its first byte.
    while (!out.empty() && continuation_byte(out.back())) out.pop_back();
    if (!out.empty()) out.pop_back();
  }
  return out + std::string(kEllipsis);
}

std::vector<std::string> wrapped_lines(std::string_view text, double width, double size, bool bold) {
  const double measured = bold ? width / kBoldWidening : width;
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t blank = std::min(text.find(' ', start), text.size());
    const std::string_view word = text.substr(start, blank - start);
    start = blank + 1;
    if (word.empty()) continue;
    std::string longer = line.empty() ? std::string(word) : line + ' ' + std::string(word);
    if (!line.empty() && text_width(longer, size) > measured) {
      lines.push_back(std::move(line));
      longer = std::string(word);
    }
    line = shortened(longer, measured, size);
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

StratumLabels fit_stratum_labels(const ChartData& chart, double slot) {
  const std::vector<std::string> texts = label_texts(chart);
  return chart.horizontal ? fit_beside(texts, slot) : fit_across(texts, slot);
}

std::string_view series_color(std::size_t k) { return kPalette[k % kPalette.size()]; }
MarkerShape series_shape(std::size_t k) { return kShapes[k % kShapes.size()]; }
std::string_view series_dashes(std::size_t k) { return kDashes[k % kDashes.size()]; }
std::string_view line_entry_dashes() { return kDashes[0]; }

bool below_log_axis(const ChartData& chart, double value) { return chart.log_scale && value <= 0; }

bool has_points_below_log_axis(const ChartData& chart) {
  for (const ChartSeries& series : chart.series) {
    for (const ChartPoint& point : series.points) {
      if (below_log_axis(chart, point.value)) return true;
    }
  }
  return false;
}

std::pair<double, double> limit_bar(const ChartSeries& series, const ChartRange& range) {
  double estimate = NAN;
  for (const ChartPoint& point : series.points) {
    if (std::abs(point.position - range.position) < 1e-9) {
      estimate = point.value;
      break;
    }
  }
  return {std::isnan(range.low) ? estimate : range.low, std::isnan(range.high) ? estimate : range.high};
}

namespace {

// True when the chart draws some limit bar: limits missing in every stratum
// (a BY group without events) leave their legend entry out.
bool draws_limits(const ChartData& chart) {
  for (const ChartSeries& series : chart.series) {
    for (const ChartRange& range : series.limits) {
      const auto [from, to] = limit_bar(series, range);
      if (on_value_axis(from, chart.log_scale) && on_value_axis(to, chart.log_scale)) return true;
    }
  }
  return false;
}

}  // namespace

std::vector<LegendEntry> legend_entries(const ChartData& chart) {
  std::vector<LegendEntry> entries;
  bool lines = false;
  // A bar chart's entries read in the order of its bars within a stratum,
  // left to right (series without bars after them). A stratum's bars stand
  // around its whole-numbered position, so a bar's offset from it places
  // the series, whichever stratum its first bar is in.
  std::vector<std::size_t> order(chart.series.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  if (chart.bars) {
    const auto first_bar = [&chart](std::size_t k) {
      const auto& bars = chart.series[k].bars;
      if (bars.empty()) return std::numeric_limits<double>::infinity();
      return bars.front().position - std::round(bars.front().position);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&first_bar](std::size_t a, std::size_t b) { return first_bar(a) < first_bar(b); });
  }
  for (const std::size_t k : order) {
    const LegendGlyph glyph = chart.bars ? LegendGlyph::kSwatch : LegendGlyph::kMarker;
    entries.push_back({glyph, series_color(k), series_shape(k), chart.series[k].name});
    bool drawn = false;
    for (const auto& line : chart.series[k].lines) {
      for (const ChartPoint& vertex : line) {
        drawn = drawn || (std::isfinite(vertex.value) && !below_log_axis(chart, vertex.value));
      }
    }
    if (drawn) entries.back().dashes = series_dashes(k);
    lines = lines || drawn;
  }
  if (has_points_below_log_axis(chart)) {
    entries.push_back({LegendGlyph::kFloor, kNeutral, MarkerShape::kCircle, std::string(kBelowLogAxisText)});
  }
  if (!chart.limit_label.empty() && draws_limits(chart)) {
    entries.push_back({LegendGlyph::kLimit, kNeutral, MarkerShape::kCircle, chart.limit_label});
  }
  if (lines && !chart.line_label.empty()) {
    entries.push_back({LegendGlyph::kLine, kNeutral, MarkerShape::kCircle, chart.line_label});
  }
  return entries;
}

int place_legend(std::vector<LegendEntry>& entries, double width) {
  // Entries too long for a row are shortened as stratum labels are: names
  // that differ only near their end (two populations' long GROUP= values)
  // keep both ends, so that no two entries read alike.
  std::vector<std::string> texts;
  for (const LegendEntry& entry : entries) texts.push_back(entry.text);
  texts = shortened_labels(texts, width - kLegendGlyph, kLegendSize);
  int row = 0;
  double x = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    LegendEntry& entry = entries[i];
    entry.text = std::move(texts[i]);
    const double size = kLegendGlyph + text_width(entry.text, kLegendSize);
    if (x > 0 && x + size > width) {
      ++row;
      x = 0;
    }
    entry.x = x;
    entry.row = row;
    x += size + kLegendSpacing;
  }
  return entries.empty() ? 0 : row + 1;
}

double Frame::along(double position) const {
  const double share = (position - start) / (end - start);
  return horizontal ? top + share * height : left + share * width;
}

double Frame::across(double value) const {
  const double share = values.fraction(value);
  return horizontal ? left + share * width : top + height - share * height;
}

std::pair<double, double> Frame::at(double position, double value) const {
  if (horizontal) return {across(value), along(position)};
  return {along(position), across(value)};
}

ChartLayout lay_out_chart(const ChartData& chart, ValueAxis values) {
  ChartLayout layout;
  Frame& f = layout.frame;
  f.horizontal = chart.horizontal;
  f.start = chart.axis_start;
  f.end = chart.axis_end;
  f.values = std::move(values);
  const double text_room = kChartWidth - 2 * kChartMargin;
  layout.title = wrapped_lines(chart.title, text_room, kTitleSize, true);
  layout.subtitle = wrapped_lines(chart.subtitle, text_room, kSubtitleSize, false);
  f.top = title_block(layout);
  const double axis_title = kAxisTitleSize * kLineHeight;
  double below = 0;
  f.height = chart.horizontal ? std::clamp((f.end - f.start) * kHorizontalSlot, kMinHorizontalPlot, kMaxHorizontalPlot)
                              : kPlotHeight;
  layout.side_title = side_title_lines(chart.horizontal ? chart.stratum_title : chart.value_title, f.height);
  const double side_title = static_cast<double>(layout.side_title.size()) * axis_title;
  if (chart.horizontal) {
    layout.labels = fit_stratum_labels(chart, f.height / (f.end - f.start));
    f.left = kChartMargin + side_title + layout.labels.extent + 2 * kGap;
    below = kTickSize * kLineHeight;
  } else {
    f.left = kChartMargin + side_title + widest_tick_label(f.values) + kGap;
    layout.labels = fit_stratum_labels(chart, (kChartWidth - f.left - kRightMargin) / (f.end - f.start));
    // Long rotated labels near the start push the frame right; a narrower
    // frame has narrower slots, so the fit is made again (twice settles it).
    for (int round = 0; round < 2 && layout.labels.fit == LabelFit::kRotated; ++round) {
      f.width = kChartWidth - f.left - kRightMargin;
      const double left = left_for_rotated_labels(f, layout.labels);
      if (left <= f.left) break;
      f.left = left;
      layout.labels = fit_stratum_labels(chart, (kChartWidth - f.left - kRightMargin) / (f.end - f.start));
    }
    below = layout.labels.extent;
  }
  f.width = kChartWidth - f.left - (chart.horizontal ? right_of_value_ticks(f.values) : kRightMargin);
  layout.bottom_title = shortened(chart.horizontal ? chart.value_title : chart.stratum_title, f.width / kBoldWidening,
                                  kAxisTitleSize);
  layout.legend = legend_entries(chart);
  layout.legend_rows = place_legend(layout.legend, kChartWidth - 2 * kChartMargin);
  layout.legend_top = f.top + f.height + kGap + below + kGap + axis_title + kGap;
  layout.height = layout.legend_top + layout.legend_rows * kLegendRow + kChartMargin;
  return layout;
}

}  // namespace quilvar::runtime::output
