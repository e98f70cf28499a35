#include "FileIo.h"

#include "FileOps.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

namespace tamarind {

FileOps SystemFileOps() {
  FileOps ops;
  ops.open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); };
  ops.read = ::read;
  ops.write = ::write;
  ops.fsync = ::fsync;
  ops.close = ::close;
  ops.rename = ::rename;
  ops.link = ::link;
  ops.fchmod = ::fchmod;
  ops.futimens = ::futimens;
#if defined(__linux__)
  ops.syncfs = ::syncfs;
#else
  ops.syncfs = [](int) {
    ::sync();
    return 0;
  };
#endif
  return ops;
}

FileOps& Ops() {
  static FileOps ops = SystemFileOps();
  return ops;
}

namespace {

constexpr int kFileNotFound = 2;
constexpr int kInvalidFileName = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kReadPastEnd = 100;
constexpr int kDiskFull = 101;
constexpr int kInvalidNumber = 106;

// Large pieces go straight to write(); small ones are gathered first, so that
// a document of many small rewritten tags is not written a tag at a time.
constexpr size_t kWriteBuffer = 256 * 1024;

[[noreturn]] void ThrowErrno(int err) {
  throw EInOutError::FromErrno(err);
}

int OpenRetrying(const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = Ops().open(name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Writes all of `bytes` or throws. A write that makes no progress is the
// disk being full.
void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = Ops().write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    if (n == 0) throw EInOutError(kDiskFull);
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// A fresh, unused name in `dir` for a file that is being prepared.
std::string TemporaryName(const std::string& dir) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = dir + "/.tamarind-";
  for (int i = 0; i < 10; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name + ".tmp";
}

// Creates a new file of a fresh temporary name in `dir`; returns its handle
// and sets `name`.
int CreateTemporary(const std::string& dir, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = TemporaryName(dir);
    const int fd = OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) ThrowErrno(errno);
  }
  ThrowErrno(EEXIST);
}

void CloseChecked(int fd) {
  // close() is not retried on EINTR: on Linux the handle is gone either way.
  if (Ops().close(fd) != 0 && errno != EINTR) ThrowErrno(errno);
}

// Gives a new file the permission bits (and, where allowed, the owner) of
// the file it stands in for.
void TakeOverAttributes(int fd, const struct stat& like) {
  if (like.st_uid != ::geteuid() || like.st_gid != ::getegid()) {
    // Only possible for a privileged user; otherwise the new file is the
    // user's own, which is what a rewrite in place would give as well.
    (void)!::fchown(fd, like.st_uid, like.st_gid);
  }
  if (Ops().fchmod(fd, like.st_mode & 07777) != 0) ThrowErrno(errno);
}

void SyncDirectory(const std::string& dir) {
  const int fd = OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;  // the rename stands; only its durability is left to the system
  (void)Ops().fsync(fd);
  Ops().close(fd);
}

}  // namespace

std::string IoErrorMessage(int code) {
  switch (code) {
    case kFileNotFound:
      return "ファイルが見つかりません";
    case kInvalidFileName:
      return "不正なファイル名です";
    case kTooManyOpenFiles:
      return "オープンしたファイルが多すぎます";
    case kAccessDenied:
      return "ファイルへのアクセスが拒否されました";
    case kReadPastEnd:
      return "ファイルの末尾以降を読み込みました";
    case kDiskFull:
      return "ディスクがいっぱいです";
    case kInvalidNumber:
      return "入力値が数値ではありません";
    default:
      return "I/O エラー (" + std::to_string(code) + ")";
  }
}

namespace {

// The table's code for an errno value, or 0 when the table does not know it.
int TableCodeOf(int err) {
  switch (err) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
      return kInvalidFileName;
    case EMFILE:
    case ENFILE:
      return kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kDiskFull;
    default:
      return 0;
  }
}

}  // namespace

int IoErrorCodeFromErrno(int err) {
  const int code = TableCodeOf(err);
  return code != 0 ? code : err;
}

EInOutError::EInOutError(int code) : EInOutError(code, IoErrorMessage(code)) {}

EInOutError::EInOutError(int code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

EInOutError EInOutError::FromErrno(int err) {
  const int code = TableCodeOf(err);
  if (code != 0) return EInOutError(code);
  // An errno the table does not know keeps its number and is reported as a
  // plain I/O error, even where that number means something else in the
  // table (EIO is 5 on Linux, and is no "access denied").
  return EInOutError(err, "I/O エラー (" + std::to_string(err) + ")");
}

void DocumentBuffer::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  constexpr size_t kHugePage = 2 * 1024 * 1024;
  char* fresh = nullptr;
  bool mapped = false;
  if (capacity >= 2 * kHugePage) {
    capacity = (capacity + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    (void)::madvise(p, capacity, MADV_HUGEPAGE);  // a hint; plain pages work as well
    fresh = static_cast<char*>(p);
    mapped = true;
  } else {
    fresh = new char[capacity];
  }
  if (size_ > 0) std::memcpy(fresh, data_, size_);
  const size_t size = size_;
  Release();
  data_ = fresh;
  size_ = size;
  capacity_ = capacity;
  mapped_ = mapped;
}

void DocumentBuffer::Release() noexcept {
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    delete[] data_;
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

void DocumentBuffer::Consume(size_t n) {
  if (n == 0) return;
  if (n < size_) std::memmove(data_, data_ + n, size_ - n);
  size_ = n < size_ ? size_ - n : 0;
}

DocumentReader::~DocumentReader() {
  if (fd_ >= 0 && owned_) Ops().close(fd_);
}

void DocumentReader::Attach(int fd) {
  buffer_.SetSize(0);
  fd_ = fd;
  owned_ = false;
}

void DocumentReader::Open(const std::string& fileName) {
  buffer_.SetSize(0);
  const int fd = OpenRetrying(fileName.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) ThrowErrno(errno);
  if (::fstat(fd, &status_) != 0) {
    const int err = errno;
    Ops().close(fd);
    ThrowErrno(err);
  }
  // Only plain files are documents: a device or a pipe would never end, and
  // replacing one by a file is not what anybody asked for.
  if (!S_ISREG(status_.st_mode)) {
    Ops().close(fd);
    ThrowErrno(EACCES);
  }
  fd_ = fd;
}

bool DocumentReader::ReadMore() {
  constexpr size_t kChunk = 256 * 1024;
  const size_t want = std::max(kChunk, buffer_.size());
  if (buffer_.capacity() - buffer_.size() < want) buffer_.Reserve(buffer_.size() + want);
  for (;;) {
    const ssize_t n = Ops().read(fd_, buffer_.data() + buffer_.size(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    buffer_.SetSize(buffer_.size() + static_cast<size_t>(n));
    return n > 0;
  }
}

size_t DocumentReader::ReadAt(uint64_t offset, char* data, size_t size) const {
  for (;;) {
    const ssize_t n = ::pread(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : static_cast<size_t>(n);
  }
}

void DocumentReader::Close() {
  const int fd = owned_ ? fd_ : -1;
  fd_ = -1;
  // close() is not retried on EINTR: on Linux the handle is gone either way.
  if (fd >= 0 && Ops().close(fd) != 0 && errno != EINTR) ThrowErrno(errno);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

ReplacementFile::ReplacementFile(std::string target, const struct stat& like)
    : target_(std::move(target)) {
  fd_ = CreateTemporary(DirectoryOf(target_), tempName_);
  try {
    TakeOverAttributes(fd_, like);
  } catch (...) {
    Discard();
    throw;
  }
  buffer_.reserve(kWriteBuffer);
}

ReplacementFile::~ReplacementFile() {
  if (!committed_) Discard();
}

void ReplacementFile::Discard() noexcept {
  if (fd_ >= 0) Ops().close(fd_);
  fd_ = -1;
  if (!tempName_.empty()) ::unlink(tempName_.c_str());
  tempName_.clear();
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
  // head start: the flush at the end is what makes the file durable.
  constexpr uint64_t kStep = 8 * 1024 * 1024;
  if (written_ - startedWriteBack_ >= kStep) {
    (void)::sync_file_range(fd_, static_cast<off_t>(startedWriteBack_),
                            static_cast<off_t>(written_ - startedWriteBack_),
                            SYNC_FILE_RANGE_WRITE);
    startedWriteBack_ = written_;
  }
#endif
}

void ReplacementFile::Finish(bool flushToDisk) {
  Flush();
  if (flushToDisk && Ops().fsync(fd_) != 0) ThrowErrno(errno);
  const int fd = fd_;
  fd_ = -1;
  CloseChecked(fd);
}

void ReplacementFile::Commit(bool syncFolder) {
  if (Ops().rename(tempName_.c_str(), target_.c_str()) != 0) ThrowErrno(errno);
  committed_ = true;
  if (syncFolder) SyncDirectory(DirectoryOf(target_));
}

namespace {

// Copies the bytes of `from` into the open file `to`.
void CopyContents(const std::string& from, int to) {
  const int in = OpenRetrying(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) ThrowErrno(errno);
  std::string buffer(1024 * 1024, '\0');
  for (;;) {
    const ssize_t n = Ops().read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      Ops().close(in);
      if (n < 0) ThrowErrno(err);
      return;
    }
    try {
      WriteAll(to, buffer.data(), static_cast<size_t>(n));
    } catch (...) {
      Ops().close(in);
      throw;
    }
  }
}

}  // namespace

void SyncFileSystemOf(const std::string& path) {
#if defined(__linux__)
  const int fd = OpenRetrying(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) ThrowErrno(errno);
  const int result = Ops().syncfs(fd);
  const int err = errno;
  Ops().close(fd);
  if (result != 0) ThrowErrno(err);
#else
  (void)path;
  ::sync();
#endif
}

void MakeBackupFile(const std::string& original, const struct stat& status,
                    const std::string& backupName) {
  const std::string dir = DirectoryOf(backupName);
  std::string temp;
  bool made = false;
  // A hard link keeps contents, times and permission bits as they are, and
  // costs nothing. It is only safe while the document has no other name: the
  // backup must never change when some other name of the file is edited.
  if (status.st_nlink == 1) {
    // Where no backup stands yet, the link is made under its name straight
    // away: nothing is replaced, so nothing can be half done.
    if (Ops().link(original.c_str(), backupName.c_str()) == 0) return;
    for (int attempt = 0; attempt < 100 && !made; ++attempt) {
      temp = TemporaryName(dir);
      if (Ops().link(original.c_str(), temp.c_str()) == 0) {
        made = true;
      } else if (errno != EEXIST) {
        break;
      }
    }
    if (!made && errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP &&
        errno != ENOSYS && errno != EEXIST) {
      ThrowErrno(errno);
    }
  }
  if (!made) {
    // No link possible here (another file system, or one without links):
    // copy the bytes.
    const int fd = CreateTemporary(dir, temp);
    try {
      TakeOverAttributes(fd, status);
      CopyContents(original, fd);
      const struct timespec times[2] = {status.st_atim, status.st_mtim};
      if (Ops().futimens(fd, times) != 0) ThrowErrno(errno);
      if (Ops().fsync(fd) != 0) ThrowErrno(errno);
    } catch (...) {
      Ops().close(fd);
      ::unlink(temp.c_str());
      throw;
    }
    if (Ops().close(fd) != 0 && errno != EINTR) {
      const int err = errno;
      ::unlink(temp.c_str());
      ThrowErrno(err);
    }
  }
  if (Ops().rename(temp.c_str(), backupName.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    ThrowErrno(err);
  }
}

}  // namespace tamarind
