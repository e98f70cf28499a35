// The segment list in its written-out form, for tests and for looking at a
// document; the run itself never builds it.
#include "html/SegmentList.h"

#include "html/Tokenizer.h"

namespace tamarind {

std::vector<std::string> SegmentItems(std::string_view doc) {
  std::vector<std::string> items;
  SplitDocument(doc, [&items](const Segment& s) {
    std::string item = s.isTag ? "TAG:" : "MSG:";
    item += s.text;
    items.push_back(std::move(item));
  });
  return items;
}

std::string JoinSegmentItems(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    const std::string_view text = std::string_view(item).substr(item.size() >= 4 ? 4 : item.size());
    if (item.compare(0, 4, "TAG:") == 0) {
      out += '<';
      out += text;
      out += '>';
    } else {
      out += text;
    }
  }
  return out;
}

}  // namespace tamarind
