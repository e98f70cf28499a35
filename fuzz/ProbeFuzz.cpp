// Fuzz target: the picture size probe on any file contents. The first byte
// picks the name the rest is stored under, and with it the reader.
//
// Each input gets a folder of its own, removed before any check is made, so
// that a run stopped by a failed check leaves nothing in the temporary
// folder.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "probe/Formats.h"

namespace {

constexpr const char* kNames[] = {"p.gif",  "p.jpg", "p.png", "p.webp", "p.bmp",
                                  "p.avif", "p.svg", "p.jxl", "p.ico"};
constexpr tamarind::ImageKind kKinds[] = {
    tamarind::ImageKind::Gif,  tamarind::ImageKind::Jpeg, tamarind::ImageKind::Png,
    tamarind::ImageKind::WebP, tamarind::ImageKind::Bmp,  tamarind::ImageKind::Avif,
    tamarind::ImageKind::Svg,  tamarind::ImageKind::Jxl,  tamarind::ImageKind::Ico};

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && size > 0) {
    const ssize_t n = ::write(fd, data, size);
    ok = n > 0;
    if (ok) {
      data += n;
      size -= static_cast<size_t>(n);
    }
  }
  return ::close(fd) == 0 && ok;
}

struct Answer {
  bool found = false;
  int32_t height = -1, width = -1;
  bool operator==(const Answer&) const = default;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t kind = data[0] % std::size(kNames);
  const uint8_t* file = data + 1;
  const size_t fileSize = size - 1;

  // GIF and JPEG names go through the classic probe (the extension alone
  // decides); the others through the full set, where the bytes may name
  // another reader than the extension.
  using tamarind::ImageFormats;
  const ImageFormats formats = kind < 2 ? ImageFormats::Classic() : ImageFormats::All();
  const char* tmp = std::getenv("TMPDIR");
  std::string folder =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/probe_fuzz.XXXXXX";
  Check(::mkdtemp(folder.data()) != nullptr);
  const std::string path = folder + "/" + kNames[kind];
  const bool written = WriteFile(path, file, fileSize);
  Answer probed, classic;
  if (written) {
    probed.found = tamarind::GetImageSize(path, probed.height, probed.width, formats);
    classic.found =
        tamarind::GetImageSize(path, classic.height, classic.width, ImageFormats::Classic());
  }
  ::unlink(path.c_str());
  ::rmdir(folder.c_str());
  Check(written);

  // Both numbers are always written; a size is two numbers above 0, and a
  // failed probe leaves none behind.
  Check(probed.found ? probed.height > 0 && probed.width > 0
                     : probed.height == 0 && probed.width == 0);
  // The same bytes inline (a data: picture of that format) give the same.
  const tamarind::ProbeResult inline_ = tamarind::ProbeImageBytes(
      std::string_view(reinterpret_cast<const char*>(file), fileSize), kKinds[kind], formats);
  Check(inline_.Found() == probed.found);
  if (probed.found) {
    Check(inline_.width == uint32_t(probed.width) && inline_.height == uint32_t(probed.height));
  }
  if (kind == 0) {
    // GIF: any file that begins with "GIF" and holds a screen size of no
    // side 0.
    Answer want{false, 0, 0};
    if (fileSize >= 10 && std::memcmp(file, "GIF", 3) == 0) {
      const int width = file[6] | file[7] << 8, height = file[8] | file[9] << 8;
      if (width > 0 && height > 0) want = {true, height, width};
    }
    Check(probed == want);
  } else if (kind == 1) {
    // JPEG: 16-bit numbers.
    Check(probed.height <= 65535 && probed.width <= 65535);
  } else {
    // With GIF and JPEG alone these names get no reader at all.
    Check(classic == Answer{false, 0, 0});
  }
  return 0;
}
