// Styles that fix one side of an IMG: the tag keeps its sides to the styles,
// and the report says which style and where.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/RunCli.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::ReadFile;

class StyleTest : public test::CliFixture {};

struct Row {
  const char* name;
  std::map<std::string, std::string> sheets;  // file name -> text
  std::string page;
  std::string after;   // the page once processed
  std::string report;  // -v's lines, the last line of the run left out
};

TEST_F(StyleTest, AStyleThatFixesOneSideKeepsTheTagAsItIs) {
  dir.Write("s.gif", test::GifBytes(400, 200));
  const Row rows[] = {
      {"own style attribute",
       {},
       "<img src=s.gif style=\"width: 4in\">\n<img src=s.gif style='width:4in;height:auto'>",
       "<img src=s.gif style=\"width: 4in\">\n"
       "<img src=s.gif style='width:4in;height:auto' width=400 height=200>",
       "p.html:1: s.gif: a style sets its width but not its height (p.html:1)\n"},
      {"style element after the tag",
       {},
       "<img src=s.gif>\n<style>\n/* pictures */\nimg { max-width: 100% }\n</style>",
       "<img src=s.gif>\n<style>\n/* pictures */\nimg { max-width: 100% }\n</style>",
       "p.html:1: s.gif: a style sets its width but not its height (p.html:4)\n"},
      {"linked file and its import",
       {{"css/site.css", "@import url(\"parts.css\");\n.logo img { height: 70px }"},
        {"css/parts.css", "p { width: 1px }"}},
       "<link rel=stylesheet href=css/site.css><div class=logo><img src=s.gif></div>",
       "<link rel=stylesheet href=css/site.css><div class=logo><img src=s.gif></div>",
       "p.html:1: s.gif: a style sets its height but not its width (css/site.css:2)\n"},
      {"imported file",
       {{"css/site.css", "@import 'parts.css';"}, {"css/parts.css", "\nimg{max-height:9em}"}},
       "<link rel=\"alternate stylesheet\" href=\"css/site.css\"><img src=s.gif>",
       "<link rel=\"alternate stylesheet\" href=\"css/site.css\"><img src=s.gif>",
       "p.html:1: s.gif: a style sets its height but not its width (css/parts.css:2)\n"},
      {"height: auto elsewhere",
       {{"a.css", "IMG { height: auto !important }"}},
       "<style>img { max-width: 100% } div { width: 5px }</style>"
       "<link rel=stylesheet href=a.css><img src=s.gif>",
       "<style>img { max-width: 100% } div { width: 5px }</style>"
       "<link rel=stylesheet href=a.css><img src=s.gif width=400 height=200>",
       ""},
      {"height: auto only under a condition",
       {},
       "<style>@media (min-width: 40em) { img { height: auto } } .c img { max-width: 100% }"
       "</style><img src=s.gif>",
       "<style>@media (min-width: 40em) { img { height: auto } } .c img { max-width: 100% }"
       "</style><img src=s.gif>",
       "p.html:1: s.gif: a style sets its width but not its height (p.html:1)\n"},
      {"class-qualified img.wide",
       {},
       "<style>\nimg.wide { width: 90% }</style><img src=s.gif><img class='big Wide' src=s.gif>",
       "<style>\nimg.wide { width: 90% }</style><img src=s.gif width=400 height=200>"
       "<img class='big Wide' src=s.gif>",
       "p.html:2: s.gif: a style sets its width but not its height (p.html:2)\n"},
      {"smallest sizes: zero and auto leave the side free",
       {},
       "<style>img { min-width: 0; min-height: auto }\n.big { min-height: 5em }</style>"
       "<img src=s.gif><img class=big src=s.gif>",
       "<style>img { min-width: 0; min-height: auto }\n.big { min-height: 5em }</style>"
       "<img src=s.gif width=400 height=200><img class=big src=s.gif>",
       "p.html:2: s.gif: a style sets its height but not its width (p.html:2)\n"},
      {"the box's proportions, unless the height is given or the ratio is auto",
       {},
       "<style>.r { aspect-ratio: 1 } .k { height: auto }</style><img class=r src=s.gif>"
       "<img class='r k' src=s.gif><img src=s.gif style='aspect-ratio: auto 4 / 3'>",
       "<style>.r { aspect-ratio: 1 } .k { height: auto }</style><img class=r src=s.gif>"
       "<img class='r k' src=s.gif width=400 height=200>"
       "<img src=s.gif style='aspect-ratio: auto 4 / 3' width=400 height=200>",
       "p.html:1: s.gif: a style sets its proportions (aspect-ratio) but not its height "
       "(p.html:1)\n"},
      {"both sides set, or another element's",
       {},
       "<style>img { width: 10px; height: 5px } p img::before, span { width: 1px }</style>"
       "<img src=s.gif>",
       "<style>img { width: 10px; height: 5px } p img::before, span { width: 1px }</style>"
       "<img src=s.gif width=400 height=200>",
       ""},
      {"a picture's source, by the rules of any img",
       {},
       "<style>img { max-width: 100% }</style><picture><source srcset=s.gif><img src=s.gif>"
       "</picture>",
       "<style>img { max-width: 100% }</style><picture><source srcset=s.gif><img src=s.gif>"
       "</picture>",
       "p.html:1: s.gif: a style sets its width but not its height (p.html:1)\n"},
      {"remote stylesheet",
       {},
       "<link rel=stylesheet href=\"https://example.com/a.css\"><link rel=stylesheet href=no.css>"
       "<img src=s.gif>",
       "<link rel=stylesheet href=\"https://example.com/a.css\"><link rel=stylesheet href=no.css>"
       "<img src=s.gif width=400 height=200>",
       "p.html: remote stylesheet https://example.com/a.css: not read\n"
       "p.html: no stylesheet at no.css: not read\n"},
  };
  for (const Row& row : rows) {
    for (const auto& [name, text] : row.sheets) dir.Write(name, text);
    dir.Write("p.html", row.page);
    const test::CliResult r = Run("-B -v p.html");
    EXPECT_EQ(r.status, 0) << row.name;
    EXPECT_EQ(ReadFile(dir / "p.html"), row.after) << row.name;
    EXPECT_EQ(r.err.substr(0, row.report.size()), row.report) << row.name << "\n" << r.err;
  }
  // A link is found as a picture is: a rooted one under --root (never above
  // it), a link to the site under the root, a name in other letter case.
  dir.Write("Look/Wide.css", "img { width: 90% }");
  for (const std::string href : {"/../look/wide.css", "https://example.com/look/wide.css"}) {
    const std::string page = "<link rel=stylesheet href=" + href + "><img src=s.gif>";
    dir.Write("p.html", page);
    const test::CliResult r = Run("-B -r . --site https://example.com/ p.html");
    EXPECT_EQ(ReadFile(dir / "p.html"), page) << href << "\n" << r.err;
  }
}

TEST_F(StyleTest, TheSummarySaysHowToMendTheRule) {
  dir.Write("s.gif", test::GifBytes(400, 200));
  const std::string page = "<img src=s.gif><img src=none.gif><style>img{max-width:100%}</style>";
  dir.Write("p.html", page);
  test::CliResult r = Run("-B p.html");
  EXPECT_EQ(r.err,
            "tamarind-cli: 2 IMG tags left without a size (1 no picture, 1 left because a style "
            "fixes one side; give the other side auto (height: auto) in that rule); -v lists "
            "them\n");
  // From standard input, a stylesheet after the tag counts as well.
  r = Run("-v -", page);
  EXPECT_EQ(r.out, page);
  EXPECT_NE(r.err.find("-:1: s.gif: a style sets its width but not its height (-:1)\n"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace tamarind
