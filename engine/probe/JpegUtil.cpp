// JpegUtil: the GIF and JPEG header readers.
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

#include "probe/ImageFile.h"

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

namespace {

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

}  // namespace

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

}  // namespace tamarind
