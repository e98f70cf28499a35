// The picture size probe: GIF and JPEG header readers.
//
// House rules of this file:
//  - Every read goes through ImageFile, which checks bounds in one place. A
//    read past the end of the file is a failed read, never a zero byte.
//  - Readers return false for every failure and let nothing escape.
//  - Segments before the JPEG frame header are skipped by moving the
//    position, never read, with one exception: the first Exif block is looked
//    into for its orientation entry, a few dozen bytes near its start.
#include "JpegUtil.h"

#include "ImageFile.h"
#include "MoreFormats.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace tamarind {
namespace {

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// JPEG marker bytes (the byte after FF).
constexpr uint8_t kMarkerPrefix = 0xFF;
constexpr uint8_t kSOI = 0xD8;   // start of image
constexpr uint8_t kTEM = 0x01;   // the one marker below C0 that counts
constexpr uint8_t kAPP1 = 0xE1;  // Exif lives here

// Frame headers that carry the picture's size: C0-C3, C9-CB, CD-CF. C4 (DHT),
// C8 (JPG) and CC (DAC) are not frames, and the hierarchical C5-C7 describe
// differential frames, not the picture, so they are skipped like the rest.
bool IsFrameHeader(uint8_t m) {
  return (m >= 0xC0 && m <= 0xC3) || (m >= 0xC9 && m <= 0xCB) || (m >= 0xCD && m <= 0xCF);
}

// Reads the orientation entry of an APP1 block: the segment content starts at
// `start` and holds `length` bytes. Returns -1 when the block is no Exif block
// (XMP also lives in APP1), else 1 to 8, or 0 when the Exif block has no
// orientation or is damaged in any way (then it is simply ignored; a bad Exif
// block never costs the picture its size).
int ReadExifOrientation(ImageFile& f, uint64_t start, uint64_t length) {
  const uint64_t end = start + length;
  auto readAt = [&](uint64_t pos, size_t n, uint8_t* out) {
    if (pos + n > end) return false;
    f.Seek(pos);
    for (size_t i = 0; i < n; ++i) {
      if (!f.ReadByte(out[i])) return false;
    }
    return true;
  };
  uint8_t head[14];
  static constexpr uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
  if (!readAt(start, 6, head) || !std::equal(kExif, kExif + 6, head)) return -1;
  if (!readAt(start + 6, 8, head + 6)) return 0;

  // The TIFF header: byte order, the number 42, the offset of the first IFD.
  const uint64_t tiff = start + 6;
  bool little;
  if (head[6] == 'I' && head[7] == 'I') {
    little = true;
  } else if (head[6] == 'M' && head[7] == 'M') {
    little = false;
  } else {
    return 0;
  }
  auto u16 = [little](const uint8_t* p) {
    return static_cast<uint16_t>(little ? (p[0] | (p[1] << 8)) : ((p[0] << 8) | p[1]));
  };
  auto u32 = [little](const uint8_t* p) {
    return little ? (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                     uint32_t{p[3]} << 24)
                  : (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                     uint32_t{p[3]});
  };
  if (u16(head + 8) != 42) return 0;
  const uint64_t ifd = tiff + u32(head + 10);

  uint8_t countBytes[2];
  if (!readAt(ifd, 2, countBytes)) return 0;
  const uint16_t count = u16(countBytes);
  constexpr uint16_t kOrientationTag = 0x0112;
  constexpr uint16_t kTypeShort = 3;
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t entry[12];
    if (!readAt(ifd + 2 + 12 * uint64_t{i}, sizeof entry, entry)) return 0;
    if (u16(entry) != kOrientationTag) continue;
    if (u16(entry + 2) != kTypeShort || u32(entry + 4) < 1) return 0;
    const uint16_t value = u16(entry + 8);
    return value >= 1 && value <= 8 ? value : 0;
  }
  return 0;
}

}  // namespace

ImageKind ImageKindOf(std::string_view fileName, bool moreFormats) {
  // On this platform "/" is the only separator; it can never be the second
  // byte of a double-byte character (those are 0x40 and up), so a plain byte
  // search is safe.
  const size_t cut = fileName.find_last_of("./");
  if (cut == std::string_view::npos || fileName[cut] != '.') return ImageKind::None;
  const std::string_view ext = fileName.substr(cut);
  if (EqualsIgnoreAsciiCase(ext, ".gif")) return ImageKind::Gif;
  if (EqualsIgnoreAsciiCase(ext, ".jpg") || EqualsIgnoreAsciiCase(ext, ".jpeg")) {
    return ImageKind::Jpeg;
  }
  if (!moreFormats) return ImageKind::None;
  if (EqualsIgnoreAsciiCase(ext, ".png")) return ImageKind::Png;
  if (EqualsIgnoreAsciiCase(ext, ".webp")) return ImageKind::WebP;
  if (EqualsIgnoreAsciiCase(ext, ".bmp")) return ImageKind::Bmp;
  if (EqualsIgnoreAsciiCase(ext, ".avif")) return ImageKind::Avif;
  return ImageKind::None;
}

bool GetGIFSize(const std::string& fileName, uint16_t& width, uint16_t& height) {
  width = 0;
  height = 0;
  ImageFile f(fileName);
  if (!f.IsOpen()) return false;
  for (char expected : {'G', 'I', 'F'}) {
    uint8_t b = 0;
    if (!f.ReadByte(b) || b != static_cast<uint8_t>(expected)) return false;
  }
  // The version ("87a", "89a") is not looked at: the screen size sits at the
  // same place in every version.
  f.Seek(6);
  if (!f.ReadWordLE(width)) return false;
  return f.ReadWordLE(height);
}

bool GetJPEGSize(const std::string& fileName, uint16_t& width, uint16_t& height) {
  width = 0;
  height = 0;
  ImageFile f(fileName);
  if (!f.IsOpen()) return false;

  // Find the start marker FF D8, passing over anything put in front of the
  // picture. A file without it is read to its end and gives no size.
  uint8_t b = 0;
  bool afterFF = false;
  for (;;) {
    if (!f.ReadByte(b)) return false;
    if (afterFF && b == kSOI) break;
    afterFF = b == kMarkerPrefix;
  }

  int orientation = 0;
  bool exifSeen = false;
  for (;;) {
    if (f.Position() >= f.Size()) return false;
    if (!f.ReadByte(b)) return false;
    if (b != kMarkerPrefix) continue;  // stray bytes between segments
    uint8_t m = 0;
    if (!f.ReadByte(m)) return false;
    if (m == kSOI) continue;
    // FF 00, FF FF (fill) and FF 02-BF end the walk: after them nothing can
    // be trusted to be a segment.
    if (m != kTEM && m < 0xC0) return false;
    if (m == 0xFF) return false;
    uint16_t length = 0;
    if (!f.ReadWordBE(length)) return false;
    if (IsFrameHeader(m)) {
      uint8_t precision = 0;
      uint16_t lines = 0, samples = 0;
      if (!f.ReadByte(precision) || !f.ReadWordBE(lines) || !f.ReadWordBE(samples)) {
        height = lines;  // the number read first keeps its value
        return false;
      }
      const bool quarterTurn = orientation >= 5 && orientation <= 8;
      width = quarterTurn ? lines : samples;
      height = quarterTurn ? samples : lines;
      return true;
    }
    // The length counts its own two bytes. A length of 0 or 1 moves the
    // position back onto the length bytes, which are then passed over as
    // stray bytes, so the walk always moves forward.
    const uint64_t contentStart = f.Position();
    if (m == kAPP1 && !exifSeen && length > 2) {
      // The first Exif block decides; APP1 also carries XMP, which is passed.
      const int found = ReadExifOrientation(f, contentStart, length - 2u);
      exifSeen = found >= 0;
      orientation = std::max(found, 0);
    }
    f.Seek(contentStart + length - 2);
  }
}

bool GetImageSize(const std::string& fileName, int32_t& height, int32_t& width, bool moreFormats) {
  height = 0;
  width = 0;
  uint16_t w = 0, h = 0;
  ImageDimensions size;
  bool found = false;
  switch (ImageKindOf(fileName, moreFormats)) {
    case ImageKind::Gif:
      found = GetGIFSize(fileName, w, h);
      size = {w, h};
      break;
    case ImageKind::Jpeg:
      found = GetJPEGSize(fileName, w, h);
      size = {w, h};
      break;
    case ImageKind::Png:
      found = GetPNGSize(fileName, size);
      break;
    case ImageKind::WebP:
      found = GetWebPSize(fileName, size);
      break;
    case ImageKind::Bmp:
      found = GetBMPSize(fileName, size);
      break;
    case ImageKind::Avif:
      found = GetAVIFSize(fileName, size);
      break;
    case ImageKind::None:
      break;
  }
  // Sizes travel as 32-bit signed numbers; a larger one is no size.
  constexpr uint32_t kLargest = 0x7FFFFFFF;
  if (found && (size.width > kLargest || size.height > kLargest)) return false;
  height = static_cast<int32_t>(size.height);
  width = static_cast<int32_t>(size.width);
  return found;
}

}  // namespace tamarind
