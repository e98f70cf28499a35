// The size of an SVG picture: what its root element says, as a browser lays
// out an <img> that shows it.
//
// House rules of this file:
//  - Only the start of the file is read (kSvgHead bytes): the root element
//    comes after at most a declaration, comments, processing instructions
//    and a DOCTYPE, and nothing later can change its size.
//  - Anything the text does not say plainly is no size. A wrong number in a
//    tag is worse than none: the browser would stretch the picture to it.
#include <cmath>
#include <optional>
#include <string>

#include "Ascii.h"
#include "probe/ImageFile.h"
#include "probe/SvgSize.h"

namespace tamarind {
namespace {

constexpr size_t kSvgHead = 64 * 1024;

bool IsNameEnd(char c) {
  return IsBlank(c) || c == '/' || c == '>' || c == '=';
}

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
  return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

// Moves `at` past the first `end` found from it; false when there is none.
bool SkipPast(std::string_view text, size_t& at, std::string_view end) {
  const size_t found = text.find(end, at);
  if (found == std::string_view::npos) return false;
  at = found + end.size();
  return true;
}

// A DOCTYPE may hold an internal subset in brackets, whose declarations
// carry quoted strings and ">" of their own.
bool SkipDoctype(std::string_view text, size_t& at) {
  int depth = 0;
  char quote = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']') {
      --depth;
    } else if (c == '>' && depth <= 0) {
      ++at;
      return true;
    }
  }
  return false;
}

// The attributes of the root element that decide its size.
struct RootAttributes {
  std::optional<std::string_view> width, height, viewBox;
};

// Finds the root element and reads its attributes. False when the text
// holds no svg root element whose start tag ends within it.
bool ReadRoot(std::string_view text, RootAttributes& root) {
  size_t at = 0;
  if (StartsWith(text, 0, "\xEF\xBB\xBF")) at = 3;  // a UTF-8 byte order mark
  for (;;) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at >= text.size() || text[at] != '<') return false;
    if (StartsWith(text, at, "<?")) {
      if (!SkipPast(text, at, "?>")) return false;
    } else if (StartsWith(text, at, "<!--")) {
      at += 4;
      if (!SkipPast(text, at, "-->")) return false;
    } else if (StartsWith(text, at, "<!")) {
      at += 2;
      if (!SkipDoctype(text, at)) return false;
    } else {
      break;
    }
  }

  // The root's name: "svg", or "svg" behind a namespace prefix.
  const size_t nameStart = ++at;
  while (at < text.size() && !IsNameEnd(text[at])) ++at;
  const std::string_view name = text.substr(nameStart, at - nameStart);
  if (name != "svg" && !(name.size() > 4 && name.substr(name.size() - 4) == ":svg")) return false;

  for (;;) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at >= text.size()) return false;  // the start tag goes on past the head
    if (text[at] == '>' || text[at] == '/') return true;
    const size_t attrStart = at;
    while (at < text.size() && !IsNameEnd(text[at])) ++at;
    const std::string_view attr = text.substr(attrStart, at - attrStart);
    if (attr.empty()) return false;  // a stray "=": not well-formed
    while (at < text.size() && IsBlank(text[at])) ++at;
    std::string_view value;
    if (at < text.size() && text[at] == '=') {
      ++at;
      while (at < text.size() && IsBlank(text[at])) ++at;
      if (at >= text.size()) return false;
      const char quote = text[at];
      if (quote != '"' && quote != '\'') return false;
      const size_t close = text.find(quote, at + 1);
      if (close == std::string_view::npos) return false;
      value = text.substr(at + 1, close - at - 1);
      at = close + 1;
    }
    // In XML a name stands once in a tag; should it not, the first counts,
    // as in the browsers' HTML parsing.
    if (attr == "width" && !root.width) root.width = value;
    if (attr == "height" && !root.height) root.height = value;
    if (attr == "viewBox" && !root.viewBox) root.viewBox = value;
  }
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A CSS number at the front of `s`: sign, digits, fraction, exponent. The
// number is taken off `s`.
std::optional<double> TakeNumber(std::string_view& s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const size_t digitsStart = i;
  while (i < s.size() && IsAsciiDigit(s[i])) ++i;
  size_t digits = i - digitsStart;
  if (i < s.size() && s[i] == '.') {
    const size_t fractionStart = ++i;
    while (i < s.size() && IsAsciiDigit(s[i])) ++i;
    digits += i - fractionStart;
  }
  if (digits == 0) return std::nullopt;
  // An exponent only when digits follow: "1e" is the number 1 and a unit.
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && IsAsciiDigit(s[j])) {
      while (j < s.size() && IsAsciiDigit(s[j])) ++j;
      i = j;
    }
  }
  const std::string number(s.substr(0, i));
  s.remove_prefix(i);
  char* end = nullptr;
  const double value = std::strtod(number.c_str(), &end);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// What a width or height attribute of the root says of that side.
struct Side {
  enum Kind {
    Absolute,  // a length in pixels
    Auto,      // missing, "auto" or a percentage: the side follows the other
    Unknown,   // em, ex, a negative length, anything else: not to be guessed
  } kind = Auto;
  double pixels = 0;
};

// em and ex count in the font of the picture, which a style sheet inside it
// may set, and a number the browser reads some other way is no better: such
// a side gives no size rather than a wrong one.
Side SideOf(std::optional<std::string_view> attribute) {
  if (!attribute) return {};
  std::string_view s = Trim(*attribute);
  if (EqualsIgnoringAsciiCase(s, "auto")) return {};
  const std::optional<double> number = TakeNumber(s);
  if (!number) return {Side::Unknown};
  if (s == "%") return {};
  if (*number < 0) return {Side::Unknown};
  static constexpr struct {
    std::string_view unit;
    double pixels;
  } kUnits[] = {
      {"", 1.0},           {"px", 1.0},         {"in", 96.0},        {"cm", 96.0 / 2.54},
      {"mm", 96.0 / 25.4}, {"q", 96.0 / 101.6}, {"pt", 96.0 / 72.0}, {"pc", 16.0},
  };
  for (const auto& u : kUnits) {
    if (EqualsIgnoringAsciiCase(s, u.unit)) return {Side::Absolute, *number * u.pixels};
  }
  return {Side::Unknown};
}

// The viewBox's width and height, when it is four numbers and both are
// above 0.
bool ViewBoxSize(std::optional<std::string_view> attribute, double& width, double& height) {
  if (!attribute) return false;
  std::string_view s = *attribute;
  double numbers[4];
  for (int i = 0; i < 4; ++i) {
    while (!s.empty() && (IsBlank(s.front()) || (i > 0 && s.front() == ','))) {
      s.remove_prefix(1);
    }
    const std::optional<double> n = TakeNumber(s);
    if (!n) return false;
    numbers[i] = *n;
  }
  if (!Trim(s).empty()) return false;
  width = numbers[2];
  height = numbers[3];
  return width > 0 && height > 0;
}

// Rounded to the nearest pixel, halves up; false past what a tag can hold.
bool ToPixels(double value, uint32_t& out) {
  const double rounded = std::floor(value + 0.5);
  if (!(rounded >= 0) || rounded > 2147483647.0) return false;
  out = static_cast<uint32_t>(rounded);
  return true;
}

}  // namespace

bool SvgSizeOf(std::string_view text, ProbeResult& size) {
  size = {};
  RootAttributes root;
  if (!ReadRoot(text.substr(0, kSvgHead), root)) return false;
  // From here on the picture is an SVG; without a size it is one the
  // browser stretches to the page.
  size.reason = MissReason::NoOwnSize;
  const Side width = SideOf(root.width);
  const Side height = SideOf(root.height);
  double w = width.pixels, h = height.pixels;
  if (width.kind == Side::Unknown || height.kind == Side::Unknown) return false;
  if (width.kind == Side::Auto && height.kind == Side::Auto) return false;
  if (width.kind == Side::Auto || height.kind == Side::Auto) {
    double boxWidth = 0, boxHeight = 0;
    if (!ViewBoxSize(root.viewBox, boxWidth, boxHeight)) return false;
    if (width.kind == Side::Auto) w = h * boxWidth / boxHeight;
    if (height.kind == Side::Auto) h = w * boxHeight / boxWidth;
  }
  uint32_t pixelWidth = 0, pixelHeight = 0;
  if (!ToPixels(w, pixelWidth) || !ToPixels(h, pixelHeight)) {
    size.reason = MissReason::NoSize;  // a size too large for a tag
    return false;
  }
  // A side of no pixels is no size: a tag with width=0 would hide the picture.
  if (pixelWidth == 0 || pixelHeight == 0) {
    size.reason = MissReason::NoSize;
    return false;
  }
  size.width = pixelWidth;
  size.height = pixelHeight;
  return true;
}

bool ReadSVG(ImageFile& f, ProbeResult& size) {
  std::string head;
  head.reserve(static_cast<size_t>(std::min<uint64_t>(f.Size(), kSvgHead)));
  uint8_t b = 0;
  while (head.size() < kSvgHead && f.ReadByte(b)) head += static_cast<char>(b);
  return SvgSizeOf(head, size);
}

}  // namespace tamarind
