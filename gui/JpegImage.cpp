#include "JpegImage.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

// jpeglib.h leaves size_t and FILE to its includer.
#include <jpeglib.h>

namespace tamarind {
namespace {

// libjpeg's own error exit ends the process; this one jumps back to the
// decoder instead. No C++ object with a destructor lives in the frames the
// jump passes over.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf back;
};

void ErrorExit(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->back, 1);
}

void NoMessages(j_common_ptr, int) {}

// Decodes into `pixels` (RGB, rows one after another). Returns false on any
// error. C style on purpose: see ErrorManager.
bool DecodeRgb(const unsigned char* data, unsigned long size, unsigned char* pixels,
               size_t capacity, unsigned* width, unsigned* height) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = ErrorExit;
  errors.base.emit_message = NoMessages;
  if (setjmp(errors.back) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, size);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  const size_t stride = static_cast<size_t>(info.output_width) * 3;
  if (pixels == nullptr || stride * info.output_height > capacity) {
    // First call: only the size is wanted.
    *width = info.output_width;
    *height = info.output_height;
    jpeg_destroy_decompress(&info);
    return pixels == nullptr;
  }
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels + stride * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  *width = info.output_width;
  *height = info.output_height;
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

QImage DecodeJpeg(const QByteArray& data) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
  const auto size = static_cast<unsigned long>(data.size());
  unsigned width = 0, height = 0;
  if (data.isEmpty() || !DecodeRgb(bytes, size, nullptr, 0, &width, &height)) return {};
  std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 3);
  if (!DecodeRgb(bytes, size, pixels.data(), pixels.size(), &width, &height)) return {};
  QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB888);
  for (unsigned y = 0; y < height; ++y) {
    std::copy_n(pixels.data() + static_cast<size_t>(y) * width * 3, static_cast<size_t>(width) * 3,
                image.scanLine(static_cast<int>(y)));
  }
  return image;
}

}  // namespace tamarind
