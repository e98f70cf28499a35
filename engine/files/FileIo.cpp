#include "files/FileIo.h"
#include "names/PathName.h"

#include "files/FileOps.h"

#include <fcntl.h>
#include <sys/xattr.h>
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
#if defined(__linux__)
  ops.syncfs = ::syncfs;
#else
  ops.syncfs = [](int) {
    ::sync();
    return 0;
  };
#endif
  ops.close = ::close;
  ops.rename = ::rename;
  ops.link = ::link;
  ops.linkat = ::linkat;
  ops.fchmod = ::fchmod;
  ops.fchown = ::fchown;
  ops.fsetxattr = ::fsetxattr;
  ops.ftruncate = ::ftruncate;
  ops.futimens = ::futimens;
  return ops;
}

FileOps& Ops() {
  static FileOps ops = SystemFileOps();
  return ops;
}

int OpenRetrying(const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = Ops().open(name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = Ops().write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError::FromErrno(errno);
    }
    // A write that makes no progress is the disk being full.
    if (n == 0) throw EInOutError(101);
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void CloseChecked(int fd) {
  // close() is not retried on EINTR: on Linux the handle is gone either way.
  if (Ops().close(fd) != 0 && errno != EINTR) throw EInOutError::FromErrno(errno);
}

namespace {

constexpr int kFileNotFound = 2;
constexpr int kInvalidFileName = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kDiskFull = 101;

}  // namespace

void ThrowErrno(int err) {
  throw EInOutError::FromErrno(err);
}

std::string IoErrorMessage(int code, MessageLanguage language) {
  static constexpr struct {
    int code;
    std::string_view japanese, english;
  } kMessages[] = {
      {kFileNotFound, "ファイルが見つかりません", "file not found"},
      {kInvalidFileName, "不正なファイル名です", "invalid file name"},
      {kTooManyOpenFiles, "オープンしたファイルが多すぎます", "too many open files"},
      {kAccessDenied, "ファイルへのアクセスが拒否されました", "access denied"},
      {kDiskFull, "ディスクがいっぱいです", "disk full"},
      {kNotAnHtmlDocument, "HTML 文書ではありません", "not an HTML document"},
  };
  const bool ja = language == MessageLanguage::Japanese;
  for (const auto& m : kMessages) {
    if (m.code == code) return std::string(ja ? m.japanese : m.english);
  }
  return (ja ? "I/O エラー (" : "I/O error (") + std::to_string(code) + ")";
}

namespace {

// The code with a message of its own for an errno value, or 0 for none.
int CodeOf(int err) {
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

EInOutError::EInOutError(int code)
    : EInOutError(code, IoErrorMessage(code), IoErrorMessage(code, MessageLanguage::English)) {}

EInOutError::EInOutError(int code, const std::string& message, const std::string& english)
    : std::runtime_error(message), code_(code), english_(english.empty() ? message : english) {}

std::string EInOutError::Message(MessageLanguage language) const {
  return language == MessageLanguage::English ? english_ : what();
}

EInOutError EInOutError::FromErrno(int err) {
  const int code = CodeOf(err);
  if (code != 0) return EInOutError(code);
  // Any other errno keeps its number and is reported as a plain I/O error,
  // even where that number is one of the codes above (EIO is 5 on Linux,
  // and is no "access denied").
  return EInOutError(err, "I/O エラー (" + std::to_string(err) + ")",
                     "I/O error (" + std::to_string(err) + ")");
}

void DocumentBuffer::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  // realloc moves a large block by remapping its pages rather than copying
  // them, so a window that grows for one long tag is never held twice.
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

void DocumentBuffer::Release() noexcept {
  std::free(data_);
  data_ = nullptr;
  size_ = capacity_ = 0;
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

void DocumentReader::Open(const std::string& fileName, Access access) {
  buffer_.SetSize(0);
  const int mode = access == Access::ReadWrite ? O_RDWR : O_RDONLY;
  const int fd = OpenRetrying(fileName.c_str(), mode | O_CLOEXEC | O_NOCTTY);
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
  const size_t want = std::max(kReadingWindow, buffer_.size());
  if (buffer_.capacity() - buffer_.size() < want) buffer_.Reserve(buffer_.size() + want);
  // A pipe delivers what its writer has written so far, a few bytes at a
  // time for a slow one: reading on until the room is full (or the input
  // ends) keeps the window from being grown and looked at again for every
  // few bytes, which would make a long tag cost its length squared.
  size_t got = 0;
  while (got < want) {
    const ssize_t n = Ops().read(fd_, buffer_.data() + buffer_.size(), want - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    if (n == 0) break;
    buffer_.SetSize(buffer_.size() + static_cast<size_t>(n));
    got += static_cast<size_t>(n);
    // A plain file reads short only at its end.
    if (S_ISREG(status_.st_mode)) break;
  }
  return got > 0;
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
  return FolderToOpen(path);
}

}  // namespace tamarind
