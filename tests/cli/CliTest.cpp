// The command-line program, run as a user would run it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "engine/TestFiles.h"

namespace tamarind {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;

struct Result {
  int status;
  std::string out, err;
};

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    dir.Write("a.gif", test::GifBytes(120, 45));
    dir.Write("img/b.jpg", test::JpegBytes(640, 480));
  }

  // Runs the program in the temporary folder with `args` (shell words).
  Result Run(const std::string& args, const std::string& input = "") {
    const std::string in = dir.Write(".stdin", input);
    const std::string command = "cd '" + dir.Path() + "' && '" TAMARIND_CLI "' " + args + " <'" +
                                in + "' >.stdout 2>.stderr";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stdout"),
            ReadFile(dir / ".stderr")};
  }

  TempDir dir;
};

TEST_F(CliTest, ProcessesEachFileAndReportsFailuresOnStandardError) {
  dir.Write("one.html", "<img src=a.gif>");
  dir.Write("two.html", "<img src=img/b.jpg><img src=a.gif>");
  const Result r = Run("one.html missing.html two.html");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "one.html: 1 tags changed\ntwo.html: 2 tags changed\n");
  EXPECT_EQ(r.err, "tamarind-cli: missing.html: ファイルが見つかりません\n");
  EXPECT_EQ(ReadFile(dir / "two.html"),
            "<img src=img/b.jpg width=640 height=480><img src=a.gif width=120 height=45>");
  EXPECT_EQ(ReadFile(dir / "one.bak"), "<img src=a.gif>");  // backups are on by default
}

TEST_F(CliTest, OptionsReachTheEngine) {
  dir.Write("root/top/c.gif", test::GifBytes(16, 16));
  const std::string page = "<IMG SRC=/top/c.gif WIDTH=5 HEIGHT=6 ALT=x><img src=a.gif>";
  dir.Write("page.html", page);
  const Result r = Run("-B -o -q -a --root root/ page.html");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "page.html"),
            "<IMG SRC=/top/c.gif ALT=x width=\"16\" height=\"16\">"
            "<img src=a.gif width=\"120\" height=\"45\" alt=\"a.gif\">");
  EXPECT_FALSE(Exists(dir / "page.bak"));
}

TEST_F(CliTest, StandardInputToStandardOutput) {
  const Result r = Run("--trace -", "<p><img src=a.gif>");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "<p><img src=a.gif width=120 height=45>");
  EXPECT_NE(r.err.find("** FIND IMAGE TAG **\n"), std::string::npos);
  EXPECT_NE(r.err.find("-: 1 tags changed\n"), std::string::npos);
}

TEST_F(CliTest, SizeOfPictures) {
  const Result r = Run("--size a.gif img/b.jpg nothing.png");
  EXPECT_EQ(r.out, "a.gif: 120x45\nimg/b.jpg: 640x480\nnothing.png: no size\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(CliTest, BadUsageTouchesNothing) {
  dir.Write("page.html", "<img src=a.gif>");
  for (const char* args :
       {"--bogus page.html", "-z page.html", "page.html --root", "", "- page.html"}) {
    const Result r = Run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("tamarind-cli --help"), std::string::npos) << args;
    EXPECT_EQ(r.out, "") << args;
  }
  EXPECT_EQ(ReadFile(dir / "page.html"), "<img src=a.gif>");
  EXPECT_FALSE(Exists(dir / "page.bak"));
  EXPECT_EQ(Run("--help").status, 0);
}

TEST_F(CliTest, SampleSiteGetsItsSizes) {
  std::filesystem::copy(TAMARIND_EXAMPLES "/site", dir / "site",
                        std::filesystem::copy_options::recursive);
  const Result r = Run("-r site site/index.html site/about/index.html");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "site/index.html: 5 tags changed\nsite/about/index.html: 2 tags changed\n");
  const std::string index = ReadFile(dir / "site/index.html");
  for (const char* expected :
       {"<img src=\"/images/logo.gif\" width=200 height=60>",
        "<img src=photos/turned.jpg width=120 height=160>", "class=photo width=240 height=160 />",
        "<img src=\"photos/missing.jpg\">"}) {
    EXPECT_NE(index.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(ReadFile(dir / "site/index.bak"), ReadFile(TAMARIND_EXAMPLES "/site/index.html"));
}

}  // namespace
}  // namespace tamarind
