// A small writer of SVG markup: shapes and texts with presentation
// attributes only (no style sheet, no identifiers, no scripts), so the
// drawing stands alone as a file and inside an HTML page without touching
// the page's styles.
#pragma once

#include <string>
#include <string_view>

namespace quilvar::runtime::output {

enum class TextAnchor { kStart, kMiddle, kEnd };

struct TextStyle {
  double size = 11;
  TextAnchor anchor = TextAnchor::kStart;
  bool bold = false;
  double rotate = 0;  // degrees, around the text's anchor point
  std::string_view color = "#222";
};

struct StrokeStyle {
  std::string_view color = "#222";
  double width = 1;
  std::string_view dashes = {};  // a stroke-dasharray; solid when empty
};

// Marker shapes of the data series.
enum class MarkerShape { kCircle, kSquare, kTriangle, kDiamond };

class SvgWriter {
 public:
  // Starts a drawing of width × height pixels with its title and
  // description (the text alternative).
  SvgWriter(double width, double height, std::string_view title, std::string_view description);

  void line(double x1, double y1, double x2, double y2, const StrokeStyle& stroke);
  void rect(double x, double y, double width, double height, std::string_view fill, const StrokeStyle* stroke);
  void marker(double x, double y, MarkerShape shape, double size, std::string_view color);
  void text(double x, double y, std::string_view content, const TextStyle& style);
  // Starts and ends a group that screen readers skip (decoration).
  void begin_group(std::string_view label);
  void end_group();

  // The finished markup.
  std::string finish();

 private:
  std::string out_;
};

// Appends the text with &, <, >, " and ' escaped for markup (SVG, and the
// HTML report), and with control characters other than tab and line ends,
// and bytes that are not UTF-8, replaced by U+FFFD, which XML cannot hold.
void append_markup_escaped(std::string* out, std::string_view text);
// The text escaped as append_markup_escaped does.
std::string xml_escaped(std::string_view text);

// A coordinate with at most two decimals.
std::string svg_number(double value);

}  // namespace quilvar::runtime::output
