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

// Reads the numbers of a picture's header from an ImageFile, never past
// `end`: a box or segment must not be read out of the bytes after it. This
// is the one place where reads are checked against a bound; a read that
// would cross it fails, and the helpers are named by byte order.
class ByteReader {
 public:
  enum class Order { Little, Big };

  explicit ByteReader(ImageFile& f) : f_(f), end_(f.Size()) {}
  ByteReader(ImageFile& f, uint64_t end) : f_(f), end_(std::min(end, f.Size())) {}

  uint64_t Position() const { return f_.Position(); }
  uint64_t End() const { return end_; }
  bool AtEnd() const { return Position() >= end_; }
  void Seek(uint64_t pos) { f_.Seek(pos); }
  // Moves on `n` bytes; false when that would go past the end.
  bool Skip(uint64_t n) {
    if (n > end_ - std::min(end_, Position())) return false;
    f_.Seek(Position() + n);
    return true;
  }

  bool ReadByte(uint8_t& b) { return Position() < end_ && f_.ReadByte(b); }
  // Two bytes, the first read being the low byte (GIF's, BMP's and RIFF's
  // order).
  bool ReadWordLE(uint16_t& w) { return ReadTo(2, Order::Little, w); }
  // Two bytes, the first read being the high byte (JPEG's order).
  bool ReadWordBE(uint16_t& w) { return ReadTo(2, Order::Big, w); }
  bool ReadDWordLE(uint32_t& v) { return ReadTo(4, Order::Little, v); }
  bool ReadDWordBE(uint32_t& v) { return ReadTo(4, Order::Big, v); }
  // Numbers whose byte order the file itself says (Exif's TIFF header).
  bool ReadWord(Order order, uint16_t& w) { return ReadTo(2, order, w); }
  bool ReadDWord(Order order, uint32_t& v) { return ReadTo(4, order, v); }
  // Numbers of `bytes` bytes, up to the width of `v`.
  template <typename T>
  bool ReadTo(unsigned bytes, Order order, T& v) {
    uint64_t wide = 0;
    for (unsigned i = 0; i < bytes; ++i) {
      uint8_t b = 0;
      if (!ReadByte(b)) return false;
      wide = order == Order::Big ? wide << 8 | b : wide | uint64_t{b} << (8 * i);
    }
    v = static_cast<T>(wide);
    return true;
  }
  template <typename T>
  bool ReadLE(unsigned bytes, T& v) {
    return ReadTo(bytes, Order::Little, v);
  }
  template <typename T>
  bool ReadBE(unsigned bytes, T& v) {
    return ReadTo(bytes, Order::Big, v);
  }
  // True when the next bytes are exactly `expected`; stops at the first
  // byte that differs.
  bool Expect(std::string_view expected) {
    for (char want : expected) {
      uint8_t b = 0;
      if (!ReadByte(b) || b != static_cast<uint8_t>(want)) return false;
    }
    return true;
  }

 private:
  ImageFile& f_;
  uint64_t end_;
};

}  // namespace tamarind
