// The candidates of a srcset attribute, read as browsers read them.
#pragma once

#include <string_view>
#include <vector>

namespace tamarind {

// One picture a srcset offers: its URL as written (a view into the value)
// and its descriptor. A candidate without one stands at density 1.
struct SrcsetCandidate {
  std::string_view url;
  double density = 1;  // when no width is given
  bool hasWidth = false;
  unsigned long width = 0;  // the "w" descriptor, when given
};

// The candidates of a srcset value, in order, as the HTML standard's srcset
// parsing reads it: candidates are separated by commas and white space, a
// URL runs to the next white space (a comma inside it belongs to it, one at
// its end ends the candidate), descriptors run to the next comma outside
// parentheses. A candidate whose descriptors do not read ("2y", "1x 2x",
// "100w 2x", a height without a width) is dropped, as browsers drop it.
std::vector<SrcsetCandidate> ParseSrcset(std::string_view value);

}  // namespace tamarind
