// Readers for today's picture formats: PNG, WebP, BMP and AVIF. Like the GIF
// and JPEG readers, they read header bytes only, and every failure is a
// false result.
#pragma once

#include <cstdint>
#include <string>

namespace tamarind {

// A picture's size as the newer formats give it: up to 32 bits each.
struct ImageDimensions {
  uint32_t width = 0;
  uint32_t height = 0;
};

// PNG: the IHDR chunk that must follow the signature.
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

}  // namespace tamarind
