// Every step of a run made to fail in turn: the document must come out
// either as it was or wholly new, and a requested backup either complete or
// absent, with the right message.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "MainProc.h"
#include "files/FileOps.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::Exists;
using test::ReadFile;

// Which call fails: the nth call (from 1) of one operation, or every call
// when nth is 0. Or, as kill -9 would, the process ends there: right before
// the call, or halfway through a write.
enum class Kill { No, Before, HalfWay };
struct Fault {
  std::string op;
  int nth = 0;
  int err = 0;
  int calls = 0;
  Kill kill = Kill::No;
};
Fault fault;
bool noLinks = false;     // a file system without hard links: backups are copied
bool noNameless = false;  // nor files without a name: temporary ones are named
FileOps real = SystemFileOps();

bool Hit(const char* op) {
  if (fault.op != op) return false;
  ++fault.calls;
  if (fault.nth != 0 && fault.calls != fault.nth) return false;
  if (fault.kill == Kill::Before) ::raise(SIGKILL);
  errno = fault.err;
  return true;
}

// Handles of temporary files standing at this moment, and the most seen at
// once.
std::set<int> temporaries;
size_t mostTemporaries = 0;
std::mutex temporariesMutex;

bool IsFolder(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

FileOps FaultyOps() {
  FileOps ops;
  ops.open = [](const char* p, int f, mode_t m) {
    // Creating the temporary file is an open of its own kind.
    const bool nameless = (f & O_TMPFILE) == O_TMPFILE;
    const bool create = (f & O_CREAT) != 0 || nameless;
    // A file system without nameless files answers as an old kernel does.
    if (nameless && noNameless) {
      errno = EOPNOTSUPP;
      return -1;
    }
    if (nameless && Hit("nameless")) return -1;
    if (Hit(create ? "create" : "open")) return -1;
    const int fd = real.open(p, f, m);
    if (create && fd >= 0) {
      std::lock_guard lock(temporariesMutex);
      temporaries.insert(fd);
      mostTemporaries = std::max(mostTemporaries, temporaries.size());
    }
    return fd;
  };
  ops.read = [](int fd, void* b, size_t n) { return Hit("read") ? -1 : real.read(fd, b, n); };
  ops.write = [](int fd, const void* b, size_t n) {
    if (!Hit("write")) return real.write(fd, b, n);
    if (fault.kill == Kill::HalfWay) {
      (void)real.write(fd, b, n / 2);
      ::raise(SIGKILL);
    }
    return ssize_t{-1};
  };
  ops.fsync = [](int fd) {
    return Hit(IsFolder(fd) ? "fsync folder" : "fsync") ? -1 : real.fsync(fd);
  };
  ops.syncfs = [](int fd) { return Hit("syncfs") ? -1 : real.syncfs(fd); };
  ops.close = [](int fd) {
    {
      std::lock_guard lock(temporariesMutex);
      temporaries.erase(fd);
    }
    if (!Hit("close")) return real.close(fd);
    real.close(fd);  // the handle is gone all the same, as on Linux
    return -1;
  };
  ops.rename = [](const char* a, const char* b) { return Hit("rename") ? -1 : real.rename(a, b); };
  ops.link = [](const char* a, const char* b) {
    if (noLinks) errno = EPERM;
    return noLinks || Hit("link") ? -1 : real.link(a, b);
  };
  ops.linkat = [](int a, const char* b, int c, const char* d, int f) {
    return Hit("linkat") ? -1 : real.linkat(a, b, c, d, f);
  };
  ops.fchmod = [](int fd, mode_t m) { return Hit("fchmod") ? -1 : real.fchmod(fd, m); };
  ops.fchown = [](int fd, uid_t u, gid_t g) { return Hit("fchown") ? -1 : real.fchown(fd, u, g); };
  ops.fsetxattr = [](int fd, const char* n, const void* v, size_t s, int f) {
    return Hit("fsetxattr") ? -1 : real.fsetxattr(fd, n, v, s, f);
  };
  ops.ftruncate = [](int fd, off_t l) { return Hit("ftruncate") ? -1 : real.ftruncate(fd, l); };
  ops.futimens = [](int fd, const timespec t[2]) {
    return Hit("futimens") ? -1 : real.futimens(fd, t);
  };
  return ops;
}

enum class Bak { Absent, Previous, AsItWas };

// How the document stands before the run, besides its bytes.
enum class Setup {
  Plain,
  HardLinked,     // a second name: written in place, the other name follows
  NoBackup,       // hard-linked, without a backup: a temporary copy instead
  OtherGroup,     // a group the new file gets (as root) or cannot get
  WithAttribute,  // an extended attribute the new file must carry
  NamelessOnly,   // the row fails a step that only nameless files take
};

struct Row {
  const char* name;
  const char* op;
  int nth, err;
  bool previousBackup;
  bool noLinks;
  int code;  // 0: the run succeeds
  bool documentNew;
  Bak backup;
  Setup setup = Setup::Plain;
};

const Row kRows[] = {
    // Reading the document.
    {"open", "open", 1, EACCES, true, false, 5, false, Bak::Previous},
    {"read", "read", 1, EIO, true, false, EIO, false, Bak::Previous},
    {"close after reading", "close", 1, EIO, true, false, EIO, false, Bak::Previous},
    // Writing the new contents.
    {"create temporary", "create", 1, ENOSPC, true, false, 101, false, Bak::Previous},
    {"permission bits", "fchmod", 1, EPERM, true, false, 5, false, Bak::Previous},
    {"write", "write", 1, ENOSPC, true, false, 101, false, Bak::Previous},
    {"flush", "fsync", 1, EIO, true, false, EIO, false, Bak::Previous},
    // The backup: linked, or copied where links are refused.
    {"backup rename", "rename", 1, EACCES, true, false, 5, false, Bak::Previous},
    {"link error", "link", 0, EIO, false, false, EIO, false, Bak::Absent},
    {"no links copied", "", 0, 0, false, true, 0, true, Bak::AsItWas},
    {"copy write", "write", 2, ENOSPC, false, true, 101, false, Bak::Absent},
    {"copy times", "futimens", 1, EPERM, false, true, 5, false, Bak::Absent},
    {"copy flush", "fsync", 2, EIO, false, true, EIO, false, Bak::Absent},
    // Putting the new contents in place: named, closed, renamed, the folder
    // flushed (the document is new then, but the failure is reported).
    {"name new contents", "linkat", 0, EIO, true, false, EIO, false, Bak::AsItWas,
     Setup::NamelessOnly},
    {"named temporary", "nameless", 0, EOPNOTSUPP, true, false, 0, true, Bak::AsItWas},
    {"close after writing", "close", 2, EIO, true, false, EIO, false, Bak::AsItWas},
    {"final rename", "rename", 2, EXDEV, true, false, EXDEV, false, Bak::AsItWas},
    {"folder flush", "fsync folder", 1, EIO, true, false, EIO, true, Bak::AsItWas},
    // A document of two names, written in place after a flushed copy; a
    // failure while writing brings the old bytes back from the copy.
    {"linked", "", 0, 0, true, false, 0, true, Bak::AsItWas, Setup::HardLinked},
    {"linked copy flush", "fsync", 2, EIO, true, false, EIO, false, Bak::Previous,
     Setup::HardLinked},
    {"linked write", "write", 3, ENOSPC, true, false, 101, false, Bak::AsItWas, Setup::HardLinked},
    {"linked truncate", "ftruncate", 1, EIO, true, false, EIO, false, Bak::AsItWas,
     Setup::HardLinked},
    {"linked flush", "fsync", 3, EIO, true, false, EIO, false, Bak::AsItWas, Setup::HardLinked},
    {"linked no backup", "", 0, 0, false, false, 0, true, Bak::Absent, Setup::NoBackup},
    {"linked no backup write", "write", 3, ENOSPC, false, false, 101, false, Bak::Absent,
     Setup::NoBackup},
    // A group the new file cannot take, or an attribute it cannot carry:
    // written in place instead.
    {"group kept", "", 0, 0, true, false, 0, true, Bak::AsItWas, Setup::OtherGroup},
    {"group refused", "fchown", 1, EPERM, true, false, 0, true, Bak::AsItWas, Setup::OtherGroup},
    {"group error", "fchown", 1, EIO, true, false, EIO, false, Bak::Previous, Setup::OtherGroup},
    {"attribute kept", "", 0, 0, true, false, 0, true, Bak::AsItWas, Setup::WithAttribute},
    {"attribute refused", "fsetxattr", 1, EPERM, true, false, 0, true, Bak::AsItWas,
     Setup::WithAttribute},
};

class FaultTest : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    dir.Write("a.gif", test::GifBytes(120, 45));
    Ops() = FaultyOps();
  }
  void TearDown() override {
    Ops() = SystemFileOps();
    fault = Fault();
    noLinks = false;
  }
  test::TempDir dir;
};

constexpr gid_t kOtherGroup = 4242;

TEST_P(FaultTest, DocumentAndBackupComeThroughWhole) {
  const Row& row = GetParam();
  const std::string old = "<p><img src=a.gif></p>";
  const std::string file = dir.Write("index.html", old);
  if (row.previousBackup) dir.Write("index.bak", "previous backup");
  const bool linked = row.setup == Setup::HardLinked || row.setup == Setup::NoBackup;
  if (linked) {
    ASSERT_EQ(::link(file.c_str(), (dir / "other.html").c_str()), 0);
  }
  if (row.setup == Setup::NamelessOnly && !MakesNamelessFiles(dir.Path())) {
    GTEST_SKIP() << "this file system makes no files without a name";
  }
  if (row.setup == Setup::OtherGroup && ::chown(file.c_str(), ::geteuid(), kOtherGroup) != 0) {
    GTEST_SKIP() << "only root can give the document a group of another user";
  }
  if (row.setup == Setup::WithAttribute &&
      ::setxattr(file.c_str(), "user.origin", "draft", 5, 0) != 0) {
    GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
  }
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  MainProc engine;
  engine.options.MakeBAKFile = row.setup != Setup::NoBackup;
  fault = {row.op, row.nth, row.err};
  noLinks = row.noLinks;

  int code = 0;
  std::string message;
  try {
    engine.ProcessFile(file);
  } catch (const EInOutError& e) {
    code = e.Code();
    message = e.what();
  }
  Ops() = SystemFileOps();
  EXPECT_EQ(code, row.code);
  if (row.code != 0) {
    EXPECT_EQ(message, EInOutError::FromErrno(row.err).what());
  }
  const std::string now = row.documentNew ? "<p><img src=a.gif width=120 height=45></p>" : old;
  EXPECT_EQ(ReadFile(file), now);
  if (linked) {
    EXPECT_EQ(ReadFile(dir / "other.html"), now);
  }
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_uid, before.st_uid);
  if (row.setup == Setup::WithAttribute) {
    char value[16] = {};
    EXPECT_EQ(::getxattr(file.c_str(), "user.origin", value, sizeof value), 5);
    EXPECT_STREQ(value, "draft");
  }
  if (row.op == std::string("fchown") && row.code == 0) {
    EXPECT_EQ(after.st_ino, before.st_ino) << "not written in place";
  }
  switch (row.backup) {
    case Bak::Absent:
      EXPECT_FALSE(Exists(dir / "index.bak"));
      break;
    case Bak::Previous:
      EXPECT_EQ(ReadFile(dir / "index.bak"), "previous backup");
      break;
    case Bak::AsItWas:
      EXPECT_EQ(ReadFile(dir / "index.bak"), old);
      break;
  }
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    EXPECT_NE(e.path().filename().string().rfind(".tamarind-", 0), 0u)
        << "left behind: " << e.path();
    EXPECT_FALSE(IsJournalName(e.path().string())) << "left behind: " << e.path();
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FaultTest, ::testing::ValuesIn(kRows), [](const auto& row) {
  std::string name = row.param.name;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

// A page written in place (it has a second name) killed at each step of the
// way, then run again: the journal the kill left puts it back first, so the
// page ends wholly new, both names alike, and its backup is the original.
enum class Page { Old, Torn, New };
enum class Killed { Backup, NoBackup, NamedOnly };  // -B; no nameless files
struct KillRow {
  const char* name;
  const char* op;
  int nth;
  Kill kill;
  Killed setup;
  Page page;     // right after the kill
  bool journal;  // left by the kill
};

// Calls of a run over the page below, in order: open 1 the page read, write 1
// and fsync 1 its new contents; the journal: create 2 (or the ".part" of
// create 2 where files need names), open 2 the page read, write 2, fsync 2,
// linkat 1 (or rename 1), open 3 and fsync folder 1; the backup: link 1
// (one stands already), link 2 the ".part", rename (1 or 2); the page: open
// 4, write 3, ftruncate 1, fsync 3; the journal removed, fsync folder 2.
const KillRow kKillRows[] = {
    {"journal half copied", "write", 2, Kill::HalfWay, Killed::Backup, Page::Old, false},
    {"journal copied", "fsync", 2, Kill::Before, Killed::Backup, Page::Old, false},
    {"journal flushed", "linkat", 1, Kill::Before, Killed::Backup, Page::Old, false},
    {"journal named", "fsync folder", 1, Kill::Before, Killed::Backup, Page::Old, true},
    {"backup linked", "rename", 1, Kill::Before, Killed::Backup, Page::Old, true},
    {"page to be opened", "open", 4, Kill::Before, Killed::Backup, Page::Old, true},
    {"page half written", "write", 3, Kill::HalfWay, Killed::Backup, Page::Torn, true},
    {"page written", "ftruncate", 1, Kill::Before, Killed::Backup, Page::Torn, true},
    {"page cut", "fsync", 3, Kill::Before, Killed::Backup, Page::New, true},
    {"journal removed", "fsync folder", 2, Kill::Before, Killed::Backup, Page::New, false},
    {"no backup half written", "write", 3, Kill::HalfWay, Killed::NoBackup, Page::Torn, true},
    {"part half copied", "write", 2, Kill::HalfWay, Killed::NamedOnly, Page::Old, false},
    {"part copied", "rename", 1, Kill::Before, Killed::NamedOnly, Page::Old, false},
    {"named half written", "write", 3, Kill::HalfWay, Killed::NamedOnly, Page::Torn, true},
};

class KillTest : public ::testing::TestWithParam<KillRow> {};

TEST_P(KillTest, NextRunPutsThePageBackFirst) {
  const KillRow& row = GetParam();
  test::TempDir dir;
  dir.Write("a.gif", test::GifBytes(120, 45));
  // Rebuilt shorter, so that a page not yet cut to its new length is torn,
  // and so is one half written.
  const std::string tail = "<p>0123456789 0123456789 0123456789</p>";
  const std::string old = "<p><img src=a.gif width=1200 height=4500></p>" + tail;
  const std::string fresh = "<p><img src=a.gif width=120 height=45></p>" + tail;
  const std::string file = dir.Write("index.html", old);
  ASSERT_EQ(::link(file.c_str(), (dir / "other.html").c_str()), 0);
  const bool backup = row.setup != Killed::NoBackup;
  if (backup) dir.Write("index.bak", "previous backup");
  if (row.setup != Killed::NamedOnly && !MakesNamelessFiles(dir.Path())) {
    GTEST_SKIP() << "this file system makes no files without a name";
  }
  const auto run = [&](MainProc& engine) {
    engine.options.MakeBAKFile = backup;
    engine.options.Parameter_OverWrite = true;
    // A page that comes out the same is left alone, its backup too.
    engine.options.WriteBackMode = WriteBack::WhenChanged;
    engine.ProcessFile(file);
  };
  const pid_t child = ::fork();
  if (child == 0) {
    Ops() = FaultyOps();
    fault = {row.op, row.nth, 0, 0, row.kill};
    noNameless = row.setup == Killed::NamedOnly;
    MainProc engine;
    try {
      run(engine);
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "not killed: " << status;
  const std::string killed = ReadFile(file);
  EXPECT_EQ(killed == old     ? Page::Old
            : killed == fresh ? Page::New
                              : Page::Torn,
            row.page)
      << killed;
  EXPECT_EQ(HasJournal(file), row.journal);

  MainProc engine;
  run(engine);
  EXPECT_EQ(!engine.Restored().empty(), row.journal);
  EXPECT_EQ(ReadFile(file), fresh);
  EXPECT_EQ(ReadFile(dir / "other.html"), fresh);
  if (backup) {
    EXPECT_EQ(ReadFile(dir / "index.bak"), old);
  }
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = e.path().filename();
    // Where files need names, the new contents have one while they are
    // made, and a kill leaves it (as it does for any page there).
    const bool newContents = row.setup == Killed::NamedOnly && name.rfind(".tamarind-", 0) == 0;
    EXPECT_TRUE(name[0] != '.' || newContents) << "left behind: " << name;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, KillTest, ::testing::ValuesIn(kKillRows), [](const auto& row) {
  std::string name = row.param.name;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

// Pages of a site in two folders, each with an older backup.
std::vector<std::string> MakePages(const test::TempDir& dir, int count) {
  std::vector<std::string> pages;
  for (int i = 0; i < count; ++i) {
    const std::string folder = i % 2 == 0 ? "one/" : "two/";
    dir.Write(folder + "a.gif", test::GifBytes(120, 45));
    pages.push_back(dir.Write(folder + std::to_string(i) + ".html", "<img src=a.gif>"));
    dir.Write(folder + std::to_string(i) + ".bak", "previous backup");
  }
  return pages;
}

std::vector<std::string> LeftBehind(const test::TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path())) {
    if (e.path().filename().string().rfind(".tamarind-", 0) == 0) names.push_back(e.path());
  }
  return names;
}

TEST(BatchFaults, FailedSyncLeavesEveryDocumentOfTheBatchAsItWas) {
  test::TempDir dir;
  const std::vector<std::string> pages = MakePages(dir, 6);
  Ops() = FaultyOps();
  fault = {"syncfs", 0, EIO};
  std::vector<std::string> failed;
  {
    SafeWriter writer;
    MainProc engine;
    engine.options.MakeBAKFile = true;
    for (size_t i = 0; i < pages.size(); ++i) {
      writer.Submit(engine.PrepareFile(pages[i], writer), i);
    }
    writer.Finish();
    while (const auto placed = writer.NextPlaced()) {
      if (placed->document->Error()) failed.push_back(placed->document->FileName());
    }
  }
  Ops() = SystemFileOps();
  const int calls = fault.calls;
  fault = Fault();
  EXPECT_EQ(calls, 1) << "one sync for the batch";
  EXPECT_EQ(failed, pages);
  for (const std::string& page : pages) {
    EXPECT_EQ(ReadFile(page), "<img src=a.gif>");
    EXPECT_EQ(ReadFile(page.substr(0, page.size() - 5) + ".bak"), "previous backup");
  }
  EXPECT_EQ(LeftBehind(dir), std::vector<std::string>());
}

TEST(BatchFaults, WorkersWaitWhileEveryPlaceIsTaken) {
  test::TempDir dir;
  const std::vector<std::string> pages = MakePages(dir, 120);
  Ops() = FaultyOps();
  mostTemporaries = 0;
  std::atomic<int> done{0};
  {
    SafeWriter writer(4);
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
      workers.emplace_back([&] {
        MainProc engine;
        engine.options.MakeBAKFile = true;
        for (size_t i = next++; i < pages.size(); i = next++) {
          writer.Submit(engine.PrepareFile(pages[i], writer), i);
        }
      });
    }
    for (std::thread& t : workers) t.join();
    writer.Finish();
    while (const auto placed = writer.NextPlaced()) done += placed->document->Error() ? 0 : 1;
  }
  Ops() = SystemFileOps();
  EXPECT_EQ(done, 120);
  EXPECT_GE(mostTemporaries, 1u);
  EXPECT_LE(mostTemporaries, 4u);
  for (const std::string& page : pages) {
    EXPECT_EQ(ReadFile(page), "<img src=a.gif width=120 height=45>");
  }
  EXPECT_EQ(LeftBehind(dir), std::vector<std::string>());
}

TEST(ExitAtOnce, NamedTemporaryFilesAreRemoved) {
  // Where new contents need a name from the start, a program ending at once
  // removes them: a child prepares two pages and ends as a second interrupt
  // ends the command line.
  test::TempDir dir;
  const std::vector<std::string> pages = MakePages(dir, 2);
  const pid_t child = ::fork();
  if (child == 0) {
    Ops() = FaultyOps();
    fault = {"nameless", 0, EOPNOTSUPP};
    SafeWriter writer;
    MainProc engine;
    engine.options.MakeBAKFile = true;
    const auto first = engine.PrepareFile(pages[0], writer);
    const auto second = engine.PrepareFile(pages[1], writer);
    if (LeftBehind(dir).size() != 2) ::_exit(3);
    RemoveTemporaryFilesForExit();
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(LeftBehind(dir), std::vector<std::string>());
  for (const std::string& page : pages) EXPECT_EQ(ReadFile(page), "<img src=a.gif>");
}

TEST(DiskFull, RealFullDiskLeavesTheDocumentWhole) {
  test::TempDir dir;
  const std::string mountPoint = dir / "small";
  std::filesystem::create_directory(mountPoint);
  if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  }
  const std::string doc = "<img src=a.gif>" + std::string(40000, 'x');
  std::string file;
  int code = 0;
  try {
    dir.Write("small/a.gif", test::GifBytes(1, 1));
    file = dir.Write("small/page.html", doc);
    MainProc engine;
    engine.options.MakeBAKFile = true;
    engine.ProcessFile(file);
  } catch (const EInOutError& e) {
    code = e.Code();
  }
  const std::string after = ReadFile(file);
  const bool backup = Exists(mountPoint + "/page.bak");
  ::umount(mountPoint.c_str());
  EXPECT_EQ(code, 101);
  EXPECT_EQ(after, doc);
  EXPECT_FALSE(backup);
}

}  // namespace
}  // namespace tamarind
