#include "html/Srcset.h"

#include <charconv>
#include <string>

#include "Ascii.h"

namespace tamarind {
namespace {

// One or more ASCII digits, nothing else.
bool IsNonNegativeInteger(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!IsAsciiDigit(c)) return false;
  }
  return true;
}

size_t SkipDigits(std::string_view s, size_t i) {
  while (i < s.size() && IsAsciiDigit(s[i])) ++i;
  return i;
}

// A valid floating-point number: an optional "-", digits, a fraction or
// both ("2", "1.5", ".5"), then an optional exponent ("1e1", "1E-1").
bool IsFloatingPointNumber(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  const size_t whole = i;
  i = SkipDigits(s, i);
  bool digits = i > whole;
  if (i < s.size() && s[i] == '.') {
    const size_t fraction = i + 1;
    i = SkipDigits(s, fraction);
    if (i == fraction) return false;
    digits = true;
  }
  if (!digits) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    const size_t exponent = i;
    i = SkipDigits(s, i);
    if (i == exponent) return false;
  }
  return i == s.size();
}

unsigned long IntegerOf(std::string_view s) {
  unsigned long n = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
  return error == std::errc() ? n : ~0UL;  // too many digits: as large as it gets
}

// The descriptors of one candidate read into it; false when they make it
// no candidate.
bool ReadDescriptors(const std::vector<std::string_view>& descriptors, SrcsetCandidate& c) {
  bool width = false, density = false, height = false;
  for (const std::string_view d : descriptors) {
    const std::string_view number = d.substr(0, d.size() - 1);
    const char last = d.back();
    if (last == 'w' && IsNonNegativeInteger(number)) {
      if (width || density) return false;
      width = true;
      c.hasWidth = true;
      c.width = IntegerOf(number);
      if (c.width == 0) return false;
    } else if (last == 'x' && IsFloatingPointNumber(number)) {
      if (width || density || height) return false;
      density = true;
      const std::string text(number);
      double value = 0;
      std::from_chars(text.data(), text.data() + text.size(), value);
      if (value < 0) return false;
      c.density = value;
    } else if (last == 'h' && IsNonNegativeInteger(number)) {
      if (height || density) return false;
      height = true;
      if (IntegerOf(number) == 0) return false;
    } else {
      return false;
    }
  }
  return !height || width;
}

// Collects the descriptors after a URL, from `i` up to the comma that ends
// the candidate (outside parentheses) or the end; returns where reading
// goes on.
size_t CollectDescriptors(std::string_view v, size_t i, std::vector<std::string_view>& out) {
  while (i < v.size() && IsHtmlSpace(v[i])) ++i;
  size_t start = i;  // of the current descriptor
  bool inParens = false;
  const auto finish = [&](size_t end) {
    if (end > start) out.push_back(v.substr(start, end - start));
  };
  for (; i < v.size(); ++i) {
    const char c = v[i];
    if (inParens) {
      if (c == ')') inParens = false;
    } else if (IsHtmlSpace(c)) {
      finish(i);
      while (i + 1 < v.size() && IsHtmlSpace(v[i + 1])) ++i;
      start = i + 1;
    } else if (c == ',') {
      finish(i);
      return i + 1;
    } else if (c == '(') {
      inParens = true;
    }
  }
  finish(i);
  return i;
}

}  // namespace

std::vector<SrcsetCandidate> ParseSrcset(std::string_view v) {
  std::vector<SrcsetCandidate> candidates;
  std::vector<std::string_view> descriptors;
  size_t i = 0;
  for (;;) {
    while (i < v.size() && (IsHtmlSpace(v[i]) || v[i] == ',')) ++i;
    if (i >= v.size()) return candidates;
    const size_t start = i;
    while (i < v.size() && !IsHtmlSpace(v[i])) ++i;
    std::string_view url = v.substr(start, i - start);
    descriptors.clear();
    if (url.back() == ',') {
      // A comma that ends the URL ends the candidate: it has no descriptors.
      while (!url.empty() && url.back() == ',') url.remove_suffix(1);
    } else {
      i = CollectDescriptors(v, i, descriptors);
    }
    SrcsetCandidate c;
    c.url = url;
    if (!url.empty() && ReadDescriptors(descriptors, c)) candidates.push_back(c);
  }
}

}  // namespace tamarind
