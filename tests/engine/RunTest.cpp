// The processing run over real files: what ends up on disk, the backup, and
// what the user is told when a step fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>

#include "MainProc.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;

class RunTest : public ::testing::Test {
 protected:
  RunTest() { dir.Write("a.gif", test::GifBytes(120, 45)); }

  // The names in the folder, for checking that nothing was left behind.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Expects the run to fail with `code`, leaving the document as it was.
  void ExpectFailure(const std::string& file, int code) {
    const std::string before = Exists(file) ? ReadFile(file) : "";
    try {
      engine.ProcessFile(file);
      ADD_FAILURE() << "no error for " << file;
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Code(), code);
      EXPECT_EQ(e.what(), IoErrorMessage(code));
    }
    if (!before.empty()) {
      EXPECT_EQ(ReadFile(file), before);
    }
  }

  TempDir dir;
  MainProc engine;
};

TEST(RunNames, BackupNameAndDocumentFolder) {
  const struct {
    const char *file, *backup, *folder;
  } rows[] = {
      {"/web/index.html", "/web/index.bak", "/web/"},
      {"/web/readme", "/web/readme.bak", "/web/"},
      {"/my.site/index", "/my.site/index.bak", "/my.site/"},
      {"index.htm", "index.bak", ""},
      {"sub/page.HTML", "sub/page.bak", "sub/"},
      {"old.bak", "old.bak.bak", ""},  // never its own backup
      {"old.BAK", "old.BAK.bak", ""},
      {"/a\\b:c.html", "/a\\b:c.bak", "/"},  // only "/" separates here
  };
  for (const auto& row : rows) {
    EXPECT_EQ(BackupNameOf(row.file), row.backup) << row.file;
    EXPECT_EQ(DocumentFolderOf(row.file), row.folder) << row.file;
  }
}

TEST(RunErrors, MessagesByCode) {
  EXPECT_EQ(IoErrorMessage(2), "ファイルが見つかりません");
  EXPECT_EQ(IoErrorMessage(5), "ファイルへのアクセスが拒否されました");
  EXPECT_EQ(IoErrorMessage(101), "ディスクがいっぱいです");
  EXPECT_EQ(IoErrorMessage(32), "I/O エラー (32)");
  const struct {
    int err, code;
  } rows[] = {{ENOENT, 2},   {ENOTDIR, 3},  {EMFILE, 4},  {ENFILE, 4},
              {EACCES, 5},   {EPERM, 5},    {EROFS, 5},   {EISDIR, 5},
              {ENOSPC, 101}, {EDQUOT, 101}, {EFBIG, 101}, {EBUSY, EBUSY}};
  for (const auto& row : rows) EXPECT_EQ(EInOutError::FromErrno(row.err).Code(), row.code);
  // EIO is 5 on Linux but no "access denied".
  EXPECT_STREQ(EInOutError::FromErrno(EIO).what(), "I/O エラー (5)");
}

TEST_F(RunTest, RewritesInPlaceAndCountsChangedTags) {
  const std::string doc = "<p>\r\n<IMG SRC=a.gif><img src=missing.gif><br>\r\n<img src=a.gif";
  const std::string file = dir.Write("index.html", doc);
  EXPECT_EQ(engine.ProcessFile(file), 2);
  EXPECT_EQ(ReadFile(file),
            "<p>\r\n<IMG SRC=a.gif width=120 height=45><img src=missing.gif><br>\r\n"
            "<img src=a.gif width=120 height=45>");
  EXPECT_EQ(engine.DocumentFolder(), dir.Path() + "/");
}

TEST_F(RunTest, DocumentsWithoutImagesComeBackByteForByte) {
  engine.options.MakeBAKFile = true;
  std::string binary;
  for (int i = 1; i < 256; ++i) binary += static_cast<char>(i);
  // A NUL byte only counts near the start (see NotAnHtmlDocumentIsRefused).
  const std::string late = std::string(70000, 'x') + '\0' + "<b>";
  for (const std::string& doc :
       {std::string(), std::string("plain <b>text</b> > <<"), binary, late, std::string("abc"),
        std::string("<p>ends in words"), std::string("<!-- x -->tail")}) {
    const std::string file = dir.Write("page.htm", doc);
    EXPECT_EQ(engine.ProcessFile(file), 0);
    EXPECT_EQ(ReadFile(file), doc);
    EXPECT_EQ(ReadFile(dir / "page.bak"), doc) << "no backup";
  }
}

TEST_F(RunTest, LargeDocumentsReadInPiecesMatchTheWholeDocument) {
  // Files are read a window at a time; tags, stray brackets and a tag longer
  // than a window must come out as if the document had been read whole.
  std::mt19937 random(7);
  const char* pieces[] = {"<img src=a.gif>",
                          "<IMG\r\nSRC=a.gif />",
                          "<p>",
                          "text ",
                          ">",
                          "<",
                          "<img src=\"a.gif\" alt='x > y'>",
                          "\r\n",
                          "<br>",
                          "<!-- ",
                          " -->",
                          "<script>",
                          "</script>"};
  std::string doc;
  while (doc.size() < 3'000'000) {
    doc += pieces[random() % std::size(pieces)];
    if (random() % 5000 == 0) doc += "<img " + std::string(700'000, 'x') + " src=a.gif>";
  }
  doc += "<img src=a.gif";  // open at the end
  const std::string file = dir.Write("big.html", doc);
  MainProc whole;
  const std::string expected = whole.ProcessText(doc, dir.Path() + "/");
  EXPECT_EQ(engine.ProcessFile(file), whole.TagCounter());
  EXPECT_EQ(ReadFile(file), expected);
}

TEST_F(RunTest, TagOpenAtTheEndIsClosed) {
  const std::string file = dir.Write("page.html", "text <b");
  engine.ProcessFile(file);
  EXPECT_EQ(ReadFile(file), "text <b>");
  // Unless a quoted value of it is still open: then it stays as it came.
  dir.Write("page.html", "text <b title=\"x<i>");
  engine.ProcessFile(file);
  EXPECT_EQ(ReadFile(file), "text <b title=\"x<i>");
}

TEST_F(RunTest, BackupHoldsThePreviousContentsWithModeAndTimes) {
  engine.options.MakeBAKFile = true;
  const std::string file = dir.Write("index.html", "<img src=a.gif>");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
  dir.Write("index.bak", "an older backup");

  EXPECT_EQ(engine.ProcessFile(file), 1);
  struct stat doc {
  }, bak{};
  ASSERT_EQ(::stat(file.c_str(), &doc), 0);
  ASSERT_EQ(::stat((dir / "index.bak").c_str(), &bak), 0);
  EXPECT_EQ(ReadFile(dir / "index.bak"), "<img src=a.gif>");
  EXPECT_EQ(bak.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(bak.st_mode & 07777, 0640u);
  EXPECT_EQ(doc.st_mode & 07777, 0640u);  // the rewritten document keeps its bits
  EXPECT_NE(doc.st_ino, bak.st_ino);      // a backup never changes with the document

  // A second run backs up the first run's output; index.htm shares the name.
  engine.ProcessFile(file);
  EXPECT_EQ(ReadFile(dir / "index.bak"), "<img src=a.gif width=120 height=45>");
  engine.ProcessFile(dir.Write("index.htm", "htm"));
  EXPECT_EQ(ReadFile(dir / "index.bak"), "htm");
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.gif", "index.bak", "index.htm", "index.html"}));
}

TEST_F(RunTest, BakDocumentIsBackedUpBesideItself) {
  engine.options.MakeBAKFile = true;
  const std::string file = dir.Write("notes.bak", "<img src=a.gif>");
  EXPECT_EQ(engine.ProcessFile(file), 1);
  EXPECT_EQ(ReadFile(dir / "notes.bak.bak"), "<img src=a.gif>");
  EXPECT_EQ(ReadFile(file), "<img src=a.gif width=120 height=45>");
}

TEST_F(RunTest, DocumentWithTwoNamesGetsACopiedBackup) {
  engine.options.MakeBAKFile = true;
  const std::string file = dir.Write("page.html", "<img src=a.gif>");
  ASSERT_EQ(::link(file.c_str(), (dir / "other.html").c_str()), 0);
  engine.ProcessFile(file);
  // The backup must not share its bytes with the other name.
  struct stat other {
  }, bak{};
  ASSERT_EQ(::stat((dir / "other.html").c_str(), &other), 0);
  ASSERT_EQ(::stat((dir / "page.bak").c_str(), &bak), 0);
  EXPECT_NE(other.st_ino, bak.st_ino);
  EXPECT_EQ(ReadFile(dir / "page.bak"), "<img src=a.gif>");
}

TEST_F(RunTest, SymbolicLinkStaysAndItsTargetIsRewritten) {
  engine.options.MakeBAKFile = true;
  const std::string target = dir.Write("real/page.html", "<img src=a.gif>");
  const std::string link = dir / "link.html";
  ASSERT_EQ(::symlink("real/page.html", link.c_str()), 0);
  // SRC values resolve beside the name given, as the user sees it.
  EXPECT_EQ(engine.ProcessFile(link), 1);
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(target), "<img src=a.gif width=120 height=45>");
  EXPECT_EQ(ReadFile(dir / "link.bak"), "<img src=a.gif>");
  EXPECT_FALSE(Exists(dir / "real/page.bak"));
}

TEST_F(RunTest, MissingFilesAndFoldersFail) {
  ExpectFailure(dir / "missing.html", 2);
  ExpectFailure(dir / "no/such/folder.html", 2);
  dir.Write("file", "x");
  ExpectFailure(dir / "file/page.html", 3);
  std::filesystem::create_directory(dir / "folder.html");
  ExpectFailure(dir / "folder.html", 5);
}

TEST_F(RunTest, BackupThatCannotBeMadeStopsTheRun) {
  engine.options.MakeBAKFile = true;
  const std::string file = dir.Write("index.html", "<img src=a.gif>");
  std::filesystem::create_directory(dir / "index.bak");
  ExpectFailure(file, 5);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.gif", "index.bak", "index.html"}));
}

TEST_F(RunTest, ReadOnlyDocumentFailsBeforeAnythingChanges) {
  engine.options.MakeBAKFile = true;
  const std::string file = dir.Write("index.html", "<img src=a.gif>");
  dir.Write("index.bak", "old backup");
  // Root ignores permission bits, but not the immutable attribute.
  const int fd = ::open(file.c_str(), O_RDONLY);
  int flags = 0;
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
    flags |= FS_IMMUTABLE_FL;
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
      ::close(fd);
      GTEST_SKIP() << "running as root on a file system without the immutable attribute";
    }
  } else {
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  }
  ExpectFailure(file, 5);
  EXPECT_EQ(ReadFile(dir / "index.bak"), "old backup");
  if (root) {
    flags &= ~FS_IMMUTABLE_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  ::close(fd);
}

TEST_F(RunTest, FailedWriteLeavesTheDocumentWhole) {
  // A file size limit makes the write fail part-way, as a full disk would,
  // and binds root too.
  const std::string doc = "<img src=a.gif>" + std::string(100000, 'x');
  const std::string file = dir.Write("big.html", doc);
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 50000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  ExpectFailure(file, 101);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.gif", "big.html"}));
}

TEST_F(RunTest, NotAnHtmlDocumentIsRefused) {
  engine.options.MakeBAKFile = true;
  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"nul early", "<p>" + std::string(1, '\0') + "<img src=a.gif>"},
      {"nul at 64 KiB", std::string(65535, 'x') + '\0' + "<img src=a.gif>"},
      {"gzip", "\x1f\x8b\x08<img src=a.gif>"},
      {"zip", "PK\x03\x04<img src=a.gif>"},
      {"pdf", "%PDF-1.4 <img src=a.gif>"},
      {"png", "\x89PNG\r\n\x1a\n<img src=a.gif>"},
      {"jpeg", "\xff\xd8\xff\xe0<img src=a.gif>"},
      {"gif", test::GifBytes(1, 1) + "<img src=a.gif>"},
      {"jpeg xl", "\xff\x0a\xfa<img src=a.gif>"},
  };
  for (const auto& row : rows) {
    const std::string file = dir.Write("page.html", row.bytes);
    try {
      engine.ProcessFile(file);
      ADD_FAILURE() << row.name << ": processed";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Code(), kNotAnHtmlDocument) << row.name;
      EXPECT_STREQ(e.what(), "HTML 文書ではありません") << row.name;
      EXPECT_EQ(e.Message(MessageLanguage::English), "not an HTML document") << row.name;
    }
    EXPECT_EQ(ReadFile(file), row.bytes) << row.name;
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.gif", "page.html"})) << row.name;
  }
}

TEST_F(RunTest, UnchangedDocumentsAreLeftAloneWhenAsked) {
  engine.options.MakeBAKFile = true;
  engine.options.WriteBackMode = WriteBack::WhenChanged;
  const struct {
    const char* name;
    std::string doc;
    bool overwrite;
    bool changes;
  } rows[] = {
      {"no pictures", "<p>text</p>", false, false},
      {"sized already", "<img src=a.gif width=120 height=45>", false, false},
      {"rebuilt to the same bytes", "<img src=a.gif width=120 height=45>", true, false},
      {"missing picture", "<img src=none.gif>", false, false},
      {"large", std::string(600000, 'x') + "<img src=a.gif width=1 height=2>", false, false},
      {"large, changed at the end", std::string(600000, 'x') + "<img src=a.gif>", false, true},
      {"tag closed", "<p", false, true},
      {"sized right: not rebuilt", "<img src=a.gif  width=120 height=45>", true, false},
      {"rebuilt", "<img src=a.gif  width=12 height=45>", true, true},
  };
  for (const auto& row : rows) {
    const std::string file = dir.Write("page.html", row.doc);
    dir.Write("page.bak", "the first run's backup");
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    engine.options.Parameter_OverWrite = row.overwrite;
    SafeWriter writer;
    const auto prepared = engine.PrepareFile(file, writer);
    EXPECT_EQ(prepared->Unchanged(), !row.changes) << row.name;
    if (!prepared->Unchanged()) writer.PutInPlace(*prepared);
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino == before.st_ino && after.st_mtim.tv_sec == 1000000000, !row.changes)
        << row.name;
    EXPECT_EQ(ReadFile(dir / "page.bak"), row.changes ? row.doc : "the first run's backup")
        << row.name;
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.gif", "page.bak", "page.html"})) << row.name;
  }
  // The wizard's way: written back every time, backup and all.
  engine.options.WriteBackMode = WriteBack::Always;
  const std::string file = dir.Write("page.html", "<p>text</p>");
  EXPECT_EQ(engine.ProcessFile(file), 0);
  EXPECT_EQ(ReadFile(dir / "page.bak"), "<p>text</p>");
}

}  // namespace
}  // namespace tamarind
