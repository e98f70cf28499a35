// The tag pass over a whole document: which tags reach the rewriter.
#include <gtest/gtest.h>

#include <vector>

#include "MainProc.h"
#include "files/FileIo.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

TEST(TagPass, TagsInCommentsScriptsAndStylesAreLeftAlone) {
  test::TempDir dir;
  dir.Write("a.gif", test::GifBytes(120, 45));
  const std::string img = "<img src=a.gif>";
  const std::string sized = "<img src=a.gif width=\"120\" height=\"45\">";
  const struct {
    const char* name;
    std::string doc, expected;
    int counted;
  } rows[] = {
      {"comment", "<!-- " + img + " -->" + img, "<!-- " + img + " -->" + sized, 1},
      {"comment holding > and <", "<!-- a > b < c " + img + " -- > -->" + img,
       "<!-- a > b < c " + img + " -- > -->" + sized, 1},
      {"empty comments", "<!---->" + img + "<!-- -- -->" + img,
       "<!---->" + sized + "<!-- -- -->" + sized, 2},
      {"comment closed in its own tag", "<!-- x -->" + img, "<!-- x -->" + sized, 1},
      {"script, double quotes", "<script>document.write(\"" + img + "\")</script>" + img,
       "<script>document.write(\"" + img + "\")</script>" + sized, 1},
      {"script, single quotes", "<SCRIPT type=text/javascript>w('" + img + "');</Script >" + img,
       "<SCRIPT type=text/javascript>w('" + img + "');</Script >" + sized, 1},
      {"style", "<style>/* " + img + " */</STYLE>" + img,
       "<style>/* " + img + " */</STYLE>" + sized, 1},
      {"comment start inside a script", "<script><!-- " + img + "</script>" + img,
       "<script><!-- " + img + "</script>" + sized, 1},
      {"script start inside a comment", "<!-- <script> -->" + img, "<!-- <script> -->" + sized, 1},
      {"not a script", "<scripts>" + img + "</scripts>", "<scripts>" + sized + "</scripts>", 1},
      {"not the end of a script", "<script>" + img + "</scripts>" + img,
       "<script>" + img + "</scripts>" + img, 0},
      {"unclosed comment", img + "<!-- " + img + " <p> " + img,
       sized + "<!-- " + img + " <p> " + img, 1},
      {"unclosed script", "<script>" + img + "<img src=a.gif", "<script>" + img + "<img src=a.gif>",
       0},
  };
  for (const auto& row : rows) {
    MainProc engine;
    engine.options.Parameter_QuoteWrite = true;
    EXPECT_EQ(engine.ProcessText(row.doc, dir.Path() + "/"), row.expected) << row.name;
    EXPECT_EQ(engine.TagCounter(), row.counted) << row.name;
  }
}

struct PassRow {
  const char* name;
  std::string doc, expected;
  int counted;
};

void CheckPass(const std::vector<PassRow>& rows, unsigned options = 0) {
  test::TempDir dir;
  dir.Write("a.gif", test::GifBytes(120, 45));
  for (const auto& row : rows) {
    MainProc engine;
    engine.options.AddALTAttribute = (options & 1) != 0;
    EXPECT_EQ(engine.ProcessText(row.doc, dir.Path() + "/"), row.expected) << row.name;
    EXPECT_EQ(engine.TagCounter(), row.counted) << row.name;
  }
}

// A tag ends where browsers end it: at the first ">" outside a quoted value,
// "<" being a byte like any other in it. The additions go after the whole
// tag, never into a value.
TEST(TagPass, TagsEndWhereBrowsersEndThem) {
  const std::string sized = " width=120 height=45";
  CheckPass({
      {"double quotes", "<img alt=\"a > b\" src=a.gif>x",
       "<img alt=\"a > b\" src=a.gif" + sized + ">x", 1},
      {"single quotes", "<img alt='a > b' src=a.gif>", "<img alt='a > b' src=a.gif" + sized + ">",
       1},
      {"src before the value", "<img src=a.gif title=\"1 > 0\">",
       "<img src=a.gif title=\"1 > 0\"" + sized + ">", 1},
      {"several", "<img src=a.gif onclick=\"if (a > b && c >> 1) go()\" alt='>'>",
       "<img src=a.gif onclick=\"if (a > b && c >> 1) go()\" alt='>'" + sized + ">", 1},
      {"the other quote inside", "<img alt=\"it's > that\" src=a.gif>",
       "<img alt=\"it's > that\" src=a.gif" + sized + ">", 1},
      {"a quote inside a word opens nothing", "<img src=a.gif alt=x\">y",
       "<img src=a.gif alt=x\"" + sized + ">y", 1},
      {"< in quotes", "<img title=\"<-\" alt='<-' src=\"a.gif\">",
       "<img title=\"<-\" alt='<-' src=\"a.gif\"" + sized + ">", 1},
      {"< and > in quotes", "<img src=a.gif alt=\"a > b<p>\">",
       "<img src=a.gif alt=\"a > b<p>\"" + sized + ">", 1},
      {"< outside quotes", "<img src=a.gif <p>x", "<img src=a.gif <p" + sized + ">x", 1},
      {"quote in a name", "<img src=a.gif a\"b>c\">", "<img src=a.gif a\"b" + sized + ">c\">", 1},
      {"quote in an unquoted value", "<img src=a.gif alt=x=\"a>b\">",
       "<img src=a.gif alt=x=\"a" + sized + ">b\">", 1},
      {"quote where a name begins", "<img src=a.gif \"a>b\">",
       "<img src=a.gif \"a" + sized + ">b\">", 1},
      {"quote after = and blanks", "<img src=a.gif alt =\n \"a>b\">",
       "<img src=a.gif alt =\n \"a>b\"" + sized + ">", 1},
      {"quote in the tag name", "<img\"a>b\" src=a.gif>", "<img\"a>b\" src=a.gif>", 0},
      {"value never closed", "<img src=a.gif alt=\"a > b<p>", "<img src=a.gif alt=\"a > b<p>", 0},
      {"tag open at the end", "<img src=a.gif alt=\"a", "<img src=a.gif alt=\"a", 0},
      {"tag open at the end, no quote", "<img src=a.gif <p", "<img src=a.gif <p" + sized + ">", 1},
      {"img inside another tag's value", "<a title=\"x<img src=a.gif>y\">",
       "<a title=\"x<img src=a.gif>y\">", 0},
      {"img inside an end tag's value", "</p title=\"<img src=a.gif>\">",
       "</p title=\"<img src=a.gif>\">", 0},
      {"self-closing title read whole", "<title data-x=\"a>b\"/></title><img src=a.gif>",
       "<title data-x=\"a>b\"/></title><img src=a.gif" + sized + ">", 1},
      {"blank after < is text", "< img src=a.gif>", "< img src=a.gif>", 0},
      {"slash after the name", "<img/src=a.gif>", "<img/src=a.gif" + sized + ">", 1},
      {"other tags as before", "<a title=\"a > b\"><img src=a.gif>",
       "<a title=\"a > b\"><img src=a.gif" + sized + ">", 1},
      {"tags after a join", "<img alt=\">\" src=a.gif><img src=a.gif>",
       "<img alt=\">\" src=a.gif" + sized + "><img src=a.gif" + sized + ">", 2},
  });
  // With an alt added, the tooltip keeps its text.
  CheckPass({{"alt after the value", "<img title=\"a > b\" src=a.gif>",
              "<img title=\"a > b\" src=a.gif" + sized + " alt=\"a.gif\">", 1}},
            1);
}

TEST(TagPass, QuotedValuesAcrossReadingWindows) {
  test::TempDir dir;
  dir.Write("a.gif", test::GifBytes(120, 45));
  std::string value;
  while (value.size() < 300 * 1024) value += "<p>x</p>";
  const std::string open = "<img src=a.gif alt=\"" + value;
  for (size_t before : {size_t{0}, kReadingWindow - 20, kReadingWindow + 3}) {
    const std::string doc = std::string(before, 'x') + open + "\"><img src=a.gif>";
    const std::string path = dir.Write("big.html", doc);
    MainProc engine;
    engine.collectMisses = true;
    EXPECT_EQ(engine.ProcessFile(path), 2) << before;
    EXPECT_EQ(test::ReadFile(path),
              std::string(before, 'x') + open +
                  "\" width=120 height=45><img src=a.gif width=120 height=45>")
        << before;
    // A value never closed: the tag is left as it came, and said so.
    const std::string unclosed = std::string(before, 'x') + "<img src=a.gif>" + open;
    dir.Write("big.html", unclosed);
    EXPECT_EQ(engine.ProcessFile(path), 1) << before;
    EXPECT_EQ(test::ReadFile(path),
              std::string(before, 'x') + "<img src=a.gif width=120 height=45>" + open)
        << before;
    ASSERT_EQ(engine.Misses().size(), 1u) << before;
    EXPECT_EQ(engine.Misses()[0].reason, MissReason::NotClosed);
    EXPECT_EQ(engine.Misses()[0].offset, before + 15);
  }
}

// Text is passed on window by window; what ends a comment, or a "<" whose
// tag has not come yet, must still be seen whole where a window ends.
TEST(TagPass, WindowBoundariesInsideCommentEndsAndTags) {
  test::TempDir dir;
  dir.Write("a.gif", test::GifBytes(120, 45));
  const std::string img = "<img src=a.gif>";
  const std::string sized = "<img src=a.gif width=120 height=45>";
  for (const std::string end : {"-->", "--!>"}) {
    for (size_t cut = 0; cut <= end.size(); ++cut) {
      // The comment's end straddles the first window's end at `cut`.
      const std::string head = "<!-- " + img;
      const std::string doc =
          head + std::string(kReadingWindow - head.size() - cut, 'x') + end + img + "<!-- " + img;
      const std::string path = dir.Write("c.html", doc);
      MainProc engine;
      EXPECT_EQ(engine.ProcessFile(path), 1) << end << " " << cut;
      EXPECT_TRUE(test::ReadFile(path) ==
                  doc.substr(0, doc.size() - img.size() * 2 - 5) + sized + "<!-- " + img)
          << end << " " << cut;
    }
  }
  // A "<" as a window's last byte, its tag in the next window.
  const std::string doc =
      std::string(kReadingWindow - 1, 'x') + img + std::string(kReadingWindow, 'y') + img;
  const std::string path = dir.Write("t.html", doc);
  MainProc engine;
  EXPECT_EQ(engine.ProcessFile(path), 2);
  EXPECT_TRUE(test::ReadFile(path) == std::string(kReadingWindow - 1, 'x') + sized +
                                          std::string(kReadingWindow, 'y') + sized);
}

// Elements whose content is text to a browser: an IMG tag inside them is no
// picture and is neither changed nor counted.
TEST(TagPass, TextElementsAreLeftAlone) {
  const std::string img = "<img src=a.gif>";
  const std::string sized = "<img src=a.gif width=120 height=45>";
  CheckPass({
      {"textarea", "<textarea>" + img + "</textarea>" + img,
       "<textarea>" + img + "</textarea>" + sized, 1},
      {"title in capitals", "<TITLE>" + img + "</Title >" + img,
       "<TITLE>" + img + "</Title >" + sized, 1},
      {"xmp", "<xmp>" + img + "</xmp/>" + img, "<xmp>" + img + "</xmp/>" + sized, 1},
      {"not a title", "<titles>" + img, "<titles>" + sized, 1},
      {"not the end of a title", "<title>" + img + "</titles>" + img,
       "<title>" + img + "</titles>" + img, 0},
      // As browsers read HTML: the "/" closes nothing.
      {"self-closing title opens text", "<title/>" + img + "</title>" + img,
       "<title/>" + img + "</title>" + sized, 1},
      {"self-closing textarea opens text", "<textarea />" + img, "<textarea />" + img, 0},
      {"plaintext runs to the end", "<plaintext>" + img + "</plaintext>" + img,
       "<plaintext>" + img + "</plaintext>" + img, 0},
      {"iframe", "<iframe src=x>" + img + "</iframe>" + img,
       "<iframe src=x>" + img + "</iframe>" + sized, 1},
      {"iframe in capitals", "<IFRAME>" + img + "</IFrame>" + img,
       "<IFRAME>" + img + "</IFrame>" + sized, 1},
      {"self-closing iframe opens text", "<iframe src=x />" + img + "</iframe>" + img,
       "<iframe src=x />" + img + "</iframe>" + sized, 1},
      {"nested iframe ends at the first end tag",
       "<iframe><iframe>" + img + "</iframe>" + img + "</iframe>",
       "<iframe><iframe>" + img + "</iframe>" + sized + "</iframe>", 1},
      {"iframe never closed", img + "<iframe>" + img, sized + "<iframe>" + img, 1},
      {"noembed", "<NOEMBED/>" + img + "</noembed>" + img,
       "<NOEMBED/>" + img + "</noembed>" + sized, 1},
      {"noframes", "<noframes>" + img + "</noframes >" + img,
       "<noframes>" + img + "</noframes >" + sized, 1},
      {"noscript stays markup", "<noscript>" + img + "</noscript>",
       "<noscript>" + sized + "</noscript>", 1},
      {"end tag followed by <", "<style></style<" + img + "</style>" + img,
       "<style></style<" + img + "</style>" + sized, 1},
      {"end tag at the very end", "<style>" + img + "</style", "<style>" + img + "</style>", 0},
  });
}

// Comments end as browsers end them.
TEST(TagPass, CommentsEndAsInBrowsers) {
  const std::string img = "<img src=a.gif>";
  const std::string sized = "<img src=a.gif width=120 height=45>";
  CheckPass({
      {"<!-->", "<!-->" + img, "<!-->" + sized, 1},
      {"<!--->", "<!--->" + img, "<!--->" + sized, 1},
      {"--!>", "<!-- " + img + " --!>" + img, "<!-- " + img + " --!>" + sized, 1},
      {"--!> in its own tag", "<!-- x --!>" + img, "<!-- x --!>" + sized, 1},
      {"-- > is no end", "<!-- " + img + " -- >" + img, "<!-- " + img + " -- >" + img, 0},
  });
}

}  // namespace
}  // namespace tamarind
