// Readers for today's picture formats: PNG, WebP, BMP, AVIF, SVG, JPEG XL and
// ICO. Like the GIF and JPEG readers, they read header bytes only, and every
// failure is a false result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tamarind {

// A picture's size as the newer formats give it: up to 32 bits each.
struct ImageDimensions {
  uint32_t width = 0;
  uint32_t height = 0;
  // Set with a false result by an SVG whose root element gives no size of
  // its own: the browser sizes such a picture by the page around it.
  bool noOwnSize = false;
};

class ImageFile;

// The readers on an open file, from its first byte. Each gives true once
// both numbers were read, neither of them 0; a false result writes no
// numbers.
bool ReadPNG(ImageFile& f, ImageDimensions& size);
bool ReadWebP(ImageFile& f, ImageDimensions& size);
bool ReadBMP(ImageFile& f, ImageDimensions& size);
bool ReadAVIF(ImageFile& f, ImageDimensions& size);
bool ReadSVG(ImageFile& f, ImageDimensions& size);
bool ReadJXL(ImageFile& f, ImageDimensions& size);
bool ReadICO(ImageFile& f, ImageDimensions& size);

// The orientation entry (1 to 8) of an Exif block of `length` bytes at
// `start`: 0 when the block has none or is damaged, -1 when it is no Exif
// block at all. A JPEG APP1 block begins with "Exif\0\0" before the TIFF
// header (`exifHeader`); a PNG eXIf chunk holds the TIFF header alone.
int ReadExifOrientation(ImageFile& f, uint64_t start, uint64_t length, bool exifHeader = true);

// The size an SVG document gives its root element, from its text (the first
// 64 KiB of the file are enough), as a browser sizes the picture: the root's
// width and height in absolute units (px, none, in, cm, mm, Q, pt, pc) at 96
// px to the inch, rounded halves up; or one of them so and the other missing,
// "auto" or a percentage, then that one from the viewBox's proportions. Any
// other root (a viewBox alone, percentages, em or ex, no width and height)
// has no size of its own and sets `noOwnSize`.
bool SvgSizeOf(std::string_view text, ImageDimensions& size);

// PNG: the IHDR chunk that must follow the signature; an eXIf chunk before
// the picture data that turns it by a quarter swaps width and height.
bool GetPNGSize(const std::string& fileName, ImageDimensions& size);
// WebP: the VP8 (lossy), VP8L (lossless) or VP8X (extended) chunk of the
// RIFF container.
bool GetWebPSize(const std::string& fileName, ImageDimensions& size);
// BMP: the core (OS/2) or info (Windows) header; a negative height means a
// top-down picture of that height.
bool GetBMPSize(const std::string& fileName, ImageDimensions& size);
// AVIF: the `ispe` property of the primary item; a quarter turn by `irot`
// (90 or 270 degrees) swaps width and height, as browsers show the picture.
bool GetAVIFSize(const std::string& fileName, ImageDimensions& size);
// SVG: the root svg element's width and height, or one of them and its
// viewBox.
bool GetSVGSize(const std::string& fileName, ImageDimensions& size);
// JPEG XL: the size header of the codestream, bare or in its ISO BMFF
// container; an orientation that turns it by a quarter swaps the sides.
bool GetJXLSize(const std::string& fileName, ImageDimensions& size);
// ICO and CUR: the largest picture of the directory, by area.
bool GetICOSize(const std::string& fileName, ImageDimensions& size);

}  // namespace tamarind
