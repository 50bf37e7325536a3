// SVG markup for the graph renderer.
#include "runtime/output/svg_writer.hpp"

#include <charconv>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "runtime/text/utf8.hpp"

namespace quilvar::runtime::output {
namespace {

constexpr std::string_view kFontFamily = "DejaVu Sans, Helvetica, Arial, sans-serif";
constexpr double kHalf = 0.5;
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

std::string_view anchor_name(TextAnchor anchor) {
  switch (anchor) {
    case TextAnchor::kMiddle: return "middle";
    case TextAnchor::kEnd: return "end";
    default: return "start";
  }
}

// Appends ` name="value"`.
void attribute(std::string& out, std::string_view name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  out += value;
  out += '"';
}

void number_attribute(std::string& out, std::string_view name, double value) { attribute(out, name, svg_number(value)); }

void stroke_attributes(std::string& out, const StrokeStyle& stroke) {
  attribute(out, "stroke", stroke.color);
  number_attribute(out, "stroke-width", stroke.width);
  if (!stroke.dashes.empty()) attribute(out, "stroke-dasharray", stroke.dashes);
}

// The points attribute of a polygon.
std::string polygon_points(std::initializer_list<std::pair<double, double>> points) {
  std::string text;
  for (const auto& [x, y] : points) {
    if (!text.empty()) text += ' ';
    text += svg_number(x);
    text += ',';
    text += svg_number(y);
  }
  return text;
}

}  // namespace

// XML 1.0 has no way to write most control characters, not even as
// character references, and a byte that is not UTF-8 makes the whole file
// unreadable to XML parsers; data texts may hold either. Each such
// character or byte becomes U+FFFD (as a stray byte does in the JSON
// document), so that one odd BY value cannot spoil the plot file or the
// report.
void append_markup_escaped(std::string* out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const text::Utf8Character decoded = text::decode_utf8(text, i);
      const bool allowed = decoded.length > 0 && decoded.code != 0xFFFE && decoded.code != 0xFFFF;
      *out += allowed ? text.substr(i, decoded.length) : kReplacementCharacter;
      i += decoded.length > 0 ? decoded.length : 1;
      continue;
    }
    ++i;
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      case '\'': *out += "&#39;"; break;
      case '\t':
      case '\n':
      case '\r': *out += c; break;
      default:
        if (byte < ' ') {
          *out += kReplacementCharacter;
        } else {
          *out += c;
        }
    }
  }
}

std::string xml_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_markup_escaped(&out, text);
  return out;
}

std::string svg_number(double value) {
  const double hundredths = std::round(value * 100);
  // Coordinates and sizes: whole hundredths written as digits, the
  // decimals without trailing zeros. Far below the point where a double
  // loses its hundredths, so the text is the same as the general path's.
  constexpr double kWholeHundredthsBelow = 1e12;
  if (std::fabs(hundredths) < kWholeHundredthsBelow) {
    const long long whole = static_cast<long long>(hundredths);
    const unsigned long long magnitude = static_cast<unsigned long long>(whole < 0 ? -whole : whole);
    std::string text = whole < 0 ? "-" : "";
    text += std::to_string(magnitude / 100);
    const unsigned fraction = static_cast<unsigned>(magnitude % 100);
    if (fraction != 0) {
      text += '.';
      text += static_cast<char>('0' + fraction / 10);
      if (fraction % 10 != 0) text += static_cast<char>('0' + fraction % 10);
    }
    return text;
  }
  // Room for the widest fixed text of a double (309 digits, sign, point, two decimals).
  char buffer[320];
  const double rounded = hundredths / 100;
  const auto [end, failed] = std::to_chars(buffer, buffer + sizeof buffer, rounded == 0 ? 0.0 : rounded,
                                           std::chars_format::fixed, 2);
  std::string text(buffer, failed == std::errc() ? end : buffer);
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

SvgWriter::SvgWriter(double width, double height, std::string_view title, std::string_view description) {
  out_ = "<svg";
  attribute(out_, "xmlns", "http://www.w3.org/2000/svg");
  attribute(out_, "version", "1.1");
  number_attribute(out_, "width", width);
  number_attribute(out_, "height", height);
  attribute(out_, "viewBox", "0 0 " + svg_number(width) + ' ' + svg_number(height));
  attribute(out_, "role", "img");
  attribute(out_, "font-family", kFontFamily);
  out_ += ">\n<title>";
  out_ += xml_escaped(title);
  out_ += "</title>\n<desc>";
  out_ += xml_escaped(description);
  out_ += "</desc>\n";
  rect(0, 0, width, height, "#ffffff", nullptr);
}

void SvgWriter::line(double x1, double y1, double x2, double y2, const StrokeStyle& stroke) {
  out_ += "<line";
  number_attribute(out_, "x1", x1);
  number_attribute(out_, "y1", y1);
  number_attribute(out_, "x2", x2);
  number_attribute(out_, "y2", y2);
  stroke_attributes(out_, stroke);
  out_ += "/>\n";
}

void SvgWriter::rect(double x, double y, double width, double height, std::string_view fill,
                     const StrokeStyle* stroke) {
  out_ += "<rect";
  number_attribute(out_, "x", x);
  number_attribute(out_, "y", y);
  number_attribute(out_, "width", width);
  number_attribute(out_, "height", height);
  attribute(out_, "fill", fill);
  if (stroke != nullptr) {
    stroke_attributes(out_, *stroke);
  } else {
    attribute(out_, "stroke", "none");
  }
  out_ += "/>\n";
}

// Markers have a thin white outline so that overlapping ones stay apart.
void SvgWriter::marker(double x, double y, MarkerShape shape, double size, std::string_view color) {
  const double r = size * kHalf;
  switch (shape) {
    case MarkerShape::kSquare:
      out_ += "<rect";
      number_attribute(out_, "x", x - r);
      number_attribute(out_, "y", y - r);
      number_attribute(out_, "width", size);
      number_attribute(out_, "height", size);
      break;
    case MarkerShape::kTriangle:
      out_ += "<polygon";
      attribute(out_, "points", polygon_points({{x, y - r * 1.2}, {x + r * 1.1, y + r * 0.8}, {x - r * 1.1, y + r * 0.8}}));
      break;
    case MarkerShape::kDiamond:
      out_ += "<polygon";
      attribute(out_, "points", polygon_points({{x, y - r * 1.3}, {x + r, y}, {x, y + r * 1.3}, {x - r, y}}));
      break;
    default:
      out_ += "<circle";
      number_attribute(out_, "cx", x);
      number_attribute(out_, "cy", y);
      number_attribute(out_, "r", r);
  }
  attribute(out_, "fill", color);
  attribute(out_, "stroke", "#ffffff");
  attribute(out_, "stroke-width", "0.8");
  out_ += "/>\n";
}

void SvgWriter::text(double x, double y, std::string_view content, const TextStyle& style) {
  out_ += "<text";
  number_attribute(out_, "x", x);
  number_attribute(out_, "y", y);
  number_attribute(out_, "font-size", style.size);
  attribute(out_, "fill", style.color);
  if (style.anchor != TextAnchor::kStart) attribute(out_, "text-anchor", anchor_name(style.anchor));
  if (style.bold) attribute(out_, "font-weight", "bold");
  if (style.rotate != 0) {
    attribute(out_, "transform", "rotate(" + svg_number(style.rotate) + ' ' + svg_number(x) + ' ' + svg_number(y) + ')');
  }
  out_ += '>';
  out_ += xml_escaped(content);
  out_ += "</text>\n";
}

void SvgWriter::begin_group(std::string_view label) {
  out_ += "<g";
  if (label.empty()) {
    attribute(out_, "aria-hidden", "true");
  } else {
    attribute(out_, "aria-label", xml_escaped(label));
  }
  out_ += ">\n";
}

void SvgWriter::end_group() { out_ += "</g>\n"; }

std::string SvgWriter::finish() { return out_ + "</svg>"; }

}  // namespace quilvar::runtime::output
