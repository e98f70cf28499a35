// ImageFile: reading the header bytes of a picture.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamarind {

// A read-only image file with a small read-ahead buffer. Header reads are a
// few bytes here and there; the buffer turns them into one or two reads of
// the file, and grows while the reading goes straight on (the start-marker
// search may have to read a whole file that is no JPEG).
class ImageFile {
 public:
  explicit ImageFile(const std::string& name) {
    // O_NONBLOCK keeps a FIFO that happens to carry a picture's name from
    // blocking the open; regular files ignore it.
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      Close();
      return;
    }
    size_ = static_cast<uint64_t>(st.st_size);
  }
  // A picture held in memory (an inline data: picture): read like a file.
  struct InMemory {};
  ImageFile(std::string_view bytes, InMemory) : size_(bytes.size()), inMemory_(true) {
    buf_.assign(bytes.begin(), bytes.end());
    bufLen_ = buf_.size();
  }
  ~ImageFile() { Close(); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool IsOpen() const { return fd_ >= 0 || inMemory_; }
  uint64_t Size() const { return size_; }
  uint64_t Position() const { return pos_; }
  void Seek(uint64_t pos) { pos_ = pos; }

  bool ReadByte(uint8_t& b) {
    if (pos_ < bufStart_ || pos_ >= bufStart_ + bufLen_) {
      if (!Fill()) return false;
    }
    b = buf_[static_cast<size_t>(pos_ - bufStart_)];
    ++pos_;
    return true;
  }

  // Two bytes, the first read being the low byte.
  bool ReadWordLE(uint16_t& w) {
    uint8_t lo = 0, hi = 0;
    if (!ReadByte(lo) || !ReadByte(hi)) return false;
    w = static_cast<uint16_t>(lo | (hi << 8));
    return true;
  }

  // Two bytes, the first read being the high byte (JPEG's order).
  bool ReadWordBE(uint16_t& w) {
    uint8_t hi = 0, lo = 0;
    if (!ReadByte(hi) || !ReadByte(lo)) return false;
    w = static_cast<uint16_t>((hi << 8) | lo);
    return true;
  }

 private:
  static constexpr size_t kFirstChunk = 4096;
  static constexpr size_t kLargestChunk = 256 * 1024;

  bool Fill() {
    if (fd_ < 0 || pos_ >= size_) return false;
    // Reading straight on from the buffer's end doubles the chunk; a jump
    // (a skipped segment) starts small again.
    const bool sequential = bufLen_ > 0 && pos_ == bufStart_ + bufLen_;
    size_t chunk = sequential ? std::min(buf_.size() * 2, kLargestChunk) : kFirstChunk;
    if (buf_.size() < chunk) buf_.resize(chunk);
    ssize_t got;
    do {
      got = ::pread(fd_, buf_.data(), chunk, static_cast<off_t>(pos_));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    bufStart_ = pos_;
    bufLen_ = static_cast<size_t>(got);
    return true;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  std::vector<uint8_t> buf_;
  uint64_t bufStart_ = 0;
  size_t bufLen_ = 0;
  bool inMemory_ = false;  // buf_ holds the whole picture
};

}  // namespace tamarind
