// A rewritten document keeps who may use it: its owner and group wherever
// the user may set them, its ACL and its extended attributes. Run as root,
// the test also plays an ordinary user in a child process, a member of a
// second group that shares the folder.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "MainProc.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::ReadFile;

constexpr uid_t kUser = 1000, kColleague = 1234;
constexpr gid_t kUserGroup = 1000, kSharedGroup = 4242;

// A POSIX access ACL as the kernel stores it: owner rw, the colleague rw,
// the owning group rw, mask rw, others r.
std::string AccessAcl() {
  std::string blob;
  auto u32 = [&blob](uint32_t v) {
    for (int i = 0; i < 4; ++i) blob += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto entry = [&](uint16_t tag, uint16_t perm, uint32_t id) {
    blob += static_cast<char>(tag & 0xFF);
    blob += static_cast<char>(tag >> 8);
    blob += static_cast<char>(perm & 0xFF);
    blob += static_cast<char>(perm >> 8);
    u32(id);
  };
  u32(2);  // version
  entry(0x01, 6, 0xFFFFFFFF);
  entry(0x02, 6, kColleague);
  entry(0x04, 6, 0xFFFFFFFF);
  entry(0x10, 6, 0xFFFFFFFF);
  entry(0x20, 4, 0xFFFFFFFF);
  return blob;
}

std::string Attribute(const std::string& file, const char* name) {
  char value[256];
  const ssize_t n = ::getxattr(file.c_str(), name, value, sizeof value);
  return n < 0 ? std::string("(none)") : std::string(value, static_cast<size_t>(n));
}

// Processes `file` as the ordinary user `kUser`, a member of the shared
// group, in a child process. Returns the error code (0 for none).
int ProcessAsUser(const std::string& file) {
  const pid_t child = ::fork();
  if (child == 0) {
    const gid_t groups[] = {kSharedGroup};
    if (::setgroups(1, groups) != 0 || ::setresgid(kUserGroup, kUserGroup, kUserGroup) != 0 ||
        ::setresuid(kUser, kUser, kUser) != 0) {
      ::_exit(99);
    }
    try {
      MainProc engine;
      engine.options.MakeBAKFile = true;
      engine.ProcessFile(file);
      ::_exit(0);
    } catch (const EInOutError& e) {
      ::_exit(e.Code() & 0x7F);
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class OwnershipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users and groups";
    // The shared folder of a web team: the user may write in it.
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    folder = dir / "www";
    std::filesystem::create_directory(folder);
    ASSERT_EQ(::chown(folder.c_str(), kUser, kSharedGroup), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0775), 0);
    dir.Write("www/a.gif", test::GifBytes(120, 45));
  }

  // A page owned by `owner` and the shared group, writable by the group.
  std::string Page(uid_t owner) {
    const std::string file = dir.Write("www/page.html", "<img src=a.gif>");
    EXPECT_EQ(::chown(file.c_str(), owner, kSharedGroup), 0);
    EXPECT_EQ(::chmod(file.c_str(), 0664), 0);
    return file;
  }

  test::TempDir dir;
  std::string folder;
};

TEST_F(OwnershipTest, OwnerGroupAclAndAttributesStay) {
  const struct {
    const char* name;
    uid_t owner;
    bool asUser;    // run by the ordinary user rather than by root
    bool sameFile;  // written in place, as the new file could not carry them
  } rows[] = {
      {"root keeps a colleague's file as it was", kColleague, false, false},
      {"a member keeps the shared group", kUser, true, false},
      {"a colleague's file is written in place", kColleague, true, true},
  };
  for (const auto& row : rows) {
    const std::string file = Page(row.owner);
    const bool acl = ::setxattr(file.c_str(), "system.posix_acl_access", AccessAcl().data(),
                                AccessAcl().size(), 0) == 0;
    ASSERT_EQ(::setxattr(file.c_str(), "user.origin", "draft", 5, 0), 0) << std::strerror(errno);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    if (row.asUser) {
      EXPECT_EQ(ProcessAsUser(file), 0) << row.name;
    } else {
      MainProc engine;
      engine.options.MakeBAKFile = true;
      engine.ProcessFile(file);
    }

    EXPECT_EQ(ReadFile(file), "<img src=a.gif width=120 height=45>") << row.name;
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, row.owner) << row.name;
    EXPECT_EQ(after.st_gid, kSharedGroup) << row.name;
    EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777) << row.name;
    EXPECT_EQ(after.st_ino == before.st_ino, row.sameFile) << row.name;
    if (acl) {
      EXPECT_EQ(Attribute(file, "system.posix_acl_access"), AccessAcl()) << row.name;
    }
    EXPECT_EQ(Attribute(file, "user.origin"), "draft") << row.name;
    EXPECT_EQ(ReadFile(folder + "/page.bak"), "<img src=a.gif>") << row.name;
  }
}

TEST_F(OwnershipTest, FolderDefaultAclDoesNotReachAPageThatHadNone) {
  // The new file would get the folder's default ACL; the page had none.
  std::string defaults = AccessAcl();
  if (::setxattr(folder.c_str(), "system.posix_acl_default", defaults.data(), defaults.size(), 0) !=
      0) {
    GTEST_SKIP() << "no ACLs on this file system: " << std::strerror(errno);
  }
  const std::string file = dir.Write("www/page.html", "<img src=a.gif>");
  ::removexattr(file.c_str(), "system.posix_acl_access");
  MainProc engine;
  engine.ProcessFile(file);
  EXPECT_EQ(Attribute(file, "system.posix_acl_access"), "(none)");
}

}  // namespace
}  // namespace tamarind
