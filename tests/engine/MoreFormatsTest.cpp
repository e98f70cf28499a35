// The PNG, WebP, BMP, AVIF, JPEG XL and ICO readers against files ImageMagick
// and cjxl make, and against files built byte by byte for what they do not
// write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "probe/Formats.h"
#include "probe/ImageFile.h"
#include "probe/MoreFormats.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using namespace test;

// "WxH" through the probe's entry, or "none"; "none but WxH" flags a false
// result that left numbers behind.
std::string Probe(const std::string& path, ImageFormats formats = ImageFormats::All()) {
  int32_t height = -1, width = -1;
  const bool found = GetImageSize(path, height, width, formats);
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  return found ? size : width == 0 && height == 0 ? "none" : "none but " + size;
}

// `v` in `bytes` bytes, big-endian unless told otherwise.
std::string Num(uint64_t v, int bytes, bool bigEndian = true) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> 8 * (bigEndian ? bytes - 1 - i : i));
  return s;
}
std::string LE(int64_t v, int bytes) {
  return Num(static_cast<uint64_t>(v), bytes, false);
}
std::string Box(std::string_view type, const std::string& content, int version = -1) {
  const std::string full = version < 0 ? "" : Num(static_cast<uint64_t>(version), 1) + Num(0, 3);
  return Num(8 + full.size() + content.size(), 4) + std::string(type) + full + content;
}
std::string Ispe(uint32_t w, uint32_t h) {
  return Box("ispe", Num(w, 4) + Num(h, 4), 0);
}
std::string Ftyp(const std::string& brands) {
  return Box("ftyp", brands.substr(0, 4) + Num(0, 4) + brands.substr(4));
}

// A meta box holding pitm (none when `primary` is 0) and iprp, whose ipma
// lists `items` with their property numbers. `version` picks 16- or 32-bit
// item ids for pitm and ipma, `wide` 1- or 2-byte property numbers.
using Items = std::vector<std::pair<uint32_t, std::vector<uint16_t>>>;
std::string Meta(const std::string& props, const Items& items, uint32_t primary = 1,
                 int version = 0, bool wide = false) {
  std::string ipma = Num(items.size(), 4);
  for (const auto& [id, indexes] : items) {
    ipma += Num(id, version ? 4 : 2) + Num(indexes.size(), 1);
    for (uint16_t i : indexes) ipma += Num(i, wide ? 2 : 1);
  }
  ipma = Box("ipma", ipma, version);
  ipma[11] = wide;  // the flags' low bit
  const std::string pitm = primary ? Box("pitm", Num(primary, version ? 4 : 2), version) : "";
  return Box("meta", pitm + Box("iprp", Box("ipco", props) + ipma), 0);
}
std::string Avif(const std::string& props, const Items& items, uint32_t primary = 1,
                 int version = 0, bool wide = false) {
  return Ftyp("avifmif1") + Meta(props, items, primary, version, wide);
}

std::string Png(std::string_view type, uint64_t w, uint64_t h, int length = 13) {
  return "\x89PNG\r\n\x1A\n" + Num(static_cast<uint64_t>(length), 4) + std::string(type) +
         Num(w, 4) + Num(h, 4);
}
std::string Riff(std::string_view chunk, const std::string& c) {
  const auto size = static_cast<int64_t>(c.size());
  return "RIFF" + LE(12 + size, 4) + "WEBP" + std::string(chunk) + LE(size, 4) + c;
}
std::string Vp8(std::string_view startCode, uint16_t w, uint16_t h) {
  return Riff("VP8 ",
              std::string("\x10\x02\x00", 3) + std::string(startCode) + LE(w, 2) + LE(h, 2));
}
std::string Bmp(uint32_t header, int64_t w, int64_t h, int bytes = 4) {
  return "BM" + std::string(12, '\0') + LE(header, 4) + LE(w, bytes) + LE(h, bytes);
}
// A JPEG XL codestream: FF 0A, then fields of (value, bits) packed from the
// low bit of each byte up.
std::string Jxl(std::initializer_list<std::pair<uint32_t, unsigned>> fields) {
  std::string s = "\xFF\x0A";
  unsigned bit = 0;
  for (const auto& [value, bits] : fields) {
    for (unsigned i = 0; i < bits; ++i, ++bit) {
      if (bit % 8 == 0) s += '\0';
      s.back() =
          static_cast<char>(static_cast<uint8_t>(s.back()) | ((value >> i) & 1u) << (bit % 8));
    }
  }
  return s;
}
// The size header of a picture 20 high and 40 wide (9-bit sides), and the
// image metadata with `orientation`.
std::string JxlTurned(uint32_t orientation) {
  return Jxl(
      {{0, 1}, {0, 2}, {19, 9}, {0, 3}, {0, 2}, {39, 9}, {0, 1}, {1, 1}, {orientation - 1, 3}});
}
const std::string kJxlSignature = Box("JXL ", "\r\n\x87\n");
const std::string kJxlFtyp = Box("ftyp", "jxl " + Num(0, 4) + "jxl ");

// An icon file's directory, and nothing after it.
struct IcoEntry {
  uint8_t width, height;
  uint16_t depth = 32;
  uint32_t offset = 0;  // 0: where the directory ends
};
std::string Ico(const std::vector<IcoEntry>& entries, uint16_t type = 1, uint16_t reserved = 0) {
  std::string s = LE(reserved, 2) + LE(type, 2) + LE(static_cast<int64_t>(entries.size()), 2);
  const auto end = static_cast<int64_t>(6 + 16 * entries.size());
  for (const IcoEntry& e : entries) {
    s += LE(e.width, 1) + LE(e.height, 1) + LE(0, 2) + LE(1, 2) + LE(e.depth, 2) + LE(40, 4) +
         LE(e.offset ? e.offset : end, 4);
  }
  return s;
}

const std::string kIrot90 = Box("irot", "\x01");
const std::string kMeta = Meta(Ispe(64, 48) + kIrot90, {{1, {1, 2}}});

TEST(MoreFormatsTest, BuiltFilesGiveTheirSizes) {
  std::string ipmaCount = Meta(Ispe(64, 48), {{2, {1}}});  // then ever so many entries
  ipmaCount.replace(ipmaCount.size() - 8, 4, Num(~0u, 4));
  const struct {
    std::string file, bytes, want;
  } rows[] = {
      {"a.png", Png("IHDR", 640, 480), "640x480"},
      {"zero.png", Png("IHDR", 0, 9), "none"},
      {"huge.png", Png("IHDR", 1u << 31, 9), "none"},
      {"not-ihdr.png", Png("IHDX", 9, 9), "none"},
      {"ihdr-length.png", Png("IHDR", 9, 9, 14), "none"},
      {"bad-sig.png", "\x89PNG\r\n\x1A\r" + Png("IHDR", 9, 9).substr(8), "none"},
      {"lossy.webp", Vp8("\x9D\x01\x2A", 0xC000 | 300, 0x4000 | 200), "300x200"},
      {"bad-start.webp", Vp8("\x9D\x01\x2B", 300, 200), "none"},
      {"lossless.webp", Riff("VP8L", "\x2F" + LE(299 | 199 << 14 | 1 << 28, 4)), "300x200"},
      {"vp8l-version.webp", Riff("VP8L", "\x2F" + LE(1 << 29, 4)), "none"},
      {"vp8l-sig.webp", Riff("VP8L", "\x2E" + LE(0, 4)), "none"},
      {"extended.webp", Riff("VP8X", std::string(4, '\0') + LE(69999, 3) + LE(9, 3)), "70000x10"},
      {"alph-first.webp", Riff("ALPH", std::string(10, '\x01')), "none"},
      {"core.bmp", Bmp(12, 65535, 300, 2), "65535x300"},
      {"top-down.bmp", Bmp(40, 300, -200), "300x200"},
      {"os2v2.bmp", Bmp(64, 300, 200), "300x200"},
      {"v4.bmp", Bmp(108, 300, 200), "300x200"},
      {"int32-min.bmp", Bmp(124, 300, INT32_MIN), "none"},
      {"neg-width.bmp", Bmp(40, -300, 200), "none"},
      {"zero-height.bmp", Bmp(40, 300, 0), "none"},
      {"header-20.bmp", Bmp(20, 300, 200), "none"},
      {"plain.avif", Avif(Ispe(64, 48), {{1, {1}}}), "64x48"},
      {"irot90.avif", Ftyp("avifmif1") + kMeta, "48x64"},
      {"irot270.avif", Avif(Box("irot", "\xFF") + Ispe(64, 48), {{1, {2, 1}}}), "48x64"},
      {"irot180.avif", Avif(Ispe(64, 48) + Box("irot", "\xFE"), {{1, {1, 2}}}), "64x48"},
      {"irot-other-item.avif", Avif(Ispe(64, 48) + kIrot90, {{1, {1}}, {2, {2}}}), "64x48"},
      {"second-item.avif", Avif(Ispe(9, 9) + Ispe(64, 48), {{1, {0x81}}, {2, {0x82}}}, 2), "64x48"},
      {"wide-ipma.avif",
       Avif(Ispe(9, 9) + Ispe(64, 48), {{1, {1}}, {1 << 16, {0x8002}}}, 1 << 16, 1, true), "64x48"},
      {"compat-brand.avif", Ftyp("mif1heicavis") + kMeta, "48x64"},
      {"heic-brand.avif", Ftyp("heicmif1avio") + kMeta, "none"},
      {"short-ispe.avif", Avif(Box("ispe", "", 0) + Ispe(64, 48), {{1, {1}}}), "none"},
      {"no-pitm.avif", Avif(Ispe(64, 48), {{1, {1}}}, 0), "none"},
      {"unknown-index.avif", Avif(Ispe(64, 48), {{1, {2}}}), "none"},
      // A 4-byte box, which cannot hold its own header, before a sound one.
      {"tiny-box.avif", Avif(Ispe(64, 48) + Num(4, 4) + Num(8, 4) + "free", {{1, {1}}}), "none"},
      {"spills.avif", Avif(Ispe(64, 48) + Num(99, 4) + "free", {{1, {1}}}), "none"},
      {"largesize.avif",
       Ftyp("avis") + Num(1, 4) + "meta" + Num(kMeta.size() + 8, 8) + kMeta.substr(8), "48x64"},
      {"size0-meta.avif", Ftyp("avis") + Num(0, 4) + kMeta.substr(4), "48x64"},
      {"size0-free.avif", Ftyp("avis") + Num(0, 4) + "free" + kMeta, "none"},
      {"ipma-count.avif", Ftyp("avis") + ipmaCount, "none"},
      {"small-ratio.jxl", Jxl({{1, 1}, {3, 5}, {1, 3}, {1, 1}}), "32x32"},
      {"small-sides.jxl", Jxl({{1, 1}, {31, 5}, {0, 3}, {0, 5}, {1, 1}}), "8x256"},
      {"13-bit-sides.jxl", Jxl({{0, 1}, {1, 2}, {4999, 13}, {0, 3}, {0, 2}, {0, 9}, {1, 1}}),
       "1x5000"},
      {"18-bit-ratio.jxl", Jxl({{0, 1}, {2, 2}, {69999, 18}, {5, 3}, {1, 1}}), "124444x70000"},
      {"30-bit-ratio.jxl", Jxl({{0, 1}, {3, 2}, {(1u << 30) - 1, 30}, {5, 3}, {1, 1}}),
       "1908874353x1073741824"},
      {"over-2^31.jxl", Jxl({{0, 1}, {3, 2}, {(1u << 30) - 1, 30}, {7, 3}, {1, 1}}), "none"},
      {"orientation4.jxl", JxlTurned(4), "40x20"},
      {"orientation5.jxl", JxlTurned(5), "20x40"},
      {"orientation8.jxl", JxlTurned(8), "20x40"},
      {"no-extra-fields.jxl", Jxl({{1, 1}, {0, 5}, {7, 3}, {0, 1}, {0, 1}}), "16x8"},
      {"bad-signature.jxl", "\xFF\x0B" + JxlTurned(1).substr(2), "none"},
      {"jxlc.jxl", kJxlSignature + kJxlFtyp + Box("jxlc", JxlTurned(6)), "20x40"},
      // The codestream in pieces: the header runs from one jxlp box on.
      {"jxlp.jxl",
       kJxlSignature + kJxlFtyp + Box("jxlp", Num(0, 4) + JxlTurned(6).substr(0, 3)) +
           Box("jxlp", Num(0x80000001, 4) + JxlTurned(6).substr(3)),
       "20x40"},
      {"bad-signature-box.jxl", Box("JXL ", "\r\n\x87\r") + Box("jxlc", JxlTurned(1)), "none"},
      {"no-codestream.jxl", kJxlSignature + kJxlFtyp + Box("jxli", JxlTurned(1)), "none"},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(Probe(dir.Write(row.file, row.bytes)), row.want);
    EXPECT_EQ(Probe(dir.Write(row.file, row.bytes), ImageFormats::Classic()), "none");
    // Every file with a size ends with its size fields: each cut is no file.
    for (size_t n = 0; row.want != "none" && n < row.bytes.size(); ++n) {
      EXPECT_EQ(Probe(dir.Write("cut/" + row.file, row.bytes.substr(0, n))), "none") << n;
    }
  }
  EXPECT_EQ(Probe(dir / "missing.avif"), "none");
  // Sizes the probe would refuse anyway, but the readers must refuse too.
  const std::pair<const char*, bool (*)(ImageFile&, ProbeResult&)> readers[] = {
      {"huge.png", ReadPNG}, {"int32-min.bmp", ReadBMP}};
  for (const auto& [name, read] : readers) {
    ImageFile f(dir / name);
    ProbeResult size;
    EXPECT_FALSE(read(f, size) || size.width || size.height) << name;
  }
}

// A PNG eXIf chunk turns the picture as JPEG's Exif block does, where a
// browser looks for it: before the picture data, as TIFF data alone.
TEST(MoreFormatsTest, PngExifOrientationTurnsThePicture) {
  auto chunk = [](std::string_view type, const std::string& content) {
    return Num(content.size(), 4) + std::string(type) + content + Num(0, 4);  // CRC unchecked
  };
  auto tiff = [](uint16_t orientation, bool little) {
    auto n = [little](uint64_t v, int bytes) { return Num(v, bytes, !little); };
    return std::string(little ? "II" : "MM") + n(42, 2) + n(8, 4) + n(2, 2) + n(0x100, 2) +
           n(3, 2) + n(1, 4) + n(7, 4) +  // another entry first
           n(0x112, 2) + n(3, 2) + n(1, 4) + n(orientation, 2) + n(0, 2) + n(0, 4);
  };
  const std::string ihdr = Png("IHDR", 40, 20) + std::string(5, '\0') + Num(0, 4);
  const std::string idat = chunk("IDAT", "x");
  const struct {
    std::string file, bytes, want;
  } rows[] = {
      {"exif6.png", ihdr + chunk("tEXt", "a") + chunk("eXIf", tiff(6, false)) + idat, "20x40"},
      {"exif8-intel.png", ihdr + chunk("eXIf", tiff(8, true)) + idat, "20x40"},
      {"exif5.png", ihdr + chunk("eXIf", tiff(5, false)), "20x40"},
      {"exif4.png", ihdr + chunk("eXIf", tiff(4, false)) + idat, "40x20"},
      {"exif9.png", ihdr + chunk("eXIf", tiff(9, false)) + idat, "40x20"},
      {"after-idat.png", ihdr + idat + chunk("eXIf", tiff(6, false)), "40x20"},
      {"exif-header.png", ihdr + chunk("eXIf", "Exif" + std::string(2, '\0') + tiff(6, false)),
       "40x20"},
      {"cut-exif.png", ihdr + chunk("eXIf", tiff(6, false)).substr(0, 20), "40x20"},
      {"huge-chunk.png", ihdr + Num(0x80000000u, 4) + "tEXt" + chunk("eXIf", tiff(6, false)),
       "40x20"},
  };
  TempDir dir;
  for (const auto& row : rows) {
    EXPECT_EQ(Probe(dir.Write(row.file, row.bytes)), row.want) << row.file;
  }
}

// An ICO or CUR file shows its largest picture, by the directory's sizes, as
// Chromium shows it; its pictures' own bytes are not looked at.
TEST(MoreFormatsTest, IconFilesShowTheirLargestPicture) {
  const struct {
    std::string file, bytes, want;
  } rows[] = {
      {"one.ico", Ico({{16, 8}}), "16x8"},
      {"largest.ico", Ico({{16, 8}, {64, 32}, {32, 32}}), "64x32"},
      {"zero-is-256.ico", Ico({{32, 32}, {0, 16}}), "256x16"},
      {"both-256.ico", Ico({{0, 0}}), "256x256"},
      {"equal-first.ico", Ico({{16, 16}, {32, 8}}), "16x16"},
      {"equal-deeper.ico", Ico({{16, 16, 4}, {32, 8, 32}}), "32x8"},
      {"cursor.cur", Ico({{16, 8}, {64, 32}}, 2), "64x32"},
      // A cursor's two words are its hot spot, not a depth.
      {"cursor-equal.cur", Ico({{16, 16, 1}, {32, 8, 9}}, 2), "16x16"},
      {"png-picture.ico", Ico({{32, 32}}) + Png("IHDR", 48, 40), "32x32"},
      {"offset-past-end.ico", Ico({{16, 8}, {64, 32, 32, 99999}}), "64x32"},
      {"offset-in-directory.ico", Ico({{16, 8, 32, 10}, {64, 32}}), "none"},
      {"reserved.ico", Ico({{16, 8}}, 1, 1), "none"},
      {"type-3.ico", Ico({{16, 8}}, 3), "none"},
      {"count-0.ico", Ico({}), "none"},
      {"directory-cut.ico", Ico({{16, 8}, {64, 32}}).substr(0, 37), "none"},
  };
  TempDir dir;
  for (const auto& row : rows) {
    EXPECT_EQ(Probe(dir.Write(row.file, row.bytes)), row.want) << row.file;
  }
}

// Pictures made by cjxl and ImageMagick when the tests were built, with the
// sizes Chromium shows them at.
TEST(MoreFormatsTest, ToolMadePicturesGiveTheirSizes) {
  const std::string folder = TAMARIND_PICTURES;
  std::ifstream tsv(folder + "/sizes.tsv");
  ASSERT_TRUE(tsv) << "no " << folder << "/sizes.tsv: the build makes it";
  std::string missing;
  for (std::string line; std::getline(tsv, line);) {
    if (line.rfind("# missing: ", 0) == 0) {
      missing += " " + line.substr(11);
      continue;
    }
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    EXPECT_EQ(Probe(folder + "/" + line.substr(0, tab)), line.substr(tab + 1)) << line;
  }
  if (!missing.empty()) GTEST_SKIP() << "not installed when the tests were built:" << missing;
}

// No picture is empty: a header that gives 0 for a side gives no size, in
// every format, so that no tag gets width=0. A JPEG may leave its number of
// lines to a DNL segment at the end of its first scan, and only there.
TEST(MoreFormatsTest, ZeroSidesGiveNoSize) {
  const std::string soi = Hex("FFD8"), eoi = Hex("FFD9");
  const std::string noLines = soi + Hex("FFC0 000B 08 0000 0009 01 011100");  // 9 wide
  const std::string tables = Hex("FFDB 0004 0000  FFDD 0004 0002");           // DQT, DRI
  const std::string scan = Hex("FFDA 0008 01 0100 003F00") + Hex("12 FF00 34 FFD0 56 FFD7 78");
  const auto dnl = [](const std::string& length, const std::string& lines) {
    return Hex("FFDC" + length + lines);
  };
  const struct {
    std::string file, bytes, want;
  } rows[] = {
      {"w.gif", GifBytes(0, 9), "none"},
      {"h.gif", GifBytes(9, 0), "none"},
      {"w.jpg", JpegBytes(0, 9), "none"},
      {"h.jpg", JpegBytes(9, 0), "none"},
      {"dnl.jpg", noLines + tables + scan + dnl("0004", "0007") + eoi, "9x7"},
      {"dnl-fill.jpg", noLines + scan + Hex("FF FF") + dnl("0004", "0007"), "9x7"},
      {"dnl-0.jpg", noLines + scan + dnl("0004", "0000") + eoi, "none"},
      {"dnl-length.jpg", noLines + scan + dnl("0005", "0007 00") + eoi, "none"},
      {"dnl-cut.jpg", noLines + scan + dnl("0004", "00"), "none"},
      {"scan-eoi.jpg", noLines + scan + eoi + dnl("0004", "0007"), "none"},
      {"dnl-before-scan.jpg", noLines + dnl("0004", "0007") + scan + eoi, "none"},
      {"second-frame.jpg", noLines + JpegBytes(5, 5).substr(2), "none"},
      {"w.png", Png("IHDR", 0, 9), "none"},
      {"h.png", Png("IHDR", 9, 0), "none"},
      {"w.webp", Vp8("\x9D\x01\x2A", 0xC000, 9), "none"},
      {"h.webp", Vp8("\x9D\x01\x2A", 9, 0x4000), "none"},
      {"w.bmp", Bmp(40, 0, 9), "none"},
      {"h.bmp", Bmp(12, 9, 0, 2), "none"},
      {"w.avif", Avif(Ispe(0, 9), {{1, {1}}}), "none"},
      {"h.avif", Avif(Ispe(9, 0), {{1, {1}}}), "none"},
      {"w.svg", R"(<svg width="0" height="9">)", "none"},
      {"h.svg", R"(<svg width="9" height="0.4">)", "none"},  // rounds to 0
      {"box.svg", R"(<svg width="0" viewBox="0 0 4 3">)", "none"},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const ProbeResult probe = ProbeImageFile(dir.Write(row.file, row.bytes), ImageFormats::All());
    EXPECT_EQ(
        probe.Found() ? std::to_string(probe.width) + "x" + std::to_string(probe.height) : "none",
        row.want);
    EXPECT_TRUE(probe.Found() ||
                (probe.reason == MissReason::NoSize && probe.width == 0 && probe.height == 0));
  }
}

// A picture saved under another format's extension is shown by a browser as
// what its bytes are; with every format measured, so is it here. With GIF and
// JPEG alone (the wizard's set) the extension decides.
TEST(MoreFormatsTest, BytesDecideOverAnotherFormatsExtension) {
  const std::string png = Png("IHDR", 5, 4) + std::string(17, '\0');
  const struct {
    std::string file, bytes, all, classic;
  } rows[] = {
      {"png.jpg", png, "5x4", "none"},
      {"png.gif", png, "5x4", "none"},
      {"gif.png", GifBytes(3, 2), "3x2", "none"},
      {"jpeg.avif", JpegBytes(3, 2), "3x2", "none"},
      {"jpeg.gif", JpegBytes(3, 2), "3x2", "none"},
      {"bmp.jpg", Bmp(40, 7, 6), "7x6", "none"},
      {"gif.jpeg", GifBytes(3, 2), "3x2", "none"},
      {"jxl.png", Jxl({{1, 1}, {0, 5}, {1, 3}, {1, 1}}), "8x8", "none"},
      {"jxl-box.gif", kJxlSignature + Box("jxlc", Jxl({{1, 1}, {0, 5}, {1, 3}, {1, 1}})), "8x8",
       "none"},
      {"ico.png", Ico({{16, 8}}), "16x8", "none"},
      {"cur.jpg", Ico({{16, 8}}, 2), "16x8", "none"},
      // "BM" alone is no BMP signature: the JPEG reader still finds its frame.
      {"bm.jpg", "BM" + JpegBytes(3, 2), "3x2", "3x2"},
      // A name whose extension names no format is not looked into.
      {"png.tiff", png, "none", "none"},
      {"png", png, "none", "none"},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const std::string path = dir.Write(row.file, row.bytes);
    EXPECT_EQ(Probe(path), row.all);
    EXPECT_EQ(Probe(path, ImageFormats::Classic()), row.classic);
  }
  // Within a narrower set, the bytes may only name a format of the set.
  const std::string path = dir.Write("png2.jpg", png);
  EXPECT_EQ(Probe(path, ImageFormats::Classic().With(ImageKind::Svg)), "none");
  EXPECT_EQ(Probe(path, ImageFormats().With(ImageKind::Png)), "5x4");
}

TEST(MoreFormatsTest, ImageMagickFilesGiveTheirSizes) {
  if (std::system("command -v convert >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ImageMagick";
  const struct {
    std::string file, args, want;
  } rows[] = {
      {"a.png", "-size 37x23 xc:red PNG:", "37x23"},
      {"v5.bmp", "-size 37x23 xc:red BMP:", "37x23"},
      {"core.bmp", "-size 37x23 xc:red BMP2:", "37x23"},
      {"info.bmp", "-size 37x23 xc:red BMP3:", "37x23"},
      {"lossy.webp", "-size 1000x700 xc:red WEBP:", "1000x700"},
      {"lossless.webp", "-size 37x23 xc:red -define webp:lossless=true WEBP:", "37x23"},
      {"alpha.webp", "-size 37x23 'xc:#ff000080' WEBP:", "37x23"},  // VP8X
      {"a.avif", "-size 37x23 xc:red AVIF:", "37x23"},
      {"heic-brand.avif", "-size 37x23 xc:red HEIC:", "none"},
  };
  TempDir dir;
  std::string failed;
  for (const auto& row : rows) {
    if (std::system(("convert " + row.args + dir / row.file + " 2>/dev/null").c_str()) != 0) {
      failed += " " + row.file;
    } else {
      EXPECT_EQ(Probe(dir / row.file), row.want) << row.file;
    }
  }
  if (!failed.empty()) GTEST_SKIP() << "ImageMagick could not write" << failed;
}

}  // namespace
}  // namespace tamarind
