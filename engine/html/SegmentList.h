// The segment list of a document in its written-out form: "TAG:" or "MSG:"
// followed by the segment's text. For tests and for looking at a document;
// a run streams its segments and never holds this list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tamarind {

std::vector<std::string> SegmentItems(std::string_view doc);

// The segments joined back into a document.
std::string JoinSegmentItems(const std::vector<std::string>& items);

}  // namespace tamarind
