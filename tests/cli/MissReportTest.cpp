// What the command line measures by default, and its report of the IMG tags
// it left without a size.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "support/RunCli.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::ReadFile;

using Result = test::CliResult;

class MissReportTest : public test::CliFixture {
 protected:
  MissReportTest() {
    dir.Write("a.gif", test::GifBytes(120, 45));
    dir.Write("b.png", Png(30, 20));
    dir.Write("c.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="16" height="8"/>)");
    dir.Write("box.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 8"/>)");
    dir.Write("photo.jpg", Png(7, 5));  // a PNG saved under a JPEG's name
    dir.Write("scan.tiff", "II*\0");
    dir.Write("broken.png", "\x89PNG\r\n\x1A\n");
    dir.Write("folder.gif/x", "");
  }

  static std::string Png(uint32_t w, uint32_t h) {
    std::string s = "\x89PNG\r\n\x1A\n";
    s += std::string("\0\0\0\x0DIHDR", 8);
    for (uint32_t v : {w, h}) {
      for (int i = 3; i >= 0; --i) s += static_cast<char>(v >> (8 * i));
    }
    return s + std::string(5, '\0');
  }
};

TEST_F(MissReportTest, EveryKnownFormatIsMeasuredByDefault) {
  const std::string page = "<img src=a.gif><img src=b.png><img src=c.svg><img src=photo.jpg>";
  dir.Write("p.html", page);
  Result r = Run("-B p.html");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "p.html: 4 tags changed\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFile(dir / "p.html"),
            "<img src=a.gif width=120 height=45><img src=b.png width=30 height=20>"
            "<img src=c.svg width=16 height=8><img src=photo.jpg width=7 height=5>");

  // The wizard's formats: GIF and JPEG by their extension alone.
  dir.Write("p.html", page);
  r = Run("-B --formats gif,jpeg -v p.html");
  EXPECT_EQ(r.out, "p.html: 1 tags changed\n");
  EXPECT_EQ(r.err,
            "p.html:1: b.png: PNG not in --formats\n"
            "p.html:1: c.svg: SVG not in --formats\n"
            "p.html:1: photo.jpg: no size in the picture's header\n"
            "tamarind-cli: 3 IMG tags left without a size (2 format not measured, 1 no size in "
            "the header)\n");

  // -x is the default now, and stays accepted.
  dir.Write("p.html", "<img src=b.png>");
  r = Run("-B -x --formats png p.html");
  EXPECT_EQ(ReadFile(dir / "p.html"), "<img src=b.png width=30 height=20>");
}

TEST_F(MissReportTest, FormatListsAreChecked) {
  dir.Write("p.html", "<img src=a.gif>");
  for (const char* bad : {"gif,tiff", "gif,", "", "GIF,,png"}) {
    const Result r = Run(std::string("--formats '") + bad + "' p.html");
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("--formats: unknown format"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir / "p.html"), "<img src=a.gif>");  // nothing touched
  }
  EXPECT_EQ(Run("-B --formats GIF,Jpg p.html").status, 0);
  EXPECT_EQ(ReadFile(dir / "p.html"), "<img src=a.gif width=120 height=45>");
}

TEST_F(MissReportTest, EachMissHasItsLineAndReason) {
  dir.Write("sub/page.html",
            "<img src=../nope.gif><p>\r\n"
            "\r\n"
            "<img src=\"../scan.tiff\" alt=x> <img src=''>\n"
            "<img src=http://example.com/a.png><img src=//cdn.example.com/b.gif>\r"
            "<img src=../broken.png>\n"
            "<img\nsrc=../folder.gif>\n"
            "<img src=../b.png> <img src=../nope.gif width=1 height=2> <img>\n"
            "<!-- <img src=../nope.gif> --><script>'<img src=../nope.gif>'</script>\n"
            "<img src=../README> <img src=../box.svg>\n"
            "<img src=\"../x\x1b[31m\n.gif\">\n");
  dir.Write("README", "read me");
  const Result r = Run("-n -v sub/page.html");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "sub/page.html: 1 tags would change\n");
  EXPECT_EQ(r.err,
            "sub/page.html:1: ../nope.gif: no picture at sub/../nope.gif\n"
            "sub/page.html:3: ../scan.tiff: format not measured: .tiff\n"
            "sub/page.html:3: : empty SRC\n"
            "sub/page.html:4: http://example.com/a.png: remote picture\n"
            "sub/page.html:4: //cdn.example.com/b.gif: remote picture\n"
            // A lone CR ends no line for editors that count LF.
            "sub/page.html:4: ../broken.png: no size in the picture's header\n"
            "sub/page.html:5: ../folder.gif: no picture at sub/../folder.gif\n"
            "sub/page.html:9: ../README: format not measured: no extension\n"
            "sub/page.html:9: ../box.svg: SVG without a size of its own\n"
            // A page's control bytes reach the terminal escaped.
            "sub/page.html:10: ../x\\033[31m\\n.gif: no picture at sub/../x\\033[31m\\n.gif\n"
            "tamarind-cli: 10 IMG tags left without a size (3 no picture, 2 format not measured, "
            "1 no size in the header, 2 remote, 1 empty SRC, 1 SVG without a size of its own)\n");
  // Without -v only the count, and how to see the list.
  const Result quiet = Run("-n sub/page.html");
  EXPECT_EQ(quiet.err,
            "tamarind-cli: 10 IMG tags left without a size (3 no picture, 2 format not measured, "
            "1 no size in the header, 2 remote, 1 empty SRC, 1 SVG without a size of its own); -v "
            "lists them\n");
}

// Every IMG tag with a SRC that a run leaves without both sizes is listed,
// whichever rule left it; a tag that gives both sizes is not.
TEST_F(MissReportTest, EveryTagLeftAloneIsListed) {
  const struct {
    const char* args;
    std::string page, listed;
  } rows[] = {
      {"", "<img src=a.gif width=\"80%\">", "a.gif: WIDTH is a percentage"},
      {"", "<IMG HEIGHT=50% SRC=a.gif>", "a.gif: HEIGHT is a percentage"},
      {"", "<img src=a.gif width=auto>", "a.gif: WIDTH is not a number"},
      {"", "<img src=a.gif height=\"\">", "a.gif: HEIGHT is not a number"},
      {"", "<img src=a.gif width=12345678901>", "a.gif: WIDTH is too large"},
      {"", "<img src=a.gif alt=\"a<b", "a.gif: IMG tag not closed"},
      {"", "<iframe src=x.html /><img src=a.gif></iframe>",
       "a.gif: inside <iframe> text: browsers do not show it"},
      {"", "<NOFRAMES><img src=a.gif>", "a.gif: inside <noframes> text: browsers do not show it"},
      {"", "<noembed><img alt=x></noembed>", ""},  // no SRC
      {"", "<script>'<img src=a.gif>'</script><!-- <img src=a.gif> -->", ""},
      {"-o", "<img src=missing.gif width=5 height=6><img src=b.png width=5 height=6>", ""},
      {"-o --formats gif", "<img src=\"\" width=5 height=6><img src=b.png width=5 height=6>", ""},
      {"-o", "<img src=missing.gif width=5>", "missing.gif: no picture at missing.gif"},
      {"", "<img src=\" http://example.com/a.gif \">",
       " http://example.com/a.gif : remote picture"},
      {"-r . --site https://example.com/", "<img src=https://example.com/img/none.gif>",
       "https://example.com/img/none.gif: no picture at ./img/none.gif"},
  };
  for (const auto& row : rows) {
    const Result r = Run(std::string("-n -v ") + row.args + " -", row.page);
    EXPECT_EQ(r.status, 0) << row.page;
    const std::string list = row.listed.empty() ? "" : "-:1: " + row.listed + "\n";
    EXPECT_EQ(r.err.substr(0, r.err.find("tamarind-cli: ")), list) << row.page;
    EXPECT_EQ(r.err.find("left without a size") != std::string::npos, !row.listed.empty())
        << row.page;
  }
  // The summary counts them all.
  const Result r =
      Run("-n -", "<img src=a.gif width=50%><iframe><img src=a.gif></iframe><img src=a.gif alt='<");
  EXPECT_NE(r.err.find("3 IMG tags left without a size (1 not closed, 1 inside element text, "
                       "1 percentage)"),
            std::string::npos)
      << r.err;
}

// An XHTML page stays well-formed XML under every option set: the numbers
// it gets are always quoted.
TEST_F(MissReportTest, XhtmlStaysWellFormed) {
  const std::string page =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
      "\"https://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
      "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>Main Page</title>\n"
      "<script type=\"text/javascript\" src=\"jquery.js\"></script></head><body>\n"
      "<img src=\"a.gif\" alt=\"a &lt; b\"/><img id=\"MSearchSelect\" src=\"a.gif\" "
      "onmouseover=\"return searchBox.OnSearchSelectShow()\" alt=\"\"/>\n"
      "<div class=\"dyncontent\"><img src=\"b.png\" border=\"0\" usemap=\"#a_map\" "
      "alt=\"Graph\"/><img src=\"a.gif\" width=\"60\"/>\n"
      "<img src=\"a.gif\" width=\"5\" height=\"6\" title=\"x > y\" /></div>\n"
      "<iframe src=\"x.html\"></iframe><img src=\"a.gif\"/></body></html>\n";
  const std::string xhtml = "<html xmlns=\"http://www.w3.org/1999/xhtml\">";
  const struct {
    const char* name;
    std::string text;
  } pages[] = {
      {"decl.html", page},
      {"ns.html", page.substr(page.find(xhtml))},
      {"named.xhtml", "<html" + page.substr(page.find(xhtml) + xhtml.size() - 1)},
  };
  for (const auto& p : pages) {
    for (const char* options : {"", "-a", "-o", "-q", "-a -o", "-a -q", "-o -q", "-a -o -q"}) {
      dir.Write(p.name, p.text);
      const Result r = Run(std::string("-B ") + options + " " + p.name);
      EXPECT_EQ(r.status, 0) << p.name << " " << options << r.err;
      const std::string check = "cd '" + dir.Path() + "' && xmllint --noout --nonet " + p.name;
      EXPECT_EQ(std::system(check.c_str()), 0) << p.name << " " << options;
      if (*options == '\0') {
        EXPECT_NE(ReadFile(dir / p.name).find("<img src=\"a.gif\" width=\"60\" height=\"23\" />"),
                  std::string::npos);
      }
    }
  }
  // -R picks XHTML pages too.
  for (const char* name : {"tree/a.xht", "tree/b.XHTML", "tree/c.xml"}) {
    dir.Write(name, "<img src=\"../a.gif\"/>");
  }
  const std::string walked = Run("-n -R tree").out;
  EXPECT_NE(walked.find("tree/a.xht: 1 tags would change\ntree/b.XHTML: 1 tags would change\n2 "),
            std::string::npos)
      << walked;
  // An HTML page keeps its numbers bare.
  dir.Write("plain.html", "<html><img src=a.gif></html>");
  Run("-B plain.html");
  EXPECT_EQ(ReadFile(dir / "plain.html"), "<html><img src=a.gif width=120 height=45></html>");
}

TEST_F(MissReportTest, LinesAreCountedAcrossReadingWindows) {
  // Far larger than one reading window; misses near the start, around the
  // window boundaries and at the end.
  std::string page;
  std::vector<size_t> missLines;
  size_t line = 1;
  const std::string filler = "<p>" + std::string(100, 'x') + "</p>\n";
  for (int i = 0; i < 30000; ++i) {
    if (i % 2500 == 7 || i == 29999) {
      page += "<img src=none" + std::to_string(i) + ".gif>";
      missLines.push_back(line);
    }
    page += i % 3 == 0 ? "<img src=a.gif>\r\n" : filler;
    ++line;
  }
  std::string want, wantStdin;
  size_t k = 0;
  for (size_t i = 0; i < 30000; ++i) {
    if (i % 2500 != 7 && i != 29999) continue;
    const std::string tail = ": none" + std::to_string(i) + ".gif: no picture at ";
    want +=
        "big.html:" + std::to_string(missLines[k]) + tail + "none" + std::to_string(i) + ".gif\n";
    wantStdin += "-:" + std::to_string(missLines[k]) + tail + "none" + std::to_string(i) + ".gif\n";
    ++k;
  }
  dir.Write("big.html", page);
  Result r = Run("-v -n big.html");
  EXPECT_EQ(r.err.substr(0, want.size()), want);

  // Read once only, from standard input, the lines are counted as they come.
  r = Run("-v -", page);
  EXPECT_EQ(r.err.substr(0, wantStdin.size()), wantStdin);

  // And the same in place, the file being replaced meanwhile.
  r = Run("-v -B big.html");
  EXPECT_EQ(r.err.substr(0, want.size()), want);
  EXPECT_EQ(r.out, "big.html: 10000 tags changed\n");
}

// Pictures named the way real pages name them, through the front door.
TEST_F(MissReportTest, PicturesFoundWhereBrowsersFindThem) {
  dir.Write("site/img/my logo.gif", test::GifBytes(5, 4));
  dir.Write(
      "site/page.html",
      "<img src=\"img/my%20logo.gif?v=2\"><img src='IMG\\My Logo.GIF'>"
      "<img src=https://Example.com/img/my%20logo.gif><img src=//example.com/img/my%20logo.gif>"
      "<img src=https://elsewhere.org/a.gif>");
  const Result r = Run("-B -a -v -r site --site https://example.com/ site/page.html");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "site/page.html"),
            "<img src=\"img/my%20logo.gif?v=2\" width=5 height=4 alt=\"my%20logo.gif\">"
            "<img src='IMG\\My Logo.GIF' width=5 height=4 alt=\"IMG\\My Logo.GIF\">"
            "<img src=https://Example.com/img/my%20logo.gif width=5 height=4 alt=\"my%20logo.gif\">"
            "<img src=//example.com/img/my%20logo.gif width=5 height=4 alt=\"my%20logo.gif\">"
            "<img src=https://elsewhere.org/a.gif alt=\"a.gif\">");
  EXPECT_EQ(r.err,
            "site/page.html:1: https://elsewhere.org/a.gif: remote picture\n"
            "tamarind-cli: 1 IMG tag left without a size (1 remote)\n");

  EXPECT_EQ(Run("--site https://example.com/ site/page.html").status, 2);  // no --root
  const Result bad = Run("-r site --site example.com site/page.html");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--site"), std::string::npos) << bad.err;
}

// However a rooted or site-mapped name is written, --root is the top; a
// NUL names no picture.
TEST_F(MissReportTest, NamesStayUnderTheRoot) {
  dir.Write("site/a.gif", test::GifBytes(7, 6));  // a.gif beside the root is 120 x 45
  dir.Write("site/page.html",
            "<img src=/../a.gif><img src=/%2e%2e/a.gif>"
            "<img src=https://example.com/../a.gif><img src=a.gif%00.gif>");
  const Result r = Run("-B -v -r site --site https://example.com/ site/page.html");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "site/page.html"),
            "<img src=/../a.gif width=7 height=6><img src=/%2e%2e/a.gif width=7 height=6>"
            "<img src=https://example.com/../a.gif width=7 height=6><img src=a.gif%00.gif>");
  EXPECT_EQ(r.err,
            "site/page.html:1: a.gif%00.gif: no picture at site/a.gif%00.gif\n"
            "tamarind-cli: 1 IMG tag left without a size (1 no picture)\n");
}

TEST_F(MissReportTest, SizeSaysWhyThereIsNone) {
  dir.Write("zero.gif", test::GifBytes(120, 0));  // no picture is empty
  const Result r =
      Run("--size a.gif b.png missing.gif folder.gif scan.tiff broken.png box.svg zero.gif");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "a.gif: 120x45\n"
            "b.png: 30x20\n"
            "missing.gif: no size (no such file)\n"
            "folder.gif: no size (a folder)\n"
            "scan.tiff: no size (not a picture format measured)\n"
            "broken.png: no size (no size in the header)\n"
            "box.svg: no size (SVG without width and height)\n"
            "zero.gif: no size (no size in the header)\n");
  EXPECT_EQ(Run("--size --formats gif b.png").out,
            "b.png: no size (not a picture format measured)\n");
}

}  // namespace
}  // namespace tamarind
