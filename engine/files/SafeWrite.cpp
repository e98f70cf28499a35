#include "files/SafeWrite.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <shared_mutex>
#include <utility>

#include "files/FileIo.h"
#include "files/FileOps.h"

namespace tamarind {
namespace {

// The temporary files that have a name at this moment, for an exit at once.
// A name is entered before the file gets it and taken out once the file has
// another name or none, so that the exit never misses one.
class TemporaryNames {
 public:
  void Add(const std::string& name) {
    std::lock_guard lock(mutex_);
    names_.insert(name);
  }
  void Remove(const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto it = names_.find(name);
    if (it != names_.end()) names_.erase(it);
  }
  // Takes the lock for good: nobody enters a name again, so nobody makes one.
  void RemoveAllForExit() {
    mutex_.lock();
    for (const std::string& name : names_) ::unlink(name.c_str());
  }

 private:
  std::mutex mutex_;
  std::multiset<std::string> names_;
};

TemporaryNames& Temporaries() {
  // Never destroyed: an exit at once may come while other threads still use it.
  static TemporaryNames* names = new TemporaryNames;
  return *names;
}

// Held (shared) while a document is written in place: an exit at once waits
// until the document is whole again, new or restored.
std::shared_mutex& InPlaceWriting() {
  static std::shared_mutex* mutex = new std::shared_mutex;
  return *mutex;
}

// A temporary name entered in the list for as long as the object lives.
class RegisteredName {
 public:
  RegisteredName() = default;
  ~RegisteredName() { Clear(); }
  RegisteredName(const RegisteredName&) = delete;
  RegisteredName& operator=(const RegisteredName&) = delete;

  void Set(std::string name) {
    Clear();
    name_ = std::move(name);
    Temporaries().Add(name_);
  }
  void Clear() {
    if (!name_.empty()) Temporaries().Remove(name_);
    name_.clear();
  }
  const std::string& Name() const { return name_; }
  bool Empty() const { return name_.empty(); }
  // Hands the name, still entered in the list, over to the caller, who
  // takes it out of the list when done.
  std::string Release() { return std::exchange(name_, std::string()); }

 private:
  std::string name_;
};

// A fresh, unused name in `dir` for a file that is being prepared.
std::string TemporaryName(const std::string& dir) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = dir + "/.tamarind-";
  for (int i = 0; i < 10; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name + ".tmp";
}

// Creates a new file of a fresh temporary name in `dir`, entered in the list
// of temporary names; returns its handle.
int CreateNamedTemporary(const std::string& dir, RegisteredName& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name.Set(TemporaryName(dir));
    const int fd =
        OpenRetrying(name.Name().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) return fd;
    const int err = errno;
    name.Clear();
    if (err != EEXIST) ThrowErrno(err);
  }
  ThrowErrno(EEXIST);
}

#if defined(O_TMPFILE)
// A file without a name can later be given one through its /proc entry
// (or, for a privileged process, its handle alone). Without /proc, only the
// latter is left, so nameless files are made only where one of them works.
bool CanNameLater() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0 || ::geteuid() == 0;
  return can;
}
#endif

// Creates the file for new contents in `dir`: without a name where the
// system allows it, else under a registered temporary name.
int CreateTemporary(const std::string& dir, RegisteredName& name) {
#if defined(O_TMPFILE)
  if (CanNameLater()) {
    const int fd = OpenRetrying(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // Not supported by this file system or kernel: fall back on a name.
    // Anything else (no room, no permission) is the answer for a name too.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
      ThrowErrno(errno);
    }
  }
#endif
  return CreateNamedTemporary(dir, name);
}

// Gives the nameless file `fd` the name `name`.
int LinkNameless(int fd, const std::string& name) {
#if defined(__linux__)
  if (Ops().linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  if (errno != EPERM && errno != ENOENT && errno != EINVAL) return -1;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Ops().linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
#else
  (void)fd;
  (void)name;
  errno = ENOTSUP;
  return -1;
#endif
}

void Fsync(int fd) {
  if (Ops().fsync(fd) != 0) ThrowErrno(errno);
}

// Flushes a folder, so that the names just made in it last.
void SyncFolder(const std::string& dir) {
  const int fd = OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A folder that cannot be opened for reading (write and search rights
  // only) still has its renames; only their durability is then left to the
  // system.
  if (fd < 0) return;
  const int result = Ops().fsync(fd);
  const int err = errno;
  Ops().close(fd);
  if (result != 0) ThrowErrno(err);
}

// Copies the bytes of the open file `in`, from its start, into `out` at its
// current position; returns their number.
uint64_t CopyHandle(int in, int out) {
  if (::lseek(in, 0, SEEK_SET) != 0) ThrowErrno(errno);
  std::string buffer(1024 * 1024, '\0');
  uint64_t total = 0;
  for (;;) {
    const ssize_t n = Ops().read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno(errno);
    if (n == 0) return total;
    WriteAll(out, buffer.data(), static_cast<size_t>(n));
    total += static_cast<uint64_t>(n);
  }
}

// Copies the bytes of the file `from` into the open file `to`.
void CopyContents(const std::string& from, int to) {
  const int in = OpenRetrying(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) ThrowErrno(errno);
  try {
    CopyHandle(in, to);
  } catch (...) {
    Ops().close(in);
    throw;
  }
  Ops().close(in);
}

// Gives a backup copy the owner (where allowed) and permission bits of the
// file it keeps.
void TakeOverModeAndOwner(int fd, const struct stat& like) {
  if (like.st_uid != ::geteuid() || like.st_gid != ::getegid()) {
    // Only possible where the user may; otherwise the copy is the user's
    // own, as any copy they make.
    (void)Ops().fchown(fd, like.st_uid, like.st_gid);
  }
  if (Ops().fchmod(fd, like.st_mode & 07777) != 0) ThrowErrno(errno);
}

// A copy of the file `from`, whose status is `status`, in the open file
// `to`: its bytes, owner (where allowed), permission bits and times, flushed
// to disk.
void CopyFlushed(const std::string& from, int to, const struct stat& status) {
  TakeOverModeAndOwner(to, status);
  CopyContents(from, to);
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  if (Ops().futimens(to, times) != 0) ThrowErrno(errno);
  Fsync(to);
}

// The names of the extended attributes of an open file (the POSIX ACLs
// among them); false when the file system has none.
bool AttributeNames(int fd, std::vector<std::string>& names) {
  names.clear();
  std::string list;
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP || errno == ENOSYS) return false;
      ThrowErrno(errno);
    }
    list.resize(static_cast<size_t>(size));
    const ssize_t got = size == 0 ? 0 : ::flistxattr(fd, list.data(), list.size());
    if (got >= 0) {
      list.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE) ThrowErrno(errno);  // grown meanwhile: ask again
  }
  for (size_t at = 0; at < list.size();) {
    const size_t end = list.find('\0', at);
    names.push_back(list.substr(at, end - at));
    at = end == std::string::npos ? list.size() : end + 1;
  }
  return true;
}

bool AttributeValue(int fd, const std::string& name, std::string& value) {
  for (;;) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    const ssize_t got = size == 0 ? 0 : ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

}  // namespace

bool MakesNamelessFiles(const std::string& folder) {
#if defined(O_TMPFILE)
  if (!CanNameLater()) return false;
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
#else
  (void)folder;
  return false;
#endif
}

void RemoveTemporaryFilesForExit() {
  InPlaceWriting().lock();
  Temporaries().RemoveAllForExit();
}

// ---------------------------------------------------------------------------
// ReplacementFile

namespace {
// Large pieces go straight to write(); small ones are gathered first, so that
// a document of many small rewritten tags is not written a tag at a time.
constexpr size_t kWriteBuffer = 256 * 1024;
}  // namespace

ReplacementFile::ReplacementFile(SafeWriter& writer, std::string target, const struct stat& like,
                                 int likeFd)
    : writer_(writer), target_(std::move(target)) {
  writer_.TakePlace();
  try {
    RegisteredName name;
    fd_ = CreateTemporary(DirectoryOf(target_), name);
    tempName_ = name.Release();  // taken out of the list by Discard()
    CarryAttributes(like, likeFd);
  } catch (...) {
    Discard();
    writer_.GivePlaceBack();
    throw;
  }
  buffer_.reserve(kWriteBuffer);
}

ReplacementFile::~ReplacementFile() {
  Discard();
  writer_.GivePlaceBack();
}

void ReplacementFile::Discard() noexcept {
  if (fd_ >= 0) Ops().close(fd_);
  fd_ = -1;
  if (!tempName_.empty()) {
    if (!committed_) ::unlink(tempName_.c_str());
    Temporaries().Remove(tempName_);
  }
  tempName_.clear();
}

void ReplacementFile::CarryAttributes(const struct stat& like, int likeFd) {
  // Other names of the document would keep the old text after a rename.
  if (like.st_nlink > 1) {
    inPlace_ = true;
    return;
  }
  struct stat made {};
  if (::fstat(fd_, &made) != 0) ThrowErrno(errno);
  if (made.st_uid != like.st_uid || made.st_gid != like.st_gid) {
    // The owner may only be given away by a privileged user, the group by a
    // member of it. Where neither works, the document keeps its own by
    // being written in place.
    if (Ops().fchown(fd_, like.st_uid, like.st_gid) != 0) {
      if (errno != EPERM && errno != EACCES) ThrowErrno(errno);
      inPlace_ = true;
      return;
    }
  }
  // After fchown, which may clear the set-user and set-group bits.
  if (Ops().fchmod(fd_, like.st_mode & 07777) != 0) ThrowErrno(errno);

  // The ACL (system.posix_acl_access) and every other extended attribute.
  // The new file may have got some of its own from the folder (a default
  // ACL): those the document lacks are taken away again.
  std::vector<std::string> wanted, present;
  if (!AttributeNames(likeFd, wanted)) return;  // a file system without them
  AttributeNames(fd_, present);
  std::string value;
  for (const std::string& name : wanted) {
    if (!AttributeValue(likeFd, name, value) ||
        Ops().fsetxattr(fd_, name.c_str(), value.data(), value.size(), 0) != 0) {
      // One the user may not set (a security or trusted attribute), or
      // could not be read: the rename would lose it.
      inPlace_ = true;
      return;
    }
  }
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(fd_, name.c_str()) != 0) {
      inPlace_ = true;
      return;
    }
  }
}

void ReplacementFile::Write(std::string_view bytes) {
  if (buffer_.size() + bytes.size() <= kWriteBuffer) {
    buffer_.append(bytes);
    return;
  }
  Flush();
  if (bytes.size() >= kWriteBuffer) {
    WriteAll(fd_, bytes.data(), bytes.size());
    written_ += bytes.size();
    StartWriteBack();
  } else {
    buffer_.append(bytes);
  }
}

void ReplacementFile::Flush() {
  WriteAll(fd_, buffer_.data(), buffer_.size());
  written_ += buffer_.size();
  buffer_.clear();
  StartWriteBack();
}

void ReplacementFile::StartWriteBack() {
#if defined(SYNC_FILE_RANGE_WRITE)
  // Hand what is written so far to the disk now, while the rest is still
  // being made, so that the final flush has little left to wait for. Only a
  // head start: the flush before the rename is what makes the file durable.
  constexpr uint64_t kStep = 8 * 1024 * 1024;
  if (written_ - startedWriteBack_ >= kStep) {
    (void)::sync_file_range(fd_, static_cast<off_t>(startedWriteBack_),
                            static_cast<off_t>(written_ - startedWriteBack_),
                            SYNC_FILE_RANGE_WRITE);
    startedWriteBack_ = written_;
  }
#endif
}

void ReplacementFile::Finish() {
  Flush();
  std::string().swap(buffer_);
}

void ReplacementFile::RenameOverTarget() {
  RegisteredName linked;
  if (tempName_.empty()) {
    // The file gets a name only now, for the moment of the rename.
    for (int attempt = 0;; ++attempt) {
      linked.Set(TemporaryName(DirectoryOf(target_)));
      if (LinkNameless(fd_, linked.Name()) == 0) break;
      const int err = errno;
      linked.Clear();
      if (err != EEXIST || attempt == 100) ThrowErrno(err);
    }
  }
  const std::string& from = tempName_.empty() ? linked.Name() : tempName_;
  try {
    // Closed before the rename, so that a failure it reports (a network
    // file system may report a failed write only here) stops the rename.
    const int fd = std::exchange(fd_, -1);
    CloseChecked(fd);
    if (Ops().rename(from.c_str(), target_.c_str()) != 0) ThrowErrno(errno);
  } catch (...) {
    if (!linked.Empty()) ::unlink(linked.Name().c_str());
    throw;
  }
  committed_ = true;
}

// ---------------------------------------------------------------------------
// Backups

namespace {

// Creates the file `name`, a temporary one of a fixed name: one left by a
// process that was killed is removed first. Entered in the list of
// temporary names; returns its handle.
int CreateFixedTemporary(const std::string& name, RegisteredName& temp) {
  ::unlink(name.c_str());
  temp.Set(name);
  const int fd = OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd >= 0) return fd;
  const int err = errno;
  temp.Clear();
  ThrowErrno(err);
}

}  // namespace

void MakeBackupFile(const std::string& original, const struct stat& status,
                    const std::string& backupName, BackupBy by, const std::string& scratch) {
  const std::string dir = DirectoryOf(backupName);
  RegisteredName temp;
  bool made = false;
  if (!scratch.empty()) ::unlink(scratch.c_str());  // left by a process that was killed
  // A hard link keeps contents, times and permission bits as they are, and
  // costs nothing. It is only safe while the document has no other name and
  // is replaced by a rename: the backup must never change when the document
  // or some other name of it is written.
  if (by == BackupBy::LinkWherePossible && status.st_nlink == 1) {
    // Where no backup stands yet, the link is made under its name straight
    // away: nothing is replaced, so nothing can be half done.
    if (Ops().link(original.c_str(), backupName.c_str()) == 0) return;
    for (int attempt = 0; attempt < 100 && !made; ++attempt) {
      temp.Set(scratch.empty() ? TemporaryName(dir) : scratch);
      if (Ops().link(original.c_str(), temp.Name().c_str()) == 0) {
        made = true;
      } else {
        temp.Clear();
        if (errno != EEXIST || !scratch.empty()) break;
      }
    }
    if (!made && errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP &&
        errno != ENOSYS && errno != EEXIST) {
      ThrowErrno(errno);
    }
  }
  if (!made) {
    // No link possible or wanted here: copy the bytes, and flush them, for
    // the copy may be all that is left of the document if writing it fails.
    const int fd =
        scratch.empty() ? CreateNamedTemporary(dir, temp) : CreateFixedTemporary(scratch, temp);
    try {
      CopyFlushed(original, fd, status);
    } catch (...) {
      Ops().close(fd);
      ::unlink(temp.Name().c_str());
      throw;
    }
    if (Ops().close(fd) != 0 && errno != EINTR) {
      const int err = errno;
      ::unlink(temp.Name().c_str());
      ThrowErrno(err);
    }
  }
  if (Ops().rename(temp.Name().c_str(), backupName.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.Name().c_str());
    ThrowErrno(err);
  }
}

// ---------------------------------------------------------------------------
// Journals

namespace {

constexpr std::string_view kJournalSuffix = ".tamarind-journal";
constexpr std::string_view kUnfinishedSuffix = ".part";

std::string UnfinishedNameOf(const std::string& journal) {
  return journal + std::string(kUnfinishedSuffix);
}

// Writes the bytes of the open file `from` over the open file `to`, from its
// start, cuts `to` to their length and flushes it.
void WriteOver(int from, int to) {
  if (::lseek(to, 0, SEEK_SET) != 0) ThrowErrno(errno);
  const uint64_t size = CopyHandle(from, to);
  if (Ops().ftruncate(to, static_cast<off_t>(size)) != 0) ThrowErrno(errno);
  Fsync(to);
}

// Removes a journal whose document is whole, and makes the removal last:
// otherwise a crash could bring it back and a later run would put the old
// bytes over the new ones.
void RemoveJournal(const std::string& journal) {
  if (::unlink(journal.c_str()) != 0 && errno != ENOENT) ThrowErrno(errno);
  SyncFolder(DirectoryOf(journal));
}

// The document `target` back from its journal, the journal removed. The
// caller holds InPlaceWriting().
void PutBack(const std::string& target, const std::string& journal) {
  // Only a plain file is a journal: never a link to some other file (that
  // would be copied into the page), nor a pipe to wait on.
  const int in =
      OpenRetrying(journal.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  if (in < 0) ThrowErrno(errno);
  struct stat st {};
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    Ops().close(in);
    ThrowErrno(EINVAL);
  }
  const int out = OpenRetrying(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  try {
    if (out < 0) ThrowErrno(errno);
    WriteOver(in, out);
    CloseChecked(out);
  } catch (...) {
    if (out >= 0) Ops().close(out);
    Ops().close(in);
    throw;
  }
  Ops().close(in);
  RemoveJournal(journal);
}

// Makes the journal of `target` (`status` its status): a copy of its bytes
// with its permission bits, times and, where allowed, owner, flushed, and
// only then given the journal's name, so that a journal is complete
// whenever it has one; its folder is flushed too. `made` gets the journal's
// status. Returns its name.
std::string MakeJournal(const std::string& target, const struct stat& status, struct stat& made) {
  const std::string name = JournalNameOf(target);
  RegisteredName unfinished;
  int fd = -1;
#if defined(O_TMPFILE)
  if (CanNameLater()) {
    fd = OpenRetrying(DirectoryOf(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
      ThrowErrno(errno);
    }
  }
#endif
  if (fd < 0) fd = CreateFixedTemporary(UnfinishedNameOf(name), unfinished);
  bool named = false;
  try {
    CopyFlushed(target, fd, status);
    const int result = unfinished.Empty() ? LinkNameless(fd, name)
                                          : Ops().rename(unfinished.Name().c_str(), name.c_str());
    if (result != 0) ThrowErrno(errno);
    named = true;
    unfinished.Clear();
    if (::fstat(fd, &made) != 0) ThrowErrno(errno);
    CloseChecked(std::exchange(fd, -1));
    SyncFolder(DirectoryOf(name));
  } catch (...) {
    if (fd >= 0) Ops().close(fd);
    if (named) ::unlink(name.c_str());
    if (!unfinished.Empty()) ::unlink(unfinished.Name().c_str());
    throw;
  }
  return name;
}

// Writes the prepared contents over the document itself (see the header):
// the journal first, then the backup (a link to the journal where it can
// be), then the new bytes over the old, flushed, and the journal removed. A
// failure while writing puts the old bytes back from the journal.
void WriteInPlace(const std::string& target, const struct stat& original,
                  const std::string& backupName, ReplacementFile& contents) {
  // An exit at once waits until the document is whole again.
  std::shared_lock writing(InPlaceWriting());
  struct stat saved {};
  const std::string journal = MakeJournal(target, original, saved);
  int fd = -1;
  try {
    if (!backupName.empty()) {
      // The journal's own temporary name serves the backup where both lie
      // in one folder: a kill leaves nothing a later run does not remove.
      const std::string scratch = DirectoryOf(backupName) == DirectoryOf(journal)
                                      ? UnfinishedNameOf(journal)
                                      : std::string();
      MakeBackupFile(journal, saved, backupName, BackupBy::LinkWherePossible, scratch);
    }
    fd = OpenRetrying(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) ThrowErrno(errno);
  } catch (...) {
    ::unlink(journal.c_str());  // the document has not changed
    throw;
  }
  try {
    WriteOver(contents.Handle(), fd);
    CloseChecked(std::exchange(fd, -1));
  } catch (const EInOutError& failure) {
    if (fd >= 0) Ops().close(fd);
    try {
      PutBack(target, journal);
    } catch (const EInOutError&) {
      // The journal stays, and the next run given the document puts the
      // old bytes back from it; the message says where they are.
      throw EInOutError(failure.Code(),
                        failure.Message(MessageLanguage::Japanese) + "（元の内容は " + journal +
                            " に残っています）",
                        failure.Message(MessageLanguage::English) +
                            " (the old contents are kept in " + journal + ")");
    }
    throw;
  }
  RemoveJournal(journal);
}

}  // namespace

std::string JournalNameOf(const std::string& target) {
  const size_t slash = target.rfind('/');
  const size_t baseAt = slash == std::string::npos ? 0 : slash + 1;
  const std::string_view base = std::string_view(target).substr(baseAt);
  // Room for the dot and both suffixes in a name of 255 bytes, the most
  // that common file systems allow.
  constexpr size_t kRoom = 255 - 1 - kJournalSuffix.size() - kUnfinishedSuffix.size();
  std::string name = target.substr(0, baseAt) + ".";
  if (base.size() <= kRoom) {
    name += base;
  } else {
    uint64_t hash = 14695981039346656037u;  // FNV-1a of the whole name
    for (const char c : base) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    char tail[18];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
    name += base.substr(0, kRoom - (sizeof tail - 1));
    name += tail;
  }
  return name + std::string(kJournalSuffix);
}

bool IsJournalName(std::string_view name, bool orUnfinished) {
  const size_t slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name.empty() || name[0] != '.') return false;
  if (orUnfinished && name.size() > kUnfinishedSuffix.size() &&
      name.substr(name.size() - kUnfinishedSuffix.size()) == kUnfinishedSuffix) {
    name.remove_suffix(kUnfinishedSuffix.size());
  }
  return name.size() > kJournalSuffix.size() + 1 &&
         name.substr(name.size() - kJournalSuffix.size()) == kJournalSuffix;
}

bool HasJournal(const std::string& target) {
  struct stat st {};
  return ::lstat(JournalNameOf(target).c_str(), &st) == 0;
}

std::string RestoreFromJournal(const std::string& target) {
  const std::string journal = JournalNameOf(target);
  // An unfinished journal was never the only copy of anything.
  ::unlink(UnfinishedNameOf(journal).c_str());
  struct stat st {};
  if (::lstat(journal.c_str(), &st) != 0) return {};
  std::shared_lock writing(InPlaceWriting());
  PutBack(target, journal);
  return journal;
}

// ---------------------------------------------------------------------------
// SafeWriter

SafeWriter::SafeWriter(size_t pendingLimit) : limit_(std::max<size_t>(1, pendingLimit)) {}

SafeWriter::~SafeWriter() {
  Finish();
}

void SafeWriter::TakePlace() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return taken_ < limit_; });
  ++taken_;
  changed_.notify_all();
}

void SafeWriter::GivePlaceBack() {
  std::lock_guard lock(mutex_);
  --taken_;
  changed_.notify_all();
}

void SafeWriter::PutInPlace(PreparedDocument& document) {
  PutBatchInPlace({&document});
  document.ThrowIfFailed();
}

std::string SafeWriter::ClaimBackupName(const std::string& backupName,
                                        const std::string& fileName) {
  // The same folder may be named in more than one way ("site/index.bak",
  // "./site/index.bak"): it is known by its device and inode.
  const size_t slash = backupName.rfind('/');
  std::tuple<dev_t, ino_t, std::string> key{
      0, 0, slash == std::string::npos ? backupName : backupName.substr(slash + 1)};
  struct stat folder {};
  if (::stat(DirectoryOf(backupName).c_str(), &folder) == 0) {
    std::get<0>(key) = folder.st_dev;
    std::get<1>(key) = folder.st_ino;
  } else {
    std::get<2>(key) = backupName;  // its document fails anyway
  }
  std::lock_guard lock(claimsMutex_);
  return claims_.emplace(std::move(key), fileName).first->second;
}

void SafeWriter::Submit(std::unique_ptr<PreparedDocument> document, size_t ticket) {
  std::lock_guard lock(mutex_);
  if (!document->contents_) {  // nothing to write
    placed_.push_back({ticket, std::move(document)});
  } else {
    if (!placer_.joinable()) placer_ = std::thread([this] { PlaceBatches(); });
    submitted_.push_back({ticket, std::move(document)});
    ++outstanding_;
  }
  changed_.notify_all();
}

void SafeWriter::Finish() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
    changed_.notify_all();
  }
  if (placer_.joinable()) placer_.join();
}

std::optional<SafeWriter::Placed> SafeWriter::NextPlaced() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !placed_.empty() || (finishing_ && outstanding_ == 0); });
  if (placed_.empty()) return std::nullopt;
  Placed next = std::move(placed_.front());
  placed_.pop_front();
  return next;
}

void SafeWriter::PlaceBatches() {
  for (;;) {
    std::vector<Placed> batch;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] {
        return finishing_ || submitted_.size() >= std::max<size_t>(1, limit_ / 2) ||
               (taken_ >= limit_ && !submitted_.empty());
      });
      if (submitted_.empty()) {
        if (finishing_) return;
        continue;
      }
      while (!submitted_.empty()) {
        batch.push_back(std::move(submitted_.front()));
        submitted_.pop_front();
      }
    }
    std::vector<PreparedDocument*> documents;
    for (Placed& p : batch) documents.push_back(p.document.get());
    PutBatchInPlace(documents);
    for (Placed& p : batch) p.document->contents_.reset();  // its place is free again
    std::lock_guard lock(mutex_);
    for (Placed& p : batch) placed_.push_back(std::move(p));
    outstanding_ -= batch.size();
    changed_.notify_all();
  }
}

void SafeWriter::PutBatchInPlace(const std::vector<PreparedDocument*>& batch) {
  // 1. The new contents to disk: one file by itself, a batch by one sync of
  // each file system it touches. A failed flush stops every document it
  // should have covered.
  if (batch.size() == 1) {
    try {
      Fsync(batch[0]->contents_->Handle());
    } catch (...) {
      batch[0]->error_ = std::current_exception();
    }
  } else {
    std::map<dev_t, int> fileSystems;
    for (PreparedDocument* d : batch)
      fileSystems.emplace(d->original_.st_dev, d->contents_->Handle());
    for (const auto& [device, fd] : fileSystems) {
      if (Ops().syncfs(fd) == 0) continue;
      const std::exception_ptr error = std::make_exception_ptr(EInOutError::FromErrno(errno));
      for (PreparedDocument* d : batch) {
        if (d->original_.st_dev == device) d->error_ = error;
      }
    }
  }

  // 2. and 3. The backup, then the document: renamed over, or written in
  // place.
  std::map<std::string, std::vector<PreparedDocument*>> folders;
  for (PreparedDocument* d : batch) {
    if (d->error_) continue;
    try {
      ReplacementFile& contents = *d->contents_;
      if (contents.InPlace()) {
        WriteInPlace(d->target_, d->original_, d->backupName_, contents);
        continue;  // flushed already
      }
      // The backup must stand before the document is replaced; if it can't
      // be made, the document stays as it was.
      if (!d->backupName_.empty()) MakeBackupFile(d->target_, d->original_, d->backupName_);
      contents.RenameOverTarget();
      folders[DirectoryOf(d->target_)].push_back(d);
      if (!d->backupName_.empty()) folders[DirectoryOf(d->backupName_)];
    } catch (...) {
      d->error_ = std::current_exception();
    }
  }

  // 4. The folders, so that the renames last. A failure here leaves the
  // documents new, but not known to be safe on disk: it is reported.
  for (const auto& [folder, documents] : folders) {
    try {
      SyncFolder(folder);
    } catch (...) {
      for (PreparedDocument* d : documents) d->error_ = std::current_exception();
    }
  }
}

}  // namespace tamarind
