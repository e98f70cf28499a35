// The command-line program, run as a user would run it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "support/RunCli.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;

using Result = test::CliResult;

class CliTest : public test::CliFixture {
 protected:
  CliTest() {
    dir.Write("a.gif", test::GifBytes(120, 45));
    dir.Write("img/b.jpg", test::JpegBytes(640, 480));
  }
};

TEST_F(CliTest, ProcessesEachFileAndReportsFailuresOnStandardError) {
  dir.Write("one.html", "<img src=a.gif>");
  dir.Write("two.html", "<img src=img/b.jpg><img src=a.gif>");
  const Result r = Run("one.html missing.html two.html");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "one.html: 1 tags changed\ntwo.html: 2 tags changed\n");
  EXPECT_EQ(r.err, "tamarind-cli: missing.html: file not found\n");
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
  EXPECT_EQ(r.out, "a.gif: 120x45\nimg/b.jpg: 640x480\nnothing.png: no size (no such file)\n");
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

// A small site: pages in nested folders, a hidden folder and a hidden page,
// a file that is no page, and a link that loops back to the top.
void MakeSite(const TempDir& dir) {
  dir.Write("site/a.gif", test::GifBytes(120, 45));
  dir.Write("site/index.html", "<img src=a.gif>");
  dir.Write("site/Deep/B.HTM", "<img src=../a.gif><img src=../a.gif>");
  dir.Write("site/deep/er/c.html", "<p>no pictures</p>");
  dir.Write("site/.hidden/x.html", "<img src=../a.gif>");
  dir.Write("site/.draft.html", "<img src=a.gif>");
  dir.Write("site/notes.txt", "<img src=a.gif>");
  std::filesystem::create_directory_symlink("..", dir / "site/deep/er/up");
}

TEST_F(CliTest, RecursionFindsThePagesOnceInSortedOrder) {
  MakeSite(dir);
  const Result r = Run("-R -B site");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "site/Deep/B.HTM: 2 tags changed\n"
            "site/deep/er/c.html: unchanged\n"
            "site/index.html: 1 tags changed\n"
            "3 files processed, 0 failed, 3 tags changed\n");
  EXPECT_EQ(ReadFile(dir / "site/notes.txt"), "<img src=a.gif>");
  EXPECT_EQ(ReadFile(dir / "site/.draft.html"), "<img src=a.gif>");
  EXPECT_EQ(ReadFile(dir / "site/.hidden/x.html"), "<img src=../a.gif>");
}

// Every byte and modification time of a tree.
std::map<std::string, std::pair<std::string, int64_t>> Snapshot(const std::string& root) {
  std::map<std::string, std::pair<std::string, int64_t>> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (!e.is_regular_file() || e.is_symlink()) continue;
    files[e.path().string()] = {ReadFile(e.path().string()),
                                e.last_write_time().time_since_epoch().count()};
  }
  return files;
}

TEST_F(CliTest, DryRunTouchesNothing) {
  MakeSite(dir);
  const auto before = Snapshot(dir / "site");
  const Result r = Run("-n -R site");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("site/Deep/B.HTM: 2 tags would change\n"), std::string::npos);
  EXPECT_NE(r.out.find("3 files processed, 0 failed, 3 tags would change\n"), std::string::npos);
  EXPECT_EQ(Snapshot(dir / "site"), before);
}

// Each of the 16 sets of -a -B -o -q settles in one run: the second run over
// the sample site and a page of varied tags changes no byte, says so, and
// leaves every page and backup as the first run left it.
TEST_F(CliTest, EveryOptionSetSettlesInOneRun) {
  const std::string varied = R"(<p><img src=pics/image-size/sample.gif>
<IMG SRC="pics/imagesize_py/test-rotated.jpg" WIDTH=100>
<img src='pics/probe-image-size/iojs_logo.gif' height="50%">
<img src=/images/logo.gif width=200 height=60><img src=/images/logo.gif width="200" height='60' alt="">
<img src=photos/pods.jpg WIDTH=64 Alt=pods><img src=photos/pods.jpg alt><img src=photos/pods.jpg alt=>
<img src="photos/pods.jpg" title= /><img src="/images/logo.gif"/><img src=photos/missing.jpg width=5 height=6>
<img src=""><img src="data:image/gif;base64,R0lGODlhAwACAAAAAA=="><img alt="a > b" src=pics/image-size/sample.gif>
<img src = "photos/pods.jpg"
  width = 7  height=8 border=0><img ismap src=/IMAGES/LOGO.GIF><img src=/images/../images/logo.gif?v=2>
<!-- <img src=photos/pods.jpg> --><script>"<img src=x.gif>"</script></p>
)";
  for (unsigned set = 0; set < 16; ++set) {
    std::string options;
    for (unsigned bit = 0; bit < 4; ++bit) {
      if (set >> bit & 1) options += std::string(" -") + "aBoq"[bit];
    }
    const std::string site = "site" + std::to_string(set);
    std::filesystem::copy(TAMARIND_EXAMPLES "/site", dir / site,
                          std::filesystem::copy_options::recursive);
    dir.Write(site + "/varied.html", varied);
    std::filesystem::create_directory_symlink(test::TestDataDir(), dir / (site + "/pics"));
    const std::string args = options + " -R -r " + site + " " + site;
    const Result first = Run(args);
    EXPECT_EQ(first.status, 0) << options << first.err;
    EXPECT_EQ(Exists(dir / (site + "/varied.bak")), (set & 2) == 0) << options;
    const auto before = Snapshot(dir / site);
    const Result second = Run(args);
    EXPECT_EQ(second.status, 0) << options;
    EXPECT_EQ(second.out, site + "/about/index.html: unchanged\n" + site +
                              "/index.html: unchanged\n" + site +
                              "/varied.html: unchanged\n"
                              "3 files processed, 0 failed, 0 tags changed\n")
        << options;
    const auto after = Snapshot(dir / site);
    ASSERT_EQ(after.size(), before.size()) << options;
    for (const auto& [file, was] : before) EXPECT_EQ(after.at(file), was) << options << " " << file;
  }
}

TEST_F(CliTest, ParallelRunsMatchOneAtATime) {
  for (const char* copy : {"one", "four"}) {
    for (int page = 0; page < 40; ++page) {
      std::string doc;
      for (int i = 0; i <= page % 7; ++i) {
        doc += "<p>" + std::to_string(i) + "<img src=../img/" + std::to_string((page + i) % 5) +
               ".gif>\n";
      }
      dir.Write(std::string(copy) + "/p" + std::to_string(page % 4) + "/" + std::to_string(page) +
                    ".html",
                doc);
    }
    for (int i = 0; i < 5; ++i) {
      dir.Write(std::string(copy) + "/img/" + std::to_string(i) + ".gif",
                test::GifBytes(static_cast<uint16_t>(i), static_cast<uint16_t>(2 * i)));
    }
  }
  const Result one = Run("-R -B -a -j 1 one");
  const Result four = Run("-R -B -a -j 4 four");
  EXPECT_EQ(four.status, 0);
  std::string renamed = one.out;
  for (size_t at; (at = renamed.find("one/")) != std::string::npos;)
    renamed.replace(at, 4, "four/");
  EXPECT_EQ(four.out, renamed);
  auto a = Snapshot(dir / "one"), b = Snapshot(dir / "four");
  ASSERT_EQ(a.size(), b.size());
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
    EXPECT_EQ(i->second.first, j->second.first);
}

TEST_F(CliTest, DiffAppliesWithPatchToTheSameBytesAsARun) {
  // Lines without a final break, a tag left open at the end, a multi-line
  // tag that the rebuild joins, and changes near and far from each other.
  const char* docs[] = {
      "<img src=a.gif>",
      "a\n<img src=a.gif>\nb\n",
      "<img\nsrc=a.gif\nwidth=1>\nx\n<img src=a.gif>",
      "1\n2\n3\n4\n5\n6\n7\n8\n9\n<img src=a.gif>\n10\n11\n12\n13\n14\n15\n16\n17\n<img src=a.gif>",
      "text\n<img src=a.gif",
      "text\n<img src=a.gif\n",
      "no change\n",
  };
  dir.Write("d/a.gif", test::GifBytes(120, 45));
  dir.Write("r/a.gif", test::GifBytes(120, 45));
  for (const char* doc : docs) {
    dir.Write("d/page.html", doc);
    dir.Write("r/page.html", doc);
    const Result diff = Run("--diff -o -B d/page.html");
    EXPECT_EQ(ReadFile(dir / "d/page.html"), doc) << doc;
    dir.Write("d.patch", diff.out);
    EXPECT_EQ(std::system(("cd '" + dir.Path() + "' && patch -s -p0 < d.patch").c_str()), 0) << doc;
    Run("-o -B r/page.html");
    EXPECT_EQ(ReadFile(dir / "d/page.html"), ReadFile(dir / "r/page.html")) << doc;
  }
}

}  // namespace
}  // namespace tamarind
