// The picture size probe against real files from public test suites, and
// against pictures made byte by byte for what no real file shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "probe/Formats.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using namespace test;

// "WxH", or "none" when no size came back; "none but WxH" flags a false
// result that still left numbers behind.
std::string Probe(const std::string& path) {
  int32_t height = -1, width = -1;  // both must be written on every call
  const bool found = GetImageSize(path, height, width);
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  return found ? size : width == 0 && height == 0 ? "none" : "none but " + size;
}

struct Case {
  std::string file, bytes, want;
};

void RunCases(const std::vector<Case>& cases) {
  TempDir dir;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + ", file " + cases[i].file);
    EXPECT_EQ(Probe(dir.Write(cases[i].file, cases[i].bytes)), cases[i].want);
  }
}

const std::string kSoi = Hex("FFD8");
const std::string kSof = Hex("FFC0 000B 08 0002 0003 01 011100");  // 3 wide, 2 high
// A segment's length and content, the content looking like a 99x99 frame
// header: a walk that reads into a segment instead of skipping it shows up.
const std::string kTrap = Hex("000C FFC1 000B 08 0063 0063 01");

TEST(ProbeTest, ManifestFilesGiveTheirSizes) {
  // Where this program's walk knowingly reads a file differently.
  const std::map<std::string, std::string> ours = {{"fill-bytes-before-sof.jpg", "none"},
                                                   {"junk-after-soi.jpg", "15x15"},
                                                   {"bad-sof-length.jpg", "13311x4386"}};
  const std::string manifest = TestDataDir() + "/manifest.tsv";
  std::ifstream tsv(manifest);
  ASSERT_TRUE(tsv) << "The shared test pictures are missing: looked for " << manifest
                   << ". They come from the shared/ folder that stands beside the project "
                      "(../shared/testdata/images).";
  int rows = 0;
  for (std::string line; std::getline(tsv, line); ++rows) {
    std::vector<std::string> col;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, '\t');) col.push_back(f);
    ASSERT_GE(col.size(), 5u) << line;
    if (rows == 0) continue;  // the header row
    SCOPED_TRACE(col[0]);
    EXPECT_EQ(ImageKindOf(col[0]), col[1] == "gif" ? ImageKind::Gif : ImageKind::Jpeg);
    // Quarter turns are reported as browsers show them; the manifest is raw.
    const bool turned = col[4] >= "5" && col[4] <= "8";
    const std::string want = col[2].empty() ? "none"
                             : turned       ? col[3] + "x" + col[2]
                                            : col[2] + "x" + col[3];
    const auto own = ours.find(col[0].substr(col[0].rfind('/') + 1));
    EXPECT_EQ(Probe(TestDataDir() + "/" + col[0]), own == ours.end() ? want : own->second);
  }
  EXPECT_EQ(rows, 1 + 28);
}

TEST(ProbeTest, MarkerWalkOnMadeUpFiles) {
  const std::string junk(700000, 'A');  // longer than any read-ahead chunk
  std::vector<Case> cases = {
      {"d.jpg", kSoi + kSoi + kSof, "3x2"},                // a second start marker
      {"d.jpg", Hex("00 FF 12 FF") + kSoi + kSof, "3x2"},  // junk before the start
      {"d.jpg", junk + kSoi + kSof, "3x2"},
      {"d.jpg", kSoi + junk + kSof, "3x2"},              // stray bytes
      {"d.jpg", kSoi + Hex("FFE0 0000") + kSof, "3x2"},  // lengths 0 and 1
      {"d.jpg", kSoi + Hex("FFE0 0001") + kSof, "3x2"},
      {"d.jpg", kSoi + Hex("FFE0 0100 00"), "none"},               // length past the end
      {"d.jpg", kSoi + Hex("FFC0 000B 08 0000 0005 01"), "none"},  // no lines, no DNL
      {"d.jpg", JpegBytes(65535, 65534), "65535x65534"},
      {"d.jpg", "no start marker here", "none"},
      {"d.jpg", GifBytes(7, 9), "none"},
      {"g.gif", GifBytes(65535, 40000), "65535x40000"},
      {"g.gif", std::string("GIF87a\x07\0\x09\0", 10), "7x9"},
      {"g.gif", std::string("GIF\xFF\0<\x07\0\x09\0", 10), "7x9"},  // any version bytes
      {"g.gif", JpegBytes(7, 9), "none"},
      {"g.gif", "GIFX", "none"}};
  auto marked = [](char m) { return kSoi + '\xFF' + m; };
  for (char m : Hex("C0 C1 C2 C3 C9 CA CB CD CE CF"))
    cases.push_back({"f.jpg", JpegBytes(6, 4, static_cast<uint8_t>(m)), "6x4"});
  // Not frame headers: the only one of them in a file gives no size, and
  // each is skipped by its length on the way to a real frame header.
  for (char m : Hex("C4 C5 C6 C7 C8 CC")) {
    cases.push_back({"f.jpg", JpegBytes(6, 4, static_cast<uint8_t>(m)), "none"});
  }
  for (char m : Hex("01 C4 C5 C6 C7 C8 CC D0 D9 E0 E1 FE"))
    cases.push_back({"s.jpg", marked(m) + kTrap + kSof, "3x2"});
  // After these pairs nothing can be trusted to be a segment.
  for (char m : Hex("00 02 7F BF FF")) cases.push_back({"e.jpg", marked(m) + kSof, "none"});
  RunCases(cases);
}

// Junk without a marker ends the walk after a bounded stretch: a picture
// of gigabytes of zeros (a sparse file here) gives no size without being
// read to its end. Within the bounds the size is still found.
TEST(ProbeTest, JunkWithoutMarkersEndsTheWalk) {
  const std::string noLines = Hex("FFC0 000B 08 0000 0003 01 011100");  // lines from a DNL
  const std::string scan = Hex("FFDA 0008 01 0100 003F00"), dnl = Hex("FFDC 0004 0002");
  constexpr uint64_t kGiB = uint64_t{1} << 30, kMiB = 1 << 20;
  const struct {
    std::string head;
    uint64_t zeros;
    std::string tail, want;
  } rows[] = {
      {"", 8 * kGiB, kSoi + kSof, "none"},                // before the start marker
      {kSoi, 8 * kGiB, kSof, "none"},                     // after it
      {kSoi + Hex("FFE0 0002"), 8 * kGiB, kSof, "none"},  // between segments
      {kSoi + noLines + scan, 8 * kGiB, dnl, "none"},     // in a scan, before its DNL
      {"", 3 * kMiB, kSoi + kSof, "3x2"},
      {kSoi + Hex("FFE0 0002"), 3 * kMiB, kSof, "3x2"},
      {kSoi + noLines + scan, 60 * kMiB, dnl, "3x2"},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.head.size()) + " + " + std::to_string(row.zeros));
    const std::string path = dir.Write("z.jpg", row.head);
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const auto end = static_cast<off_t>(row.head.size() + row.zeros);
    ASSERT_EQ(::ftruncate(fd, end), 0);
    ASSERT_EQ(::pwrite(fd, row.tail.data(), row.tail.size(), end), ssize_t(row.tail.size()));
    ::close(fd);
    EXPECT_EQ(Probe(path), row.want);
  }
}

TEST(ProbeTest, ExtensionChoosesTheReader) {
  std::vector<Case> cases;
  for (const char* name : {"a.gif", "a.Gif", "b.GIF", "a.b.gif", "x.jpg/c.gif", "a b:\\.gif"})
    cases.push_back({name, GifBytes(7, 9), "7x9"});
  for (const char* name : {"a.jpg", "a.jpeg", "a.JPEG", "a.JpG", "v1.2.jpg"})
    cases.push_back({name, JpegBytes(7, 9), "7x9"});
  for (const char* name : {"a.jpe", "a.jfif", "a.png", "a.", "jpg", "pics.old/photo", "a.jpg.bak",
                           "a.gif ", "a.jpg\\x", ".jpgx"})
    cases.push_back({name, JpegBytes(7, 9), "none"});
  RunCases(cases);
}

TEST(ProbeTest, ExifQuarterTurnsSwapTheSize) {
  // Damaged copies of a big-endian orientation-6 block keep the size but not
  // the turn. Offsets: block length 4, "Exif" 6, byte order 12, the number 42
  // at 14, IFD offset 16, entry count 20, the entry (tag, type, count, value)
  // at 22; the block ends at 38.
  const std::string exif6 = JpegWithExif(30, 20, 6, false);
  std::vector<Case> cases = {
      {"x.jpg", exif6, "20x30"},
      // XMP shares APP1 and is passed over; the first Exif block decides.
      {"x.jpg", kSoi + Hex("FFE1 0010") + "http://ns.adob" + exif6.substr(2), "20x30"},
      {"x.jpg", JpegWithExif(30, 20, 1, true).substr(0, 38) + exif6.substr(2), "30x20"}};
  auto damaged = [&](size_t at, char byte) {
    Case c{"x.jpg", exif6, "30x20"};
    c.bytes[at] = byte;
    return c;
  };
  cases.insert(cases.end(), {damaged(5, 24), damaged(5, 27), damaged(13, 'I'), damaged(15, 43),
                             damaged(19, 64), damaged(19, 26), damaged(25, 4), damaged(29, 0),
                             damaged(3, '\xE2'), damaged(9, 'F')});
  for (bool little : {false, true}) {
    for (uint16_t o = 0; o <= 9; ++o)
      cases.push_back(
          {"o.jpg", JpegWithExif(30, 20, o, little), o >= 5 && o <= 8 ? "20x30" : "30x20"});
  }
  RunCases(cases);
}

TEST(ProbeTest, CutShortHeadersGiveNoSize) {
  TempDir dir;
  const std::string jpeg = JpegBytes(300, 200), exif = JpegWithExif(300, 200, 6, true);
  for (const auto& [name, full, end] : {std::tuple{"c.jpg", jpeg, jpeg.find("\xFF\xC0") + 9},
                                        std::tuple{"c.jpg", exif, exif.find("\xFF\xC0") + 9},
                                        std::tuple{"c.gif", GifBytes(300, 200), size_t{10}}}) {
    for (size_t len = 0; len <= end; ++len) {
      SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(len));
      int32_t height = -1, width = -1;
      const bool found = GetImageSize(dir.Write(name, full.substr(0, len)), height, width);
      EXPECT_EQ(found, len == end);
      // A reader stopped between its two numbers keeps neither.
      EXPECT_TRUE(found || (height == 0 && width == 0));
    }
  }
}

TEST(ProbeTest, MissingOrOddFilesGiveNoSize) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "folder.jpg").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0644), 0);  // must not block the probe
  dir.Write("empty.jpg", "");
  dir.Write("empty.gif", "");
  for (const char* name : {"missing.jpg", "folder.jpg", "fifo.jpg", "empty.jpg", "empty.gif"})
    EXPECT_EQ(Probe(dir / name), "none") << name;
  const std::string locked = dir.Write("locked.jpg", JpegBytes(7, 9));
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  EXPECT_EQ(Probe(locked), "7x9");
}

}  // namespace
}  // namespace tamarind
