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

#include "Ascii.h"
#include "ImageFile.h"
#include "MoreFormats.h"

#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <vector>

namespace tamarind {
namespace {

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

bool ReadGIF(ImageFile& f, uint16_t& width, uint16_t& height) {
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

bool ReadJPEG(ImageFile& f, uint16_t& width, uint16_t& height) {
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

}  // namespace

namespace {

struct FormatNames {
  ImageKind kind;
  std::string_view name, title;
};
constexpr FormatNames kFormats[] = {
    {ImageKind::Gif, "gif", "GIF"}, {ImageKind::Jpeg, "jpeg", "JPEG"},
    {ImageKind::Png, "png", "PNG"}, {ImageKind::WebP, "webp", "WebP"},
    {ImageKind::Bmp, "bmp", "BMP"}, {ImageKind::Avif, "avif", "AVIF"},
    {ImageKind::Svg, "svg", "SVG"},
};

// The format whose signature the file begins with. Only signatures that
// cannot be mistaken are taken (SVG, being text, has none): this decides
// when a picture's extension says one format and its bytes another.
ImageKind SniffKind(ImageFile& f) {
  uint8_t bytes[32];
  size_t n = 0;
  f.Seek(0);
  while (n < sizeof bytes && f.ReadByte(bytes[n])) ++n;
  f.Seek(0);
  const std::string_view head(reinterpret_cast<const char*>(bytes), n);
  auto at = [&head](size_t pos, std::string_view what) {
    return head.size() >= pos + what.size() && head.compare(pos, what.size(), what) == 0;
  };
  if (at(0, "GIF87a") || at(0, "GIF89a")) return ImageKind::Gif;
  if (at(0, "\xFF\xD8\xFF")) return ImageKind::Jpeg;
  if (at(0, "\x89PNG\r\n\x1A\n")) return ImageKind::Png;
  if (at(0, "RIFF") && at(8, "WEBP")) return ImageKind::WebP;
  if (at(4, "ftyp") && (at(8, "avif") || at(8, "avis"))) return ImageKind::Avif;
  if (at(0, "BM") && head.size() >= 18) {
    // "BM" alone is too common a start; the info header's size must follow.
    const uint32_t header = uint32_t{bytes[14]} | uint32_t{bytes[15]} << 8 |
                            uint32_t{bytes[16]} << 16 | uint32_t{bytes[17]} << 24;
    for (uint32_t known : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
      if (header == known) return ImageKind::Bmp;
    }
  }
  return ImageKind::None;
}

bool Measure(ImageKind kind, ImageFile& f, ImageDimensions& size) {
  f.Seek(0);
  uint16_t w = 0, h = 0;
  bool found = false;
  switch (kind) {
    case ImageKind::Gif:
      found = ReadGIF(f, w, h);
      size = {w, h};
      break;
    case ImageKind::Jpeg:
      found = ReadJPEG(f, w, h);
      size = {w, h};
      break;
    case ImageKind::Png:
      return ReadPNG(f, size);
    case ImageKind::WebP:
      return ReadWebP(f, size);
    case ImageKind::Bmp:
      return ReadBMP(f, size);
    case ImageKind::Avif:
      return ReadAVIF(f, size);
    case ImageKind::Svg:
      return ReadSVG(f, size);
    case ImageKind::None:
      break;
  }
  return found;
}

}  // namespace

std::string_view FormatName(ImageKind kind) {
  for (const FormatNames& f : kFormats) {
    if (f.kind == kind) return f.name;
  }
  return {};
}

std::string_view FormatTitle(ImageKind kind) {
  for (const FormatNames& f : kFormats) {
    if (f.kind == kind) return f.title;
  }
  return {};
}

bool ImageFormats::Parse(std::string_view list, ImageFormats& out, std::string& bad) {
  ImageFormats set;
  for (size_t start = 0;;) {
    const size_t comma = list.find(',', start);
    const std::string_view name = list.substr(start, comma - start);
    ImageKind kind = EqualsIgnoringAsciiCase(name, "jpg") ? ImageKind::Jpeg : ImageKind::None;
    for (const FormatNames& f : kFormats) {
      if (EqualsIgnoringAsciiCase(name, f.name)) kind = f.kind;
    }
    if (kind == ImageKind::None) {
      bad = std::string(name);
      return false;
    }
    set = set.With(kind);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  out = set;
  return true;
}

ImageKind ExtensionKindOf(std::string_view fileName) {
  // On this platform "/" is the only separator; it can never be the second
  // byte of a double-byte character (those are 0x40 and up), so a plain byte
  // search is safe.
  const size_t cut = fileName.find_last_of("./");
  if (cut == std::string_view::npos || fileName[cut] != '.') return ImageKind::None;
  const std::string_view ext = fileName.substr(cut + 1);
  if (EqualsIgnoringAsciiCase(ext, "jpg")) return ImageKind::Jpeg;
  for (const FormatNames& f : kFormats) {
    if (EqualsIgnoringAsciiCase(ext, f.name)) return f.kind;
  }
  return ImageKind::None;
}

ImageKind ImageKindOf(std::string_view fileName, ImageFormats formats) {
  const ImageKind kind = ExtensionKindOf(fileName);
  return formats.Has(kind) ? kind : ImageKind::None;
}

ProbeResult ProbeImageFile(const std::string& fileName, ImageFormats formats) {
  ProbeResult result;
  result.extension = ExtensionKindOf(fileName);
  ImageKind kind = formats.Has(result.extension) ? result.extension : ImageKind::None;
  ImageDimensions size;
  bool found = false;
  if (formats.IsClassic()) {
    // GIF and JPEG alone: the extension decides, and a file of any other
    // name is not even opened.
    if (kind != ImageKind::None) {
      ImageFile f(fileName);
      found = f.IsOpen() && Measure(kind, f, size);
    }
  } else if (result.extension != ImageKind::None) {
    ImageFile f(fileName);
    if (f.IsOpen()) {
      const ImageKind sniffed = SniffKind(f);
      if (sniffed != ImageKind::None && formats.Has(sniffed)) kind = sniffed;
      found = kind != ImageKind::None && Measure(kind, f, size);
    }
  }
  result.kind = kind;
  // Sizes travel as 32-bit signed numbers; a larger one is no size.
  constexpr uint32_t kLargest = 0x7FFFFFFF;
  if (found && size.width <= kLargest && size.height <= kLargest) {
    result.outcome = ProbeOutcome::Found;
    result.width = size.width;
    result.height = size.height;
    return result;
  }
  // Why not, looked for only now that it matters.
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) {
    result.outcome = ProbeOutcome::NoFile;
  } else if (S_ISDIR(st.st_mode)) {
    result.outcome = ProbeOutcome::Folder;
  } else if (kind == ImageKind::None) {
    result.outcome = ProbeOutcome::NotMeasured;
  } else if (!ImageFile(fileName).IsOpen()) {
    result.outcome = ProbeOutcome::Unreadable;
  } else {
    result.outcome = ProbeOutcome::NoSize;
  }
  return result;
}

ProbeResult ProbeImageBytes(std::string_view bytes, ImageKind kind, ImageFormats formats) {
  ProbeResult result;
  result.extension = kind;
  result.kind = formats.Has(kind) ? kind : ImageKind::None;
  ImageFile f(bytes, ImageFile::InMemory{});
  // The media type must name a picture format; within it, the bytes decide.
  if (!formats.IsClassic() && kind != ImageKind::None) {
    const ImageKind sniffed = SniffKind(f);
    if (sniffed != ImageKind::None && formats.Has(sniffed)) result.kind = sniffed;
  }
  ImageDimensions size;
  constexpr uint32_t kLargest = 0x7FFFFFFF;
  if (result.kind == ImageKind::None) {
    result.outcome = ProbeOutcome::NotMeasured;
  } else if (Measure(result.kind, f, size) && size.width <= kLargest && size.height <= kLargest) {
    result.outcome = ProbeOutcome::Found;
    result.width = size.width;
    result.height = size.height;
  } else {
    result.outcome = ProbeOutcome::NoSize;
  }
  return result;
}

bool GetGIFSize(const std::string& fileName, uint16_t& width, uint16_t& height) {
  width = 0;
  height = 0;
  ImageFile f(fileName);
  return f.IsOpen() && ReadGIF(f, width, height);
}

bool GetJPEGSize(const std::string& fileName, uint16_t& width, uint16_t& height) {
  width = 0;
  height = 0;
  ImageFile f(fileName);
  return f.IsOpen() && ReadJPEG(f, width, height);
}

bool GetImageSize(const std::string& fileName, int32_t& height, int32_t& width,
                  ImageFormats formats) {
  const ProbeResult probe = ProbeImageFile(fileName, formats);
  height = static_cast<int32_t>(probe.height);
  width = static_cast<int32_t>(probe.width);
  return probe.Found();
}

}  // namespace tamarind
