// The picture size probe: GIF and JPEG header readers.
//
// House rules of this file:
//  - Every read goes through ImageFile, which checks bounds in one place. A
//    read past the end of the file is a failed read, never a zero byte.
//  - Readers return false for every failure and let nothing escape.
//  - Segments before the JPEG frame header are skipped by moving the
//    position, never read, with one exception: the first Exif block is looked
//    into for its orientation entry, a few dozen bytes near its start. Only a
//    frame that leaves its number of lines to a DNL segment has the coded
//    data of its first scan read, within a bound.
//  - A failed reader leaves no numbers behind.
#include "probe/JpegUtil.h"

#include "Ascii.h"
#include "names/PathName.h"
#include "probe/ImageFile.h"
#include "probe/MoreFormats.h"

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

}  // namespace

// Reads the orientation entry of an APP1 block or an eXIf chunk: the content
// starts at `start` and holds `length` bytes. Returns -1 when the block is no
// Exif block (XMP also lives in APP1), else 1 to 8, or 0 when the Exif block
// has no orientation or is damaged in any way (then it is simply ignored; a
// bad Exif block never costs the picture its size).
int ReadExifOrientation(ImageFile& f, uint64_t start, uint64_t length, bool exifHeader) {
  ByteReader r(f, start + length);
  r.Seek(start);
  if (exifHeader && !r.Expect(std::string_view("Exif\0\0", 6))) return -1;

  // The TIFF header: byte order, the number 42, the offset of the first IFD
  // (counted from the header's start).
  const uint64_t tiff = r.Position();
  ByteReader::Order order;
  if (r.Expect("II")) {
    order = ByteReader::Order::Little;
  } else if (r.Seek(tiff), r.Expect("MM")) {
    order = ByteReader::Order::Big;
  } else {
    return 0;
  }
  uint16_t magic = 0, count = 0;
  uint32_t ifdOffset = 0;
  if (!r.ReadWord(order, magic) || magic != 42 || !r.ReadDWord(order, ifdOffset)) return 0;
  r.Seek(tiff + ifdOffset);
  if (!r.ReadWord(order, count)) return 0;
  constexpr uint16_t kOrientationTag = 0x0112;
  constexpr uint16_t kTypeShort = 3;
  for (uint16_t i = 0; i < count; ++i) {
    // Each entry: tag, type, count, then the value in the first bytes of
    // the last four.
    uint16_t tag = 0, type = 0, value = 0;
    uint32_t values = 0;
    if (!r.ReadWord(order, tag) || !r.ReadWord(order, type) || !r.ReadDWord(order, values) ||
        !r.ReadWord(order, value) || !r.Skip(2)) {
      return 0;
    }
    if (tag != kOrientationTag) continue;
    if (type != kTypeShort || values < 1) return 0;
    return value >= 1 && value <= 8 ? value : 0;
  }
  return 0;
}

namespace {

// GIF: the logical screen size of the header (bytes 6 to 9, little-endian),
// for any file that begins with "GIF". A side of 0 is no size: no picture
// is empty, and a tag with width=0 would hide it.
bool ReadGIF(ImageFile& f, ProbeResult& size) {
  ByteReader r(f);
  if (!r.Expect("GIF")) return false;
  // The version ("87a", "89a") is not looked at: the screen size sits at the
  // same place in every version.
  r.Seek(6);
  uint16_t width = 0, height = 0;
  if (!r.ReadWordLE(width) || !r.ReadWordLE(height) || width == 0 || height == 0) return false;
  size.width = width;
  size.height = height;
  return true;
}

// Bounds of the JPEG walk, far beyond what a real file needs: its header is
// a few dozen segments, with at most a few stray bytes between them. They
// keep a file of junk (gigabytes of zeros after the start marker, say) from
// being read to its end.
constexpr uint64_t kMaxMarkerSearch = 4u << 20;  // bytes read looking for markers
constexpr uint32_t kMaxSegments = 65536;         // segments before the first scan
constexpr uint64_t kMaxScanData = 64u << 20;     // coded data looked through for DNL

constexpr uint8_t kEOI = 0xD9;  // end of image
constexpr uint8_t kSOS = 0xDA;  // start of scan
constexpr uint8_t kDNL = 0xDC;  // number of lines, after the first scan

// The marker segments of a JPEG, walked within the bounds above.
class MarkerWalk {
 public:
  explicit MarkerWalk(ImageFile& f) : r_(f) {}
  ByteReader& Reader() { return r_; }

  // Finds the start marker FF D8, passing over anything put in front of the
  // picture.
  bool FindStart() {
    bool afterFF = false;
    for (uint8_t b = 0;;) {
      if (!Search(b)) return false;
      if (afterFF && b == kSOI) return true;
      afterFF = b == kMarkerPrefix;
    }
  }

  // The next marker between segments, with its segment's length. Stray
  // bytes and a second start marker are passed over. False at the end, past
  // a bound, or after FF 00, FF FF (fill) and FF 02-BF: after them nothing
  // can be trusted to be a segment.
  bool Next(uint8_t& m, uint16_t& length) {
    for (;;) {
      uint8_t b = 0;
      if (!Search(b)) return false;
      if (b != kMarkerPrefix) continue;
      if (!r_.ReadByte(m) || ++segments_ > kMaxSegments) return false;
      if (m == kSOI) continue;
      if ((m != kTEM && m < 0xC0) || m == 0xFF) return false;
      return r_.ReadWordBE(length);
    }
  }

  // Moves past the segment whose content starts at `contentStart`. The
  // length counts its own two bytes; one of 0 or 1 moves the position back
  // onto the length bytes, which are then passed over as stray bytes, so
  // the walk always moves forward.
  void Skip(uint64_t contentStart, uint16_t length) { r_.Seek(contentStart + length - 2); }

 private:
  bool Search(uint8_t& b) { return ++searched_ <= kMaxMarkerSearch && r_.ReadByte(b); }

  ByteReader r_;
  uint64_t searched_ = 0;
  uint32_t segments_ = 0;
};

// A frame header that leaves its number of lines to a DNL segment: that
// segment must end the coded data of the first scan. Reads on from the frame
// header's segment to the first scan, through its coded data (stuffed FF 00
// bytes and restart markers are part of it), and gives the DNL's number of
// lines; 0 when there is none within the bounds.
uint16_t LinesFromDnl(MarkerWalk& walk, uint64_t frameContent, uint16_t frameLength) {
  walk.Skip(frameContent, frameLength);
  ByteReader& r = walk.Reader();
  uint8_t m = 0;
  uint16_t length = 0;
  for (;;) {
    if (!walk.Next(m, length) || IsFrameHeader(m) || m == kEOI) return 0;
    if (m == kSOS) break;
    walk.Skip(r.Position(), length);
  }
  if (length < 2) return 0;
  walk.Skip(r.Position(), length);
  for (uint64_t scanned = 0;;) {
    uint8_t b = 0;
    if (++scanned > kMaxScanData || !r.ReadByte(b)) return 0;
    if (b != kMarkerPrefix) continue;
    do {
      if (++scanned > kMaxScanData || !r.ReadByte(m)) return 0;
    } while (m == kMarkerPrefix);
    if (m == 0x00 || (m >= 0xD0 && m <= 0xD7)) continue;
    uint16_t lines = 0;
    if (m != kDNL || !r.ReadWordBE(length) || length != 4 || !r.ReadWordBE(lines)) return 0;
    return lines;
  }
}

// JPEG: the size in the first frame header after the start marker FF D8,
// found by walking the marker segments and seeking past each one. The size
// accounts for an Exif quarter turn. A frame of no samples per line is no
// size, and one of 0 lines has its size only from a DNL segment.
bool ReadJPEG(ImageFile& f, ProbeResult& size) {
  MarkerWalk walk(f);
  ByteReader& r = walk.Reader();
  if (!walk.FindStart()) return false;
  int orientation = 0;
  bool exifSeen = false;
  uint8_t m = 0;
  uint16_t length = 0;
  while (walk.Next(m, length)) {
    const uint64_t contentStart = r.Position();
    if (IsFrameHeader(m)) {
      uint8_t precision = 0;
      uint16_t lines = 0, samples = 0;
      if (!r.ReadByte(precision) || !r.ReadWordBE(lines) || !r.ReadWordBE(samples)) return false;
      if (lines == 0 && samples != 0) lines = LinesFromDnl(walk, contentStart, length);
      if (lines == 0 || samples == 0) return false;
      const bool quarterTurn = orientation >= 5 && orientation <= 8;
      size.width = quarterTurn ? lines : samples;
      size.height = quarterTurn ? samples : lines;
      return true;
    }
    if (m == kAPP1 && !exifSeen && length > 2) {
      // The first Exif block decides; APP1 also carries XMP, which is passed.
      const int found = ReadExifOrientation(f, contentStart, length - 2u);
      exifSeen = found >= 0;
      orientation = std::max(found, 0);
    }
    walk.Skip(contentStart, length);
  }
  return false;
}

}  // namespace

namespace {

// The first bytes of a file, as the signature tests read them.
struct Head {
  std::string_view bytes;
  bool At(size_t pos, std::string_view what) const {
    return bytes.size() >= pos + what.size() && bytes.compare(pos, what.size(), what) == 0;
  }
  uint32_t ByteAt(size_t pos) const { return static_cast<uint8_t>(bytes[pos]); }
};
constexpr size_t kHeadSize = 32;

// Signatures: only ones that cannot be mistaken (SVG, being text, has
// none). They decide when a picture's extension says one format and its
// bytes another, and they keep a picture from being taken for a document.
bool IsGif(const Head& h) {
  return h.At(0, "GIF87a") || h.At(0, "GIF89a");
}
bool IsJpeg(const Head& h) {
  return h.At(0, "\xFF\xD8\xFF");
}
bool IsPng(const Head& h) {
  return h.At(0, "\x89PNG\r\n\x1A\n");
}
bool IsWebP(const Head& h) {
  return h.At(0, "RIFF") && h.At(8, "WEBP");
}
bool IsBmp(const Head& h) {
  // "BM" alone is too common a start; the info header's size must follow.
  if (!h.At(0, "BM") || h.bytes.size() < 18) return false;
  const uint32_t header =
      h.ByteAt(14) | h.ByteAt(15) << 8 | h.ByteAt(16) << 16 | h.ByteAt(17) << 24;
  for (uint32_t known : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
    if (header == known) return true;
  }
  return false;
}
bool IsAvif(const Head& h) {
  return h.At(4, "ftyp") && (h.At(8, "avif") || h.At(8, "avis"));
}
// JPEG XL: the bare codestream, or the signature box of its container.
bool IsJxl(const Head& h) {
  return h.At(0, "\xFF\x0A") || h.At(0, std::string_view("\0\0\0\x0CJXL \r\n\x87\n", 12));
}
// ICO and CUR: a zero word, the type (1 icon, 2 cursor), then a count of
// pictures that a real icon file has.
bool IsIco(const Head& h) {
  if (!h.At(0, std::string_view("\0\0\1\0", 4)) && !h.At(0, std::string_view("\0\0\2\0", 4))) {
    return false;
  }
  if (h.bytes.size() < 6) return false;
  const uint32_t count = h.ByteAt(4) | h.ByteAt(5) << 8;
  return count >= 1 && count <= 255;
}

// The formats the probe knows, one row each: what a new format needs is a
// row here and its reader. `name` is the name --formats takes (also an
// extension); `aliases` are further extensions and names; `mediaTypes` name
// it in a data: URI. Unused places are empty.
struct PictureFormat {
  ImageKind kind;
  std::string_view name, title;
  std::string_view aliases[1];
  std::string_view mediaTypes[2];
  bool (*signature)(const Head&);  // null: none that cannot be mistaken
  bool (*read)(ImageFile&, ProbeResult&);
};
constexpr PictureFormat kFormats[] = {
    {ImageKind::Gif, "gif", "GIF", {}, {"image/gif"}, IsGif, ReadGIF},
    {ImageKind::Jpeg, "jpeg", "JPEG", {"jpg"}, {"image/jpeg"}, IsJpeg, ReadJPEG},
    {ImageKind::Png, "png", "PNG", {}, {"image/png"}, IsPng, ReadPNG},
    {ImageKind::WebP, "webp", "WebP", {}, {"image/webp"}, IsWebP, ReadWebP},
    {ImageKind::Bmp, "bmp", "BMP", {}, {"image/bmp"}, IsBmp, ReadBMP},
    {ImageKind::Avif, "avif", "AVIF", {}, {"image/avif"}, IsAvif, ReadAVIF},
    {ImageKind::Svg, "svg", "SVG", {}, {"image/svg+xml"}, nullptr, ReadSVG},
    {ImageKind::Jxl, "jxl", "JPEG XL", {}, {"image/jxl"}, IsJxl, ReadJXL},
    // A cursor is an icon file.
    {ImageKind::Ico,
     "ico",
     "ICO",
     {"cur"},
     {"image/x-icon", "image/vnd.microsoft.icon"},
     IsIco,
     ReadICO},
};

const PictureFormat* FormatOf(ImageKind kind) {
  for (const PictureFormat& f : kFormats) {
    if (f.kind == kind) return &f;
  }
  return nullptr;
}

// The format a name (an extension, or a name in --formats) stands for.
ImageKind KindNamed(std::string_view name) {
  for (const PictureFormat& f : kFormats) {
    if (EqualsIgnoringAsciiCase(name, f.name)) return f.kind;
    for (std::string_view alias : f.aliases) {
      if (!alias.empty() && EqualsIgnoringAsciiCase(name, alias)) return f.kind;
    }
  }
  return ImageKind::None;
}

ImageKind KindOfHead(const Head& head) {
  for (const PictureFormat& f : kFormats) {
    if (f.signature != nullptr && f.signature(head)) return f.kind;
  }
  return ImageKind::None;
}

// The format whose signature the file begins with.
ImageKind SniffKind(ImageFile& f) {
  char bytes[kHeadSize];
  size_t n = 0;
  f.Seek(0);
  uint8_t b = 0;
  while (n < sizeof bytes && f.ReadByte(b)) bytes[n++] = static_cast<char>(b);
  f.Seek(0);
  return KindOfHead(Head{std::string_view(bytes, n)});
}

bool Measure(ImageKind kind, ImageFile& f, ProbeResult& size) {
  f.Seek(0);
  const PictureFormat* format = FormatOf(kind);
  return format != nullptr && format->read(f, size);
}

}  // namespace

std::string_view FormatName(ImageKind kind) {
  const PictureFormat* format = FormatOf(kind);
  return format != nullptr ? format->name : std::string_view();
}

std::string_view FormatTitle(ImageKind kind) {
  const PictureFormat* format = FormatOf(kind);
  return format != nullptr ? format->title : std::string_view();
}

ImageKind KindOfMediaType(std::string_view type) {
  for (const PictureFormat& f : kFormats) {
    for (std::string_view known : f.mediaTypes) {
      if (!known.empty() && type == known) return f.kind;
    }
  }
  return ImageKind::None;
}

bool StartsWithPictureSignature(std::string_view bytes) {
  return KindOfHead(Head{bytes.substr(0, kHeadSize)}) != ImageKind::None;
}

bool ImageFormats::Parse(std::string_view list, ImageFormats& out, std::string& bad) {
  ImageFormats set;
  for (size_t start = 0;;) {
    const size_t comma = list.find(',', start);
    const std::string_view name = list.substr(start, comma - start);
    const ImageKind kind = KindNamed(name);
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
  const std::string_view dotted = ExtensionOf(fileName);
  if (dotted.empty()) return ImageKind::None;
  return KindNamed(dotted.substr(1));
}

ImageKind ImageKindOf(std::string_view fileName, ImageFormats formats) {
  const ImageKind kind = ExtensionKindOf(fileName);
  return formats.Has(kind) ? kind : ImageKind::None;
}

ProbeResult ProbeImageFile(const std::string& fileName, ImageFormats formats) {
  ProbeResult result;
  result.extension = ExtensionKindOf(fileName);
  // No file has a NUL in its name; the system would read the name short.
  if (fileName.find('\0') != std::string::npos) return result;
  ImageKind kind = formats.Has(result.extension) ? result.extension : ImageKind::None;
  ProbeResult size;
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
  if (found && size.width <= kLargestSide && size.height <= kLargestSide) {
    result.reason = MissReason::None;
    result.width = size.width;
    result.height = size.height;
    return result;
  }
  // Why not, looked for only now that it matters.
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) {
    result.reason = MissReason::NoPicture;
  } else if (S_ISDIR(st.st_mode)) {
    result.reason = MissReason::Folder;
  } else if (kind == ImageKind::None) {
    result.reason = MissReason::NotMeasured;
  } else if (!ImageFile(fileName).IsOpen()) {
    result.reason = MissReason::Unreadable;
  } else {
    result.reason =
        size.reason == MissReason::NoOwnSize ? MissReason::NoOwnSize : MissReason::NoSize;
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
  ProbeResult size;
  if (result.kind == ImageKind::None) {
    result.reason = MissReason::NotMeasured;
  } else if (Measure(result.kind, f, size) && size.width <= kLargestSide &&
             size.height <= kLargestSide) {
    result.reason = MissReason::None;
    result.width = size.width;
    result.height = size.height;
  } else {
    result.reason =
        size.reason == MissReason::NoOwnSize ? MissReason::NoOwnSize : MissReason::NoSize;
  }
  return result;
}

bool GetImageSize(const std::string& fileName, int32_t& height, int32_t& width,
                  ImageFormats formats) {
  const ProbeResult probe = ProbeImageFile(fileName, formats);
  height = static_cast<int32_t>(probe.height);
  width = static_cast<int32_t>(probe.width);
  return probe.Found();
}

}  // namespace tamarind
