// StyleRules: what a stylesheet says of the sides of IMG elements.
//
// A written width and height are a browser's only source for a side that no
// style sets. Where a style sets one side (or bounds it) and leaves the
// other to the picture, the written other side distorts it. Of a
// stylesheet, only that is kept: the rules that set width, height or their
// max- and min- bounds (or their logical names), reduced to the last
// compound of each selector that can match an IMG element. Everything else
// of the sheet is dropped while it is read.
//
// A rule that fixes a side counts when it may apply: the ancestors of a
// compound are taken as matching, pseudo-classes too, @media and @supports
// blocks count as applying, and classes, ids and attribute values are
// compared without regard to ASCII case (as in quirks mode). A rule that
// gives the other side (height: auto) counts only when it surely applies:
// a selector of one compound, outside any condition. Either way a doubtful
// rule keeps the tag from getting a size, which never changes what a page
// shows.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamarind::css {

// What declarations say of the two sides of an element.
struct Sides {
  // The property itself is given (any value, auto too): the attribute of
  // that side no longer counts.
  bool widthGiven = false, heightGiven = false;
  // The side is fixed or bounded: width, max-width or min-width (height,
  // max-height or min-height) with a value that does not leave it free
  // (auto, none for a max-, auto or 0 for a min-). 0 when not; else the
  // line of the first declaration that does it.
  uint32_t widthFixedAt = 0, heightFixedAt = 0;
  // An aspect-ratio of the box's own (not auto): unless a style gives the
  // height, the written height sets the box and the ratio its width. The
  // line of its first declaration, or 0.
  uint32_t ratioFixedAt = 0;

  bool Any() const {
    return widthGiven || heightGiven || widthFixedAt || heightFixedAt || ratioFixedAt;
  }
};

// An attribute selector: [name], [name=value], [name~=value] and the others.
struct AttributeTest {
  std::string name;  // lower case
  char op = 0;       // 0 (present), '=', '~', '|', '^', '$', '*'
  std::string value;
};

// The last compound of a selector that can match an IMG: its classes, ids
// and attribute tests (a type selector is img or none).
struct Compound {
  // The whole selector: no ancestors, siblings or pseudo-classes that
  // would have to match as well. Only such a compound surely matches.
  bool alone = true;
  std::vector<std::string> classes;
  std::vector<std::string> ids;
  std::vector<AttributeTest> attributes;
};

struct SideRule {
  std::vector<Compound> targets;  // any of them
  Sides sides;
  // Inside @media, @supports or the like: it may apply, or not.
  bool conditional = false;
};

// The attributes of one tag, by lower-case name: the value with its quotes
// dropped, none when the tag has no such attribute with a value.
using AttributeLookup = std::function<std::optional<std::string_view>(std::string_view)>;

bool Matches(const Compound& compound, const AttributeLookup& attributes);

struct StyleSheet {
  std::vector<SideRule> rules;
  // The addresses of the sheet's @import rules, as written (decoded).
  std::vector<std::string> imports;
};

// Reads a stylesheet whose first byte stands on line `firstLine`.
StyleSheet ParseStyleSheet(std::string_view text, uint32_t firstLine = 1);

// Reads the declarations of a style attribute; the fixed sides carry line 1.
Sides ParseDeclarations(std::string_view text);

}  // namespace tamarind::css
