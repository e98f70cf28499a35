#include "probe/Formats.h"

#include <sys/stat.h>

#include "Ascii.h"
#include "names/PathName.h"
#include "probe/ImageFile.h"
#include "probe/JpegUtil.h"
#include "probe/MoreFormats.h"
#include "probe/SvgSize.h"

namespace tamarind {

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

constexpr bool RowsInKindOrder() {
  size_t i = 0;
  for (const PictureFormat& f : kFormats) {
    if (static_cast<size_t>(f.kind) != ++i) return false;
  }
  return i + 1 == static_cast<size_t>(ImageKind::Count);
}
static_assert(RowsInKindOrder(), "kFormats has one row for each ImageKind, in its order");

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

std::string FormatList(ImageFormats set, std::string_view separator, bool titles,
                       ImageFormats leaving) {
  std::string list;
  for (const PictureFormat& f : kFormats) {
    if (!set.Has(f.kind) || leaving.Has(f.kind)) continue;
    if (!list.empty()) list += separator;
    list += titles ? f.title : f.name;
  }
  return list;
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
