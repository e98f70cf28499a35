// Responsive pages through the command line: what srcset and picture let
// the tool write, and what it leaves to the browser (and says so).
#include <gtest/gtest.h>

#include "support/RunCli.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

class ResponsiveTest : public test::CliFixture {
 protected:
  ResponsiveTest() {
    dir.Write("s400.gif", test::GifBytes(400, 200));
    dir.Write("s800.gif", test::GifBytes(800, 400));
    dir.Write("sq.gif", test::GifBytes(200, 200));
    dir.Write("odd.gif", test::GifBytes(301, 200));
  }

  struct Row {
    const char* args;
    std::string page, written, listed;  // listed: the -v lines, "" for none
  };

  // Each row's page through -v (the report) and --diff -n (the preview),
  // then rewritten in place.
  void Check(const Row& row) {
    dir.Write("p.html", row.page);
    const test::CliResult preview = Run(std::string("-n -v --diff ") + row.args + " p.html");
    EXPECT_EQ(preview.status, 0) << row.page << preview.err;
    const std::string err = preview.err.substr(preview.err.find('\n') + 1);  // after the count
    EXPECT_EQ(err.substr(0, err.find("tamarind-cli: ")), row.listed) << row.page;
    EXPECT_EQ(preview.out.find("+" + row.written) != std::string::npos, row.written != row.page)
        << row.page << preview.out;
    const test::CliResult r = Run(std::string("-B ") + row.args + " p.html");
    EXPECT_EQ(r.status, 0) << row.page << r.err;
    EXPECT_EQ(test::ReadFile(dir / "p.html"), row.written) << row.page;
  }
};

TEST_F(ResponsiveTest, SrcsetGivesTheSizeOfItsOneXPicture) {
  const Row rows[] = {
      {"", "<img src=s400.gif srcset=\"s400.gif 1x, s800.gif 2x\">",
       "<img src=s400.gif srcset=\"s400.gif 1x, s800.gif 2x\" width=400 height=200>", ""},
      // Without SRC: the 1x candidate, or the only one.
      {"-q", "<img srcset='s800.gif 2x,s400.gif'>",
       "<img srcset='s800.gif 2x,s400.gif' width=\"400\" height=\"200\">", ""},
      // Browsers show the srcset's 1x picture, not SRC.
      {"", "<img src=sq.gif srcset=s400.gif>",
       "<img src=sq.gif srcset=s400.gif width=400 height=200>", ""},
      // Only another density: its size divided by it, when that is exact.
      {"-a", "<img srcset=\"sq.gif 3x, sq.gif 0.5x, s800.gif 2x\">",
       "<img srcset=\"sq.gif 3x, sq.gif 0.5x, s800.gif 2x\" width=400 height=200 alt=\"s800.gif\">",
       ""},
      {"", "<img srcset=\"odd.gif 2x\">", "<img srcset=\"odd.gif 2x\">",
       "p.html:1: odd.gif: its srcset density does not divide the picture's size\n"},
      {"", "<img srcset=\"s800.gif 1.6x\">", "<img srcset=\"s800.gif 1.6x\" width=500 height=250>",
       ""},
      // A comma inside a URL belongs to it; a candidate that does not read is
      // dropped, and SRC stands.
      {"", "<img srcset=\"s,400.gif 1x\">", "<img srcset=\"s,400.gif 1x\">",
       "p.html:1: s,400.gif: no picture at s,400.gif\n"},
      // Split once its character references are decoded, as browsers do.
      {"", "<img srcset=\"sq.gif 1x&#44; s800.gif 2x\">",
       "<img srcset=\"sq.gif 1x&#44; s800.gif 2x\" width=200 height=200>", ""},
      {"-a", "<img srcset=\"s&amp;q.gif 2x\">",
       "<img srcset=\"s&amp;q.gif 2x\" alt=\"s&amp;q.gif\">",
       "p.html:1: s&amp;q.gif: no picture at s&amp;q.gif\n"},
      {"", "<img src=s400.gif srcset=\"sq.gif 1y, sq.gif 1x 2x\">",
       "<img src=s400.gif srcset=\"sq.gif 1y, sq.gif 1x 2x\" width=400 height=200>", ""},
      // Widths leave the size to the screen.
      {"", "<img src=s400.gif srcset=\"s400.gif 400w, s800.gif 800w\">",
       "<img src=s400.gif srcset=\"s400.gif 400w, s800.gif 800w\">",
       "p.html:1: s400.gif: responsive picture (srcset with widths)\n"},
      {"-o", "<img srcset=\"s400.gif 400w\" sizes=50vw width=1 height=2>",
       "<img srcset=\"s400.gif 400w\" sizes=50vw width=1 height=2>",
       ""},  // it keeps its own sides, as with any picture that gives no size
      // A given side keeps the proportions of the 1x picture.
      {"", "<img srcset=\"s800.gif 2x\" width=100>",
       "<img srcset=\"s800.gif 2x\" width=100 height=50>", ""},
  };
  for (const Row& row : rows) Check(row);
}

TEST_F(ResponsiveTest, EachSourceOfAPictureGetsItsOwnSize) {
  const Row rows[] = {
      {"-a",
       "<picture><source media=\"(max-width: 600px)\" srcset=sq.gif><img src=s400.gif></picture>",
       "<picture><source media=\"(max-width: 600px)\" srcset=sq.gif width=200 height=200>"
       "<img src=s400.gif width=400 height=200 alt=\"s400.gif\"></picture>",
       ""},
      // Same rules as IMG: quoting, one side given, both given left alone.
      {"-q",
       "<PICTURE><Source type=image/avif srcset=\"s800.gif 2x\" width=100>"
       "<source srcset=sq.gif width=1 height=2><img src=sq.gif></PICTURE>",
       "<PICTURE><Source type=image/avif srcset=\"s800.gif 2x\" width=100 height=\"50\">"
       "<source srcset=sq.gif width=1 height=2><img src=sq.gif width=\"200\" "
       "height=\"200\"></PICTURE>",
       ""},
      {"-o", "<picture><source srcset=sq.gif width=1 height=2><img src=sq.gif></picture>",
       "<picture><source srcset=sq.gif width=200 height=200><img src=sq.gif width=200 height=200>"
       "</picture>",
       ""},
      // One source unmeasured: its picture's IMG gets nothing (an alt still).
      {"-a",
       "<picture><source srcset=\"sq.gif 200w\"><source srcset=sq.gif><img src=s400.gif></picture>"
       "<img src=sq.gif>",
       "<picture><source srcset=\"sq.gif 200w\"><source srcset=sq.gif width=200 height=200>"
       "<img src=s400.gif alt=\"s400.gif\"></picture><img src=sq.gif width=200 height=200 "
       "alt=\"sq.gif\">",
       "p.html:1: sq.gif 200w: responsive picture (srcset with widths)\n"
       "p.html:1: s400.gif: a <source> of its picture has no size: sq.gif 200w\n"},
      {"", "<picture>\n<source srcset=none.gif>\n<img src=s400.gif></picture>",
       "<picture>\n<source srcset=none.gif>\n<img src=s400.gif></picture>",
       "p.html:2: none.gif: no picture at none.gif\n"
       "p.html:3: s400.gif: a <source> of its picture has no size: none.gif\n"},
      // Outside a picture a source is a video's or a sound's.
      {"", "<video><source src=a.webm srcset=sq.gif></video><source srcset=sq.gif>",
       "<video><source src=a.webm srcset=sq.gif></video><source srcset=sq.gif>", ""},
  };
  for (const Row& row : rows) Check(row);
}

}  // namespace
}  // namespace tamarind
