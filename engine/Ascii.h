// Small rules about ASCII text that several units share: byte classes and
// comparing without regard to letter case.
#pragma once

#include <string_view>

namespace tamarind {

// Two sets of blanks are told apart on purpose. IsBlank is space, tab, CR
// and LF: white space in XML (an XML declaration, an SVG document).
// IsHtmlSpace adds the form feed: HTML's white space, which separates a
// tag's name and attributes, ends an unquoted value and is dropped around a
// URL and in front of a number. A NUL or other control byte is neither: in a
// tag, a browser reads it as part of a name or value. CSS's white space is
// HTML's too.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
inline bool IsHtmlSpace(char c) {
  return IsBlank(c) || c == '\f';
}
inline bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}
inline bool IsAsciiLetter(char c) {
  return static_cast<unsigned char>((c | 0x20) - 'a') < 26;
}
// The value of a hexadecimal digit (either case), or -1 for any other byte.
inline int AsciiHexValue(char c) {
  if (IsAsciiDigit(c)) return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names of tags, attributes, formats and units are compared without regard
// to the case of ASCII letters only: a byte of a multi-byte character never
// equals another byte by accident of case folding.
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

inline bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace tamarind
