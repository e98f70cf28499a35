// Fuzz target: the document tokenizer on any bytes. The segments must stand
// for the document's bytes exactly, in order, and give the document back when
// joined; the one difference allowed is the ">" that closes a tag cut off by
// the document's end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "MainProc.h"
#include "html/SegmentList.h"
#include "html/Tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view doc(reinterpret_cast<const char*>(data), size);
  std::string joined;
  size_t at = 0;
  bool cutOff = false;  // the last segment seen was a tag without its ">"
  tamarind::SplitDocument(doc, [&](const tamarind::Segment& s) {
    Check(!cutOff && s.begin == at && s.end > s.begin && s.end <= doc.size());
    const std::string_view raw = doc.substr(s.begin, s.end - s.begin);
    // Views into the document, never copies.
    Check(s.text.data() == raw.data() + (s.isTag ? 1 : 0));
    if (s.isTag) {
      // "<" text ">", or "<" text at the very end; no bracket inside.
      Check(raw[0] == '<' && s.text.find_first_of("<>") == std::string_view::npos);
      if (s.closed) {
        Check(raw.size() == s.text.size() + 2 && raw.back() == '>');
      } else {
        Check(raw.size() == s.text.size() + 1 && !s.text.empty() && s.end == doc.size());
        cutOff = true;
      }
      joined += '<';
      joined += s.text;
      joined += '>';
    } else {
      // Text is itself; a "<" that opened no tag can only lead it, and a
      // stray ">" can only end it.
      Check(s.closed && s.text == raw);
      Check(raw.find('<', 1) == std::string_view::npos);
      Check(raw.find('>') == std::string_view::npos || raw.find('>') == raw.size() - 1);
      joined += s.text;
    }
    at = s.end;
  });
  Check(at == doc.size());
  Check(joined == std::string(doc) + (cutOff ? ">" : ""));
  Check(tamarind::JoinSegmentItems(tamarind::SegmentItems(doc)) == joined);
  return 0;
}
