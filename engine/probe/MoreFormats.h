// Readers for the picture formats besides GIF and JPEG: PNG, WebP, BMP,
// AVIF, JPEG XL and ICO (SVG, a text format, has SvgSize.h). Like the GIF
// and JPEG readers, they read header bytes only, and every failure is a
// false result.
#pragma once

#include "probe/Formats.h"

namespace tamarind {

class ImageFile;

// The readers on an open file, from its first byte. Each gives true once
// both sides were read into `size`, neither of them 0; a false result writes
// no sides (an SVG without a size of its own says so in `size.reason`).
//
// PNG: the IHDR chunk that must follow the signature; an eXIf chunk before
// the picture data that turns it by a quarter swaps width and height.
bool ReadPNG(ImageFile& f, ProbeResult& size);
// WebP: the VP8 (lossy), VP8L (lossless) or VP8X (extended) chunk of the
// RIFF container.
bool ReadWebP(ImageFile& f, ProbeResult& size);
// BMP: the core (OS/2) or info (Windows) header; a negative height means a
// top-down picture of that height.
bool ReadBMP(ImageFile& f, ProbeResult& size);
// AVIF: the `ispe` property of the primary item; a quarter turn by `irot`
// (90 or 270 degrees) swaps width and height, as browsers show the picture.
bool ReadAVIF(ImageFile& f, ProbeResult& size);
// JPEG XL: the size header of the codestream, bare or in its ISO BMFF
// container; an orientation that turns it by a quarter swaps the sides.
bool ReadJXL(ImageFile& f, ProbeResult& size);
// ICO and CUR: the largest picture of the directory, by area.
bool ReadICO(ImageFile& f, ProbeResult& size);

}  // namespace tamarind
