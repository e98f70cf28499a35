// Every step of a run made to fail in turn: the document must come out
// either as it was or wholly new, and a requested backup either complete or
// absent, with the right message.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "FileOps.h"
#include "MainProc.h"
#include "engine/TestFiles.h"

namespace tamarind {
namespace {

using test::Exists;
using test::ReadFile;

// Which call fails: the nth call (from 1) of one operation, or every call
// when nth is 0.
struct Fault {
  std::string op;
  int nth = 0;
  int err = 0;
  int calls = 0;
};
Fault fault;
bool noLinks = false;  // a file system without hard links: backups are copied
FileOps real = SystemFileOps();

bool Hit(const char* op) {
  if (fault.op != op) return false;
  ++fault.calls;
  if (fault.nth != 0 && fault.calls != fault.nth) return false;
  errno = fault.err;
  return true;
}

FileOps FaultyOps() {
  FileOps ops;
  ops.open = [](const char* p, int f, mode_t m) {
    // Creating the temporary file is an open of its own kind.
    return Hit((f & O_CREAT) != 0 ? "create" : "open") ? -1 : real.open(p, f, m);
  };
  ops.read = [](int fd, void* b, size_t n) { return Hit("read") ? -1 : real.read(fd, b, n); };
  ops.write = [](int fd, const void* b, size_t n) {
    return Hit("write") ? -1 : real.write(fd, b, n);
  };
  ops.fsync = [](int fd) { return Hit("fsync") ? -1 : real.fsync(fd); };
  ops.close = [](int fd) {
    if (!Hit("close")) return real.close(fd);
    real.close(fd);  // the handle is gone all the same, as on Linux
    return -1;
  };
  ops.rename = [](const char* a, const char* b) { return Hit("rename") ? -1 : real.rename(a, b); };
  ops.link = [](const char* a, const char* b) {
    if (noLinks) errno = EPERM;
    return noLinks || Hit("link") ? -1 : real.link(a, b);
  };
  ops.fchmod = [](int fd, mode_t m) { return Hit("fchmod") ? -1 : real.fchmod(fd, m); };
  ops.futimens = [](int fd, const timespec t[2]) {
    return Hit("futimens") ? -1 : real.futimens(fd, t);
  };
  ops.syncfs = real.syncfs;
  return ops;
}

enum class Bak { Absent, Previous, AsItWas };

struct Row {
  const char* name;
  const char* op;
  int nth, err;
  bool previousBackup;
  bool noLinks;
  int code;  // 0: the run succeeds
  bool documentNew;
  Bak backup;
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
    {"close after writing", "close", 2, EIO, true, false, EIO, false, Bak::Previous},
    // The backup: linked, or copied where links are refused.
    {"backup rename", "rename", 1, EACCES, true, false, 5, false, Bak::Previous},
    {"link error", "link", 0, EIO, false, false, EIO, false, Bak::Absent},
    {"no links copied", "", 0, 0, false, true, 0, true, Bak::AsItWas},
    {"copy write", "write", 2, ENOSPC, false, true, 101, false, Bak::Absent},
    {"copy times", "futimens", 1, EPERM, false, true, 5, false, Bak::Absent},
    {"copy flush", "fsync", 2, EIO, false, true, EIO, false, Bak::Absent},
    // Putting the new contents in place.
    {"final rename", "rename", 2, EXDEV, true, false, EXDEV, false, Bak::AsItWas},
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

TEST_P(FaultTest, DocumentAndBackupComeThroughWhole) {
  const Row& row = GetParam();
  const std::string old = "<p><img src=a.gif></p>";
  const std::string file = dir.Write("index.html", old);
  if (row.previousBackup) dir.Write("index.bak", "previous backup");
  MainProc engine;
  engine.options.MakeBAKFile = true;
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
  EXPECT_EQ(ReadFile(file), row.documentNew ? "<p><img src=a.gif width=120 height=45></p>" : old);
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
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FaultTest, ::testing::ValuesIn(kRows), [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

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
