// Helpers shared by the tests: a private temporary folder per test, and
// pictures made byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamarind::test {

// The folder of real GIF and JPEG files from public test suites.
std::string TestDataDir();

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes away. Paths handed out end without "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // The full name of `relative` inside the folder.
  std::string operator/(std::string_view relative) const;
  // Writes `bytes` to `relative`, creating folders on the way; returns the
  // full name.
  std::string Write(std::string_view relative, std::string_view bytes) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

// Bytes from hex pairs; spaces are for reading only: Hex("FFD8 FFC0").
std::string Hex(std::string_view hex);

// A GIF whose logical screen is width x height, without an image (14 bytes:
// browsers show it, empty).
std::string GifBytes(uint16_t width, uint16_t height);

// A JPEG of the given size: SOI, an APP0, the frame header with `sof` as its
// marker, the tables and a scan of blank blocks, and EOI: a picture browsers
// show, grey.
std::string JpegBytes(uint16_t width, uint16_t height, uint8_t sof = 0xC0);

// A JPEG whose first segment is an Exif block carrying `orientation`, in big-
// (Motorola) or little-endian (Intel) byte order.
std::string JpegWithExif(uint16_t width, uint16_t height, uint16_t orientation, bool littleEndian);

}  // namespace tamarind::test
