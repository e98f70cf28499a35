// JpegUtil: the picture size probe.
//
// Reads the pixel width and height of a picture straight from its header
// bytes, without decoding it. "No size" is an ordinary answer, not an error:
// a missing, unreadable, foreign or cut-short file gives false, and nothing
// ever escapes as an exception. Every call opens and closes its own file and
// keeps no state between calls, so workers may probe in parallel.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamarind {

// Which header reader a file name is handed to, chosen by its extension.
enum class ImageKind { None, Gif, Jpeg, Png, WebP, Bmp, Avif };

// The extension is the text from the last "." of the name's last path
// component, compared without regard to ASCII letter case: .gif goes to the
// GIF reader, .jpg and .jpeg to the JPEG reader. With `moreFormats`, also
// .png, .webp, .bmp and .avif to theirs; otherwise those get none either.
ImageKind ImageKindOf(std::string_view fileName, bool moreFormats = false);

// The probe's one entry. Mind the argument order: the HEIGHT comes back in
// the second argument and the WIDTH in the third. Both are written on every
// call (0 when nothing was found). Returns true when a size was read.
//
// JPEG pictures whose Exif orientation turns them by a quarter (orientations
// 5 to 8) report their width and height swapped, as browsers display them.
bool GetImageSize(const std::string& fileName, int32_t& height, int32_t& width,
                  bool moreFormats = false);

// The readers behind GetImageSize. Each sets both outputs to 0 first and
// returns true once both numbers were read.
//
// GIF: the logical screen size of the header (bytes 6 to 9, little-endian),
// for any file that begins with "GIF".
bool GetGIFSize(const std::string& fileName, uint16_t& width, uint16_t& height);

// JPEG: the size in the first frame header after the start marker FF D8,
// found by walking the marker segments and seeking past each one. The
// reported size already accounts for an Exif quarter turn.
bool GetJPEGSize(const std::string& fileName, uint16_t& width, uint16_t& height);

}  // namespace tamarind
