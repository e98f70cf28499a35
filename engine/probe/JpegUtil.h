// JpegUtil: the GIF and JPEG header readers, and the Exif orientation entry
// that JPEG and PNG share.
#pragma once

#include <cstdint>

#include "probe/Formats.h"

namespace tamarind {

class ImageFile;

// The readers on an open file, from its first byte. Each gives true once
// both sides were read into `size`, neither of them 0; a false result writes
// no sides.
//
// GIF: the logical screen size of the header.
bool ReadGIF(ImageFile& f, ProbeResult& size);
// JPEG: the first frame header after the start marker; an Exif orientation
// that turns the picture by a quarter swaps width and height.
bool ReadJPEG(ImageFile& f, ProbeResult& size);

// The orientation entry (1 to 8) of an Exif block of `length` bytes at
// `start`: 0 when the block has none or is damaged, -1 when it is no Exif
// block at all. A JPEG APP1 block begins with "Exif\0\0" before the TIFF
// header (`exifHeader`); a PNG eXIf chunk holds the TIFF header alone.
int ReadExifOrientation(ImageFile& f, uint64_t start, uint64_t length, bool exifHeader = true);

}  // namespace tamarind
