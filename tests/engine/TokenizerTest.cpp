// The document tokenizer: the segment lists of known documents, the bytes
// each segment stands for, and random documents against a plain rewrite of
// the split rules.
#include <gtest/gtest.h>

#include <random>

#include "MainProc.h"
#include "html/SegmentList.h"

namespace tamarind {
namespace {

using Items = std::vector<std::string>;
using namespace std::string_literals;

// The split rules written the slow, plain way, on a remainder that shrinks
// from the front. `openAtEnd`: the document ends inside a tag with at least
// one byte after its "<".
Items ReferenceItems(std::string rest, bool& openAtEnd) {
  Items items;
  bool inTag = false;
  for (;;) {
    const size_t lt = rest.find('<'), gt = rest.find('>');
    if (lt == gt) break;  // neither bracket is left
    if (lt < gt) {
      if (inTag || lt > 0) items.push_back((inTag ? "MSG:<" : "MSG:") + rest.substr(0, lt));
      inTag = true;
    } else {
      items.push_back((inTag ? "TAG:" : "MSG:") + rest.substr(0, inTag ? gt : gt + 1));
      inTag = false;
    }
    rest.erase(0, std::min(lt, gt) + 1);
  }
  openAtEnd = inTag && !rest.empty();
  if (!rest.empty()) items.push_back((inTag ? "TAG:" : "MSG:") + rest);
  if (inTag && rest.empty()) items.push_back("MSG:<");
  return items;
}

// Checks a document's split against the reference, its join, and that the
// segments cover the document exactly, in order, each standing for its own
// bytes (only a tag cut off by the document's end lacks its ">").
void ExpectSplitRight(std::string_view doc) {
  bool openAtEnd = false;
  const Items items = SegmentItems(doc);
  EXPECT_EQ(items, ReferenceItems(std::string(doc), openAtEnd));
  EXPECT_EQ(JoinSegmentItems(items), std::string(doc) + (openAtEnd ? ">" : ""));
  size_t at = 0, count = 0;
  SplitDocument(doc, [&](const Segment& s) {
    ++count;
    EXPECT_EQ(s.begin, at);
    EXPECT_EQ(s.closed, !(s.isTag && openAtEnd && s.end == doc.size()));
    const std::string text(s.text);
    EXPECT_EQ(doc.substr(s.begin, s.end - s.begin),
              s.isTag ? "<" + text + (s.closed ? ">" : "") : text);
    at = s.end;
  });
  EXPECT_EQ(at, doc.size());
  EXPECT_EQ(count, items.size());
}

TEST(TokenizerTest, KnownDocumentsGiveTheirSegments) {
  const std::vector<std::pair<std::string, Items>> rows = {
      {"abc", {"MSG:abc"}},
      {"a>b<c>d", {"MSG:a>", "MSG:b", "TAG:c", "MSG:d"}},
      {"a<b<c>d", {"MSG:a", "MSG:<b", "TAG:c", "MSG:d"}},
      {"a<<b>c", {"MSG:a", "MSG:<", "TAG:b", "MSG:c"}},
      {"a<>b", {"MSG:a", "TAG:", "MSG:b"}},
      {"a<b>>c", {"MSG:a", "TAG:b", "MSG:>", "MSG:c"}},
      {"<a><b>", {"TAG:a", "TAG:b"}},
      {"a<b", {"MSG:a", "TAG:b"}},
      {"text<", {"MSG:text", "MSG:<"}},
      {"", {}},
      {"<<", {"MSG:<", "MSG:<"}},
      {"<>", {"TAG:"}},
      {">", {"MSG:>"}},
      {"<<<a", {"MSG:<", "MSG:<", "TAG:a"}},
      {"\r\n<p>\r\n", {"MSG:\r\n", "TAG:p", "MSG:\r\n"}},
      {"<img\tsrc=x\r\nalt=y>", {"TAG:img\tsrc=x\r\nalt=y"}},
      {"\0\x80<\xFF\0>\xFE\0"s, {"MSG:\0\x80"s, "TAG:\xFF\0"s, "MSG:\xFE\0"s}},
      {"\x82<\x81\x3C\x9F>", {"MSG:\x82", "MSG:<\x81", "TAG:\x9F"}}};
  for (const auto& [doc, items] : rows) {
    SCOPED_TRACE(testing::PrintToString(doc));
    EXPECT_EQ(SegmentItems(doc), items);
    ExpectSplitRight(doc);  // also keeps the reference honest
  }
  EXPECT_EQ(JoinSegmentItems(SegmentItems("a<b")), "a<b>");  // the one byte added
}

TEST(TokenizerTest, LengthNeverChangesTheSplit) {
  const std::string text = std::string(19999, 'x') + ">", tag(20000, 't');
  EXPECT_EQ(SegmentItems(text), Items{"MSG:" + text});
  EXPECT_EQ(SegmentItems("<" + tag + ">"), Items{"TAG:" + tag});
  EXPECT_EQ(SegmentItems("<" + tag), Items{"TAG:" + tag});
  EXPECT_EQ(SegmentItems(std::string(20000, '<')), Items(20000, "MSG:<"));
  ExpectSplitRight(std::string(20000, '<') + tag + std::string(20000, '>'));
}

TEST(TokenizerTest, RandomDocumentsMatchTheReference) {
  // Dense brackets stress the rules; sparse ones leave long runs for the
  // bracket search, which may look at many bytes at once.
  std::mt19937 random(20240611);
  const std::string filler = "ab\r\n\t\0\xFF\xBC\xBE;="s;
  std::uniform_int_distribution<size_t> pick(0, filler.size() - 1), length(0, 70);
  for (int round = 0; round < 30000 && !HasFailure(); ++round) {
    std::bernoulli_distribution bracket(round % 3 == 0 ? 0.03 : round % 3 == 1 ? 0.2 : 0.6);
    std::string doc;
    for (size_t n = length(random); n > 0; --n)
      doc += bracket(random) ? "<>"[random() % 2] : filler[pick(random)];
    SCOPED_TRACE(testing::PrintToString(doc));
    ExpectSplitRight(doc);
  }
}

}  // namespace
}  // namespace tamarind
