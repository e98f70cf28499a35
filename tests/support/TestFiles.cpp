#include "support/TestFiles.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tamarind::test {

std::string TestDataDir() {
  return TAMARIND_TESTDATA;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tamarind-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

namespace {

// With TAMARIND_KEEP_PICTURES naming a folder, every file a test writes, and
// every file left in a test's folder at its end (pictures made by other
// programs), is copied there as KEEP/PID-N/NAME, so that the browser test can
// show each one in a browser. The copies keep their names: the name's
// extension decides how a picture is read.
void Keep(const fs::path& file, const fs::path& relative) {
  static const char* keep = std::getenv("TAMARIND_KEEP_PICTURES");
  static std::atomic<int> kept = 0;
  std::error_code ignored;
  if (keep == nullptr || !fs::is_regular_file(file, ignored)) return;
  const fs::path copy =
      fs::path(keep) / (std::to_string(::getpid()) + "-" + std::to_string(kept++)) / relative;
  fs::create_directories(copy.parent_path(), ignored);
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing, ignored);
}

}  // namespace

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything removable again, whatever a test did to the modes.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_symlink()) continue;
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    Keep(it->path(), fs::relative(it->path(), path_, ignored));
  }
  fs::remove_all(path_, ignored);
}

std::string TempDir::operator/(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

std::string TempDir::Write(std::string_view relative, std::string_view bytes) const {
  const std::string path = *this / relative;
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  Keep(path, relative);
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return fs::symlink_status(path, ignored).type() != fs::file_type::not_found;
}

namespace {

void PutBE(std::string& s, uint16_t v) {
  s += static_cast<char>(v >> 8);
  s += static_cast<char>(v & 0xFF);
}

}  // namespace

std::string Hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i < hex.size(); ++i) {
    if (hex[i] != ' ') out += static_cast<char>(std::stoi(std::string(hex.substr(i++, 2)), 0, 16));
  }
  return out;
}

std::string GifBytes(uint16_t width, uint16_t height) {
  std::string s = "GIF89a";
  s += static_cast<char>(width & 0xFF);
  s += static_cast<char>(width >> 8);
  s += static_cast<char>(height & 0xFF);
  s += static_cast<char>(height >> 8);
  s += std::string("\x00\x00\x00", 3);
  s += ";";
  return s;
}

std::string JpegBytes(uint16_t width, uint16_t height, uint8_t sof) {
  std::string s("\xFF\xD8", 2);
  s += std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
  s += '\xFF';
  s += static_cast<char>(sof);
  PutBE(s, 17);
  s += '\x08';
  PutBE(s, height);
  PutBE(s, width);
  s += std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 10);
  // Enough after the frame header for a browser to show the picture: flat
  // quantisation tables, Huffman tables of one code each, and a scan whose
  // blocks are all zero (the data running short is filled in by decoders).
  s += std::string("\xFF\xDB\x00\x84\x00", 5) + std::string(64, '\x01') + '\x01' +
       std::string(64, '\x01');
  const std::string oneCode = std::string("\x01", 1) + std::string(15, '\0') + '\0';
  s += std::string("\xFF\xC4\x00\x26\x00", 5) + oneCode + '\x10' + oneCode;
  s += std::string("\xFF\xDA\x00\x0C\x03\x01\x00\x02\x00\x03\x00\x00\x3F\x00\x00\x00", 16);
  s += std::string("\xFF\xD9", 2);
  return s;
}

std::string JpegWithExif(uint16_t width, uint16_t height, uint16_t orientation, bool littleEndian) {
  auto u16 = [littleEndian](uint16_t v) {
    std::string b(2, '\0');
    b[littleEndian ? 0 : 1] = static_cast<char>(v & 0xFF);
    b[littleEndian ? 1 : 0] = static_cast<char>(v >> 8);
    return b;
  };
  auto u32 = [littleEndian](uint32_t v) {
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i) {
      const char byte = static_cast<char>((v >> (8 * i)) & 0xFF);
      b[static_cast<size_t>(littleEndian ? i : 3 - i)] = byte;
    }
    return b;
  };
  std::string tiff = littleEndian ? "II" : "MM";
  tiff += u16(42) + u32(8);
  tiff += u16(1);  // one entry
  tiff += u16(0x0112) + u16(3) + u32(1) + u16(orientation) + u16(0);
  tiff += u32(0);  // no next IFD
  const std::string content = std::string("Exif\0\0", 6) + tiff;
  std::string s("\xFF\xD8\xFF\xE1", 4);
  PutBE(s, static_cast<uint16_t>(content.size() + 2));
  s += content;
  const std::string rest = JpegBytes(width, height);
  return s + rest.substr(2);  // without its own SOI
}

}  // namespace tamarind::test
