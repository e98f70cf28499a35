// The tag pass over a whole document: which tags reach the rewriter.
#include <gtest/gtest.h>

#include "MainProc.h"
#include "engine/TestFiles.h"

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

}  // namespace
}  // namespace tamarind
