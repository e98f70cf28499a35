// File input and output of the engine: the I/O error, reading a document
// whole, and replacing a document safely.
//
// A document is never patched in place. Its new contents go to a temporary
// file in the same folder, which is flushed to disk and then renamed over the
// document, so that a failure at any step leaves either the old bytes or the
// new ones, never a mixture and never nothing.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tamarind {

// The I/O error of the engine: an error code and the message chosen by it.
// Codes follow the engine's table (2 file not found, 3 invalid name, 4 too
// many open files, 5 access denied, 100 read past end, 101 disk full, 106 not
// a number); other system errors keep their own number.
class EInOutError : public std::runtime_error {
 public:
  explicit EInOutError(int code);
  EInOutError(int code, const std::string& message);
  int Code() const { return code_; }

  // The error for a failed system call with this errno value.
  static EInOutError FromErrno(int err);

 private:
  int code_;
};

// The message of the table for a code, "I/O エラー (%d)" for any other.
std::string IoErrorMessage(int code);

// Maps an errno value onto the table's codes. Values the table does not know
// come back unchanged.
int IoErrorCodeFromErrno(int err);

// A document's bytes in memory. Large documents get their memory straight
// from the system, asking for huge pages: filling a 100 MB buffer page by
// 4 KiB page costs more than everything else a run does with it.
class DocumentBuffer {
 public:
  DocumentBuffer() = default;
  ~DocumentBuffer() { Release(); }
  DocumentBuffer(DocumentBuffer&& other) noexcept { *this = std::move(other); }
  DocumentBuffer& operator=(DocumentBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      std::swap(data_, other.data_);
      std::swap(size_, other.size_);
      std::swap(capacity_, other.capacity_);
      std::swap(mapped_, other.mapped_);
    }
    return *this;
  }

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_, size_}; }
  operator std::string_view() const { return view(); }

  // Room for `capacity` bytes, keeping the ones held. Throws std::bad_alloc.
  void Reserve(size_t capacity);
  // Sets the number of bytes held (at most the capacity).
  void SetSize(size_t size) { size_ = size; }
  // Drops the first `n` bytes, moving the rest to the front.
  void Consume(size_t n);
  void Release() noexcept;

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;
};

// A document read front to back in windows. The window holds what the caller
// has not finished with, plus the bytes read after it, so a run needs memory
// for the largest unfinished piece (a long tag), not for the whole document.
class DocumentReader {
 public:
  DocumentReader() = default;
  ~DocumentReader();
  DocumentReader(const DocumentReader&) = delete;
  DocumentReader& operator=(const DocumentReader&) = delete;

  // Opens a regular file for reading and writing, so that a document the
  // user may not change fails here, before anything happens to it. Throws
  // EInOutError.
  void Open(const std::string& fileName);
  // Reads from a handle that stays open afterwards (standard input).
  void Attach(int fd);
  // The file as it was opened (mode, owner, times, links).
  const struct stat& Status() const { return status_; }

  // Reads more bytes behind the window: at least as many as the window holds
  // already, so that a piece carried over many windows is still read and
  // looked at in linear time. Returns false at the end of the file.
  bool ReadMore();
  std::string_view Window() const { return buffer_.view(); }
  // The caller is done with the first `n` bytes of the window.
  void Consume(size_t n) { buffer_.Consume(n); }
  // Reads up to `size` bytes at `offset` of the file once more, for a second
  // look at what was read; 0 at the end, or where the input cannot be read
  // twice or the read fails.
  size_t ReadAt(uint64_t offset, char* data, size_t size) const;
  // Closes the file, reporting a failure. Throws EInOutError.
  void Close();

 private:
  int fd_ = -1;
  bool owned_ = true;
  struct stat status_ {};
  DocumentBuffer buffer_;
};

// The new contents of a file, written beside it under a temporary name. The
// target is only touched by Commit(); a writer destroyed without committing
// removes its temporary file.
class ReplacementFile {
 public:
  // `target` is the file to replace (already resolved if it was a link);
  // `like` gives the permission bits and owner that the new file takes over.
  ReplacementFile(std::string target, const struct stat& like);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  void Write(std::string_view bytes);
  // Writes what is buffered, flushes it to disk (unless the caller will
  // sync the whole file system instead) and closes the file.
  void Finish(bool flushToDisk = true);
  // Renames the finished file over the target, and flushes the rename to
  // disk unless the caller will sync the whole file system instead.
  void Commit(bool syncFolder = true);
  const std::string& Target() const { return target_; }

 private:
  void Flush();
  void StartWriteBack();
  void Discard() noexcept;

  std::string target_;
  std::string tempName_;
  int fd_ = -1;
  std::string buffer_;
  uint64_t written_ = 0;
  uint64_t startedWriteBack_ = 0;
  bool committed_ = false;
};

// Keeps `original` (the file as it is, `status` its status) under the name
// `backupName`. The backup is complete or absent: it is made under a
// temporary name and renamed into place, replacing an older backup. A hard
// link is used where it can be (a plain file with one name); otherwise the
// bytes are copied with the original's permission bits and times.
void MakeBackupFile(const std::string& original, const struct stat& status,
                    const std::string& backupName);

// Flushes everything written to the file system that holds `path` (one
// flush for many files, where one per file would cost far more). Throws
// EInOutError.
void SyncFileSystemOf(const std::string& path);

// The folder a name lies in, for creating files beside it ("." for a bare
// name).
std::string DirectoryOf(const std::string& path);

}  // namespace tamarind
