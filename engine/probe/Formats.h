// Formats: the picture formats the probe knows, and the probe.
//
// One table names each format (its name for --formats, its title, further
// extensions, media types, signature test and reader); sniffing, the
// extension rule, --formats, inline pictures' media types and the not-HTML
// check all read it. The probe reads the pixel width and height of a picture
// straight from its header bytes, without decoding it. "No size" is an
// ordinary answer, not an error: a missing, unreadable, foreign or cut-short
// file gives false, and nothing ever escapes as an exception. Every call
// opens and closes its own file and keeps no state between calls, so workers
// may probe in parallel.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "MissReason.h"

namespace tamarind {

// Which header reader a picture is handed to: one kind for each row of the
// format table, in its order. Count is no kind, it counts them.
enum class ImageKind { None, Gif, Jpeg, Png, WebP, Bmp, Avif, Svg, Jxl, Ico, Count };

// The set of picture formats a run measures. The wizard measures GIF and
// JPEG (the classic set); the command line measures every format it knows.
class ImageFormats {
 public:
  constexpr ImageFormats() = default;
  static constexpr ImageFormats Classic() {
    return ImageFormats().With(ImageKind::Gif).With(ImageKind::Jpeg);
  }
  // Every format of the table: the bits of every kind but None.
  static constexpr ImageFormats All() {
    return ImageFormats((1u << static_cast<unsigned>(ImageKind::Count)) - 2);
  }
  constexpr ImageFormats With(ImageKind kind) const { return ImageFormats(bits_ | Bit(kind)); }
  constexpr bool Has(ImageKind kind) const {
    return kind != ImageKind::None && (bits_ & Bit(kind)) != 0;
  }
  // With only GIF and JPEG (the wizard's set), a picture is chosen by its
  // extension alone: no header is looked at to find the format, and a file
  // of any other name is not opened.
  constexpr bool IsClassic() const { return bits_ == Classic().bits_; }
  constexpr unsigned Bits() const { return bits_; }
  constexpr bool operator==(const ImageFormats&) const = default;

  // Reads a comma-separated list of names ("gif,jpeg,png"; "jpg" and "cur"
  // stand for jpeg and ico). On an unknown or empty name returns false and
  // puts it in `bad`.
  static bool Parse(std::string_view list, ImageFormats& out, std::string& bad);

 private:
  constexpr explicit ImageFormats(unsigned bits) : bits_(bits) {}
  static constexpr unsigned Bit(ImageKind kind) { return 1u << static_cast<unsigned>(kind); }
  unsigned bits_ = 0;
};

// The short name of a format as --formats writes it ("gif", "png"), and the
// name a person reads ("GIF", "PNG").
std::string_view FormatName(ImageKind kind);
std::string_view FormatTitle(ImageKind kind);

// The formats of `set` that are not in `leaving` in the order of the
// format table, by name ("gif,jpeg,png") or, with `titles`, by the names a
// person reads, joined by `separator`: what the help and the wizard list.
std::string FormatList(ImageFormats set, std::string_view separator, bool titles = false,
                       ImageFormats leaving = ImageFormats());

// The kind a file's extension names: the text from the last "." of the
// name's last path component, compared without regard to ASCII letter case.
// The extension is a format's name or one of its aliases in the format
// table (.jpg is JPEG, .cur ICO). Whether the kind is measured is for the
// caller to ask.
ImageKind ExtensionKindOf(std::string_view fileName);

// The reader a file name is handed to within `formats`: its extension's
// kind when that is measured, else none.
ImageKind ImageKindOf(std::string_view fileName, ImageFormats formats = ImageFormats::Classic());

// The format a media type names ("image/png"), for an inline picture.
ImageKind KindOfMediaType(std::string_view type);

// Whether `bytes` begin with the signature of a picture format the probe
// knows, for telling a picture from a document.
bool StartsWithPictureSignature(std::string_view bytes);

// The largest side a probe reports: sizes travel as 32-bit signed numbers
// (the rewriter scales by them), and a larger one is no size.
constexpr uint32_t kLargestSide = 0x7FFFFFFF;

// Everything a probe learns about a picture: the one answer of the probe,
// of its readers and of the run's size cache.
struct ProbeResult {
  MissReason reason = MissReason::NoPicture;
  ImageKind kind = ImageKind::None;       // the reader that measured it (Found)
  ImageKind extension = ImageKind::None;  // what the extension names
  uint32_t width = 0;
  uint32_t height = 0;
  bool Found() const { return reason == MissReason::None; }
};

// Measures the picture of a path (the run's cache or the probe itself).
using ImageProbe = std::function<ProbeResult(const std::string& path)>;

// The size of a picture with the reason when there is none. The reason is
// only looked for after a failure, so a found picture costs no more than the
// reading of its header.
ProbeResult ProbeImageFile(const std::string& fileName,
                           ImageFormats formats = ImageFormats::Classic());

// The size of a picture held in memory, whose format `kind` names (an
// inline picture's media type). With any set beyond the classic one the
// bytes decide, as for files.
ProbeResult ProbeImageBytes(std::string_view bytes, ImageKind kind,
                            ImageFormats formats = ImageFormats::Classic());

// The probe's one entry. Mind the argument order: the HEIGHT comes back in
// the second argument and the WIDTH in the third. Both are written on every
// call (0 when nothing was found). Returns true when a size was read.
//
// JPEG, PNG and JPEG XL pictures whose orientation turns them by a quarter
// (orientations 5 to 8) report their width and height swapped, as browsers
// display them.
//
// With any set beyond the classic one, a file whose header bytes are plainly
// another measured format than its extension names (a PNG saved as .jpg) is
// measured by its header, as a browser shows it.
bool GetImageSize(const std::string& fileName, int32_t& height, int32_t& width,
                  ImageFormats formats = ImageFormats::Classic());

}  // namespace tamarind
