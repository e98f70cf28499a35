// Whole-site runs of the command-line program as people run them: stopped
// by signals, piped, run twice, over links and names met twice, with their
// output going nowhere, and their diffs applied.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "files/SafeWrite.h"
#include "support/RunCli.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

namespace fs = std::filesystem;
using test::Exists;
using test::ReadFile;
using test::TempDir;

using Result = test::CliResult;

constexpr char kOld[] = "<p><img src=../a.gif></p>\n";
constexpr char kNew[] = "<p><img src=../a.gif width=120 height=45></p>\n";

class SiteRunTest : public test::CliFixture {
 protected:
  SiteRunTest() { dir.Write("a.gif", test::GifBytes(120, 45)); }

  // A site of `pages` pages in folders of 100, each needing one size.
  void MakeSite(const std::string& name, int pages) {
    for (int i = 0; i < pages; ++i) {
      dir.Write(name + "/d" + std::to_string(i / 100) + "/p" + std::to_string(i) + ".html", kOld);
    }
    dir.Write(name + "/a.gif", test::GifBytes(120, 45));
  }

  // Every page of a site is as it was or wholly new, and every backup
  // complete (a new page has one; an old one may have got one just before
  // a kill); no temporary file stands. Returns the number of new pages.
  int ExpectOldOrNew(const std::string& name) {
    int fresh = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir / name)) {
      const std::string file = e.path().filename();
      EXPECT_NE(file.rfind(".tamarind-", 0), 0u) << "left behind: " << e.path();
      if (e.path().extension() != ".html") continue;
      const std::string text = ReadFile(e.path());
      const std::string backup = e.path().parent_path() / (e.path().stem().string() + ".bak");
      if (text == kNew) {
        ++fresh;
        EXPECT_EQ(ReadFile(backup), kOld) << backup;
      } else {
        EXPECT_EQ(text, kOld) << e.path();
        if (Exists(backup)) {
          EXPECT_EQ(ReadFile(backup), kOld) << backup;
        }
      }
    }
    return fresh;
  }
};

// Starts the program on `args` with standard output on a pipe, waits for
// its first line, sends `signals` (a little apart), and collects the rest.
Result Interrupt(const std::string& folder, const std::vector<std::string>& args,
                 const std::vector<int>& signals) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {-1, "", "pipe"};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::close(out[0]);
    ::close(err[0]);
    if (::chdir(folder.c_str()) != 0) ::_exit(98);
    std::vector<char*> argv{const_cast<char*>(TAMARIND_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::setenv("LC_ALL", "C", 1);
    ::execv(TAMARIND_CLI, argv.data());
    ::_exit(99);
  }
  ::close(out[1]);
  ::close(err[1]);
  Result r{-1, "", ""};
  char c;
  while (::read(out[0], &c, 1) == 1) {
    r.out += c;
    if (c == '\n') break;
  }
  for (size_t i = 0; i < signals.size(); ++i) {
    if (i > 0) ::usleep(2000);
    ::kill(child, signals[i]);
  }
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    r.out.append(buffer, static_cast<size_t>(n));
  }
  for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) {
    r.err.append(buffer, static_cast<size_t>(n));
  }
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

TEST_F(SiteRunTest, SignalsStopBetweenFilesAndLeaveEveryPageWhole) {
  const struct {
    const char* name;
    std::vector<int> signals;
    int status;
    bool summary;  // a second signal ends the program before its summary
  } rows[] = {
      {"Ctrl-C", {SIGINT}, 130, true},           {"terminate", {SIGTERM}, 143, true},
      {"hang-up", {SIGHUP}, 129, true},          {"second signal", {SIGINT, SIGINT}, 130, false},
      {"kill", {SIGKILL}, 128 + SIGKILL, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(dir / "site");
    MakeSite("site", 1000);
    const Result r = Interrupt(dir.Path(), {"-R", "site"}, row.signals);
    EXPECT_EQ(r.status, row.status) << r.err;
    if (row.signals.back() == SIGKILL && !MakesNamelessFiles(dir / "site")) {
      continue;  // names of files in flight may be left; nothing else is checked
    }
    const int fresh = ExpectOldOrNew("site");
    EXPECT_GT(fresh, 0);
    EXPECT_LT(fresh, 1000) << "the run was not stopped";
    if (row.summary) {
      EXPECT_NE(r.out.find(std::to_string(fresh) + " files processed, 0 failed, " +
                           std::to_string(fresh) + " tags changed\n"),
                std::string::npos)
          << r.out;
      EXPECT_NE(r.err.find("stopped by "), std::string::npos);
      EXPECT_NE(r.err.find(std::to_string(1000 - fresh) + " files not started"), std::string::npos)
          << r.err;
    }
  }
}

TEST_F(SiteRunTest, TimeoutStopsARunWithTheSignalsStatus) {
  MakeSite("site", 4000);
  const Result r = Run("-R -j 1 site", "", "LC_ALL=C timeout --preserve-status -s INT 0.3");
  // A machine fast enough to finish first would give 0; the pages must be
  // whole either way.
  EXPECT_TRUE(r.status == 130 || r.status == 0) << r.status;
  ExpectOldOrNew("site");
}

TEST_F(SiteRunTest, ClosedPipeIsReportedOnceAndTheSiteIsFinished) {
  MakeSite("site", 4000);  // more lines than a pipe holds
  const Result r = Run("-R site | head -1 > .head; exit ${PIPESTATUS[0]}");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(dir / ".head"), "site/d0/p0.html: 1 tags changed\n");
  EXPECT_EQ(r.err, "tamarind-cli: standard output: Broken pipe\n");
  EXPECT_EQ(ExpectOldOrNew("site"), 4000);
}

TEST_F(SiteRunTest, FullDiskForOutputFailsTheRun) {
  dir.Write("page.html", "<img src=a.gif>");
  const std::string full = " > /dev/full";
  for (const std::string args : {"--size a.gif", "--diff page.html", "-n page.html",
                                 "--diff - < page.html", "--version", "-B page.html"}) {
    const Result r = Run(args + full);
    EXPECT_EQ(r.status, 1) << args;
    const std::string report = "tamarind-cli: standard output: No space left on device\n";
    const size_t at = r.err.find(report);
    EXPECT_NE(at, std::string::npos) << args << ": " << r.err;
    EXPECT_EQ(r.err.find(report, at + 1), std::string::npos) << "reported twice: " << r.err;
  }
  // The last one still did its work.
  EXPECT_EQ(ReadFile(dir / "page.html"), "<img src=a.gif width=120 height=45>");
}

TEST_F(SiteRunTest, SecondRunWritesNothing) {
  MakeSite("site", 3);
  dir.Write("site/d0/same.html", "<p>no pictures</p>");
  EXPECT_EQ(Run("-R site").status, 0);
  std::map<std::string, std::pair<ino_t, int64_t>> before;
  for (const auto& e : fs::recursive_directory_iterator(dir / "site")) {
    struct stat st {};
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    before[e.path()] = {st.st_ino, st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec};
  }
  EXPECT_FALSE(Exists(dir / "site/d0/same.bak"));  // never written, so no backup

  const Result again = Run("-R site");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out,
            "site/d0/p0.html: unchanged\nsite/d0/p1.html: unchanged\n"
            "site/d0/p2.html: unchanged\nsite/d0/same.html: unchanged\n"
            "4 files processed, 0 failed, 0 tags changed\n");
  for (const auto& [file, identity] : before) {
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, identity.first) << file;
    EXPECT_EQ(st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec, identity.second) << file;
  }
  EXPECT_EQ(ReadFile(dir / "site/d0/p0.bak"), kOld);  // the original survives
}

TEST_F(SiteRunTest, EachFileOnceWhateverTheNamesThatReachIt) {
  dir.Write("site/a.gif", test::GifBytes(120, 45));
  dir.Write("site/page.html", "<img src=a.gif>");
  dir.Write("site/sub/deep.html", "<img src=../a.gif>");
  fs::create_symlink("page.html", dir / "site/link.html");
  ASSERT_EQ(::link((dir / "site/page.html").c_str(), (dir / "site/sub/hard.html").c_str()), 0);
  const Result r = Run("-L -R site site/sub site/page.html");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "site/link.html: 1 tags changed\n"
            "site/page.html: same file as site/link.html\n"
            "site/sub/deep.html: 1 tags changed\n"
            "site/sub/hard.html: same file as site/link.html\n"
            "site/sub/deep.html: same file as site/sub/deep.html\n"
            "site/sub/hard.html: same file as site/link.html\n"
            "site/page.html: same file as site/link.html\n"
            "2 files processed, 0 failed, 2 tags changed\n");
  // Processed once: the backup holds the page as it was, every name the new text.
  EXPECT_EQ(ReadFile(dir / "site/link.bak"), "<img src=a.gif>");
  for (const char* name : {"site/page.html", "site/link.html", "site/sub/hard.html"}) {
    EXPECT_EQ(ReadFile(dir / name), "<img src=a.gif width=120 height=45>") << name;
  }
}

TEST_F(SiteRunTest, SharedBackupNameStaysWithTheFirstDocument) {
  // index.htm and index.html both back up to index.bak; one that an earlier
  // run left is replaced, but never one this run has written.
  const std::string other = "<img src=../a.gif>\n";
  dir.Write("site/index.htm", kOld);
  dir.Write("site/index.html", other);
  dir.Write("site/index.bak", "an earlier run's backup");
  const std::string taken =
      "tamarind-cli: site/index.html: backup name index.bak is taken by index.htm; use -B or "
      "rename one\n";
  const struct {
    const char* args;
    int status;
    const char* out;
    std::string err;
    bool htmlNew;
  } runs[] = {
      {"-j 4 -R site", 1, "site/index.htm: 1 tags changed\n", taken, false},
      {"-R site", 1, "site/index.htm: unchanged\n", taken, false},  // still index.htm's
      {"-B -R site", 0, "site/index.htm: unchanged\nsite/index.html: 1 tags changed\n", "", true},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args);
    const Result r = Run(run.args);
    EXPECT_EQ(r.status, run.status);
    EXPECT_EQ(r.out.substr(0, r.out.find("2 files")), run.out);
    EXPECT_EQ(r.err, run.err);
    EXPECT_EQ(ReadFile(dir / "site/index.htm"), kNew);
    EXPECT_EQ(ReadFile(dir / "site/index.html"),
              run.htmlNew ? "<img src=../a.gif width=120 height=45>\n" : other);
    EXPECT_EQ(ReadFile(dir / "site/index.bak"), kOld);
  }
}

TEST_F(SiteRunTest, JournalsArePutBackBeforeTheirPageIsRead) {
  // A write in place killed halfway: the page's other name holds the
  // journal. Another journal's page is gone.
  dir.Write("site/p.html", "<p><img src=../a.gif wid");
  ASSERT_EQ(::link((dir / "site/p.html").c_str(), (dir / "site/q.html").c_str()), 0);
  dir.Write("site/.q.html.tamarind-journal", kOld);
  dir.Write("site/.gone.html.tamarind-journal", "x");
  const std::string gone =
      "tamarind-cli: site/.gone.html.tamarind-journal: left alone: the journal of an interrupted "
      "write of a page not in this run\n";
  const struct {
    const char* args;
    int status;
    std::string err;
    const char* page;
  } runs[] = {
      {"-n -R site", 1,
       gone + "tamarind-cli: site/p.html: not processed, for its other name site/q.html: an "
              "interrupted write left site/.q.html.tamarind-journal; a run without -n first puts "
              "the page back from it\n",
       "<p><img src=../a.gif wid"},
      {"site/.gone.html.tamarind-journal", 1,
       "tamarind-cli: site/.gone.html.tamarind-journal: the journal of an interrupted write, not "
       "a document\n",
       "<p><img src=../a.gif wid"},
      {"-R site", 0,
       gone + "tamarind-cli: site/q.html: restored from site/.q.html.tamarind-journal, left by an "
              "interrupted run\n",
       kNew},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args);
    const Result r = Run(run.args);
    EXPECT_EQ(r.status, run.status);
    EXPECT_EQ(r.err, run.err);
    EXPECT_EQ(ReadFile(dir / "site/p.html"), run.page);
    EXPECT_EQ(ReadFile(dir / "site/.gone.html.tamarind-journal"), "x");
  }
  EXPECT_EQ(ReadFile(dir / "site/p.bak"), kOld);
  EXPECT_FALSE(Exists(dir / "site/.q.html.tamarind-journal"));
}

TEST_F(SiteRunTest, RecursionStaysInsideTheFolderUnlessAskedToFollowLinks) {
  const std::string page = "<img src=a.gif>";
  for (const char* top : {"plain", "follow"}) {
    const std::string t = top;
    dir.Write(t + "/outside/a.gif", test::GifBytes(120, 45));
    dir.Write(t + "/outside/o.html", page);
    dir.Write(t + "/site/a.gif", test::GifBytes(120, 45));
    dir.Write(t + "/site/in.html", page);
    fs::create_symlink("in.html", dir / (t + "/site/alias.html"));        // in the tree
    fs::create_symlink("../outside", dir / (t + "/site/out"));            // a folder outside
    fs::create_symlink("../outside/o.html", dir / (t + "/site/o.html"));  // a page outside
  }
  const Result plain = Run("-R plain/site");
  EXPECT_EQ(plain.out,
            "plain/site/in.html: 1 tags changed\n1 files processed, 0 failed, 1 tags changed\n");
  EXPECT_EQ(ReadFile(dir / "plain/outside/o.html"), page);

  const Result follow = Run("-R -L follow/site");
  EXPECT_EQ(follow.out,
            "follow/site/alias.html: 1 tags changed\n"
            "follow/site/in.html: same file as follow/site/alias.html\n"
            "follow/site/o.html: 1 tags changed\n"
            "follow/site/out/o.html: same file as follow/site/o.html\n"
            "2 files processed, 0 failed, 2 tags changed\n");
  EXPECT_EQ(ReadFile(dir / "follow/outside/o.html"), "<img src=a.gif width=120 height=45>");
}

TEST_F(SiteRunTest, DiffsApplyWithBlanksAndLinksInNames) {
  dir.Write("my site/a.gif", test::GifBytes(120, 45));
  dir.Write("my site/index page.html", "<p>\n<img src=a.gif>\n</p>\n");
  dir.Write("my site/real dir/other page.html", "<img src=../a.gif>\n");
  fs::create_symlink("real dir/other page.html", dir / "my site/link page.html");
  const Result r =
      Run("--diff -r 'my site' 'my site/index page.html' 'my site/link page.html' "
          "'my site/real dir/other page.html' > site.patch");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string patch = ReadFile(dir / "site.patch");
  EXPECT_NE(patch.find("--- my site/index page.html\t"), std::string::npos) << patch;
  // The linked page once, under the name of the file it stands for.
  EXPECT_NE(patch.find("+++ my site/real dir/other page.html\t"), std::string::npos) << patch;
  EXPECT_EQ(patch.find("link page"), std::string::npos) << patch;
  // Standard output is the patch alone.
  EXPECT_NE(r.err.find("my site/real dir/other page.html: same file as my site/link page.html"),
            std::string::npos)
      << r.err;
  ASSERT_EQ(std::system(("cd '" + dir.Path() + "' && patch -s -p0 < site.patch").c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "my site/index page.html"),
            "<p>\n<img src=a.gif width=120 height=45>\n</p>\n");
  EXPECT_EQ(ReadFile(dir / "my site/real dir/other page.html"),
            "<img src=../a.gif width=120 height=45>\n");
  EXPECT_TRUE(fs::is_symlink(dir / "my site/link page.html"));
}

TEST_F(SiteRunTest, DiffsQuoteNamesWithControlBytesQuotesOrBackslashes) {
  const std::string names[] = {"tab\there.html", "line\nbreak.html", "quote\"back\\slash.html",
                               "bell\a del\x7f.html", "plain \xc3\xa9.html"};
  for (const std::string& name : names) dir.Write("odd/" + name, "<p>\n<img src=../a.gif>\n");
  const Result r = Run("--diff -R odd > odd.patch");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string patch = ReadFile(dir / "odd.patch");
  for (const char* header :
       {"--- \"odd/tab\\there.html\"\t", "+++ \"odd/line\\nbreak.html\"\t",
        "--- \"odd/quote\\\"back\\\\slash.html\"\t", "--- \"odd/bell\\a del\\177.html\"\t",
        "--- odd/plain \xc3\xa9.html\t"}) {
    EXPECT_NE(patch.find(header), std::string::npos) << header << "\n" << patch;
  }
  ASSERT_EQ(std::system(("cd '" + dir.Path() + "' && patch -s -p0 < odd.patch").c_str()), 0);
  for (const std::string& name : names) {
    EXPECT_EQ(ReadFile(dir / ("odd/" + name)), "<p>\n<img src=../a.gif width=120 height=45>\n")
        << name;
  }
}

// Every file below a folder, and its bytes.
std::map<std::string, std::string> Contents(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[e.path()] = ReadFile(e.path());
  }
  return files;
}

TEST_F(SiteRunTest, ClosedStandardOutputOrErrorReachesNoPage) {
  // As cron and some service managers start programs. A page opened as the
  // closed handle would get the lines meant for it.
  const struct {
    const char* args;
    const char* closed;
    int status;
  } rows[] = {
      {"-n -v -R site", ">&-", 1},
      {"-n -v -R site", "2>&-", 0},
      {"-v -R site", ">&-", 1},
      {"-v -R site", "2>&-", 0},
  };
  const std::string miss = "<img src=none.gif>\n";  // a line of -v for every run
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.args) + " " + row.closed);
    fs::remove_all(dir / "site");
    MakeSite("site", 100);
    dir.Write("site/miss.htm", miss);
    const auto before = Contents(dir / "site");
    const Result r = Run(std::string(row.args) + " " + row.closed);
    EXPECT_EQ(r.status, row.status) << r.err;
    if (row.status == 1) {
      // Writing to the closed output fails, and is said once, as any failed write.
      EXPECT_NE(r.err.find("tamarind-cli: standard output: Bad file descriptor\n"),
                std::string::npos);
      EXPECT_NE(r.err.find("site/miss.htm:1: none.gif: no picture at site/none.gif\n"),
                std::string::npos);
    } else {
      EXPECT_NE(r.out.find("101 files processed, 0 failed"), std::string::npos) << r.out;
    }
    if (std::string(row.args).find("-n") == 0) {
      EXPECT_EQ(Contents(dir / "site"), before);
    } else {
      EXPECT_EQ(ExpectOldOrNew("site"), 100);
      EXPECT_EQ(ReadFile(dir / "site/miss.htm"), miss);
    }
  }
}

TEST_F(SiteRunTest, PreviewsReadPagesTheUserMayNotWrite) {
  const std::string page = "<img src=a.gif>\n";
  dir.Write("page.html", page);
  ASSERT_EQ(::chmod((dir / "page.html").c_str(), 0444), 0);
  // Root writes whatever the mode says: it runs the program without that power.
  const std::string as =
      ::geteuid() == 0 ? "setpriv --inh-caps=-dac_override --bounding-set=-dac_override " : "";
  if (std::system(("cd '" + dir.Path() + "' && " + as +
                   "sh -c 'test -r page.html && ! (: >> page.html) 2>/dev/null'")
                      .c_str()) != 0) {
    GTEST_SKIP() << "cannot run without the power to write a read-only file";
  }
  const struct {
    const char* args;
    int status;
    const char* out;
    const char* err;
  } rows[] = {
      {"-n page.html", 0, "page.html: 1 tags would change\n", ""},
      {"--diff page.html", 0, "+<img src=a.gif width=120 height=45>\n",
       "page.html: 1 tags would change\n"},
      // A real run refuses it before anything changes, as ever.
      {"page.html", 1, "", "tamarind-cli: page.html: access denied\n"},
  };
  for (const auto& row : rows) {
    const Result r = Run(row.args, "", "LC_ALL=C " + as);
    EXPECT_EQ(r.status, row.status) << row.args << ": " << r.err;
    EXPECT_NE(r.out.find(row.out), std::string::npos) << row.args << ": " << r.out;
    EXPECT_EQ(r.err, row.err) << row.args;
  }
  EXPECT_EQ(ReadFile(dir / "page.html"), page);
  EXPECT_FALSE(Exists(dir / "page.bak"));
}

TEST_F(SiteRunTest, StandardInputPreviews) {
  dir.Write("page.html", "<img src=a.gif>\n");
  Result r = Run("--diff - < page.html");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("--- -\t"), 0u) << r.out;
  EXPECT_NE(r.out.find("\n+++ -\t"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("+<img src=a.gif width=120 height=45>\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "-: 1 tags would change\n");
  r = Run("-n - < page.html");
  EXPECT_EQ(r.out, "-: 1 tags would change\n");
  EXPECT_EQ(ReadFile(dir / "page.html"), "<img src=a.gif>\n");
}

TEST_F(SiteRunTest, UsageErrorsNameTheOption) {
  dir.Write("page.html", "<img src=a.gif>");
  const struct {
    const char* args;
    const char* message;
  } rows[] = {
      {"-Bz page.html", "unknown option '-z'"},
      {"--bogus=1 page.html", "unknown option '--bogus'"},
      {"page.html -j", "option '-j' needs a value"},
      {"page.html --root", "option '--root' needs a value"},
      {"--root nowhere page.html", "option '--root' wants an existing folder, not 'nowhere'"},
      {"-r page.html page.html", "option '--root' wants an existing folder, not 'page.html'"},
      {"-R -", "option '-R' wants folders, not '-'"},
      {"- page.html", "'-' (standard input) stands alone"},
      {"-B", "no file given"},
      {"-j 0 page.html", "--jobs wants a number from 1 to 1024, not '0'"},
      {"--jobs=4x page.html", "--jobs wants a number from 1 to 1024, not '4x'"},
      {"--formats gif,tiff page.html",
       "--formats: unknown format 'tiff' (known: gif,jpeg,png,webp,bmp,avif,svg,jxl,ico)"},
      {"--site https://example.com/ page.html",
       "--site needs --root: the folder its addresses stand for"},
      {"-r . --site example.com page.html",
       "--site wants an http:// or https:// address such as https://example.com/, not "
       "'example.com'"},
  };
  for (const auto& row : rows) {
    const Result r = Run(row.args);
    EXPECT_EQ(r.status, 2) << row.args;
    EXPECT_EQ(r.err, std::string("tamarind-cli: ") + row.message +
                         "\nTry 'tamarind-cli --help' for more information.\n")
        << row.args;
  }
  EXPECT_EQ(ReadFile(dir / "page.html"), "<img src=a.gif>");
}

TEST_F(SiteRunTest, MessagesFollowTheLocale) {
  dir.Write("folder/page.html", "<img src=a.gif>");
  dir.Write("zipped.html", std::string("\x1f\x8b\x08", 3) + "<img src=a.gif>");
  const struct {
    const char* env;
    const char* missing;
    const char* notHtml;
  } rows[] = {
      {"LC_ALL=C", "file not found", "not an HTML document"},
      {"LC_ALL=ja_JP.UTF-8", "ファイルが見つかりません", "HTML 文書ではありません"},
      {"LC_ALL= LC_MESSAGES=ja_JP.UTF-8 LANG=C", "ファイルが見つかりません",
       "HTML 文書ではありません"},
      {"LC_ALL= LC_MESSAGES= LANG=ja_JP.eucJP", "ファイルが見つかりません",
       "HTML 文書ではありません"},
      {"LC_ALL= LC_MESSAGES=en_US.UTF-8 LANG=ja_JP.UTF-8", "file not found",
       "not an HTML document"},
  };
  for (const auto& row : rows) {
    const Result r = Run("missing.html zipped.html folder", "", row.env);
    EXPECT_EQ(r.status, 1) << row.env;
    EXPECT_EQ(r.err, std::string("tamarind-cli: missing.html: ") + row.missing +
                         "\ntamarind-cli: zipped.html: " + row.notHtml +
                         "\ntamarind-cli: folder: is a folder; use -R\n")
        << row.env;
  }
  EXPECT_EQ(ReadFile(dir / "zipped.html"), std::string("\x1f\x8b\x08", 3) + "<img src=a.gif>");
  EXPECT_FALSE(Exists(dir / "zipped.bak"));
}

}  // namespace
}  // namespace tamarind
