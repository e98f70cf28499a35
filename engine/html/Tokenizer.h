// The document tokenizer: cuts a document into tags and text.
//
// House rules of this file:
//  - The split knows only the bytes "<" and ">". Comments, scripts and quoted
//    values holding a bracket get no treatment there; the tag pass deals with
//    them, reading a tag's quotes with ReadTag below. In the double-byte code
//    pages in use neither bracket nor quote occurs as the second byte of a
//    character, so a byte search never cuts a character in two.
//  - Segments are views into the document; nothing is copied.
//  - One pass: each step looks for the next bracket of either kind, and the
//    first one found decides. Every byte is looked at once, whatever the
//    document holds (a document of many "<" and no ">" included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "Ascii.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tamarind {

// One piece of a document: the text of a tag, without its brackets, or a run
// of text outside tags. [begin, end) are the bytes of the document that the
// piece stands for, brackets included, so the pieces of a document cover it
// exactly, in order and without overlap.
struct Segment {
  bool isTag = false;
  bool closed = true;  // false only for a tag cut off by the end of the document
  std::string_view text;
  size_t begin = 0;
  size_t end = 0;
};

// Finds brackets ("<" and ">") in a document, 64 bytes at a time: each block
// is turned into a bit mask once, and every bracket in it is then found with
// one bit search instead of a new scan.
class BracketFinder {
 public:
  explicit BracketFinder(std::string_view doc) : p_(doc.data()), n_(doc.size()) {}

  // The position of the first bracket at or after `pos`, or the document's
  // size when there is none.
  size_t Next(size_t pos) {
    while (pos < n_) {
      const size_t base = pos & ~size_t{63};
      if (base != blockStart_) Load(base);
      const uint64_t m = mask_ & (~uint64_t{0} << (pos - base));
      if (m != 0) return base + static_cast<size_t>(__builtin_ctzll(m));
      pos = base + 64;
    }
    return n_;
  }

 private:
  void Load(size_t base) {
    blockStart_ = base;
    uint64_t mask = 0;
    size_t i = 0;
#if defined(__SSE2__)
    if (base + 64 <= n_) {
      const __m128i lt = _mm_set1_epi8('<');
      const __m128i gt = _mm_set1_epi8('>');
      for (; i < 64; i += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + base + i));
        const int bits =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, lt), _mm_cmpeq_epi8(chunk, gt)));
        mask |= static_cast<uint64_t>(static_cast<uint16_t>(bits)) << i;
      }
    }
#endif
    for (; i < 64 && base + i < n_; ++i) {
      const char c = p_[base + i];
      if (c == '<' || c == '>') mask |= uint64_t{1} << i;
    }
    mask_ = mask;
  }

  const char* p_;
  size_t n_;
  size_t blockStart_ = ~size_t{0};
  uint64_t mask_ = 0;
};

// Splits a document into segments and calls AddSegment(const Segment&) for
// each, in order. Joining the segments (a tag as "<" text ">") gives the
// document back, except that a tag left open at the end comes back closed.
// A sink that returns bool stops the split by returning false.
template <typename Sink>
void SplitDocument(std::string_view doc, Sink&& AddSegment) {
  const size_t n = doc.size();
  size_t pos = 0;       // start of the remainder
  bool inTag = false;   // a "<" has been consumed, its ">" not found yet
  size_t tagStart = 0;  // where that "<" stands
  bool stopped = false;
  BracketFinder brackets(doc);
  Segment s;
  auto addPiece = [&](bool isTag, bool closed, size_t begin, size_t end, size_t textBegin,
                      size_t textEnd) {
    s.isTag = isTag;
    s.closed = closed;
    s.begin = begin;
    s.end = end;
    s.text = doc.substr(textBegin, textEnd - textBegin);
    if constexpr (std::is_same_v<decltype(AddSegment(static_cast<const Segment&>(s))), bool>) {
      stopped = !AddSegment(static_cast<const Segment&>(s));
    } else {
      AddSegment(static_cast<const Segment&>(s));
    }
  };
  while (pos < n && !stopped) {
    const size_t at = brackets.Next(pos);
    if (at == n) {
      if (inTag) {
        addPiece(true, false, tagStart, n, tagStart + 1, n);  // a tag left open at the end
      } else {
        addPiece(false, true, pos, n, pos, n);
      }
      return;
    }
    if (doc[at] == '<') {
      if (inTag) {
        // The earlier "<" opened no tag: it stays text, with what follows it.
        addPiece(false, true, tagStart, at, tagStart, at);
      } else if (at > pos) {
        addPiece(false, true, pos, at, pos, at);
      }
      inTag = true;
      tagStart = at;
    } else if (inTag) {
      addPiece(true, true, tagStart, at + 1, tagStart + 1, at);
      inTag = false;
    } else {
      addPiece(false, true, pos, at + 1, pos, at + 1);  // a stray ">" is text
    }
    pos = at + 1;
  }
  // The document's last byte was a "<" with nothing after it.
  if (inTag && !stopped) addPiece(false, true, tagStart, n, tagStart, n);
}

// Whether the "<" at `at` opens a tag for a browser: "<" or "</" and an ASCII
// letter. Any other "<" ("< img", "<1", "<!", "<?") is text, a comment or a
// declaration.
inline bool OpensTag(std::string_view doc, size_t at) {
  // The last piece of a document may be text: only a "<" can open a tag.
  if (at >= doc.size() || doc[at] != '<') return false;
  size_t i = at + 1;
  if (i < doc.size() && doc[i] == '/') ++i;
  if (i >= doc.size()) return false;
  return IsAsciiLetter(doc[i]);
}

// Where a tag ends as a browser's tokenizer reads it.
struct TagExtent {
  size_t end = 0;          // just past its ">", or the document's size
  bool closed = false;     // a ">" ended it
  bool openQuote = false;  // not closed, and a quoted value is open at the end
};

// Reads the tag that opens at `at` (where OpensTag holds) the way a browser
// does: it ends at the first ">" outside a quoted value, and "<" is a byte
// like any other in it. A quote opens a value only where a value may begin:
// after a "=" that follows an attribute's name, and the blanks behind that
// "=". A quote in a name, in the tag's name or in an unquoted value is part
// of it. One look at each byte; a quoted value is passed over at once.
inline TagExtent ReadTag(std::string_view doc, size_t at) {
  enum class State : uint8_t { TagName, BeforeName, Name, AfterName, BeforeValue, Unquoted };
  const size_t n = doc.size();
  size_t i = at + 1;
  if (i < n && doc[i] == '/') ++i;
  State state = State::TagName;
  for (; i < n; ++i) {
    const char c = doc[i];
    if (c == '>') return {i + 1, true, false};
    const bool blank = IsHtmlSpace(c);
    switch (state) {
      case State::TagName:
        if (blank || c == '/') state = State::BeforeName;
        break;
      case State::BeforeName:
        if (!blank && c != '/') state = State::Name;  // "=" too begins a name here
        break;
      case State::Name:
        if (blank) state = State::AfterName;
        if (c == '/') state = State::BeforeName;
        if (c == '=') state = State::BeforeValue;
        break;
      case State::AfterName:
        if (c == '/')
          state = State::BeforeName;
        else if (c == '=')
          state = State::BeforeValue;
        else if (!blank)
          state = State::Name;
        break;
      case State::BeforeValue:
        if (c == '"' || c == '\'') {
          const void* close = std::memchr(doc.data() + i + 1, c, n - i - 1);
          if (close == nullptr) return {n, false, true};
          i = static_cast<size_t>(static_cast<const char*>(close) - doc.data());
          state = State::BeforeName;
        } else if (!blank) {
          state = State::Unquoted;
        }
        break;
      case State::Unquoted:
        if (blank) state = State::BeforeName;
        break;
    }
  }
  return {n, false, false};
}

}  // namespace tamarind
