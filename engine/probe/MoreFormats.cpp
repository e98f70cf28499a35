// Header readers for PNG, WebP, BMP, AVIF, JPEG XL and ICO.
//
// Like the GIF and JPEG readers, these read header bytes only, through
// ImageFile, and every failure (missing file, foreign signature, cut-short
// file, absurd numbers) is a false result with both numbers 0. Nothing here
// throws, and the work is bounded on any input: lengths read from the file
// only ever move the read position, never size an allocation.
#include "probe/MoreFormats.h"

#include "probe/ImageFile.h"
#include "probe/JpegUtil.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

namespace tamarind {
namespace {

// A four-character code as one big-endian number, the way ISO BMFF box types
// and RIFF chunk names are compared here.
constexpr uint32_t FourCC(const char (&s)[5]) {
  return uint32_t{static_cast<uint8_t>(s[0])} << 24 | uint32_t{static_cast<uint8_t>(s[1])} << 16 |
         uint32_t{static_cast<uint8_t>(s[2])} << 8 | uint32_t{static_cast<uint8_t>(s[3])};
}

bool Found(ProbeResult& size, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return false;  // no picture is empty
  size.width = width;
  size.height = height;
  return true;
}

}  // namespace

// ---- PNG ----------------------------------------------------------------
namespace {

// Whether an eXIf chunk turns the picture by a quarter (orientations 5 to
// 8). Browsers look for it among the chunks before the picture data, so the
// walk ends at the first IDAT, and after kMaxChunks chunks; it skips each
// chunk by its length. A damaged walk leaves the picture as it is stored.
bool QuarterTurnedPNG(ImageFile& f, uint64_t firstChunk) {
  constexpr int kMaxChunks = 4096;
  constexpr uint32_t kLargestChunk = 0x7FFFFFFF;
  ByteReader r(f);
  r.Seek(firstChunk);
  for (int i = 0; i < kMaxChunks; ++i) {
    uint32_t length = 0, type = 0;
    if (!r.ReadDWordBE(length) || !r.ReadDWordBE(type) || length > kLargestChunk) return false;
    if (type == FourCC("IDAT") || type == FourCC("IEND")) return false;
    if (type == FourCC("eXIf")) {
      const int orientation = ReadExifOrientation(f, r.Position(), length, false);
      return orientation >= 5 && orientation <= 8;
    }
    if (!r.Skip(uint64_t{length} + 4)) return false;  // the content and its CRC
  }
  return false;
}

}  // namespace

bool ReadPNG(ImageFile& f, ProbeResult& size) {
  ByteReader r(f);
  uint32_t length = 0, type = 0, width = 0, height = 0;
  if (!r.Expect("\x89PNG\r\n\x1A\n") || !r.ReadDWordBE(length) || !r.ReadDWordBE(type))
    return false;
  // The image header must be the first chunk, and it always holds 13 bytes.
  if (length != 13 || type != FourCC("IHDR")) return false;
  if (!r.ReadDWordBE(width) || !r.ReadDWordBE(height)) return false;
  // PNG's four-byte numbers stop at 2^31-1; anything larger is no PNG.
  constexpr uint32_t kLargest = 0x7FFFFFFF;
  if (width > kLargest || height > kLargest) return false;
  // The chunks after IHDR: signature, length and type, content, CRC.
  constexpr uint64_t kAfterHeader = 8 + 8 + 13 + 4;
  if (QuarterTurnedPNG(f, kAfterHeader)) std::swap(width, height);
  return Found(size, width, height);
}

// ---- WebP ---------------------------------------------------------------

bool ReadWebP(ImageFile& f, ProbeResult& size) {
  ByteReader r(f);
  uint32_t riff = 0, riffSize = 0, webp = 0, chunk = 0, chunkSize = 0;
  if (!r.ReadDWordBE(riff) || !r.ReadLE(4, riffSize) || !r.ReadDWordBE(webp) ||
      !r.ReadDWordBE(chunk) || !r.ReadLE(4, chunkSize)) {
    return false;
  }
  // The RIFF size is not checked: a cut-short download still has its header.
  if (riff != FourCC("RIFF") || webp != FourCC("WEBP")) return false;

  if (chunk == FourCC("VP8 ")) {
    // A lossy key frame: a 3-byte frame tag, the start code, then 16-bit
    // width and height whose top two bits are an upscaling hint, not size.
    uint32_t width = 0, height = 0;
    if (chunkSize < 10 || !r.Skip(3) || !r.Expect("\x9D\x01\x2A")) return false;
    if (!r.ReadLE(2, width) || !r.ReadLE(2, height)) return false;
    return Found(size, width & 0x3FFF, height & 0x3FFF);
  }
  if (chunk == FourCC("VP8L")) {
    // Lossless: the signature byte, then 14 bits width-1, 14 bits height-1,
    // one alpha bit and a 3-bit version that must be 0, packed from the low
    // bit up.
    uint32_t bits = 0;
    if (chunkSize < 5 || !r.Expect("\x2F") || !r.ReadLE(4, bits)) return false;
    if (bits >> 29 != 0) return false;
    return Found(size, (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
  }
  if (chunk == FourCC("VP8X")) {
    // Extended: flags and three reserved bytes, then the canvas width-1 and
    // height-1 as 24-bit numbers. The canvas is what a browser lays out.
    uint32_t width = 0, height = 0;
    if (chunkSize < 10 || !r.Skip(4) || !r.ReadLE(3, width) || !r.ReadLE(3, height)) return false;
    return Found(size, width + 1, height + 1);
  }
  return false;
}

// ---- BMP ----------------------------------------------------------------

bool ReadBMP(ImageFile& f, ProbeResult& size) {
  ByteReader r(f);
  uint32_t headerSize = 0;
  if (!r.Expect("BM") || !r.Skip(12) || !r.ReadLE(4, headerSize)) return false;
  if (headerSize == 12) {
    // The OS/2 core header: unsigned 16-bit numbers, always bottom-up.
    uint32_t width = 0, height = 0;
    if (!r.ReadLE(2, width) || !r.ReadLE(2, height)) return false;
    return Found(size, width, height);
  }
  // The Windows info header and its later versions (52, 56, 108, 124 bytes),
  // and the OS/2 2.x header (64): signed 32-bit numbers.
  if (headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 64 &&
      headerSize != 108 && headerSize != 124) {
    return false;
  }
  uint32_t widthBits = 0, heightBits = 0;
  if (!r.ReadLE(4, widthBits) || !r.ReadLE(4, heightBits)) return false;
  const auto width = static_cast<int32_t>(widthBits);
  const auto height = static_cast<int32_t>(heightBits);
  // A negative height stores the rows top-down; the picture is as high as
  // its magnitude. INT32_MIN has no magnitude in 32 bits.
  if (width <= 0 || height == INT32_MIN) return false;
  return Found(size, static_cast<uint32_t>(width), static_cast<uint32_t>(std::abs(height)));
}

// ---- AVIF ---------------------------------------------------------------
namespace {
//
// An AVIF file is a tree of ISO BMFF boxes. The size lives in the `ispe`
// property of the primary item:
//   ftyp                       brands: must name avif or avis
//   meta (full box)
//     pitm                     the primary item's id
//     iprp
//       ipco                   the properties, numbered from 1 in order
//       ipma                   which properties belong to which item
// The walk follows exactly this path, so it never goes deeper than four
// boxes, and it looks at no more than kMaxBoxes boxes in any one container.

constexpr uint32_t kMaxBoxes = 1u << 15;  // ipma numbers properties in 15 bits
constexpr uint32_t kMaxItems = 1u << 16;  // ipma entries looked through
constexpr uint32_t kMaxBrands = 1024;

struct Box {
  uint32_t type = 0;
  uint64_t content = 0;  // where the box's content starts
  uint64_t end = 0;      // one past its last byte
};

// Reads the header of the box at `pos`, which must lie wholly inside its
// parent ending at `parentEnd`.
bool ReadBox(ImageFile& f, uint64_t pos, uint64_t parentEnd, Box& box) {
  ByteReader r(f, parentEnd);
  r.Seek(pos);
  uint32_t size32 = 0;
  if (!r.ReadDWordBE(size32) || !r.ReadDWordBE(box.type)) return false;
  uint64_t size = size32;
  if (size32 == 1 && !r.ReadBE(8, size)) return false;          // a 64-bit size follows
  if (size32 == 0) size = parentEnd - pos;                      // up to the parent's end
  if (box.type == FourCC("uuid") && !r.Skip(16)) return false;  // the extended type
  const uint64_t headerSize = r.Position() - pos;
  // A box smaller than its own header would make the walk stand still or go
  // back; one that spills out of its parent is damaged.
  if (size < headerSize || size > parentEnd - pos) return false;
  box.content = r.Position();
  box.end = pos + size;
  return true;
}

enum class Walk { Next, Stop, Fail };

// Calls visit(box) for each box from `begin` to `end`, until visit says Stop.
// False for a damaged box, too many boxes, or a visit that failed.
template <typename Visit>
bool WalkBoxes(ImageFile& f, uint64_t begin, uint64_t end, Visit visit) {
  uint64_t pos = begin;
  for (uint32_t count = 0; pos < end; ++count) {
    Box box;
    if (count == kMaxBoxes || !ReadBox(f, pos, end, box)) return false;
    const Walk next = visit(box);
    if (next != Walk::Next) return next == Walk::Stop;
    pos = box.end;  // ReadBox guarantees at least 8 bytes of progress
  }
  return true;
}

bool HasAvifBrand(ImageFile& f, const Box& ftyp) {
  // Major brand, minor version, then the compatible brands to the box's end.
  ByteReader r(f, ftyp.end);
  r.Seek(ftyp.content);
  uint32_t brand = 0, ignored = 0;
  if (!r.ReadDWordBE(brand)) return false;
  if (brand == FourCC("avif") || brand == FourCC("avis")) return true;
  if (!r.ReadDWordBE(ignored)) return false;
  for (uint32_t i = 0; i < kMaxBrands && r.ReadDWordBE(brand); ++i) {
    if (brand == FourCC("avif") || brand == FourCC("avis")) return true;
  }
  return false;
}

// The property numbers ipma gives the primary item (at most 255 per entry).
struct Associations {
  std::array<uint16_t, 255> index{};
  size_t count = 0;
  bool Has(uint32_t i) const {
    return std::find(index.begin(), index.begin() + count, i) != index.begin() + count;
  }
};

bool ReadAssociations(ImageFile& f, const Box& ipma, uint32_t primary, Associations& out) {
  ByteReader r(f, ipma.end);
  r.Seek(ipma.content);
  uint32_t versionFlags = 0, entries = 0;
  if (!r.ReadDWordBE(versionFlags) || !r.ReadDWordBE(entries)) return false;
  const bool wideIds = (versionFlags >> 24) != 0;
  const bool wideIndex = (versionFlags & 1) != 0;
  for (uint32_t i = 0; i < entries; ++i) {
    uint64_t item = 0;
    uint8_t count = 0;
    if (i == kMaxItems || !r.ReadBE(wideIds ? 4 : 2, item) || !r.ReadByte(count)) return false;
    if (item != primary) {
      if (!r.Skip(uint64_t{count} * (wideIndex ? 2 : 1))) return false;
      continue;
    }
    out.count = 0;
    for (uint8_t k = 0; k < count; ++k) {
      uint64_t entry = 0;
      if (!r.ReadBE(wideIndex ? 2 : 1, entry)) return false;
      // The top bit marks the property essential; the rest is its number.
      out.index[out.count++] = static_cast<uint16_t>(entry & (wideIndex ? 0x7FFF : 0x7F));
    }
    return true;  // an item appears in ipma only once
  }
  return true;
}

}  // namespace

bool ReadAVIF(ImageFile& f, ProbeResult& size) {
  const uint64_t fileEnd = f.Size();
  Box ftyp;
  if (!ReadBox(f, 0, fileEnd, ftyp) || ftyp.type != FourCC("ftyp")) return false;
  if (!HasAvifBrand(f, ftyp)) return false;

  Box meta;
  auto findMeta = [&](const Box& b) {
    if (b.type != FourCC("meta")) return Walk::Next;
    meta = b;
    return Walk::Stop;
  };
  if (!WalkBoxes(f, ftyp.end, fileEnd, findMeta) || meta.type == 0) return false;

  bool havePrimary = false;
  uint32_t primary = 0;
  Box iprp;
  auto readMeta = [&](const Box& b) {
    if (b.type == FourCC("pitm")) {
      ByteReader r(f, b.end);
      r.Seek(b.content);
      uint8_t version = 0;
      uint64_t id = 0;
      if (!r.ReadByte(version) || !r.Skip(3) || !r.ReadBE(version == 0 ? 2 : 4, id))
        return Walk::Fail;
      primary = static_cast<uint32_t>(id);
      havePrimary = true;
    } else if (b.type == FourCC("iprp") && iprp.type == 0) {
      iprp = b;
    }
    return havePrimary && iprp.type != 0 ? Walk::Stop : Walk::Next;
  };
  // meta is a full box: version and flags come before its children.
  if (!WalkBoxes(f, meta.content + 4, meta.end, readMeta) || !havePrimary || iprp.type == 0) {
    return false;
  }

  Box ipco;
  Associations props;
  auto readIprp = [&](const Box& b) {
    if (b.type == FourCC("ipco") && ipco.type == 0) ipco = b;
    if (b.type == FourCC("ipma") && !ReadAssociations(f, b, primary, props)) return Walk::Fail;
    return Walk::Next;
  };
  if (!WalkBoxes(f, iprp.content, iprp.end, readIprp) || ipco.type == 0) return false;

  bool haveSize = false, haveTurn = false, quarterTurn = false;
  uint32_t width = 0, height = 0, index = 0;
  auto readProperty = [&](const Box& b) {
    if (!props.Has(++index)) return Walk::Next;
    ByteReader r(f, b.end);
    r.Seek(b.content);
    if (b.type == FourCC("ispe") && !haveSize) {
      // A full box: version and flags, then width and height.
      if (!r.Skip(4) || !r.ReadDWordBE(width) || !r.ReadDWordBE(height)) return Walk::Fail;
      haveSize = true;
    } else if (b.type == FourCC("irot") && !haveTurn) {
      // The low two bits count quarter turns anticlockwise; an odd count
      // (90 or 270 degrees) stands the picture on its side.
      uint8_t angle = 0;
      if (!r.ReadByte(angle)) return Walk::Fail;
      quarterTurn = (angle & 1) != 0;
      haveTurn = true;
    }
    return Walk::Next;
  };
  if (!WalkBoxes(f, ipco.content, ipco.end, readProperty) || !haveSize) return false;
  return quarterTurn ? Found(size, height, width) : Found(size, width, height);
}

// ---- JPEG XL ------------------------------------------------------------
namespace {
//
// The codestream begins with FF 0A and two bundles of fields packed from the
// low bit of each byte up: the size header and the image metadata, whose
// fourth field is the orientation. The container (ISO BMFF) holds the
// codestream whole in a jxlc box or in pieces in jxlp boxes, each piece
// after a 4-byte sequence number. Both headers fit in the first kJxlHead
// bytes of the codestream.

constexpr size_t kJxlHead = 32;

class BitReader {
 public:
  explicit BitReader(std::string_view bytes) : bytes_(bytes) {}
  bool Read(unsigned n, uint32_t& v) {
    v = 0;
    for (unsigned i = 0; i < n; ++i, ++bit_) {
      if (bit_ / 8 >= bytes_.size()) return false;
      const auto byte = static_cast<uint8_t>(bytes_[bit_ / 8]);
      v |= uint32_t{(byte >> (bit_ % 8)) & 1u} << i;
    }
    return true;
  }
  // A U32 field: two bits choose one of four (offset, bits) forms.
  bool ReadU32(const std::array<std::pair<uint32_t, unsigned>, 4>& forms, uint32_t& v) {
    uint32_t choice = 0, bits = 0;
    if (!Read(2, choice) || !Read(forms[choice].second, bits)) return false;
    v = forms[choice].first + bits;
    return true;
  }

 private:
  std::string_view bytes_;
  size_t bit_ = 0;
};

// The size header and the orientation, from the codestream's first bytes.
bool ReadJxlHeaders(std::string_view head, ProbeResult& size) {
  BitReader bits(head);
  uint32_t signature = 0, small = 0, ratio = 0, width = 0, height = 0;
  if (!bits.Read(16, signature) || signature != 0x0AFF || !bits.Read(1, small)) return false;
  // A small picture has sides of up to 256 that are a multiple of 8.
  static constexpr std::array<std::pair<uint32_t, unsigned>, 4> kSide = {
      {{1, 9}, {1, 13}, {1, 18}, {1, 30}}};
  auto readSide = [&](uint32_t& side) {
    if (!small) return bits.ReadU32(kSide, side);
    if (!bits.Read(5, side)) return false;
    side = (side + 1) * 8;
    return true;
  };
  if (!readSide(height) || !bits.Read(3, ratio)) return false;
  // The width as a fixed ratio of the height, rounded down.
  static constexpr std::pair<uint64_t, uint64_t> kRatios[] = {{1, 1},  {12, 10}, {4, 3}, {3, 2},
                                                              {16, 9}, {5, 4},   {2, 1}};
  uint64_t wide = 0;
  if (ratio == 0) {
    if (!readSide(width)) return false;
    wide = width;
  } else {
    wide = uint64_t{height} * kRatios[ratio - 1].first / kRatios[ratio - 1].second;
  }
  if (wide > 0xFFFFFFFF) return false;
  // The image metadata: all defaults (orientation 1), else a flag for the
  // extra fields, which begin with the orientation less 1.
  uint32_t allDefault = 0, extraFields = 0, orientation = 0;
  if (!bits.Read(1, allDefault)) return false;
  if (!allDefault && (!bits.Read(1, extraFields) || (extraFields && !bits.Read(3, orientation)))) {
    return false;
  }
  const bool quarterTurn = orientation + 1 >= 5;
  const auto w = static_cast<uint32_t>(wide);
  return quarterTurn ? Found(size, height, w) : Found(size, w, height);
}

// The codestream's first bytes from the container's jxlc box or jxlp boxes.
bool JxlContainerHead(ImageFile& f, std::string& head) {
  Box signature;
  if (!ReadBox(f, 0, f.Size(), signature) || signature.type != FourCC("JXL ")) return false;
  ByteReader check(f, signature.end);
  check.Seek(signature.content);
  if (!check.Expect("\r\n\x87\n") || !check.AtEnd()) return false;
  bool last = false;
  auto collect = [&](const Box& b) {
    uint64_t from = b.content;
    if (b.type == FourCC("jxlp")) {
      ByteReader r(f, b.end);
      r.Seek(b.content);
      uint32_t index = 0;
      if (!r.ReadDWordBE(index)) return Walk::Fail;
      last = (index & 0x80000000u) != 0;  // the top bit marks the last piece
      from += 4;
    } else if (b.type == FourCC("jxlc")) {
      last = true;
    } else {
      return Walk::Next;
    }
    ByteReader r(f, b.end);
    r.Seek(from);
    uint8_t byte = 0;
    while (head.size() < kJxlHead && r.ReadByte(byte)) head += static_cast<char>(byte);
    return head.size() >= kJxlHead || last ? Walk::Stop : Walk::Next;
  };
  return WalkBoxes(f, signature.end, f.Size(), collect) && !head.empty();
}

}  // namespace

bool ReadJXL(ImageFile& f, ProbeResult& size) {
  std::string head;
  ByteReader r(f);
  uint8_t first = 0;
  if (!r.ReadByte(first)) return false;
  if (first == 0xFF) {
    // The bare codestream.
    r.Seek(0);
    uint8_t byte = 0;
    while (head.size() < kJxlHead && r.ReadByte(byte)) head += static_cast<char>(byte);
  } else if (!JxlContainerHead(f, head)) {
    return false;
  }
  return ReadJxlHeaders(head, size);
}

// ---- ICO and CUR --------------------------------------------------------

// The directory: a zero word, the type (1 icon, 2 cursor), the number of
// pictures, then 16 bytes for each: width and height in one byte each (0
// standing for 256), colours, a reserved byte, two words (for an icon its
// planes and bits per pixel, for a cursor its hot spot), the picture's size
// and offset. A browser shows the largest picture by area; between pictures
// of one area an icon's deepest one, else the first. It takes the size from
// the directory, also for a picture stored as PNG, and it refuses a file
// whose directory is cut short or whose pictures begin inside it.
bool ReadICO(ImageFile& f, ProbeResult& size) {
  ByteReader r(f);
  uint16_t reserved = 0, type = 0, count = 0;
  if (!r.ReadWordLE(reserved) || !r.ReadWordLE(type) || !r.ReadWordLE(count)) return false;
  if (reserved != 0 || (type != 1 && type != 2) || count == 0) return false;
  const uint64_t directoryEnd = 6 + 16 * uint64_t{count};
  uint32_t width = 0, height = 0, depth = 0;
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t w = 0, h = 0;
    uint16_t bits = 0;
    uint32_t offset = 0;
    if (!r.ReadByte(w) || !r.ReadByte(h) || !r.Skip(4) || !r.ReadWordLE(bits) || !r.Skip(4) ||
        !r.ReadDWordLE(offset) || offset < directoryEnd) {
      return false;
    }
    const uint32_t entryWidth = w ? w : 256, entryHeight = h ? h : 256;
    const uint32_t entryDepth = type == 1 ? bits : 0;
    const uint32_t area = entryWidth * entryHeight, best = width * height;
    if (area > best || (area == best && entryDepth > depth)) {
      width = entryWidth;
      height = entryHeight;
      depth = entryDepth;
    }
  }
  return Found(size, width, height);
}

}  // namespace tamarind
