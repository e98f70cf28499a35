// File input and output of the engine: the I/O error and reading a
// document. Putting new contents in place is SafeWrite's.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tamarind {

// The I/O error of the engine: an error code and the message chosen by it.
// A failed system call maps its errno value to one of the codes with a
// message of their own (2 file not found, 3 invalid name, 4 too many open
// files, 5 access denied, 101 disk full, also for a short write); any other
// errno keeps its own number, shown as "I/O エラー (N)". The messages are
// Japanese, as the wizard shows them; the command line shows the English
// ones outside a Japanese locale.
enum class MessageLanguage { Japanese, English };

// A document that is plainly no HTML (a NUL byte near its start, or the
// signature of a compressed file, a PDF or a picture) is refused with this
// code before anything is written.
constexpr int kNotAnHtmlDocument = 1000;
// Refusals that carry their own message: a document whose backup name another
// document of the run holds; a preview of a document an interrupted write
// left a journal of; a journal given as a document.
constexpr int kBackupNameTaken = 1001;
constexpr int kInterruptedWrite = 1002;
constexpr int kJournalNotDocument = 1003;

class EInOutError : public std::runtime_error {
 public:
  explicit EInOutError(int code);
  // `english` empty: the message is the same in both languages.
  EInOutError(int code, const std::string& message, const std::string& english = {});
  int Code() const { return code_; }
  // what() is the Japanese message.
  std::string Message(MessageLanguage language) const;

  // The error for a failed system call with this errno value.
  static EInOutError FromErrno(int err);

 private:
  int code_;
  std::string english_;
};

// Throws EInOutError::FromErrno(err).
[[noreturn]] void ThrowErrno(int err);

// The message of a code: its own for the codes above, "I/O エラー (%d)" for
// any other.
std::string IoErrorMessage(int code, MessageLanguage language = MessageLanguage::Japanese);

// A document's bytes in memory: a plain growing buffer. Documents are read
// in windows, so it is large only while one long tag is held.
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
};

// The bytes a document is read in: the first window the tag pass sees ends
// here, and each later read adds at least as many.
constexpr size_t kReadingWindow = 256 * 1024;

// A document read front to back in windows. The window holds what the caller
// has not finished with, plus the bytes read after it, so a run needs memory
// for the largest unfinished piece (a long tag), not for the whole document.
class DocumentReader {
 public:
  DocumentReader() = default;
  ~DocumentReader();
  DocumentReader(const DocumentReader&) = delete;
  DocumentReader& operator=(const DocumentReader&) = delete;

  // What the document is opened for: a run that will write it opens it for
  // reading and writing, so that a document the user may not change fails
  // here, before anything happens to it; a preview only reads it.
  enum class Access { ReadWrite, ReadOnly };
  // Opens a regular file. Throws EInOutError.
  void Open(const std::string& fileName, Access access);
  // Reads from a handle that stays open afterwards (standard input).
  void Attach(int fd);
  // The file as it was opened (mode, owner, times, links).
  const struct stat& Status() const { return status_; }
  // The open handle, for reading the file's extended attributes.
  int Handle() const { return fd_; }

  // Reads more bytes behind the window: at least as many as the window holds
  // already (fewer only at the end, also from a pipe that delivers a few
  // bytes at a time), so that a piece carried over many windows is still
  // read and looked at in linear time. Returns false at the end of the file.
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

// The folder a name lies in, for creating files beside it ("." for a bare
// name).
std::string DirectoryOf(const std::string& path);

}  // namespace tamarind
