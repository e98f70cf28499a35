// Fuzz target: the picture size probe on any file contents. The first byte
// picks the name the rest is stored under, and with it the reader.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "JpegUtil.h"

namespace {

constexpr const char* kNames[] = {"p.gif", "p.jpg", "p.png", "p.webp", "p.bmp", "p.avif", "p.svg"};

// One private folder per process, its files written over and over; removed
// when the process ends normally.
class Folder {
 public:
  Folder() {
    const char* tmp = std::getenv("TMPDIR");
    path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/probe_fuzz.XXXXXX";
    Check(::mkdtemp(path_.data()) != nullptr);
  }
  ~Folder() {
    for (const char* name : kNames) ::unlink(File(name).c_str());
    ::rmdir(path_.c_str());
  }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0);
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    Check(n > 0);
    data += n;
    size -= static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const Folder folder;
  const size_t kind = data[0] % 7;
  const std::string path = folder.File(kNames[kind]);
  const uint8_t* file = data + 1;
  const size_t fileSize = size - 1;
  WriteFile(path, file, fileSize);

  // GIF and JPEG names go through the classic probe (the extension alone
  // decides); the others through the full set, where the bytes may name
  // another reader than the extension.
  using tamarind::ImageFormats;
  const ImageFormats formats = kind < 2 ? ImageFormats::Classic() : ImageFormats::All();
  int32_t height = -1, width = -1;
  const bool found = tamarind::GetImageSize(path, height, width, formats);
  Check(height >= 0 && width >= 0);  // always written, never negative
  if (kind == 0) {
    // GIF: any file that begins with "GIF" and holds the screen size.
    const bool gif = fileSize >= 10 && std::memcmp(file, "GIF", 3) == 0;
    Check(found == gif);
    if (gif) Check(width == (file[6] | file[7] << 8) && height == (file[8] | file[9] << 8));
    if (!found) Check(height == 0);  // the width, read first, may be left
  } else if (kind == 1) {
    if (!found) Check(width == 0);  // the height, read first, may be left
  } else {
    // A failed probe leaves nothing behind; with GIF and JPEG alone these
    // names get no reader at all.
    if (!found) Check(height == 0 && width == 0);
    Check(!tamarind::GetImageSize(path, height, width, ImageFormats::Classic()) && height == 0 &&
          width == 0);
  }
  return 0;
}
