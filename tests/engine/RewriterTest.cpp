// The IMG tag rewriter, run on real picture files with the engine's own
// probe and picture search.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MainProc.h"
#include "html/TagRewriter.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::GifBytes;
using test::JpegBytes;
using test::TempDir;

enum : unsigned { kNone = 0, kAlt = 1, kOver = 2, kQuote = 4 };

// One tag through the rewriter. `expected` null means the tag must come back
// exactly as it came.
struct Row {
  const char* name;
  const char* tag;
  unsigned options;
  const char* expected;
  bool counted;
};

class RewriterTest : public ::testing::Test {
 protected:
  RewriterTest() {
    dir.Write("a.gif", GifBytes(120, 45));
    dir.Write("img/b.jpg", JpegBytes(640, 480));
    dir.Write("root/top/c.gif", GifBytes(16, 16));
    dir.Write("my pic.gif", GifBytes(7, 9));
    dir.Write("flat.gif", GifBytes(3, 0));
    dir.Write("p.png", GifBytes(120, 45));  // readable header, but no GIF/JPEG name
  }

  // A fresh engine per tag, so the counter and the size cache start empty.
  MainProc Engine(unsigned options) const {
    MainProc engine;
    engine.options.AddALTAttribute = (options & kAlt) != 0;
    engine.options.Parameter_OverWrite = (options & kOver) != 0;
    engine.options.Parameter_QuoteWrite = (options & kQuote) != 0;
    engine.options.Parameter_ABSFolder = dir / "root";
    return engine;
  }

  // The tag, without its brackets, through the rewriter as the tag pass
  // hands it over: with the engine's options, trace, probe and picture
  // search. Counts it in `changes` when it changed.
  std::string Rewrite(MainProc& engine, const std::string& tag) {
    engine.SetDocumentFolder(dir.Path() + "/");
    const PictureLookup find = [&](std::string_view src, std::string& path) {
      return engine.FindPicture(src, path);
    };
    const RewriteContext context{&engine.options, &find, &engine.trace};
    std::string result;
    if (!FormatImageTag(tag, context, result)) return tag;
    ++changes;
    return result;
  }

  void Check(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      MainProc engine = Engine(row.options);
      changes = 0;
      EXPECT_EQ(Rewrite(engine, row.tag), row.expected ? row.expected : row.tag);
      EXPECT_EQ(changes, row.counted ? 1 : 0);
    }
  }

  TempDir dir;
  int changes = 0;
};

TEST_F(RewriterTest, WorkedExamples) {
  Check({
      {"Plain", "IMG SRC=a.gif", kNone, "IMG SRC=a.gif width=120 height=45", true},
      {"LowerCase", "img src=a.gif", kNone, "img src=a.gif width=120 height=45", true},
      {"SubfolderAlt", "IMG SRC=img/b.jpg", kAlt,
       "IMG SRC=img/b.jpg width=640 height=480 alt=\"b.jpg\"", true},
      {"RootedQuoted", "IMG SRC=/top/c.gif", kAlt | kQuote,
       "IMG SRC=/top/c.gif width=\"16\" height=\"16\" alt=\"c.gif\"", true},
      // One side given: the other keeps the picture's proportions.
      {"WidthGiven", "IMG SRC=a.gif WIDTH=5", kNone, "IMG SRC=a.gif WIDTH=5 height=2", true},
      {"BothGiven", "IMG SRC=a.gif WIDTH=5 HEIGHT=6", kNone, nullptr, false},
      {"BothGivenAlt", "IMG SRC=a.gif WIDTH=5 HEIGHT=6", kAlt,
       "IMG SRC=a.gif WIDTH=5 HEIGHT=6 alt=\"a.gif\"", true},
      {"OverWrite", "IMG SRC=a.gif WIDTH=5 HEIGHT=6 ALT=x", kOver,
       "IMG SRC=a.gif ALT=x width=120 height=45", true},
      {"OverWriteSpacing", "IMG SRC = a.gif  WIDTH=5\r\nBORDER=0", kOver,
       "IMG SRC=a.gif BORDER=0 width=120 height=45", true},
      {"OverWriteValueless", "IMG ISMAP SRC=a.gif BORDER=0", kOver,
       "IMG ISMAP SRC=a.gif BORDER=0 width=120 height=45", true},
      {"MissingAlt", "IMG SRC=missing.gif", kAlt, "IMG SRC=missing.gif alt=\"missing.gif\"", true},
  });
}

TEST_F(RewriterTest, EdgeCases) {
  Check({
      {"MixedCaseName", "Img Src=a.gif", kNone, "Img Src=a.gif width=120 height=45", true},
      {"TabAfterName", "IMG\tSRC=a.gif", kNone, "IMG\tSRC=a.gif width=120 height=45", true},
      {"LineBreakAfterName", "IMG\r\nSRC=a.gif", kNone, "IMG\r\nSRC=a.gif width=120 height=45",
       true},
      {"OuterBlanksKept", "  IMG SRC=a.gif \n", kNone, "  IMG SRC=a.gif \n width=120 height=45",
       true},
      {"BlanksAroundEqual", "IMG SRC = a.gif", kNone, "IMG SRC = a.gif width=120 height=45", true},
      // A browser reads "\\" as "/" to find the picture; the alt text keeps
      // the document's bytes, where "\\" is no separator.
      {"BackslashInAlt", "IMG SRC=img\\b.jpg", kAlt,
       "IMG SRC=img\\b.jpg width=640 height=480 alt=\"img\\b.jpg\"", true},
      {"MissingNoAlt", "IMG SRC=missing.gif", kNone, nullptr, false},
      {"PngNoAlt", "IMG SRC=p.png", kNone, nullptr, false},
      {"PngAlt", "IMG SRC=p.png", kAlt, "IMG SRC=p.png alt=\"p.png\"", true},
      {"BareSrcAlt", "IMG SRC", kAlt, "IMG SRC alt=\"\"", true},
      // A browser would take what followed "SRC=" for its value.
      {"SrcEqualEndsTag", "IMG SRC=", kAlt, "IMG alt=\"\" SRC=", true},
      {"AltValueKept", "IMG SRC=a.gif ALT=x", kAlt, "IMG SRC=a.gif ALT=x width=120 height=45",
       true},
      {"BareAlt", "IMG SRC=a.gif ALT", kAlt, "IMG SRC=a.gif ALT width=120 height=45 alt=\"a.gif\"",
       true},
      {"HeightGiven", "IMG SRC=a.gif height=6", kNone, "IMG SRC=a.gif height=6 width=16", true},
      {"BareWidth", "IMG SRC=a.gif WIDTH", kNone, "IMG SRC=a.gif WIDTH width=120 height=45", true},
      {"OverWriteAnywhere", "IMG WIDTH=5 SRC=a.gif ISMAP height=6", kOver,
       "IMG SRC=a.gif ISMAP width=120 height=45", true},
      {"OverWriteKeepsAlt", "IMG ALT=x SRC=a.gif", kOver | kAlt,
       "IMG ALT=x SRC=a.gif width=120 height=45", true},
      // As browsers read them: the value "=a.gif", and the name "=SRC".
      {"DoubledEqual", "IMG SRC==a.gif", kNone, nullptr, false},
      {"DoubledEqualOverWrite", "IMG SRC==a.gif WIDTH=3", kOver, nullptr, false},
      {"LeadingEqual", "IMG =SRC=a.gif", kNone, nullptr, false},
      // Outside a value "/" ends a name; a "=" after it begins one.
      {"SlashEndsName", "IMG ISMAP/SRC=a.gif", kNone, "IMG ISMAP/SRC=a.gif width=120 height=45",
       true},
      {"SlashBeforeEqual", "IMG SRC/=a.gif", kNone, nullptr, false},
      // As in browsers, the first of a doubled attribute counts.
      {"FirstSrcWins", "IMG SRC=img/b.jpg SRC=missing.gif", kAlt,
       "IMG SRC=img/b.jpg SRC=missing.gif width=640 height=480 alt=\"b.jpg\"", true},
      {"QuoteWriteMissing", "IMG SRC=missing.gif", kAlt | kQuote,
       "IMG SRC=missing.gif alt=\"missing.gif\"", true},
  });
}

// A tag that gives one side gets the other in the picture's proportions
// (a.gif is 120 x 45), computed as a browser would show it, or nothing where
// no pixel count can be read from the side given.
TEST_F(RewriterTest, OneSideGivenKeepsTheProportions) {
  Check({
      {"Width5", "IMG SRC=a.gif WIDTH=5", kNone, "IMG SRC=a.gif WIDTH=5 height=2", true},
      {"Width240", "IMG SRC=a.gif WIDTH=240", kNone, "IMG SRC=a.gif WIDTH=240 height=90", true},
      {"HeightQuoted", "IMG SRC=a.gif HEIGHT='90'", kNone, "IMG SRC=a.gif HEIGHT='90' width=240",
       true},
      {"Pixels", "IMG SRC=a.gif WIDTH=\"66.5px\"", kNone,
       "IMG SRC=a.gif WIDTH=\"66.5px\" height=25", true},
      {"Zero", "IMG SRC=a.gif WIDTH=0", kNone, "IMG SRC=a.gif WIDTH=0 height=0", true},
      {"LeadingBlanks", "IMG SRC=a.gif WIDTH=\" \t\f8\"", kQuote,
       "IMG SRC=a.gif WIDTH=\" \t\f8\" height=\"3\"", true},
      {"HalfRoundsUp", "IMG SRC=a.gif WIDTH=8", kNone, "IMG SRC=a.gif WIDTH=8 height=3", true},
      {"NineDigits", "IMG SRC=a.gif WIDTH=999999999", kNone,
       "IMG SRC=a.gif WIDTH=999999999 height=375000000", true},
      {"HeightTooLargeForWidth", "IMG SRC=a.gif HEIGHT=999999999", kNone, nullptr, false},
      {"TenDigits", "IMG SRC=a.gif WIDTH=1000000000", kNone, nullptr, false},
      {"Percent", "IMG SRC=a.gif WIDTH=50%", kNone, nullptr, false},
      {"PercentFraction", "IMG SRC=a.gif WIDTH=\"12.5%\"", kNone, nullptr, false},
      {"NotANumber", "IMG SRC=a.gif WIDTH=x", kNone, nullptr, false},
      {"Empty", "IMG SRC=a.gif WIDTH=\"\"", kNone, nullptr, false},
      {"SignedIsNoNumber", "IMG SRC=a.gif WIDTH=+5", kNone, nullptr, false},
      {"PercentStillGetsAlt", "IMG SRC=a.gif WIDTH=100%", kAlt,
       "IMG SRC=a.gif WIDTH=100% alt=\"a.gif\"", true},
      {"FirstWidthCounts", "IMG SRC=a.gif WIDTH=240 WIDTH=5", kNone,
       "IMG SRC=a.gif WIDTH=240 WIDTH=5 height=90", true},
      {"FirstHeightPercent", "IMG SRC=a.gif HEIGHT=10% HEIGHT=90", kNone, nullptr, false},
      {"BothSidesAsBefore", "IMG SRC=a.gif WIDTH=50% HEIGHT=6", kNone, nullptr, false},
      {"OverWriteAsBefore", "IMG SRC=a.gif WIDTH=50%", kOver, "IMG SRC=a.gif width=120 height=45",
       true},
      {"ZeroHighPicture", "IMG SRC=flat.gif HEIGHT=5", kNone, nullptr, false},
      // A picture of no height has no size: nothing to take proportions from.
      {"ZeroHighPictureWidth", "IMG SRC=flat.gif WIDTH=5", kNone, nullptr, false},
  });
}

// Where this program departs from the plain token rules: quoted values stay
// whole, a closing "/" stays last, a failed probe never costs a tag its sizes,
// and a quote in the alt file name cannot end the alt value early.
TEST_F(RewriterTest, QuotesSlashAndOverWrite) {
  Check({
      {"DoubleQuoted", "IMG SRC=\"a.gif\"", kNone, "IMG SRC=\"a.gif\" width=120 height=45", true},
      {"SingleQuoted", "IMG SRC='a.gif'", kAlt, "IMG SRC='a.gif' width=120 height=45 alt=\"a.gif\"",
       true},
      {"QuotedBlank", "IMG SRC=\"my pic.gif\"", kAlt,
       "IMG SRC=\"my pic.gif\" width=7 height=9 alt=\"my pic.gif\"", true},
      {"MixedQuotesKept", "IMG SRC=\"a.gif'", kNone, nullptr, false},
      {"LoneQuote", "IMG SRC=\"", kAlt, "IMG SRC=\" alt=\"\"", true},
      {"UnclosedRunsToEnd", "IMG SRC=\"a.gif WIDTH=5  ", kNone, nullptr, false},
      {"WidthInsideTitle", "IMG SRC=a.gif TITLE=\"w width=3\"", kNone,
       "IMG SRC=a.gif TITLE=\"w width=3\" width=120 height=45", true},
      {"WidthInsideBareValue", "IMG SRC=a.gif?x=width=5", kNone,
       "IMG SRC=a.gif?x=width=5 width=120 height=45", true},
      {"OverWriteQuotedAsWritten", "IMG ALT=\"x=y\" TITLE='two  blanks\r\nhere' SRC=a.gif WIDTH=5",
       kOver, "IMG ALT=\"x=y\" TITLE='two  blanks\r\nhere' SRC=a.gif width=120 height=45", true},
      {"QuoteInAltName", "IMG SRC='say\"hi.gif'", kAlt,
       "IMG SRC='say\"hi.gif' alt=\"say&quot;hi.gif\"", true},
      {"SlashAfterBlank", "IMG SRC=\"a.gif\" /", kNone, "IMG SRC=\"a.gif\" width=120 height=45 /",
       true},
      {"SlashAfterQuote", "IMG SRC=\"a.gif\"/", kNone, "IMG SRC=\"a.gif\" width=120 height=45 /",
       true},
      {"SlashTrailingBlanks", "IMG SRC=a.gif\t / \n", kNone,
       "IMG SRC=a.gif width=120 height=45 / \n", true},
      {"SlashOverWrite", "IMG  SRC=a.gif WIDTH=1 / ", kOver, "IMG SRC=a.gif width=120 height=45 /",
       true},
      {"SlashAltOnly", "IMG SRC=a.gif WIDTH=5 HEIGHT=6 /", kAlt,
       "IMG SRC=a.gif WIDTH=5 HEIGHT=6 alt=\"a.gif\" /", true},
      {"SlashNothingAdded", "IMG SRC=missing.gif  / ", kNone, nullptr, false},
      {"SlashInUnquotedValue", "IMG SRC=a.gif/", kNone, nullptr, false},
      {"SlashAsAltValue", "IMG SRC=a.gif ALT=/", kAlt, "IMG SRC=a.gif ALT=/ width=120 height=45",
       true},
      {"SlashNotLast", "IMG / SRC=a.gif", kNone, "IMG / SRC=a.gif width=120 height=45", true},
      {"OverWriteEqualsInUnquotedValues", "IMG SRC=a.gif?v=2 TITLE=a=b WIDTH=5=6 ALT=x", kOver,
       "IMG SRC=a.gif?v=2 TITLE=a=b ALT=x width=120 height=45", true},
      {"OverWriteSizedRight", "IMG  SRC=a.gif WIDTH=\"120\" HEIGHT=45 ", kOver, nullptr, false},
      {"OverWriteSizedRightAltOnly", "IMG  SRC=a.gif WIDTH=120 HEIGHT='45'", kOver | kAlt,
       "IMG  SRC=a.gif WIDTH=120 HEIGHT='45' alt=\"a.gif\"", true},
      {"OverWriteQuoteWantsQuotes", "IMG SRC=a.gif WIDTH=120 HEIGHT=\"45\"", kOver | kQuote,
       "IMG SRC=a.gif width=\"120\" height=\"45\"", true},
      {"EqualEndsTagAddsInFront", "IMG SRC=a.gif ALT=", kAlt,
       "IMG SRC=a.gif width=120 height=45 alt=\"a.gif\" ALT=", true},
      // Where a value begins, "/" is the value.
      {"SlashAfterEqualIsTheValue", "IMG SRC=a.gif ALT= /", kAlt,
       "IMG SRC=a.gif ALT= / width=120 height=45", true},
      {"OverWriteMissingKeepsSizes", "IMG SRC=missing.gif WIDTH=5 HEIGHT=6", kOver, nullptr, false},
      {"OverWriteMissingAlt", "IMG  SRC = missing.gif WIDTH=5", kOver | kAlt,
       "IMG  SRC = missing.gif WIDTH=5 alt=\"missing.gif\"", true},
  });
}

TEST_F(RewriterTest, OtherTagsUntouchedUntracedUncounted) {
  for (const char* tag : {"", "IMG", "IMG   ", "BR", "/IMG", "IMGX SRC=a.gif", "IMG=a.gif", "IMG /",
                          " img \t/ \n", "!-- IMG SRC=a.gif --"}) {
    SCOPED_TRACE(tag);
    MainProc engine = Engine(kAlt | kOver | kQuote);
    std::vector<std::string> lines;
    engine.trace = [&](std::string_view line) { lines.emplace_back(line); };
    EXPECT_EQ(Rewrite(engine, tag), tag);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(changes, 0);
  }
}

TEST_F(RewriterTest, AbsoluteSrcWithoutRootFolderIsThePathItself) {
  MainProc engine = Engine(kNone);
  engine.options.Parameter_ABSFolder.clear();
  const std::string tag = "IMG SRC=" + (dir / "root/top/c.gif");
  EXPECT_EQ(Rewrite(engine, tag), tag + " width=16 height=16");
}

TEST_F(RewriterTest, BothSizesGivenSkipsTheProbe) {
  ProcessingOptions options;
  int probes = 0;
  const PictureLookup find = [&](std::string_view, std::string&) {
    ++probes;
    ProbeResult size;
    size.reason = MissReason::None;
    size.width = 1;
    size.height = 2;
    return size;
  };
  const RewriteContext context{&options, &find, nullptr};
  std::string result = "untouched";
  EXPECT_FALSE(FormatImageTag("IMG SRC=a.gif HEIGHT=6 WIDTH=5", context, result));
  EXPECT_EQ(result, "untouched");
  EXPECT_EQ(probes, 0);
}

TEST_F(RewriterTest, TraceLines) {
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
      {"IMG SRC=a.gif ALT=x",
       {"** FIND IMAGE TAG **", "Slice : Keyword is SRC", "WaitWord",
        "Slice : Keyword is =", "WaitEqual", "Slice : Keyword is a.gif",
        "WaitParameter : SRC is a.gif", "Slice : Keyword is ALT", "WaitWord",
        "Slice : Keyword is =", "WaitEqual", "Slice : Keyword is x", "WaitParameter : ALT is x",
        "** Result : IMG SRC=a.gif ALT=x width=120 height=45 **"}},
      // A "=" where a name begins is part of the name, and one where a value
      // begins part of the value.
      {"IMG =SRC==missing.gif",
       {"** FIND IMAGE TAG **", "Slice : Keyword is =SRC", "WaitWord",
        "Slice : Keyword is =", "WaitEqual", "Slice : Keyword is =missing.gif",
        "WaitParameter : =SRC is =missing.gif", "** Result : IMG =SRC==missing.gif **"}},
      // "WaitEqual" comes before a word too; a closing "/" gets no line at all.
      {"IMG ISMAP SRC=\"my pic.gif\" /",
       {"** FIND IMAGE TAG **", "Slice : Keyword is ISMAP", "WaitWord", "Slice : Keyword is SRC",
        "WaitEqual", "Slice : Keyword is =", "WaitEqual", "Slice : Keyword is \"my pic.gif\"",
        "WaitParameter : SRC is \"my pic.gif\"",
        "** Result : IMG ISMAP SRC=\"my pic.gif\" width=7 height=9 / **"}},
  };
  for (const auto& [tag, expected] : cases) {
    SCOPED_TRACE(tag);
    MainProc engine = Engine(kNone);
    std::vector<std::string> lines;
    engine.trace = [&](std::string_view line) { lines.emplace_back(line); };
    Rewrite(engine, tag);
    EXPECT_EQ(lines, expected);
  }
}

// The tokens the scanner cuts attribute text into, as its trace names them:
// "=" alone after a name, a value after it (quoted up to its closing quote
// or the end, else up to a blank), a name up to the next blank or "=".
TEST_F(RewriterTest, Tokens) {
  const std::pair<std::string_view, std::vector<std::string>> cuts[] = {
      {"=a.gif", {"=a.gif"}},
      {"SRC==a.gif", {"SRC", "=", "=a.gif"}},
      {"SRC=a.gif", {"SRC", "=", "a.gif"}},
      {"a.gif ALT=x", {"a.gif", "ALT", "=", "x"}},
      {"a\tb\r\nc", {"a", "b", "c"}},
      {"ab=c d", {"ab", "=", "c", "d"}},
      {"v=\"a b=c\" d", {"v", "=", "\"a b=c\"", "d"}},
      {"v= 'x\"y' z", {"v", "=", "'x\"y'", "z"}},
      {"v=\"open to end", {"v", "=", "\"open to end"}},
      // A quote opens a value only after a name's "="; elsewhere it is a
      // byte of a name, as browsers read it.
      {"\"a b=c\" d", {"\"a", "b", "=", "c\"", "d"}},
      {"a\"b c\"", {"a\"b", "c\""}},
      // A form feed is white space in a tag; a NUL or control byte is not.
      {"a=b\fc", {"a", "=", "b", "c"}},
      {std::string_view("a\0b \x01", 5), {std::string("a\0b", 3), "\x01"}},
  };
  constexpr std::string_view kSlice = "Slice : Keyword is ";
  for (const auto& [text, tokens] : cuts) {
    SCOPED_TRACE(text);
    MainProc engine = Engine(kNone);
    std::vector<std::string> sliced;
    engine.trace = [&](std::string_view line) {
      if (line.starts_with(kSlice)) sliced.emplace_back(line.substr(kSlice.size()));
    };
    Rewrite(engine, "IMG " + std::string(text));
    EXPECT_EQ(sliced, tokens);
  }
}

}  // namespace
}  // namespace tamarind
